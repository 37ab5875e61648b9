#include "splittables.h"

#include <string.h>

SplitTargetProcessList TargetProcessList;
SplitConnectionTable ConnectionTable;
UINT64 NextRequestId = 1;

namespace {

bool InUse(const ConnectionEntry &entry)
{
    return entry.Queued || entry.Delivered || entry.Approved;
}

bool SameKey(const SPLIT_CONNECTION_RECORD &a, const SPLIT_CONNECTION_RECORD &b)
{
    return a.processId == b.processId && a.family == b.family && a.protocol == b.protocol &&
           a.remotePort == b.remotePort &&
           memcmp(a.remoteAddress, b.remoteAddress, sizeof(a.remoteAddress)) == 0;
}

} // namespace

void SplitSetTargetProcesses(UINT32 count, const UINT64 *ids)
{
    SPLIT_IRQL irql = SplitLockAcquire(&TargetProcessList.lock);
    TargetProcessList.count = count;
    if (count != 0) {
        memcpy(TargetProcessList.ids, ids, count * sizeof(UINT64));
    }
    SplitLockRelease(&TargetProcessList.lock, irql);
}

bool SplitIsTargetProcess(UINT64 processId)
{
    bool found = false;
    SPLIT_IRQL irql = SplitLockAcquire(&TargetProcessList.lock);
    for (UINT32 i = 0; i < TargetProcessList.count; ++i) {
        if (TargetProcessList.ids[i] == processId) {
            found = true;
            break;
        }
    }
    SplitLockRelease(&TargetProcessList.lock, irql);
    return found;
}

SplitLookupResult SplitLookupConnection(const SPLIT_CONNECTION_RECORD *record)
{
    SplitLookupResult result = SplitLookupNone;
    SPLIT_IRQL irql = SplitLockAcquire(&ConnectionTable.lock);
    for (const ConnectionEntry &entry : ConnectionTable.entries) {
        if (InUse(entry) && SameKey(entry.record, *record)) {
            result = entry.Approved ? SplitLookupApproved : SplitLookupHeld;
            break;
        }
    }
    SplitLockRelease(&ConnectionTable.lock, irql);
    return result;
}

bool SplitQueueConnection(const SPLIT_CONNECTION_RECORD *record, UINT64 completionContext)
{
    bool queued = false;
    SPLIT_IRQL irql = SplitLockAcquire(&ConnectionTable.lock);
    for (ConnectionEntry &entry : ConnectionTable.entries) {
        if (!InUse(entry)) {
            memcpy(&entry.record, record, sizeof(entry.record));
            entry.record.requestId = NextRequestId++;
            entry.completionContext = completionContext;
            entry.Queued = 1;
            queued = true;
            break;
        }
    }
    SplitLockRelease(&ConnectionTable.lock, irql);
    return queued;
}

bool SplitTakeQueuedConnection(void *output)
{
    bool taken = false;
    SPLIT_IRQL irql = SplitLockAcquire(&ConnectionTable.lock);
    for (ConnectionEntry &entry : ConnectionTable.entries) {
        if (entry.Queued) {
            memcpy(output, &entry.record, sizeof(entry.record));
            entry.Queued = 0;
            entry.Delivered = 1;
            taken = true;
            break;
        }
    }
    SplitLockRelease(&ConnectionTable.lock, irql);
    return taken;
}

bool SplitApproveConnection(UINT64 requestId)
{
    bool approved = false;
    UINT64 completionContext = 0;
    SPLIT_IRQL irql = SplitLockAcquire(&ConnectionTable.lock);
    for (ConnectionEntry &entry : ConnectionTable.entries) {
        if (entry.Delivered && entry.record.requestId == requestId) {
            entry.Delivered = 0;
            entry.Approved = 1;
            completionContext = entry.completionContext;
            entry.completionContext = 0;
            approved = true;
            break;
        }
    }
    SplitLockRelease(&ConnectionTable.lock, irql);
    if (completionContext != 0) {
        SplitCompleteOperation(completionContext);
    }
    return approved;
}

void SplitClearConnections()
{
    UINT64 contexts[SPLIT_MAX_CONNECTIONS];
    UINT32 contextCount = 0;
    SPLIT_IRQL irql = SplitLockAcquire(&ConnectionTable.lock);
    for (const ConnectionEntry &entry : ConnectionTable.entries) {
        if (entry.completionContext != 0) {
            contexts[contextCount++] = entry.completionContext;
        }
    }
    memset(ConnectionTable.entries, 0, sizeof(ConnectionTable.entries));
    SplitLockRelease(&ConnectionTable.lock, irql);
    for (UINT32 i = 0; i < contextCount; ++i) {
        SplitCompleteOperation(contexts[i]);
    }
}

void SplitBuildRecordV4(SPLIT_CONNECTION_RECORD *record, UINT64 processId, UINT8 protocol,
                        UINT32 remoteAddress, UINT16 remotePort)
{
    memset(record, 0, sizeof(*record));
    record->version = SPLIT_CONNECTION_RECORD_VERSION;
    record->family = SPLIT_FAMILY_IPV4;
    record->processId = processId;
    record->protocol = protocol;
    record->remotePort = remotePort;
    record->remoteAddress[0] = static_cast<UINT8>(remoteAddress >> 24);
    record->remoteAddress[1] = static_cast<UINT8>(remoteAddress >> 16);
    record->remoteAddress[2] = static_cast<UINT8>(remoteAddress >> 8);
    record->remoteAddress[3] = static_cast<UINT8>(remoteAddress);
}

void SplitBuildRecordV6(SPLIT_CONNECTION_RECORD *record, UINT64 processId, UINT8 protocol,
                        const UINT8 *remoteAddress, UINT16 remotePort)
{
    memset(record, 0, sizeof(*record));
    record->version = SPLIT_CONNECTION_RECORD_VERSION;
    record->family = SPLIT_FAMILY_IPV6;
    record->processId = processId;
    record->protocol = protocol;
    record->remotePort = remotePort;
    memcpy(record->remoteAddress, remoteAddress, sizeof(record->remoteAddress));
}

bool SplitHoldConnection(const SPLIT_CONNECTION_RECORD *record)
{
    SplitLookupResult found = SplitLookupConnection(record);
    if (found == SplitLookupApproved) {
        return false;
    }
    if (found == SplitLookupNone) {
        // A full table records nothing; the attempt is held all the same.
        SplitQueueConnection(record, 0);
    }
    return true;
}

namespace {

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

NTSTATUS SplitHandleControl(ULONG code, void *buffer, ULONG inputLength, ULONG outputLength,
                            ULONG_PTR *information)
{
    *information = 0;
    UINT8 *bytes = static_cast<UINT8 *>(buffer);
    switch (code) {
    case IOCTL_SPLIT_SET_PROCESSES:
        return SetProcesses(bytes, inputLength);
    case IOCTL_SPLIT_GET_CONNECTION:
        if (outputLength < sizeof(SPLIT_CONNECTION_RECORD)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (!SplitTakeQueuedConnection(bytes)) {
            return STATUS_NO_MORE_ENTRIES;
        }
        *information = sizeof(SPLIT_CONNECTION_RECORD);
        return STATUS_SUCCESS;
    case IOCTL_SPLIT_ACK_CONNECTION:
        return AckConnection(bytes, inputLength);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}
