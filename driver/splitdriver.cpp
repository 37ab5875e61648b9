#include "splitdriver.h"
#include "splittables.h"

PDEVICE_OBJECT SplitControlDevice = nullptr;
UNICODE_STRING SplitLinkName;

namespace {

// Full access for LocalSystem and the built-in Administrators, nothing for anyone else.
const WCHAR SplitDeviceSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

} // namespace

NTSTATUS SplitCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

_Use_decl_annotations_ NTSTATUS NTAPI SplitDispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    return SplitCompleteRequest(irp, STATUS_SUCCESS, 0);
}

_Use_decl_annotations_ NTSTATUS NTAPI SplitDispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR information = 0;
    const NTSTATUS status =
        SplitHandleControl(stack->Parameters.DeviceIoControl.IoControlCode, irp->AssociatedIrp.SystemBuffer,
                           stack->Parameters.DeviceIoControl.InputBufferLength,
                           stack->Parameters.DeviceIoControl.OutputBufferLength, &information);
    return SplitCompleteRequest(irp, status, information);
}

_Use_decl_annotations_ void NTAPI SplitDriverUnload(PDRIVER_OBJECT driverObject)
{
    (void)driverObject;
    SplitClearConnections();
    SplitUnregisterCallouts();
    IoDeleteSymbolicLink(&SplitLinkName);
    if (SplitControlDevice != nullptr) {
        IoDeleteDevice(SplitControlDevice);
        SplitControlDevice = nullptr;
    }
}

_Use_decl_annotations_ NTSTATUS SplitDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    (void)registryPath;

    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, SPLIT_DEVICE_NAME);
    RtlInitUnicodeString(&SplitLinkName, SPLIT_DOS_DEVICE_NAME);

    SplitLockInit(&TargetProcessList.lock);
    SplitLockInit(&ConnectionTable.lock);

    UNICODE_STRING sddl;
    RtlInitUnicodeString(&sddl, SplitDeviceSddl);
    NTSTATUS status =
        IoCreateDeviceSecure(driverObject, 0, &deviceName, SPLIT_DEVICE_TYPE, FILE_DEVICE_SECURE_OPEN, FALSE,
                             &sddl, &SPLIT_DEVICE_CLASS_GUID, &SplitControlDevice);
    if (!NT_SUCCESS(status)) {
        SplitControlDevice = nullptr;
        return status;
    }

    status = IoCreateSymbolicLink(&SplitLinkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(SplitControlDevice);
        SplitControlDevice = nullptr;
        return status;
    }

    driverObject->MajorFunction[IRP_MJ_CREATE] = SplitDispatchCreateClose;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = SplitDispatchCreateClose;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SplitDispatchDeviceControl;
    driverObject->DriverUnload = SplitDriverUnload;

    status = SplitRegisterCallouts(SplitControlDevice);
    if (!NT_SUCCESS(status)) {
        SplitDriverUnload(driverObject);
        return status;
    }
    return STATUS_SUCCESS;
}

extern "C" _Use_decl_annotations_ NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject,
                                                             PUNICODE_STRING registryPath)
{
    return SplitDriverEntry(driverObject, registryPath);
}
