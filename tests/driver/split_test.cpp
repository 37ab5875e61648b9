// The driver against a plain model (a fixed random walk), then what the walk cannot see: completion of
// pended operations, entry and unload over the recording stand-in, dispatch, and a concurrent run
// meant for ThreadSanitizer.
#include "splitwalk.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace splitwalk;

namespace {

using Events = std::vector<std::string>;

SPLIT_CONNECTION_RECORD V4(UINT64 pid, UINT8 protocol, UINT32 address, UINT16 port)
{
    SPLIT_CONNECTION_RECORD record;
    SplitBuildRecordV4(&record, pid, protocol, address, port);
    return record;
}

UINT64 TakeId()
{
    SPLIT_CONNECTION_RECORD record;
    return SplitTakeQueuedConnection(&record) ? record.requestId : 0;
}

class SplitTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetDriver();
        SplitControlDevice = nullptr;
        calloutIdV4 = calloutIdV6 = 0;
        kstub::events.clear();
        kstub::failStatus = static_cast<NTSTATUS>(0xC000009A);
    }
    // The lock stand-in counts a second lock taken while one is held, and completion under a lock.
    void TearDown() override { EXPECT_EQ(kstub::lockFaults, 0); }
};

TEST_F(SplitTest, DriverAndModelAgreeOnAWalk)
{
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 random(seed);
        EXPECT_EQ(Walk([&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); }, 3000),
                  "")
            << "seed " << seed;
    }
}

// Classification never pends, so contexts are handed in directly. The first two slots hold one key,
// as when two processors queue its first attempt at once; the lower slot decides.
TEST_F(SplitTest, LowestSlotDecidesAndPendedOperationsCompleteOnceOutsideTheLock)
{
    const UINT64 contexts[] = {0xA1, 0, 0x30, 0x10};
    for (UINT32 i = 0; i < 4; ++i) {
        const SPLIT_CONNECTION_RECORD record = V4(1, 17, i < 2 ? 0 : i, 9);
        ASSERT_TRUE(SplitQueueConnection(&record, contexts[i]));
    }
    const SPLIT_CONNECTION_RECORD twice = V4(1, 17, 0, 9);
    EXPECT_EQ(TakeId(), 1u);
    EXPECT_EQ(TakeId(), 2u);
    ASSERT_TRUE(SplitApproveConnection(2)); // a zero context is not completed
    EXPECT_EQ(SplitLookupConnection(&twice), SplitLookupHeld);
    ASSERT_TRUE(SplitApproveConnection(1));
    EXPECT_EQ(SplitLookupConnection(&twice), SplitLookupApproved);
    SplitClearConnections();
    SplitClearConnections();
    EXPECT_EQ(kstub::events, (Events{"FwpsCompleteOperation0 161", "FwpsCompleteOperation0 48",
                                     "FwpsCompleteOperation0 16"}));
}

const std::string kDevice =
    "IoCreateDeviceSecure \\Device\\ZumvariSplit ext 0 type 8000 chars 100 excl 0 class ok "
    "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
const std::string kLink = "IoCreateSymbolicLink \\DosDevices\\ZumvariSplit \\Device\\ZumvariSplit";
const std::string kRegV4 = "FwpsCalloutRegister0 v4", kRegV6 = "FwpsCalloutRegister0 v6";
const std::string kUnregV4 = "FwpsCalloutUnregisterById0 v4", kUnregV6 = "FwpsCalloutUnregisterById0 v6";
const std::string kUnlink = "IoDeleteSymbolicLink \\DosDevices\\ZumvariSplit", kDelete = "IoDeleteDevice";

TEST_F(SplitTest, EntryInstallsDeviceAndCalloutsAndUnloadRemovesThemInOrder)
{
    DRIVER_OBJECT driver{};
    ASSERT_EQ(DriverEntry(&driver, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kstub::events, (Events{kDevice, kLink, kRegV4, kRegV6}));
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_CREATE], SplitDispatchCreateClose);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_CLOSE], SplitDispatchCreateClose);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_DEVICE_CONTROL], SplitDispatchDeviceControl);
    ASSERT_EQ(driver.DriverUnload, SplitDriverUnload);
    SplitUnregisterCallouts(); // the registration on its own undoes IPv4 when IPv6 fails
    kstub::events.clear();
    kstub::failOn = kRegV6;
    EXPECT_NE(SplitRegisterCallouts(SplitControlDevice), STATUS_SUCCESS);
    EXPECT_EQ(kstub::events, (Events{kRegV4, kRegV6 + " failed", kUnregV4}));
    ASSERT_EQ(SplitRegisterCallouts(SplitControlDevice), STATUS_SUCCESS);

    const SPLIT_CONNECTION_RECORD record = V4(1, 6, 1, 1);
    ASSERT_TRUE(SplitQueueConnection(&record, 0xC0FFEE)); // a classification pended by an older path
    kstub::events.clear();
    kstub::failOn = kUnregV6; // unload goes on past a failed unregistration
    driver.DriverUnload(&driver);
    EXPECT_EQ(kstub::events,
              (Events{"FwpsCompleteOperation0 12648430", kUnregV6 + " failed", kUnregV4, kUnlink, kDelete}));
    EXPECT_EQ(SplitControlDevice, nullptr);
    EXPECT_EQ(calloutIdV4 | calloutIdV6, 0u);
    EXPECT_EQ(TakeId(), 0u);
}

TEST_F(SplitTest, FailedEntryUndoesWhatItDidAndReturnsTheFailure)
{
    const struct
    {
        std::string failOn;
        Events events;
    } rows[] = {
        {"IoCreateDeviceSecure", {kDevice + " failed"}},
        {"IoCreateSymbolicLink", {kDevice, kLink + " failed", kDelete}},
        {kRegV4, {kDevice, kLink, kRegV4 + " failed", kUnlink, kDelete}},
        {kRegV6, {kDevice, kLink, kRegV4, kRegV6 + " failed", kUnregV4, kUnlink, kDelete}},
    };
    for (const auto &r : rows) {
        kstub::events.clear();
        kstub::failOn = r.failOn;
        DRIVER_OBJECT driver{};
        EXPECT_EQ(DriverEntry(&driver, nullptr), kstub::failStatus) << r.failOn;
        EXPECT_EQ(kstub::events, r.events) << r.failOn;
        EXPECT_EQ(SplitControlDevice, nullptr) << r.failOn;
        EXPECT_EQ(calloutIdV4 | calloutIdV6, 0u) << r.failOn;
    }
}

TEST_F(SplitTest, DispatchUnpacksTheRequestAndCompletesItOnceWithoutBoost)
{
    NextRequestId = 7;
    const SPLIT_CONNECTION_RECORD record = V4(5, 6, 0x01020304, 443);
    ASSERT_TRUE(SplitQueueConnection(&record, 0));
    UINT8 buffer[64] = {};
    IO_STACK_LOCATION stack{{{63, 64, IOCTL_SPLIT_GET_CONNECTION}}}; // output 63, input 64: too small
    IRP irp{{-1, 0xBAD}, {buffer}, &stack};
    const auto io = [&] { return std::make_pair(irp.IoStatus.Status, irp.IoStatus.Information); };
    EXPECT_EQ(SplitDispatchDeviceControl(nullptr, &irp), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(io(), std::make_pair(STATUS_BUFFER_TOO_SMALL, ULONG_PTR{0}));
    stack.Parameters.DeviceIoControl = {64, 0, IOCTL_SPLIT_GET_CONNECTION};
    EXPECT_EQ(SplitDispatchDeviceControl(nullptr, &irp), STATUS_SUCCESS);
    EXPECT_EQ(io(), std::make_pair(STATUS_SUCCESS, ULONG_PTR{64}));
    EXPECT_EQ(Bytes(buffer, buffer + 64), Wire(2, 7, 5, 6, 443, {1, 2, 3, 4}));
    irp.IoStatus = {-1, 0xBAD};
    EXPECT_EQ(SplitDispatchCreateClose(nullptr, &irp), STATUS_SUCCESS);
    EXPECT_EQ(io(), std::make_pair(STATUS_SUCCESS, ULONG_PTR{0}));
    EXPECT_EQ(kstub::events, Events(3, "IofCompleteRequest boost 0"));
    EXPECT_EQ(SplitNotify(FWPS_CALLOUT_NOTIFY_ADD_FILTER, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(SplitNotify(FWPS_CALLOUT_NOTIFY_DELETE_FILTER, nullptr, nullptr), STATUS_SUCCESS);
}

// Two classifying threads, one replacing the list, the controller taking and approving; fixed work.
TEST_F(SplitTest, ConcurrentClassificationAndControlKeepTheTableConsistent)
{
    std::atomic<int> running{3}, changes{0};
    const auto classify = [&](UINT64 pid) {
        for (UINT32 i = 0; i < 10000 || changes < 100; ++i) { // through all the list changes
            const SPLIT_CONNECTION_RECORD record = V4(pid + i % 2 * 2, 6, i % 600, 80); // 3, 4: never listed
            if (SplitIsTargetProcess(record.processId)) {
                SplitHoldConnection(&record);
            }
        }
        --running;
    };
    std::thread first(classify, 1), second(classify, 2), setter([&] {
        for (UINT32 i = 0; i < 100; ++i, ++changes) {
            SPLIT_PROCESS_LIST list{1, 1 + i % 2, {2, 1}};
            ULONG_PTR information;
            SplitHandleControl(IOCTL_SPLIT_SET_PROCESSES, &list, SPLIT_PROCESS_LIST_SIZE(2), 0, &information);
            std::this_thread::yield();
        }
        --running;
    });
    std::vector<UINT64> taken;
    for (bool last = false; !last;) {
        last = running == 0;
        SPLIT_CONNECTION_RECORD record;
        ULONG_PTR information;
        while (SplitHandleControl(IOCTL_SPLIT_GET_CONNECTION, &record, 0, 64, &information) ==
               STATUS_SUCCESS) {
            EXPECT_LE(record.processId, 2u) << "a process never listed was recorded";
            taken.push_back(record.requestId);
            SPLIT_ACK ack{1, 0, record.requestId};
            SplitHandleControl(IOCTL_SPLIT_ACK_CONNECTION, &ack, sizeof ack, 0, &information);
        }
    }
    first.join();
    second.join();
    setter.join();
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(std::adjacent_find(taken.begin(), taken.end(), std::greater_equal<UINT64>()), taken.end())
        << "ids handed out in the order given, each once";
    EXPECT_LT(taken.back(), NextRequestId);
    for (const ConnectionEntry &entry : ConnectionTable.entries) {
        EXPECT_EQ(entry.Queued + entry.Delivered, 0) << "waiting after the final drain";
        EXPECT_FALSE(entry.Approved && SplitHoldConnection(&entry.record)) << "an approved key is held";
    }
}

} // namespace
