#include "split_floor.h"

#include <string.h>

bool Listed(UINT64 pid)
{
    for (UINT32 i = 0; i < TargetProcessList.count; ++i) {
        if (TargetProcessList.ids[i] == pid) {
            return true;
        }
    }
    return false;
}

int Find(const SPLIT_CONNECTION_RECORD &key)
{
    for (UINT32 i = 0; i < SPLIT_MAX_CONNECTIONS; ++i) {
        const ConnectionEntry &e = ConnectionTable.entries[i];
        if ((e.Queued | e.Delivered | e.Approved) && e.record.processId == key.processId &&
            e.record.family == key.family && e.record.protocol == key.protocol &&
            e.record.remotePort == key.remotePort &&
            memcmp(e.record.remoteAddress, key.remoteAddress, 16) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int FreeSlot()
{
    for (UINT32 i = 0; i < SPLIT_MAX_CONNECTIONS; ++i) {
        const ConnectionEntry &e = ConnectionTable.entries[i];
        if (!(e.Queued | e.Delivered | e.Approved)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}
