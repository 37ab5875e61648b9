// The driver's kernel glue: entry, unload and dispatch (splitdriver.cpp), callout registration
// and the classify/notify functions (splitcallouts.cpp).
#ifndef ZUMVARI_SPLITDRIVER_H
#define ZUMVARI_SPLITDRIVER_H

#include "splitplatform.h"

// Run-time ids returned by FwpsCalloutRegister0; 0 while the callout is not registered.
extern UINT32 calloutIdV4;
extern UINT32 calloutIdV6;

// The control device (null when there is none) and the DOS link name kept for unload.
extern PDEVICE_OBJECT SplitControlDevice;
extern UNICODE_STRING SplitLinkName;

NTSTATUS SplitRegisterCallouts(PDEVICE_OBJECT deviceObject);
void SplitUnregisterCallouts();

void NTAPI SplitClassifyV4(const FWPS_INCOMING_VALUES0 *inFixedValues,
                           const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues, void *layerData,
                           const FWPS_FILTER0 *filter, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *classifyOut);
void NTAPI SplitClassifyV6(const FWPS_INCOMING_VALUES0 *inFixedValues,
                           const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues, void *layerData,
                           const FWPS_FILTER0 *filter, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *classifyOut);
NTSTATUS NTAPI SplitNotify(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID *filterKey, FWPS_FILTER0 *filter);

NTSTATUS SplitDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
void NTAPI SplitDriverUnload(PDRIVER_OBJECT driverObject);
NTSTATUS NTAPI SplitDispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI SplitDispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS SplitCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// The loader's entry point; forwards to SplitDriverEntry.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

#endif // ZUMVARI_SPLITDRIVER_H
