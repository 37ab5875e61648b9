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

// Entry points carry the WDK's role types, so that its code analysis and Static Driver Verifier
// know what calls them and at which IRQL.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SplitRegisterCallouts(PDEVICE_OBJECT deviceObject);
_IRQL_requires_(PASSIVE_LEVEL) void SplitUnregisterCallouts();

// fwpsk.h declares the callout functions' types as pointers, so the callouts name their class and
// IRQL range themselves; registration checks that they fit those pointer types.
#define SPLIT_CALLOUT_FN(role)                                                                               \
    _Function_class_(role) _IRQL_requires_min_(PASSIVE_LEVEL) _IRQL_requires_max_(DISPATCH_LEVEL)            \
        _IRQL_requires_same_
SPLIT_CALLOUT_FN(FWPS_CALLOUT_CLASSIFY_FN0)
void NTAPI SplitClassifyV4(const FWPS_INCOMING_VALUES0 *inFixedValues,
                           const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues, void *layerData,
                           const FWPS_FILTER0 *filter, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *classifyOut);
SPLIT_CALLOUT_FN(FWPS_CALLOUT_CLASSIFY_FN0)
void NTAPI SplitClassifyV6(const FWPS_INCOMING_VALUES0 *inFixedValues,
                           const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues, void *layerData,
                           const FWPS_FILTER0 *filter, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *classifyOut);
SPLIT_CALLOUT_FN(FWPS_CALLOUT_NOTIFY_FN0)
NTSTATUS NTAPI SplitNotify(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID *filterKey, FWPS_FILTER0 *filter);

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SplitDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
DRIVER_UNLOAD SplitDriverUnload;
_Dispatch_type_(IRP_MJ_CREATE) _Dispatch_type_(IRP_MJ_CLOSE) DRIVER_DISPATCH SplitDispatchCreateClose;
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL) DRIVER_DISPATCH SplitDispatchDeviceControl;
NTSTATUS SplitCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// The loader's entry point; forwards to SplitDriverEntry.
extern "C" DRIVER_INITIALIZE DriverEntry;

#endif // ZUMVARI_SPLITDRIVER_H
