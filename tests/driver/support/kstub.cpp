#define ZUMVARI_KSTUB_RECORDS
#include "kstub.h"
#include "splitdriver.h"

#include <cstdio>
#include <cstring>
#include <thread>

std::vector<std::string> kstub::events;
std::atomic<int> kstub::lockFaults{0};
std::string kstub::failOn;
NTSTATUS kstub::failStatus = STATUS_SUCCESS;

namespace {

DEVICE_OBJECT theDevice;
thread_local int locksHeld = 0;

std::string Narrow(const WCHAR *text)
{
    return std::string(text, text + std::wcslen(text));
}

// Records the call; true when it is the one to fail.
bool Fails(const std::string &event)
{
    const bool fail = !kstub::failOn.empty() && event.rfind(kstub::failOn, 0) == 0;
    kstub::events.push_back(fail ? event + " failed" : event);
    kstub::failOn = fail ? "" : kstub::failOn;
    return fail;
}

} // namespace

void RtlInitUnicodeString(PUNICODE_STRING string, const WCHAR *source)
{
    string->Buffer = const_cast<WCHAR *>(source);
    string->MaximumLength = static_cast<USHORT>((string->Length = std::wcslen(source) * 2) + 2);
}

NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                              ULONG characteristics, BOOLEAN exclusive, const UNICODE_STRING *sddl,
                              const GUID *classGuid, PDEVICE_OBJECT *device)
{
    char settings[80];
    std::snprintf(settings, sizeof settings, " ext %u type %x chars %x excl %d class %s ", extensionSize,
                  type, characteristics, exclusive,
                  std::memcmp(classGuid, &SPLIT_DEVICE_CLASS_GUID, 16) ? "?" : "ok");
    *device = &theDevice;
    return Fails("IoCreateDeviceSecure " + Narrow(name->Buffer) + settings + Narrow(sddl->Buffer))
               ? kstub::failStatus
               : 0;
}

void IoDeleteDevice(PDEVICE_OBJECT device)
{
    Fails(device == &theDevice ? "IoDeleteDevice" : "IoDeleteDevice ?");
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target)
{
    return Fails("IoCreateSymbolicLink " + Narrow(link->Buffer) + " " + Narrow(target->Buffer))
               ? kstub::failStatus
               : 0;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link)
{
    return Fails("IoDeleteSymbolicLink " + Narrow(link->Buffer)) ? kstub::failStatus : 0;
}

void IofCompleteRequest(PIRP, CCHAR boost)
{
    Fails("IofCompleteRequest boost " + std::to_string(boost));
}

// Ids 4 and 6 for the IPv4 and IPv6 keys; a callout set up otherwise than documented is named so.
NTSTATUS NTAPI FwpsCalloutRegister0(void *device, const FWPS_CALLOUT0 *callout, UINT32 *calloutId)
{
    const UINT32 id = std::memcmp(&callout->calloutKey, &SPLIT_CALLOUT_V4_KEY, 16) == 0   ? 4
                      : std::memcmp(&callout->calloutKey, &SPLIT_CALLOUT_V6_KEY, 16) == 0 ? 6
                                                                                          : 0;
    const bool asDocumented = device == &theDevice && callout->flags == 0 &&
                              callout->notifyFn == SplitNotify && !callout->flowDeleteFn &&
                              callout->classifyFn == (id == 4 ? SplitClassifyV4 : SplitClassifyV6);
    if (Fails("FwpsCalloutRegister0 v" + std::to_string(id) + (asDocumented ? "" : " otherwise"))) {
        return kstub::failStatus;
    }
    *calloutId = id;
    return 0;
}

NTSTATUS NTAPI FwpsCalloutUnregisterById0(const UINT32 id)
{
    return Fails("FwpsCalloutUnregisterById0 v" + std::to_string(id)) ? kstub::failStatus : 0;
}

void KeInitializeSpinLock(KSPIN_LOCK *lock)
{
    *lock = 0;
}

KIRQL KeAcquireSpinLockRaiseToDpc(KSPIN_LOCK *lock)
{
    if (locksHeld++ != 0) {
        ++kstub::lockFaults;
    }
    while (__atomic_exchange_n(lock, 1, __ATOMIC_ACQUIRE) != 0) {
        std::this_thread::yield();
    }
    return 2;
}

void KeReleaseSpinLock(KSPIN_LOCK *lock, KIRQL)
{
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    --locksHeld;
}

void NTAPI FwpsCompleteOperation0(HANDLE context, PNET_BUFFER_LIST)
{
    kstub::lockFaults += locksHeld != 0;
    Fails("FwpsCompleteOperation0 " + std::to_string(reinterpret_cast<UINT64>(context)));
}
