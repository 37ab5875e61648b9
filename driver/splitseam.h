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

// Annotated as the kernel's own spin-lock calls, so that the analysis follows each lock and IRQL.
// clang-format off
_Requires_lock_not_held_(*lock)
_Acquires_lock_(*lock)
_IRQL_requires_max_(DISPATCH_LEVEL)
_IRQL_saves_
_IRQL_raises_(DISPATCH_LEVEL)
inline SPLIT_IRQL SplitLockAcquire(_Inout_ SPLIT_LOCK *lock)
{
    return KeAcquireSpinLockRaiseToDpc(lock);
}

_Requires_lock_held_(*lock)
_Releases_lock_(*lock)
_IRQL_requires_(DISPATCH_LEVEL)
inline void SplitLockRelease(_Inout_ SPLIT_LOCK *lock, _IRQL_restores_ SPLIT_IRQL oldIrql)
{
    KeReleaseSpinLock(lock, oldIrql);
}

// Never called with a table lock held.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline void SplitCompleteOperation(UINT64 completionContext)
{
    FwpsCompleteOperation0(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(completionContext)), nullptr);
}
// clang-format on

#endif // ZUMVARI_SPLITSEAM_H
