#include "kshimtest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <sched.h>

namespace kshim {
namespace {

constexpr ACCESS_MASK kFileAllAccess = 0x001F01FFu;
constexpr ACCESS_MASK kFileGenericRead = 0x00120089u;
constexpr ACCESS_MASK kFileGenericWrite = 0x00120116u;
constexpr ACCESS_MASK kFileGenericExecute = 0x001200A0u;

struct Failure
{
    Call call;
    NTSTATUS status;
    unsigned skip;
};

struct Handle
{
    PDEVICE_OBJECT device;
    ACCESS_MASK granted;
};

// What the driver has asked of the platform. Guarded by the mutex; never held while driver code runs.
struct State
{
    std::mutex mutex;
    std::vector<DeviceRecord> devices;
    std::map<std::wstring, std::wstring> links; // folded link name -> target as given
    std::vector<CalloutRecord> callouts;
    std::vector<UINT64> completions;
    std::vector<RequestCompletion> requests;
    std::vector<std::string> events;
    std::vector<std::string> violations;
    std::vector<Failure> failures;
    std::map<int, Handle> handles;
    int nextHandle = 1;
    UINT32 nextCalloutId = 0x100;
};

State &state()
{
    static State instance;
    return instance;
}

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local int spinLocksHeld = 0;

void Violation(const std::string &what)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.violations.push_back(what);
}

void RequirePassive(const char *routine)
{
    if (currentIrql != PASSIVE_LEVEL) {
        Violation(std::string(routine) + " called above PASSIVE_LEVEL");
    }
}

// Takes an injected failure for this call, if one is due. Caller holds the mutex.
bool TakeFailure(State &s, Call call, NTSTATUS *status)
{
    for (auto it = s.failures.begin(); it != s.failures.end(); ++it) {
        if (it->call != call) {
            continue;
        }
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        *status = it->status;
        s.failures.erase(it);
        return true;
    }
    return false;
}

std::wstring FromUnicode(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr) {
        return std::wstring();
    }
    return std::wstring(text->Buffer, text->Length / sizeof(WCHAR));
}

std::wstring Fold(const std::wstring &text)
{
    std::wstring folded = text;
    std::transform(folded.begin(), folded.end(), folded.begin(), [](wchar_t c) { return std::towlower(c); });
    return folded;
}

// The object manager's \DosDevices is the same directory as \??.
std::wstring LinkKey(const std::wstring &name)
{
    std::wstring folded = Fold(name);
    const std::wstring dosDevices = L"\\dosdevices\\";
    if (folded.compare(0, dosDevices.size(), dosDevices) == 0) {
        folded = L"\\??\\" + folded.substr(dosDevices.size());
    }
    return folded;
}

std::string Hex(unsigned long long value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llX", value);
    return text;
}

DeviceRecord *LiveDevice(State &s, PDEVICE_OBJECT object)
{
    for (DeviceRecord &record : s.devices) {
        if (!record.deleted && record.object == object) {
            return &record;
        }
    }
    return nullptr;
}

// --- the subset of SDDL that IoCreateDeviceSecure accepts: D:P(A;;rights;;;SID)... ---

struct Ace
{
    bool allow;
    ACCESS_MASK mask;
    std::wstring sid;
};

bool ParseRights(const std::wstring &text, ACCESS_MASK *mask)
{
    *mask = 0;
    if (text.compare(0, 2, L"0x") == 0) {
        try {
            *mask = static_cast<ACCESS_MASK>(std::stoul(text.substr(2), nullptr, 16));
        } catch (...) {
            return false;
        }
        return true;
    }
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        const std::wstring right = text.substr(i, 2);
        if (right == L"GA" || right == L"FA") {
            *mask |= kFileAllAccess;
        } else if (right == L"GR" || right == L"FR") {
            *mask |= kFileGenericRead;
        } else if (right == L"GW" || right == L"FW") {
            *mask |= kFileGenericWrite;
        } else if (right == L"GX" || right == L"FX") {
            *mask |= kFileGenericExecute;
        } else {
            return false;
        }
    }
    return true;
}

bool KnownSid(const std::wstring &sid)
{
    static const wchar_t *const known[] = {L"SY", L"BA", L"BU", L"WD", L"AU", L"IU", L"LS", L"NS", L"RC"};
    return std::any_of(std::begin(known), std::end(known), [&](const wchar_t *k) { return sid == k; });
}

bool ParseSddl(const std::wstring &sddl, std::vector<Ace> *aces)
{
    aces->clear();
    if (sddl.compare(0, 2, L"D:") != 0) {
        return false;
    }
    size_t pos = 2;
    while (pos < sddl.size() && sddl[pos] != L'(') {
        if (sddl.compare(pos, 1, L"P") == 0) {
            pos += 1;
        } else if (sddl.compare(pos, 2, L"AI") == 0 || sddl.compare(pos, 2, L"AR") == 0) {
            pos += 2;
        } else {
            return false;
        }
    }
    while (pos < sddl.size()) {
        if (sddl[pos] != L'(') {
            return false;
        }
        const size_t end = sddl.find(L')', pos);
        if (end == std::wstring::npos) {
            return false;
        }
        std::vector<std::wstring> fields;
        size_t start = pos + 1;
        for (;;) {
            const size_t semicolon = sddl.find(L';', start);
            if (semicolon == std::wstring::npos || semicolon > end) {
                fields.push_back(sddl.substr(start, end - start));
                break;
            }
            fields.push_back(sddl.substr(start, semicolon - start));
            start = semicolon + 1;
        }
        if (fields.size() != 6 || (fields[0] != L"A" && fields[0] != L"D") || !fields[1].empty() ||
            !fields[3].empty() || !fields[4].empty() || !KnownSid(fields[5])) {
            return false;
        }
        Ace ace{fields[0] == L"A", 0, fields[5]};
        if (!ParseRights(fields[2], &ace.mask)) {
            return false;
        }
        aces->push_back(ace);
        pos = end + 1;
    }
    return !aces->empty();
}

std::vector<std::wstring> CallerSids(Caller caller)
{
    switch (caller) {
    case Caller::LocalSystem:
        return {L"SY", L"BA", L"WD", L"AU"};
    case Caller::Administrator:
        return {L"BA", L"BU", L"WD", L"AU", L"IU"};
    case Caller::User:
        return {L"BU", L"WD", L"AU", L"IU"};
    }
    return {};
}

ACCESS_MASK MapGeneric(ACCESS_MASK desired)
{
    ACCESS_MASK mapped = desired & 0x0FFFFFFFu;
    if (desired & kGenericRead) {
        mapped |= kFileGenericRead;
    }
    if (desired & kGenericWrite) {
        mapped |= kFileGenericWrite;
    }
    if (desired & kGenericExecute) {
        mapped |= kFileGenericExecute;
    }
    if (desired & kGenericAll) {
        mapped |= kFileAllAccess;
    }
    return mapped;
}

bool AccessGranted(const std::vector<Ace> &aces, Caller caller, ACCESS_MASK desired)
{
    const std::vector<std::wstring> sids = CallerSids(caller);
    ACCESS_MASK remaining = desired;
    for (const Ace &ace : aces) {
        if (std::find(sids.begin(), sids.end(), ace.sid) == sids.end()) {
            continue;
        }
        if (!ace.allow && (ace.mask & remaining) != 0) {
            return false;
        }
        if (ace.allow) {
            remaining &= ~ace.mask;
        }
        if (remaining == 0) {
            return true;
        }
    }
    return remaining == 0;
}

// --- requests ---

struct KshimIrp
{
    IRP irp; // first member: the driver sees &irp
    IO_STACK_LOCATION stack;
    int completions;
};

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS SendIrp(PDEVICE_OBJECT device, KshimIrp *request)
{
    request->irp.CurrentStackLocation = &request->stack;
    request->stack.DeviceObject = device;
    const char *name = request->stack.MajorFunction == IRP_MJ_DEVICE_CONTROL ? "device control"
                       : request->stack.MajorFunction == IRP_MJ_CREATE       ? "create"
                       : request->stack.MajorFunction == IRP_MJ_CLOSE        ? "close"
                                                                             : "request";
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[request->stack.MajorFunction];
    currentIrql = PASSIVE_LEVEL;
    const NTSTATUS status = dispatch(device, &request->irp);
    if (request->completions != 1) {
        Violation(std::string(name) + " completed " + std::to_string(request->completions) + " times");
    }
    if (status != request->irp.IoStatus.Status) {
        Violation(std::string(name) + " returned " + Hex(static_cast<ULONG>(status)) +
                  " but completed with " + Hex(static_cast<ULONG>(request->irp.IoStatus.Status)));
    }
    if (currentIrql != PASSIVE_LEVEL || spinLocksHeld != 0) {
        Violation(std::string(name) + " returned at raised IRQL or with a spin lock held");
    }
    return status;
}

bool IsError(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

void CheckNothingLeft(PDRIVER_OBJECT driver, const std::string &when)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<std::wstring> names;
    std::vector<void *> objects;
    for (const DeviceRecord &record : s.devices) {
        if (record.driver != driver) {
            continue;
        }
        names.push_back(Fold(record.name));
        objects.push_back(record.object);
        if (!record.deleted) {
            s.violations.push_back(when + ": device " + Narrow(record.name) + " left behind");
        }
    }
    for (const auto &link : s.links) {
        if (std::find(names.begin(), names.end(), Fold(link.second)) != names.end()) {
            s.violations.push_back(when + ": link " + Narrow(link.first) + " left behind");
        }
    }
    for (const CalloutRecord &callout : s.callouts) {
        if (callout.registered &&
            std::find(objects.begin(), objects.end(), callout.deviceObject) != objects.end()) {
            s.violations.push_back(when + ": callout " + ToString(callout.key) + " still registered");
        }
    }
}

} // namespace

const PDRIVER_DISPATCH kDefaultDispatch = InvalidDeviceRequest;

void Reset()
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (DeviceRecord &record : s.devices) {
        if (!record.deleted) {
            operator delete(record.object->DeviceExtension);
            delete record.object;
        }
    }
    s.devices.clear();
    s.links.clear();
    s.callouts.clear();
    s.completions.clear();
    s.requests.clear();
    s.events.clear();
    s.violations.clear();
    s.failures.clear();
    s.handles.clear();
    currentIrql = PASSIVE_LEVEL;
    spinLocksHeld = 0;
}

void ForgetHistory()
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.completions.clear();
    s.requests.clear();
    s.events.clear();
    s.violations.clear();
}

void FailCall(Call call, NTSTATUS status, unsigned skip)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failures.push_back(Failure{call, status, skip});
}

std::vector<DeviceRecord> Devices()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().devices;
}

std::vector<std::pair<std::wstring, std::wstring>> SymbolicLinks()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    std::vector<std::pair<std::wstring, std::wstring>> links;
    for (const auto &link : state().links) {
        links.emplace_back(link.first, link.second);
    }
    return links;
}

std::vector<CalloutRecord> Callouts()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().callouts;
}

std::vector<UINT64> CompletedOperations()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().completions;
}

std::vector<RequestCompletion> CompletedRequests()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().requests;
}

std::vector<std::string> Events()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().events;
}

std::vector<std::string> Violations()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().violations;
}

std::string ToString(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string Narrow(const std::wstring &text)
{
    std::string narrow;
    for (wchar_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

bool SameGuid(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

NTSTATUS LoadDriver(DRIVER_OBJECT *driver, PDRIVER_INITIALIZE entry)
{
    std::memset(driver, 0, sizeof(*driver));
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) {
        dispatch = InvalidDeviceRequest;
    }
    static const WCHAR registryPath[] =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ZumvariSplit";
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, registryPath);
    currentIrql = PASSIVE_LEVEL;
    const NTSTATUS status = entry(driver, &path);
    if (currentIrql != PASSIVE_LEVEL || spinLocksHeld != 0) {
        Violation("entry returned at raised IRQL or with a spin lock held");
    }
    if (!NT_SUCCESS(status)) {
        CheckNothingLeft(driver, "failed entry");
    }
    return status;
}

void UnloadDriver(DRIVER_OBJECT *driver)
{
    if (driver->DriverUnload == nullptr) {
        Violation("unload requested but the driver installed no unload routine");
        return;
    }
    currentIrql = PASSIVE_LEVEL;
    driver->DriverUnload(driver);
    if (currentIrql != PASSIVE_LEVEL || spinLocksHeld != 0) {
        Violation("unload returned at raised IRQL or with a spin lock held");
    }
    CheckNothingLeft(driver, "unload");
}

NTSTATUS Open(const std::wstring &win32Path, ACCESS_MASK desiredAccess, Caller caller, int *handle)
{
    *handle = 0;
    const std::wstring prefix = L"\\\\.\\";
    if (win32Path.compare(0, prefix.size(), prefix) != 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::wstring linkName = win32Path.substr(prefix.size());
    std::wstring remainder;
    const size_t slash = linkName.find(L'\\');
    if (slash != std::wstring::npos) {
        remainder = linkName.substr(slash);
        linkName.resize(slash);
    }

    PDEVICE_OBJECT device = nullptr;
    std::vector<Ace> aces;
    bool checkSecurity = true;
    bool exclusive = false;
    const ACCESS_MASK granted = MapGeneric(desiredAccess);
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto link = s.links.find(LinkKey(L"\\??\\" + linkName));
        if (link == s.links.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        for (const DeviceRecord &record : s.devices) {
            if (!record.deleted && Fold(record.name) == Fold(link->second)) {
                device = record.object;
                ParseSddl(record.sddl, &aces);
                // Without FILE_DEVICE_SECURE_OPEN, opening a name below the device skips its ACL.
                checkSecurity = remainder.empty() || (record.characteristics & FILE_DEVICE_SECURE_OPEN) != 0;
                exclusive = record.exclusive;
            }
        }
        if (device == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (checkSecurity && !AccessGranted(aces, caller, granted)) {
            return STATUS_ACCESS_DENIED;
        }
        if (exclusive && std::any_of(s.handles.begin(), s.handles.end(),
                                     [&](const auto &open) { return open.second.device == device; })) {
            return STATUS_ACCESS_DENIED;
        }
    }

    KshimIrp request{};
    request.stack.MajorFunction = IRP_MJ_CREATE;
    request.stack.Parameters.Create.DesiredAccess = granted;
    const NTSTATUS status = SendIrp(device, &request);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    *handle = s.nextHandle++;
    s.handles[*handle] = Handle{device, granted};
    return status;
}

IoResult DeviceIoControl(int handle, ULONG code, const void *input, ULONG inputLength, void *output,
                         ULONG outputLength)
{
    Handle open{};
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto found = s.handles.find(handle);
        if (found == s.handles.end()) {
            return IoResult{kStatusInvalidHandle, 0};
        }
        open = found->second;
    }
    const ULONG requiredAccess = (code >> 14) & 3;
    if (((requiredAccess & FILE_READ_ACCESS) && !(open.granted & FILE_READ_DATA)) ||
        ((requiredAccess & FILE_WRITE_ACCESS) && !(open.granted & FILE_WRITE_DATA))) {
        return IoResult{STATUS_ACCESS_DENIED, 0};
    }

    // Exactly as large as the I/O manager makes it, so that reading past it is caught.
    const ULONG method = code & 3;
    const ULONG systemLength = method == METHOD_BUFFERED  ? std::max(inputLength, outputLength)
                               : method == METHOD_NEITHER ? 0
                                                          : inputLength;
    std::unique_ptr<UINT8[]> systemBuffer(systemLength != 0 ? new UINT8[systemLength] : nullptr);
    if (systemLength != 0) {
        std::memset(systemBuffer.get(), 0xCD, systemLength);
        if (inputLength != 0) {
            std::memcpy(systemBuffer.get(), input, inputLength);
        }
    }

    KshimIrp request{};
    request.irp.AssociatedIrp.SystemBuffer = systemBuffer.get();
    request.irp.UserBuffer = method == METHOD_BUFFERED ? nullptr : output;
    request.stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    request.stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    request.stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    request.stack.Parameters.DeviceIoControl.IoControlCode = code;
    request.stack.Parameters.DeviceIoControl.Type3InputBuffer =
        method == METHOD_NEITHER ? const_cast<void *>(input) : nullptr;
    const NTSTATUS status = SendIrp(open.device, &request);

    ULONG_PTR information = request.irp.IoStatus.Information;
    if (method == METHOD_BUFFERED && !IsError(status)) {
        if (information > outputLength) {
            Violation("device control reported " + std::to_string(information) + " bytes for a " +
                      std::to_string(outputLength) + "-byte output buffer");
            information = outputLength;
        }
        if (information != 0) {
            std::memcpy(output, systemBuffer.get(), information);
        }
    }
    return IoResult{status, information};
}

NTSTATUS Close(int handle)
{
    Handle open{};
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto found = s.handles.find(handle);
        if (found == s.handles.end()) {
            return kStatusInvalidHandle;
        }
        open = found->second;
        s.handles.erase(found);
    }
    KshimIrp cleanup{};
    cleanup.stack.MajorFunction = IRP_MJ_CLEANUP;
    SendIrp(open.device, &cleanup);
    KshimIrp close{};
    close.stack.MajorFunction = IRP_MJ_CLOSE;
    SendIrp(open.device, &close);
    return STATUS_SUCCESS;
}

size_t OpenHandleCount()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().handles.size();
}

PreparedClassify::PreparedClassify(const GUID &calloutKey, const ConnectAttempt &attempt)
{
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        for (const CalloutRecord &callout : s.callouts) {
            if (callout.registered && SameGuid(callout.key, calloutKey)) {
                classifyFn_ = callout.classifyFn;
            }
        }
    }
    // Fields 0 to 7 of FWPS_FIELDS_ALE_AUTH_CONNECT_V4/_V6 with the types the layer gives them.
    values_[0].value.type = FWP_BYTE_BLOB_TYPE; // application id, not filled in here
    values_[1].value.type = FWP_EMPTY;          // user id (a token access structure)
    if (attempt.v6) {
        localAddressV6_.byteArray16[15] = 1;
        values_[2].value.type = FWP_BYTE_ARRAY16_TYPE;
        values_[2].value.byteArray16 = &localAddressV6_;
        std::memcpy(remoteAddressV6_.byteArray16, attempt.remoteAddressV6.data(), 16);
        values_[6].value.type = FWP_BYTE_ARRAY16_TYPE;
        values_[6].value.byteArray16 = &remoteAddressV6_;
    } else {
        values_[2].value.type = FWP_UINT32;
        values_[2].value.uint32 = 0x7F000001u;
        values_[6].value.type = FWP_UINT32;
        values_[6].value.uint32 = attempt.remoteAddressV4;
    }
    values_[3].value.type = FWP_UINT8; // local address type
    values_[3].value.uint8 = 0;
    values_[4].value.type = FWP_UINT16; // local port
    values_[4].value.uint16 = 50000;
    values_[5].value.type = FWP_UINT8;
    values_[5].value.uint8 = attempt.protocol;
    values_[7].value.type = FWP_UINT16;
    values_[7].value.uint16 = attempt.remotePort;
    fixedValues_.layerId = 0;
    fixedValues_.valueCount = 8;
    fixedValues_.incomingValue = values_;

    // Other metadata is always marked present, so only the process-id bit tells the two cases apart.
    metaValues_.currentMetadataValues = 0x0000FFFFu & ~static_cast<UINT32>(FWPS_METADATA_FIELD_PROCESS_ID);
    if (attempt.hasProcessId) {
        metaValues_.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID;
    }
    metaValues_.processId = attempt.processId;
}

void PreparedClassify::Run(FWPS_CLASSIFY_OUT0 *classifyOut) const
{
    const KIRQL saved = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    classifyFn_(&fixedValues_, &metaValues_, nullptr, nullptr, 0, classifyOut);
    if (currentIrql != DISPATCH_LEVEL || spinLocksHeld != 0) {
        Violation("classify returned at a changed IRQL or with a spin lock held");
    }
    currentIrql = saved;
}

FWPS_CLASSIFY_OUT0 FreshClassifyOut(bool canWrite)
{
    FWPS_CLASSIFY_OUT0 out;
    std::memset(&out, 0, sizeof(out));
    out.actionType = 0x2006; // FWP_ACTION_CONTINUE, as left by lower-weight processing
    out.outContext = 0x1111;
    out.filterId = 0x2222;
    out.rights = canWrite ? FWPS_RIGHT_ACTION_WRITE : 0;
    out.flags = 0;
    return out;
}

bool Classify(const GUID &calloutKey, const ConnectAttempt &attempt, FWPS_CLASSIFY_OUT0 *classifyOut)
{
    PreparedClassify prepared(calloutKey, attempt);
    if (!prepared.Registered()) {
        return false;
    }
    prepared.Run(classifyOut);
    return true;
}

bool Notify(const GUID &calloutKey, FWPS_CALLOUT_NOTIFY_TYPE type, NTSTATUS *result)
{
    FWPS_CALLOUT_NOTIFY_FN0 notifyFn = nullptr;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        for (const CalloutRecord &callout : state().callouts) {
            if (callout.registered && SameGuid(callout.key, calloutKey)) {
                notifyFn = callout.notifyFn;
            }
        }
    }
    if (notifyFn == nullptr) {
        return false;
    }
    static const GUID filterKey = {0x01234567, 0x89ab, 0xcdef, {1, 2, 3, 4, 5, 6, 7, 8}};
    *result = notifyFn(type, type == FWPS_CALLOUT_NOTIFY_DELETE_FILTER ? nullptr : &filterKey, nullptr);
    return true;
}

} // namespace kshim

extern "C" {

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    const size_t bytes = std::wcslen(SourceString) * sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                    PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                    ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                    PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                                    PDEVICE_OBJECT *DeviceObject)
{
    using namespace kshim;
    RequirePassive("IoCreateDeviceSecure");
    const std::wstring name = FromUnicode(DeviceName);
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    NTSTATUS status;
    if (TakeFailure(s, Call::CreateDevice, &status)) {
        s.events.push_back("IoCreateDeviceSecure " + Narrow(name) + " [failed]");
        return status;
    }
    s.events.push_back("IoCreateDeviceSecure " + Narrow(name));
    std::vector<Ace> aces;
    if (DefaultSDDLString == nullptr || !ParseSddl(FromUnicode(DefaultSDDLString), &aces)) {
        return STATUS_INVALID_PARAMETER;
    }
    for (const DeviceRecord &record : s.devices) {
        if (!record.deleted && !name.empty() && Fold(record.name) == Fold(name)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    PDEVICE_OBJECT device = new DEVICE_OBJECT{};
    device->DriverObject = DriverObject;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize != 0 ? operator new(DeviceExtensionSize) : nullptr;
    if (device->DeviceExtension != nullptr) {
        std::memset(device->DeviceExtension, 0, DeviceExtensionSize);
    }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;

    DeviceRecord record;
    record.driver = DriverObject;
    record.object = device;
    record.name = name;
    record.extensionSize = DeviceExtensionSize;
    record.type = DeviceType;
    record.characteristics = DeviceCharacteristics;
    record.exclusive = Exclusive != FALSE;
    record.sddl = FromUnicode(DefaultSDDLString);
    record.hasClassGuid = DeviceClassGuid != nullptr;
    if (DeviceClassGuid != nullptr) {
        record.classGuid = *DeviceClassGuid;
    }
    s.devices.push_back(record);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    using namespace kshim;
    RequirePassive("IoDeleteDevice");
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    DeviceRecord *record = LiveDevice(s, DeviceObject);
    if (record == nullptr) {
        s.violations.push_back("IoDeleteDevice of a device that does not exist");
        return;
    }
    s.events.push_back("IoDeleteDevice " + Narrow(record->name));
    PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) {
        link = &(*link)->NextDevice;
    }
    if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
    }
    record->deleted = true;
    operator delete(DeviceObject->DeviceExtension);
    delete DeviceObject;
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    using namespace kshim;
    RequirePassive("IoCreateSymbolicLink");
    const std::wstring link = FromUnicode(SymbolicLinkName);
    const std::wstring target = FromUnicode(DeviceName);
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    NTSTATUS status;
    if (TakeFailure(s, Call::CreateSymbolicLink, &status)) {
        s.events.push_back("IoCreateSymbolicLink " + Narrow(link) + " -> " + Narrow(target) + " [failed]");
        return status;
    }
    s.events.push_back("IoCreateSymbolicLink " + Narrow(link) + " -> " + Narrow(target));
    if (!s.links.emplace(LinkKey(link), target).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    using namespace kshim;
    RequirePassive("IoDeleteSymbolicLink");
    const std::wstring link = FromUnicode(SymbolicLinkName);
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.events.push_back("IoDeleteSymbolicLink " + Narrow(link));
    return s.links.erase(LinkKey(link)) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

void NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    using namespace kshim;
    auto *request = reinterpret_cast<KshimIrp *>(Irp);
    ++request->completions;
    std::lock_guard<std::mutex> lock(state().mutex);
    state().requests.push_back(RequestCompletion{request->stack.MajorFunction, Irp->IoStatus.Status,
                                                 Irp->IoStatus.Information, PriorityBoost});
}

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    using namespace kshim;
    if (currentIrql > DISPATCH_LEVEL) {
        Violation("KeAcquireSpinLockRaiseToDpc called above DISPATCH_LEVEL");
    }
    if (spinLocksHeld != 0) {
        Violation("a spin lock was acquired while another one was held");
    }
    while (__atomic_exchange_n(SpinLock, 1, __ATOMIC_ACQUIRE) != 0) {
        while (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != 0) {
            sched_yield();
        }
    }
    ++spinLocksHeld;
    const KIRQL previous = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    return previous;
}

void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    using namespace kshim;
    if (spinLocksHeld == 0 || __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0) {
        Violation("KeReleaseSpinLock of a lock that is not held");
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    --spinLocksHeld;
    currentIrql = NewIrql;
}

NTSTATUS NTAPI FwpsCalloutRegister0(void *deviceObject, const FWPS_CALLOUT0 *callout, UINT32 *calloutId)
{
    using namespace kshim;
    RequirePassive("FwpsCalloutRegister0");
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    NTSTATUS status;
    if (TakeFailure(s, Call::CalloutRegister, &status)) {
        s.events.push_back("FwpsCalloutRegister0 " + ToString(callout->calloutKey) + " [failed]");
        return status;
    }
    s.events.push_back("FwpsCalloutRegister0 " + ToString(callout->calloutKey));
    if (LiveDevice(s, static_cast<PDEVICE_OBJECT>(deviceObject)) == nullptr ||
        callout->classifyFn == nullptr || callout->notifyFn == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    for (const CalloutRecord &existing : s.callouts) {
        if (existing.registered && SameGuid(existing.key, callout->calloutKey)) {
            return STATUS_FWP_ALREADY_EXISTS;
        }
    }
    CalloutRecord record;
    record.key = callout->calloutKey;
    record.flags = callout->flags;
    record.classifyFn = callout->classifyFn;
    record.notifyFn = callout->notifyFn;
    record.flowDeleteFn = callout->flowDeleteFn;
    record.deviceObject = deviceObject;
    record.id = s.nextCalloutId++;
    record.registered = true;
    s.callouts.push_back(record);
    if (calloutId != nullptr) {
        *calloutId = record.id;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FwpsCalloutUnregisterById0(const UINT32 calloutId)
{
    using namespace kshim;
    RequirePassive("FwpsCalloutUnregisterById0");
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (CalloutRecord &callout : s.callouts) {
        if (callout.registered && callout.id == calloutId) {
            NTSTATUS status;
            if (TakeFailure(s, Call::CalloutUnregister, &status)) {
                s.events.push_back("FwpsCalloutUnregisterById0 " + ToString(callout.key) + " [failed]");
                return status;
            }
            callout.registered = false;
            s.events.push_back("FwpsCalloutUnregisterById0 " + ToString(callout.key));
            return STATUS_SUCCESS;
        }
    }
    s.events.push_back("FwpsCalloutUnregisterById0 unknown id " + std::to_string(calloutId));
    return STATUS_FWP_CALLOUT_NOT_FOUND;
}

void NTAPI FwpsCompleteOperation0(HANDLE completionContext, PNET_BUFFER_LIST netBufferList)
{
    using namespace kshim;
    (void)netBufferList;
    if (spinLocksHeld != 0) {
        Violation("FwpsCompleteOperation0 called with a spin lock held");
    }
    if (currentIrql > DISPATCH_LEVEL) {
        Violation("FwpsCompleteOperation0 called above DISPATCH_LEVEL");
    }
    const UINT64 context = reinterpret_cast<ULONG_PTR>(completionContext);
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.completions.push_back(context);
    s.events.push_back("FwpsCompleteOperation0 " + Hex(context));
}

} // extern "C"
