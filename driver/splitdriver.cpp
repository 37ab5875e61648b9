#include "splitdriver.h"
#include "splittables.h"

#include <string.h>

PDEVICE_OBJECT SplitControlDevice = nullptr;
UNICODE_STRING SplitLinkName;

namespace {

// Full access for LocalSystem and the built-in Administrators, nothing for anyone else.
const WCHAR SplitDeviceSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

NTSTATUS SetProcesses(const UINT8 *buffer, ULONG inputLength)
{
    if (inputLength < SPLIT_PROCESS_LIST_HEADER_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    SPLIT_U32 version;
    SPLIT_U32 count;
    memcpy(&version, buffer + offsetof(SPLIT_PROCESS_LIST, version), sizeof(version));
    memcpy(&count, buffer + offsetof(SPLIT_PROCESS_LIST, count), sizeof(count));
    if (version != SPLIT_PROCESS_LIST_VERSION || count > SPLIT_MAX_PROCESSES ||
        inputLength < SPLIT_PROCESS_LIST_SIZE(count)) {
        return STATUS_INVALID_PARAMETER;
    }
    SplitSetTargetProcesses(
        count, reinterpret_cast<const UINT64 *>(buffer + offsetof(SPLIT_PROCESS_LIST, processIds)));
    // Only after the process-list lock is released: the two locks are never held together.
    SplitClearConnections();
    return STATUS_SUCCESS;
}

NTSTATUS AckConnection(const UINT8 *buffer, ULONG inputLength)
{
    if (inputLength < sizeof(SPLIT_ACK)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    SPLIT_ACK ack;
    memcpy(&ack, buffer, sizeof(ack));
    if (ack.version != SPLIT_ACK_VERSION) {
        return STATUS_NOT_FOUND;
    }
    return SplitApproveConnection(ack.requestId) ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

} // namespace

NTSTATUS SplitCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SplitDispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    return SplitCompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI SplitDispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UINT8 *buffer = static_cast<UINT8 *>(irp->AssociatedIrp.SystemBuffer);

    switch (code) {
    case IOCTL_SPLIT_SET_PROCESSES:
        return SplitCompleteRequest(irp, SetProcesses(buffer, inputLength), 0);
    case IOCTL_SPLIT_GET_CONNECTION:
        if (outputLength < sizeof(SPLIT_CONNECTION_RECORD)) {
            return SplitCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        if (!SplitTakeQueuedConnection(buffer)) {
            return SplitCompleteRequest(irp, STATUS_NO_MORE_ENTRIES, 0);
        }
        return SplitCompleteRequest(irp, STATUS_SUCCESS, sizeof(SPLIT_CONNECTION_RECORD));
    case IOCTL_SPLIT_ACK_CONNECTION:
        return SplitCompleteRequest(irp, AckConnection(buffer, inputLength), 0);
    default:
        return SplitCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

void NTAPI SplitDriverUnload(PDRIVER_OBJECT driverObject)
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

NTSTATUS SplitDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
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

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return SplitDriverEntry(driverObject, registryPath);
}
