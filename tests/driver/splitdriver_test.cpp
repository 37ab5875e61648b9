// The whole driver through the stand-in: entry and its undo paths, unload, the control device's
// security and every answer of the three control codes.
#include "splittest.h"

#include <algorithm>

using namespace splittest;

namespace {

constexpr ULONG kStatusSuccess = 0x00000000u;
constexpr ULONG kStatusBufferTooSmall = 0xC0000023u;
constexpr ULONG kStatusInvalidParameter = 0xC000000Du;
constexpr ULONG kStatusNoMoreEntries = 0x8000001Au;
constexpr ULONG kStatusNotFound = 0xC0000225u;
constexpr ULONG kStatusInvalidDeviceRequest = 0xC0000010u;
constexpr ULONG kStatusAccessDenied = 0xC0000022u;

ULONG Code(const kshim::IoResult &result)
{
    return static_cast<ULONG>(result.status);
}

const char *const kCreateDevice = "IoCreateDeviceSecure \\Device\\ZumvariSplit";
const char *const kCreateLink = "IoCreateSymbolicLink \\DosDevices\\ZumvariSplit -> \\Device\\ZumvariSplit";
const char *const kRegisterV4 = "FwpsCalloutRegister0 {11AE83EC-749D-4A12-932F-789A62879531}";
const char *const kRegisterV6 = "FwpsCalloutRegister0 {8357822A-2F8C-42E6-A3D8-71AFD345587C}";
const char *const kUnregisterV4 = "FwpsCalloutUnregisterById0 {11AE83EC-749D-4A12-932F-789A62879531}";
const char *const kUnregisterV6 = "FwpsCalloutUnregisterById0 {8357822A-2F8C-42E6-A3D8-71AFD345587C}";
const char *const kDeleteLink = "IoDeleteSymbolicLink \\DosDevices\\ZumvariSplit";
const char *const kDeleteDevice = "IoDeleteDevice \\Device\\ZumvariSplit";

std::string Failed(const char *event)
{
    return std::string(event) + " [failed]";
}

// --- entry and unload -----------------------------------------------------------------------------

class EntryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kshim::Reset();
        ResetDriverStatics();
    }
    void TearDown() override { EXPECT_TRUE(kshim::Violations().empty()) << Describe(kshim::Violations()); }

    // After a failed entry nothing may remain, and a later load must work from scratch.
    void ExpectCleanFailureThenSuccessfulLoad()
    {
        EXPECT_EQ(SplitControlDevice, nullptr);
        EXPECT_EQ(calloutIdV4, 0u);
        EXPECT_EQ(calloutIdV6, 0u);
        EXPECT_TRUE(kshim::SymbolicLinks().empty());
        for (const kshim::DeviceRecord &device : kshim::Devices()) {
            EXPECT_TRUE(device.deleted);
        }
        for (const kshim::CalloutRecord &callout : kshim::Callouts()) {
            EXPECT_FALSE(callout.registered);
        }
        DRIVER_OBJECT again{};
        ASSERT_EQ(kshim::LoadDriver(&again, DriverEntry), STATUS_SUCCESS);
        kshim::UnloadDriver(&again);
    }

    DRIVER_OBJECT driver_{};
};

TEST_F(EntryTest, CreatesTheSecuredControlDeviceAndItsLink)
{
    ASSERT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_SUCCESS);

    const std::vector<kshim::DeviceRecord> devices = kshim::Devices();
    ASSERT_EQ(devices.size(), 1u);
    const kshim::DeviceRecord &device = devices[0];
    EXPECT_EQ(device.driver, &driver_);
    EXPECT_EQ(device.name, L"\\Device\\ZumvariSplit");
    EXPECT_EQ(device.extensionSize, 0u);
    EXPECT_EQ(device.type, 0x8000u);
    EXPECT_EQ(device.characteristics, 0x100u) << "FILE_DEVICE_SECURE_OPEN only";
    EXPECT_FALSE(device.exclusive);
    EXPECT_EQ(device.sddl, L"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    ASSERT_TRUE(device.hasClassGuid);
    EXPECT_EQ(kshim::ToString(device.classGuid), "{25430D91-F9CF-438A-B9B0-6CDA61EDE089}");
    EXPECT_EQ(SplitControlDevice, device.object);
    EXPECT_EQ(driver_.DeviceObject, device.object);

    const auto links = kshim::SymbolicLinks();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].second, L"\\Device\\ZumvariSplit");
    int handle = 0;
    EXPECT_EQ(kshim::Open(L"\\\\.\\ZumvariSplit", kshim::kGenericRead, kshim::Caller::LocalSystem, &handle),
              STATUS_SUCCESS)
        << "reachable from user mode as \\\\.\\ZumvariSplit";
    kshim::Close(handle);

    EXPECT_EQ(driver_.MajorFunction[IRP_MJ_CREATE], &SplitDispatchCreateClose);
    EXPECT_EQ(driver_.MajorFunction[IRP_MJ_CLOSE], &SplitDispatchCreateClose);
    EXPECT_EQ(driver_.MajorFunction[IRP_MJ_DEVICE_CONTROL], &SplitDispatchDeviceControl);
    EXPECT_EQ(driver_.DriverUnload, &SplitDriverUnload);
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (major != IRP_MJ_CREATE && major != IRP_MJ_CLOSE && major != IRP_MJ_DEVICE_CONTROL) {
            EXPECT_EQ(driver_.MajorFunction[major], kshim::kDefaultDispatch) << "major function " << major;
        }
    }
    kshim::UnloadDriver(&driver_);
}

TEST_F(EntryTest, RegistersTheIpv4ThenTheIpv6CalloutOnTheDevice)
{
    ASSERT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(kshim::Events(),
              (std::vector<std::string>{kCreateDevice, kCreateLink, kRegisterV4, kRegisterV6}));

    const std::vector<kshim::CalloutRecord> callouts = kshim::Callouts();
    ASSERT_EQ(callouts.size(), 2u);
    EXPECT_EQ(kshim::ToString(callouts[0].key), "{11AE83EC-749D-4A12-932F-789A62879531}");
    EXPECT_EQ(kshim::ToString(callouts[1].key), "{8357822A-2F8C-42E6-A3D8-71AFD345587C}");
    EXPECT_EQ(callouts[0].classifyFn, &SplitClassifyV4);
    EXPECT_EQ(callouts[1].classifyFn, &SplitClassifyV6);
    for (const kshim::CalloutRecord &callout : callouts) {
        EXPECT_TRUE(callout.registered);
        EXPECT_EQ(callout.flags, 0u);
        EXPECT_EQ(callout.notifyFn, &SplitNotify);
        EXPECT_EQ(callout.flowDeleteFn, nullptr);
        EXPECT_EQ(callout.deviceObject, SplitControlDevice);
    }
    EXPECT_EQ(calloutIdV4, callouts[0].id);
    EXPECT_EQ(calloutIdV6, callouts[1].id);
    EXPECT_NE(calloutIdV4, 0u);
    EXPECT_NE(calloutIdV6, 0u);
    kshim::UnloadDriver(&driver_);
}

TEST_F(EntryTest, UnloadClearsTheTableThenUnregistersIpv6FirstThenRemovesLinkAndDevice)
{
    ASSERT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_SUCCESS);
    // A pended classification (from an older classify path) must be completed by the unload.
    const SPLIT_CONNECTION_RECORD record = RecordV4(1, 6, 0x01020304, 443);
    ASSERT_TRUE(SplitQueueConnection(&record, 0xC0FFEE));

    kshim::UnloadDriver(&driver_);
    const std::vector<std::string> events = kshim::Events();
    ASSERT_EQ(events.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(events.begin() + 4, events.end()),
              (std::vector<std::string>{"FwpsCompleteOperation0 0xC0FFEE", kUnregisterV6, kUnregisterV4,
                                        kDeleteLink, kDeleteDevice}));
    EXPECT_EQ(SplitControlDevice, nullptr);
    EXPECT_EQ(calloutIdV4, 0u);
    EXPECT_EQ(calloutIdV6, 0u);
    EXPECT_TRUE(SnapshotTable().requestIds.empty());
    EXPECT_TRUE(kshim::SymbolicLinks().empty());
}

TEST_F(EntryTest, UnloadGoesOnWhenAnUnregistrationFails)
{
    ASSERT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_SUCCESS);
    kshim::FailCall(kshim::Call::CalloutUnregister, STATUS_INSUFFICIENT_RESOURCES);
    kshim::UnloadDriver(&driver_);

    const std::vector<std::string> events = kshim::Events();
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(events.begin() + 4, events.end()),
              (std::vector<std::string>{Failed(kUnregisterV6), kUnregisterV4, kDeleteLink, kDeleteDevice}));
    EXPECT_EQ(calloutIdV6, 0u);
    EXPECT_EQ(SplitControlDevice, nullptr);
    // The one thing left behind is the callout the filter engine refused to let go.
    EXPECT_EQ(kshim::Violations(),
              std::vector<std::string>{"unload: callout "
                                       "{8357822A-2F8C-42E6-A3D8-71AFD345587C} still registered"});
    kshim::Reset();
}

TEST_F(EntryTest, DeviceFailureIsReturnedWithNothingCreated)
{
    kshim::FailCall(kshim::Call::CreateDevice, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kshim::Events(), std::vector<std::string>{Failed(kCreateDevice)});
    EXPECT_EQ(driver_.DriverUnload, nullptr);
    ExpectCleanFailureThenSuccessfulLoad();
}

TEST_F(EntryTest, LinkFailureDeletesTheDevice)
{
    kshim::FailCall(kshim::Call::CreateSymbolicLink, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kshim::Events(), (std::vector<std::string>{kCreateDevice, Failed(kCreateLink), kDeleteDevice}));
    EXPECT_EQ(driver_.DeviceObject, nullptr);
    ExpectCleanFailureThenSuccessfulLoad();
}

TEST_F(EntryTest, Ipv4RegistrationFailureRunsTheUnloadRoutine)
{
    kshim::FailCall(kshim::Call::CalloutRegister, STATUS_FWP_ALREADY_EXISTS);
    EXPECT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_FWP_ALREADY_EXISTS);
    EXPECT_EQ(kshim::Events(), (std::vector<std::string>{kCreateDevice, kCreateLink, Failed(kRegisterV4),
                                                         kDeleteLink, kDeleteDevice}));
    ExpectCleanFailureThenSuccessfulLoad();
}

TEST_F(EntryTest, Ipv6RegistrationFailureUnregistersIpv4AndRunsTheUnloadRoutine)
{
    kshim::FailCall(kshim::Call::CalloutRegister, STATUS_INSUFFICIENT_RESOURCES, 1);
    EXPECT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kshim::Events(),
              (std::vector<std::string>{kCreateDevice, kCreateLink, kRegisterV4, Failed(kRegisterV6),
                                        kUnregisterV4, kDeleteLink, kDeleteDevice}));
    ExpectCleanFailureThenSuccessfulLoad();
}

TEST_F(EntryTest, CalloutRegistrationUndoesIpv4WhenIpv6Fails)
{
    ASSERT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_SUCCESS);
    SplitUnregisterCallouts();
    const size_t before = kshim::Events().size();

    kshim::FailCall(kshim::Call::CalloutRegister, STATUS_INSUFFICIENT_RESOURCES, 1);
    EXPECT_EQ(SplitRegisterCallouts(SplitControlDevice), STATUS_INSUFFICIENT_RESOURCES);
    const std::vector<std::string> events = kshim::Events();
    EXPECT_EQ(std::vector<std::string>(events.begin() + before, events.end()),
              (std::vector<std::string>{kRegisterV4, Failed(kRegisterV6), kUnregisterV4}));
    EXPECT_EQ(calloutIdV4, 0u);
    EXPECT_EQ(calloutIdV6, 0u);
    for (const kshim::CalloutRecord &callout : kshim::Callouts()) {
        EXPECT_FALSE(callout.registered);
    }

    kshim::FailCall(kshim::Call::CalloutRegister, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SplitRegisterCallouts(SplitControlDevice), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kshim::Events().back(), Failed(kRegisterV4)) << "nothing to undo when IPv4 fails";
    kshim::UnloadDriver(&driver_);
}

// --- the control device -----------------------------------------------------------------------------

using ControlDeviceTest = LoadedDriverTest;

TEST_F(ControlDeviceTest, OnlyLocalSystemAndAdministratorsMayOpenIt)
{
    const struct
    {
        kshim::Caller caller;
        NTSTATUS expected;
    } cases[] = {
        {kshim::Caller::LocalSystem, STATUS_SUCCESS},
        {kshim::Caller::Administrator, STATUS_SUCCESS},
        {kshim::Caller::User, STATUS_ACCESS_DENIED},
    };
    for (const auto &c : cases) {
        for (ACCESS_MASK access : {kshim::kGenericRead, kshim::kGenericWrite,
                                   kshim::kGenericRead | kshim::kGenericWrite, kshim::kFileReadAttributes}) {
            Controller controller(access, c.caller);
            EXPECT_EQ(controller.openStatus(), c.expected)
                << static_cast<int>(c.caller) << " access " << access;
        }
    }

    // FILE_DEVICE_SECURE_OPEN: a name below the device gets the device's protection too.
    int handle = 0;
    EXPECT_EQ(
        kshim::Open(L"\\\\.\\ZumvariSplit\\anything", kshim::kGenericRead, kshim::Caller::User, &handle),
        STATUS_ACCESS_DENIED);
    EXPECT_EQ(kshim::Open(L"\\\\.\\ZumvariSplit\\anything", kshim::kGenericRead, kshim::Caller::Administrator,
                          &handle),
              STATUS_SUCCESS);
    kshim::Close(handle);
    EXPECT_EQ(kshim::OpenHandleCount(), 0u);
}

TEST_F(ControlDeviceTest, HandlesAreSharedAndKeepNoState)
{
    Controller first;
    Controller second(kshim::kGenericRead | kshim::kGenericWrite, kshim::Caller::Administrator);
    ASSERT_EQ(first.openStatus(), STATUS_SUCCESS);
    ASSERT_EQ(second.openStatus(), STATUS_SUCCESS) << "the device is not exclusive";

    ASSERT_EQ(first.SetProcesses({5}).status, STATUS_SUCCESS);
    ASSERT_TRUE(IsHeld(Classify(AttemptV4(5, 6, 0x01020304, 443))));
    {
        Controller third;
        SPLIT_CONNECTION_RECORD record;
        ASSERT_EQ(third.GetConnection(&record).status, STATUS_SUCCESS);
        EXPECT_EQ(record.requestId, 1u);
    } // closing a handle changes nothing
    EXPECT_EQ(second.Ack(1).status, STATUS_SUCCESS) << "approved through another handle than it was taken";
    EXPECT_TRUE(IsPermitted(Classify(AttemptV4(5, 6, 0x01020304, 443))));
}

TEST_F(ControlDeviceTest, TheIoManagerRefusesCodesWhoseAccessTheHandleLacks)
{
    Controller admin;
    ASSERT_EQ(admin.SetProcesses({5}).status, STATUS_SUCCESS);
    ASSERT_TRUE(IsHeld(Classify(AttemptV4(5, 6, 0x01020304, 443))));

    Controller reader(kshim::kGenericRead);
    Controller writer(kshim::kGenericWrite);
    ASSERT_EQ(reader.openStatus(), STATUS_SUCCESS);
    ASSERT_EQ(writer.openStatus(), STATUS_SUCCESS);
    const size_t completedBefore = kshim::CompletedRequests().size();

    EXPECT_EQ(Code(reader.SetProcesses({})), kStatusAccessDenied);
    EXPECT_EQ(Code(reader.Ack(1)), kStatusAccessDenied);
    EXPECT_EQ(Code(writer.GetConnection(nullptr)), kStatusAccessDenied);
    EXPECT_EQ(kshim::CompletedRequests().size(), completedBefore) << "the driver never saw those requests";
    EXPECT_TRUE(IsHeld(Classify(AttemptV4(5, 6, 0x01020304, 443)))) << "the list was not replaced";

    SPLIT_CONNECTION_RECORD record;
    ASSERT_EQ(Code(reader.GetConnection(&record)), kStatusSuccess);
    EXPECT_EQ(Code(writer.Ack(record.requestId)), kStatusSuccess);
    EXPECT_EQ(Code(writer.SetProcesses({})), kStatusSuccess);
}

TEST_F(ControlDeviceTest, EveryRequestIsCompletedAtOnceWithoutBoost)
{
    {
        Controller controller;
        ASSERT_EQ(controller.openStatus(), STATUS_SUCCESS);
        EXPECT_EQ(controller.SetProcesses({1}).status, STATUS_SUCCESS);
        EXPECT_EQ(controller.GetConnection(nullptr).status, STATUS_NO_MORE_ENTRIES);
    }
    const std::vector<kshim::RequestCompletion> completed = kshim::CompletedRequests();
    std::vector<UCHAR> majors;
    for (const kshim::RequestCompletion &request : completed) {
        majors.push_back(request.majorFunction);
        EXPECT_EQ(request.priorityBoost, IO_NO_INCREMENT);
    }
    ASSERT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_DEVICE_CONTROL,
                                          IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(completed[0].status, STATUS_SUCCESS);
    EXPECT_EQ(completed[0].information, 0u);
    EXPECT_EQ(completed[3].status, STATUS_INVALID_DEVICE_REQUEST)
        << "cleanup keeps the I/O manager's default";
    EXPECT_EQ(completed[4].status, STATUS_SUCCESS);
    EXPECT_EQ(completed[4].information, 0u);
}

// --- control codes ------------------------------------------------------------------------------------

using ControlCodeTest = LoadedDriverTest;

TEST_F(ControlCodeTest, SetProcessesChecksLengthVersionAndCount)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({11, 22}).status, STATUS_SUCCESS);
    ASSERT_TRUE(IsHeld(Classify(AttemptV4(22, 6, 0x01020304, 443))));

    const std::vector<UINT8> three = ProcessListBytes({31, 32, 33});
    std::vector<UINT8> tooMany = ProcessListBytes(std::vector<UINT64>(129, 7));
    std::vector<UINT8> tooManyHeaderOnly(tooMany.begin(), tooMany.begin() + 8);
    const struct
    {
        const char *what;
        std::vector<UINT8> input;
        ULONG expected;
    } refused[] = {
        {"no input", {}, kStatusBufferTooSmall},
        {"7 bytes", std::vector<UINT8>(three.begin(), three.begin() + 7), kStatusBufferTooSmall},
        {"version 0", ProcessListBytes({1}, 0), kStatusInvalidParameter},
        {"version 2", ProcessListBytes({1}, 2), kStatusInvalidParameter},
        {"count 129, full length", tooMany, kStatusInvalidParameter},
        {"count 129, header only", tooManyHeaderOnly, kStatusInvalidParameter},
        {"count 3 in 31 bytes", std::vector<UINT8>(three.begin(), three.end() - 1), kStatusInvalidParameter},
    };
    for (const auto &r : refused) {
        const kshim::IoResult result = controller.Raw(IOCTL_SPLIT_SET_PROCESSES, r.input, 0);
        EXPECT_EQ(Code(result), r.expected) << r.what;
        EXPECT_EQ(result.information, 0u) << r.what;
    }
    // None of them changed anything: 22 is still a target and its record still waits.
    EXPECT_TRUE(IsHeld(Classify(AttemptV4(22, 6, 0x01020304, 443))));
    EXPECT_TRUE(IsPermitted(Classify(AttemptV4(31, 6, 0x01020304, 443))));
    EXPECT_EQ(SnapshotTable().queued, 1u);

    const kshim::IoResult accepted = controller.Raw(IOCTL_SPLIT_SET_PROCESSES, three, 0);
    EXPECT_EQ(Code(accepted), kStatusSuccess) << "count 3 in 32 bytes";
    EXPECT_EQ(accepted.information, 0u);
    EXPECT_TRUE(SnapshotTable().requestIds.empty()) << "a new list drops every record";
    EXPECT_TRUE(IsHeld(Classify(AttemptV4(33, 6, 0x01020304, 443))));
    EXPECT_TRUE(IsPermitted(Classify(AttemptV4(22, 6, 0x01020304, 443))));

    std::vector<UINT8> longer = ProcessListBytes({44});
    longer.resize(100, 0xEE);
    EXPECT_EQ(Code(controller.Raw(IOCTL_SPLIT_SET_PROCESSES, longer, 0)), kStatusSuccess)
        << "extra input ignored";
    EXPECT_TRUE(IsHeld(Classify(AttemptV4(44, 6, 0x01020304, 443))));

    const std::vector<UINT64> max(SPLIT_MAX_PROCESSES, 55);
    EXPECT_EQ(Code(controller.SetProcesses(max)), kStatusSuccess) << "count 128";
}

TEST_F(ControlCodeTest, EmptyListEmptiesBothTables)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({8}).status, STATUS_SUCCESS);
    ASSERT_TRUE(IsHeld(Classify(AttemptV4(8, 17, 0x01020304, 53))));

    const kshim::IoResult result = controller.Raw(IOCTL_SPLIT_SET_PROCESSES, ProcessListBytes({}), 0);
    EXPECT_EQ(Code(result), kStatusSuccess);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Code(controller.GetConnection(nullptr)), kStatusNoMoreEntries);
    EXPECT_TRUE(IsPermitted(Classify(AttemptV4(8, 17, 0x01020304, 53))));
    EXPECT_EQ(Code(controller.GetConnection(nullptr)), kStatusNoMoreEntries);
}

TEST_F(ControlCodeTest, GetConnectionNeedsSixtyFourBytesAndTakesNothingOtherwise)
{
    Controller controller;
    EXPECT_EQ(Code(controller.GetConnection(nullptr)), kStatusNoMoreEntries);
    ASSERT_EQ(controller.SetProcesses({8}).status, STATUS_SUCCESS);
    ASSERT_TRUE(IsHeld(Classify(AttemptV4(8, 6, 0x01020304, 443))));

    for (ULONG length : {0u, 1u, 63u}) {
        const kshim::IoResult result = controller.Raw(IOCTL_SPLIT_GET_CONNECTION, {}, length);
        EXPECT_EQ(Code(result), kStatusBufferTooSmall) << length;
        EXPECT_EQ(result.information, 0u);
    }
    EXPECT_EQ(SnapshotTable().queued, 1u) << "still Queued";

    // A larger buffer receives exactly 64 bytes; the rest is not written.
    std::vector<UINT8> output;
    const kshim::IoResult result = controller.Raw(IOCTL_SPLIT_GET_CONNECTION, {}, 100, &output);
    ASSERT_EQ(Code(result), kStatusSuccess);
    EXPECT_EQ(result.information, 64u);
    SPLIT_CONNECTION_RECORD record;
    std::memcpy(&record, output.data(), sizeof(record));
    EXPECT_EQ(record.requestId, 1u);
    EXPECT_EQ(record.processId, 8u);

    const kshim::IoResult none = controller.Raw(IOCTL_SPLIT_GET_CONNECTION, {}, 64);
    EXPECT_EQ(Code(none), kStatusNoMoreEntries);
    EXPECT_EQ(none.information, 0u);
}

TEST_F(ControlCodeTest, AckChecksLengthVersionAndState)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({8}).status, STATUS_SUCCESS);
    ASSERT_TRUE(IsHeld(Classify(AttemptV4(8, 6, 0x01020304, 443))));
    ASSERT_TRUE(IsHeld(Classify(AttemptV4(8, 6, 0x01020304, 444))));
    SPLIT_CONNECTION_RECORD record;
    ASSERT_EQ(Code(controller.GetConnection(&record)), kStatusSuccess);
    ASSERT_EQ(record.requestId, 1u);

    const std::vector<UINT8> ack = AckBytes(1);
    const struct
    {
        const char *what;
        std::vector<UINT8> input;
        ULONG expected;
    } refused[] = {
        {"no input", {}, kStatusBufferTooSmall},
        {"15 bytes", std::vector<UINT8>(ack.begin(), ack.end() - 1), kStatusBufferTooSmall},
        {"version 2", AckBytes(1, 2), kStatusNotFound},
        {"version 0", AckBytes(1, 0), kStatusNotFound},
        {"unknown id", AckBytes(99), kStatusNotFound},
        {"id 0", AckBytes(0), kStatusNotFound},
        {"still queued", AckBytes(2), kStatusNotFound},
    };
    for (const auto &r : refused) {
        const kshim::IoResult result = controller.Raw(IOCTL_SPLIT_ACK_CONNECTION, r.input, 0);
        EXPECT_EQ(Code(result), r.expected) << r.what;
        EXPECT_EQ(result.information, 0u) << r.what;
    }
    EXPECT_TRUE(IsHeld(Classify(AttemptV4(8, 6, 0x01020304, 443)))) << "no refused ack approved anything";

    const kshim::IoResult accepted =
        controller.Raw(IOCTL_SPLIT_ACK_CONNECTION, AckBytes(1, 1, 0xFFFFFFFF), 0);
    EXPECT_EQ(Code(accepted), kStatusSuccess) << "the reserved field is not read";
    EXPECT_EQ(accepted.information, 0u);
    EXPECT_TRUE(IsPermitted(Classify(AttemptV4(8, 6, 0x01020304, 443))));
    EXPECT_EQ(Code(controller.Ack(1)), kStatusNotFound) << "already approved";
}

TEST_F(ControlCodeTest, UnknownCodesAreInvalidDeviceRequests)
{
    Controller controller;
    const ULONG unknown[] = {
        CTL_CODE(0x8000u, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(0x8000u, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS),   // right function, wrong access bits
        CTL_CODE(0x8000u, 0x802, METHOD_NEITHER, FILE_READ_ACCESS),   // right function, wrong method
        CTL_CODE(0x0022u, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS), // another device type
        0,
    };
    const std::vector<UINT8> input = ProcessListBytes({1});
    for (ULONG code : unknown) {
        const kshim::IoResult result = controller.Raw(code, input, 64);
        EXPECT_EQ(Code(result), kStatusInvalidDeviceRequest) << std::hex << code;
        EXPECT_EQ(result.information, 0u);
    }
    EXPECT_TRUE(IsPermitted(Classify(AttemptV4(1, 6, 0x01020304, 443)))) << "no list was set";
}

TEST_F(ControlCodeTest, TheCodesAreTheDocumentedNumbers)
{
    // A controller written against the numbers alone must reach the same operations.
    Controller controller;
    EXPECT_EQ(Code(controller.Raw(0x8000A004u, ProcessListBytes({3}), 0)), kStatusSuccess);
    ASSERT_TRUE(IsHeld(Classify(AttemptV4(3, 6, 0x01020304, 443))));
    std::vector<UINT8> output;
    EXPECT_EQ(Code(controller.Raw(0x80006008u, {}, 64, &output)), kStatusSuccess);
    EXPECT_EQ(Code(controller.Raw(0x8000A00Cu, AckBytes(1), 0)), kStatusSuccess);
    EXPECT_TRUE(IsPermitted(Classify(AttemptV4(3, 6, 0x01020304, 443))));
}

} // namespace
