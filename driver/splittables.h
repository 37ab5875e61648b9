// Target process list, connection table and the classification decision. No kernel calls here:
// the lock and the completion go through splitseam.h.
//
// Both tables are fixed-size statics and each has its own spin lock. No operation holds both
// locks, and a pended classification is completed only after the table lock is released.
#ifndef ZUMVARI_SPLITTABLES_H
#define ZUMVARI_SPLITTABLES_H

#include "splitioctl.h"
#include "splitseam.h"

struct SplitTargetProcessList
{
    SPLIT_LOCK lock;
    UINT32 count; // only the first count ids are consulted
    UINT64 ids[SPLIT_MAX_PROCESSES];
};

// A slot is free when all three flags are 0; a slot in use has exactly one of them set.
struct ConnectionEntry
{
    SPLIT_CONNECTION_RECORD record;
    UINT64 completionContext; // pended classification, 0 for none
    UINT8 Queued;
    UINT8 Delivered;
    UINT8 Approved;
};

static_assert(sizeof(ConnectionEntry) * SPLIT_MAX_CONNECTIONS == 40960, "connection table size");

struct SplitConnectionTable
{
    SPLIT_LOCK lock;
    ConnectionEntry entries[SPLIT_MAX_CONNECTIONS];
};

extern SplitTargetProcessList TargetProcessList;
extern SplitConnectionTable ConnectionTable;
extern UINT64 NextRequestId; // under the connection-table lock; 1 at load, never reset

enum SplitLookupResult {
    SplitLookupNone = 0,
    SplitLookupHeld = 1, // Queued or Delivered
    SplitLookupApproved = 2,
};

// Caller has checked count <= SPLIT_MAX_PROCESSES.
void SplitSetTargetProcesses(UINT32 count, const UINT64 *ids);
bool SplitIsTargetProcess(UINT64 processId);

SplitLookupResult SplitLookupConnection(const SPLIT_CONNECTION_RECORD *record);
// False when all slots are in use; the request-id counter is then left alone.
bool SplitQueueConnection(const SPLIT_CONNECTION_RECORD *record, UINT64 completionContext);
// Copies the first Queued record (64 bytes) to output and marks it Delivered.
bool SplitTakeQueuedConnection(void *output);
bool SplitApproveConnection(UINT64 requestId);
void SplitClearConnections();

// The key record of one connection attempt of a target process.
void SplitBuildRecordV4(SPLIT_CONNECTION_RECORD *record, UINT64 processId, UINT8 protocol,
                        UINT32 remoteAddress, UINT16 remotePort);
void SplitBuildRecordV6(SPLIT_CONNECTION_RECORD *record, UINT64 processId, UINT8 protocol,
                        const UINT8 *remoteAddress, UINT16 remotePort);

// The decision for an attempt of a target process: true when it must be held back (blocked and
// absorbed). An unknown key is queued on the way; an Approved key passes.
bool SplitHoldConnection(const SPLIT_CONNECTION_RECORD *record);

// One control request: buffer is the request's system buffer, serving as input and output.
// Sets *information to the bytes written back (64 for a record, else 0) and returns the status.
NTSTATUS SplitHandleControl(ULONG code, void *buffer, ULONG inputLength, ULONG outputLength,
                            ULONG_PTR *information);

#endif // ZUMVARI_SPLITTABLES_H
