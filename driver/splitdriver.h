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

FWPS_CALLOUT_CLASSIFY_FN0 SplitClassifyV4;
FWPS_CALLOUT_CLASSIFY_FN0 SplitClassifyV6;
FWPS_CALLOUT_NOTIFY_FN0 SplitNotify;

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SplitDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
DRIVER_UNLOAD SplitDriverUnload;
_Dispatch_type_(IRP_MJ_CREATE) _Dispatch_type_(IRP_MJ_CLOSE) DRIVER_DISPATCH SplitDispatchCreateClose;
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL) DRIVER_DISPATCH SplitDispatchDeviceControl;
NTSTATUS SplitCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// The loader's entry point; forwards to SplitDriverEntry.
extern "C" DRIVER_INITIALIZE DriverEntry;

#endif // ZUMVARI_SPLITDRIVER_H
