// The test-facing side of the kernel stand-in: what the driver asked of the platform, failure
// injection, a loader, an I/O manager that opens the device and sends requests as Windows does,
// and a filter engine that calls the registered classify functions.
#ifndef ZUMVARI_KSHIMTEST_H
#define ZUMVARI_KSHIMTEST_H

#include "kshim.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace kshim {

// Generic and file access rights, as a user-mode caller passes them to CreateFile.
constexpr ACCESS_MASK kGenericRead = 0x80000000u;
constexpr ACCESS_MASK kGenericWrite = 0x40000000u;
constexpr ACCESS_MASK kGenericExecute = 0x20000000u;
constexpr ACCESS_MASK kGenericAll = 0x10000000u;
constexpr ACCESS_MASK kFileReadAttributes = 0x0080u;

constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008u);

// Forget everything: records, injected failures, open handles, live devices.
void Reset();
// Forget only the history (events, completions, violations); devices, links, callouts and handles stay.
void ForgetHistory();

// Calls a test can make fail. The (skip + 1)-th next call of that kind returns status and does nothing.
enum class Call { CreateDevice, CreateSymbolicLink, CalloutRegister, CalloutUnregister };
void FailCall(Call call, NTSTATUS status, unsigned skip = 0);

struct DeviceRecord
{
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT object = nullptr; // dangling once deleted
    std::wstring name;
    ULONG extensionSize = 0;
    DEVICE_TYPE type = 0;
    ULONG characteristics = 0;
    bool exclusive = false;
    std::wstring sddl;
    bool hasClassGuid = false;
    GUID classGuid{};
    bool deleted = false;
};

struct CalloutRecord
{
    GUID key{};
    UINT32 flags = 0;
    FWPS_CALLOUT_CLASSIFY_FN0 classifyFn = nullptr;
    FWPS_CALLOUT_NOTIFY_FN0 notifyFn = nullptr;
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 flowDeleteFn = nullptr;
    void *deviceObject = nullptr;
    UINT32 id = 0;
    bool registered = false;
};

std::vector<DeviceRecord> Devices();                                // creation order, deleted ones too
std::vector<std::pair<std::wstring, std::wstring>> SymbolicLinks(); // existing links: name, target
std::vector<CalloutRecord> Callouts();                              // registration order
std::vector<UINT64> CompletedOperations();                          // FwpsCompleteOperation0 contexts
struct RequestCompletion
{
    UCHAR majorFunction;
    NTSTATUS status;
    ULONG_PTR information;
    CCHAR priorityBoost;
};
std::vector<RequestCompletion> CompletedRequests(); // every IofCompleteRequest, in order
// The driver's calls into the platform in order, e.g. "IoDeleteSymbolicLink \DosDevices\ZumvariSplit".
// Calls made to fail carry " [failed]".
std::vector<std::string> Events();
// Kernel rules the driver broke: a second spin lock taken while one is held, completion under a
// spin lock, a passive-level call at raised IRQL, a request completed twice or not at all, a
// dispatch result that differs from IoStatus.Status, resources left after unload or failed entry.
std::vector<std::string> Violations();

std::string ToString(const GUID &guid);
std::string Narrow(const std::wstring &text);
bool SameGuid(const GUID &a, const GUID &b);

// Loader. Sets every major function to the I/O manager's default before calling the entry.
NTSTATUS LoadDriver(DRIVER_OBJECT *driver, PDRIVER_INITIALIZE entry);
void UnloadDriver(DRIVER_OBJECT *driver);
extern const PDRIVER_DISPATCH kDefaultDispatch;

// I/O manager. A Win32 path such as \\.\Name resolves through the link \DosDevices\Name.
enum class Caller { LocalSystem, Administrator, User };
struct IoResult
{
    NTSTATUS status;
    ULONG_PTR information;
};
NTSTATUS Open(const std::wstring &win32Path, ACCESS_MASK desiredAccess, Caller caller, int *handle);
// Refuses a code whose required access the handle lacks without calling the driver, as Windows does.
IoResult DeviceIoControl(int handle, ULONG code, const void *input, ULONG inputLength, void *output,
                         ULONG outputLength);
NTSTATUS Close(int handle);
size_t OpenHandleCount();

// Filter engine, ALE connect-authorization layers.
struct ConnectAttempt
{
    bool v6 = false;
    bool hasProcessId = true;
    UINT64 processId = 0;
    UINT8 protocol = 6;
    UINT32 remoteAddressV4 = 0; // as the layer supplies it: 1.2.3.4 is 0x01020304
    std::array<UINT8, 16> remoteAddressV6{};
    UINT16 remotePort = 0;
};

// One attempt laid out as the filter engine passes it, ready to be classified any number of times.
class PreparedClassify
{
public:
    PreparedClassify(const GUID &calloutKey, const ConnectAttempt &attempt);
    PreparedClassify(const PreparedClassify &) = delete;
    PreparedClassify &operator=(const PreparedClassify &) = delete;

    bool Registered() const { return classifyFn_ != nullptr; }
    // Calls the classify function at DISPATCH_LEVEL.
    void Run(FWPS_CLASSIFY_OUT0 *classifyOut) const;

private:
    FWPS_CALLOUT_CLASSIFY_FN0 classifyFn_ = nullptr;
    FWP_BYTE_ARRAY16 localAddressV6_{};
    FWP_BYTE_ARRAY16 remoteAddressV6_{};
    FWPS_INCOMING_VALUE0 values_[8]{};
    FWPS_INCOMING_VALUES0 fixedValues_{};
    FWPS_INCOMING_METADATA_VALUES0 metaValues_{};
};

// Classify-out as the filter engine hands it over, with or without the right to write the action.
FWPS_CLASSIFY_OUT0 FreshClassifyOut(bool canWrite = true);

// False when no callout is registered under the key.
bool Classify(const GUID &calloutKey, const ConnectAttempt &attempt, FWPS_CLASSIFY_OUT0 *classifyOut);
bool Notify(const GUID &calloutKey, FWPS_CALLOUT_NOTIFY_TYPE type, NTSTATUS *result);

} // namespace kshim

#endif // ZUMVARI_KSHIMTEST_H
