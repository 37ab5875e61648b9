// The only kernel services the tables need: a spin lock and completing a pended classification.
// The tables call these and nothing else, so they compile unchanged against the WDK and the
// user-mode stand-in.
#ifndef ZUMVARI_SPLITSEAM_H
#define ZUMVARI_SPLITSEAM_H

#include "splitplatform.h"

typedef KSPIN_LOCK SPLIT_LOCK;
typedef KIRQL SPLIT_IRQL;

inline void SplitLockInit(SPLIT_LOCK *lock)
{
    KeInitializeSpinLock(lock);
}

inline SPLIT_IRQL SplitLockAcquire(SPLIT_LOCK *lock)
{
    return KeAcquireSpinLockRaiseToDpc(lock);
}

inline void SplitLockRelease(SPLIT_LOCK *lock, SPLIT_IRQL oldIrql)
{
    KeReleaseSpinLock(lock, oldIrql);
}

// Never called with a table lock held.
inline void SplitCompleteOperation(UINT64 completionContext)
{
    FwpsCompleteOperation0(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(completionContext)), nullptr);
}

#endif // ZUMVARI_SPLITSEAM_H
