#include "splitwalk.h"

#include <cstring>
#include <thread>

std::vector<std::string> kstub::events;
std::atomic<int> kstub::lockFaults{0};
std::string kstub::failOn;
NTSTATUS kstub::failStatus = static_cast<NTSTATUS>(0xC000009A); // insufficient resources

namespace {

char deviceStorage;
const PDEVICE_OBJECT theDevice = reinterpret_cast<PDEVICE_OBJECT>(&deviceStorage);
thread_local int locksHeld = 0;

std::string Narrow(const UNICODE_STRING *text)
{
    return std::string(text->Buffer, text->Buffer + text->Length / sizeof(WCHAR));
}

// Records the call; answers failStatus when it is the one to fail.
NTSTATUS Record(const std::string &event)
{
    const bool fail = !kstub::failOn.empty() && event.rfind(kstub::failOn, 0) == 0;
    kstub::events.push_back(fail ? event + " failed" : event);
    kstub::failOn = fail ? "" : kstub::failOn;
    return fail ? kstub::failStatus : STATUS_SUCCESS;
}

} // namespace

void RtlInitUnicodeString(PUNICODE_STRING string, const WCHAR *source)
{
    string->Buffer = const_cast<WCHAR *>(source);
    string->Length = static_cast<USHORT>(std::wcslen(source) * sizeof(WCHAR));
}

NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                              ULONG characteristics, BOOLEAN exclusive, const UNICODE_STRING *sddl,
                              const GUID *classGuid, PDEVICE_OBJECT *device)
{
    const bool ourClass = std::memcmp(classGuid, &SPLIT_DEVICE_CLASS_GUID, sizeof(GUID)) == 0;
    *device = theDevice;
    const std::string settings = std::to_string(extensionSize) + " " + std::to_string(type) + " " +
                                 std::to_string(characteristics) + " " + std::to_string(exclusive);
    return Record("IoCreateDeviceSecure " + Narrow(name) + " " + Narrow(sddl) + " " + settings +
                  (ourClass ? "" : " of another class"));
}

void IoDeleteDevice(PDEVICE_OBJECT device)
{
    Record(device == theDevice ? "IoDeleteDevice" : "IoDeleteDevice ?");
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target)
{
    return Record("IoCreateSymbolicLink " + Narrow(link) + " " + Narrow(target));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link)
{
    return Record("IoDeleteSymbolicLink " + Narrow(link));
}

void KstubAssertionFailed(const char *expression)
{
    Record(std::string("NT_ASSERT failed: ") + expression);
}

void IofCompleteRequest(PIRP, CCHAR boost)
{
    Record("IofCompleteRequest boost " + std::to_string(boost));
}

// Id 4 for the IPv4 key, 6 for any other; a callout set up otherwise than documented is named so.
NTSTATUS NTAPI FwpsCalloutRegister0(void *device, const FWPS_CALLOUT0 *callout, UINT32 *calloutId)
{
    const UINT32 id = std::memcmp(&callout->calloutKey, &SPLIT_CALLOUT_V4_KEY, sizeof(GUID)) == 0 ? 4 : 6;
    const bool asDocumented = device == theDevice && callout->flags == 0 &&
                              callout->notifyFn == SplitNotify && !callout->flowDeleteFn &&
                              callout->classifyFn == (id == 4 ? SplitClassifyV4 : SplitClassifyV6);
    const NTSTATUS status =
        Record("FwpsCalloutRegister0 v" + std::to_string(id) + (asDocumented ? "" : " otherwise"));
    *calloutId = status == STATUS_SUCCESS ? id : *calloutId;
    return status;
}

NTSTATUS NTAPI FwpsCalloutUnregisterById0(const UINT32 id)
{
    return Record("FwpsCalloutUnregisterById0 v" + std::to_string(id));
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
    Record("FwpsCompleteOperation0 " + std::to_string(reinterpret_cast<UINT64>(context)));
}
