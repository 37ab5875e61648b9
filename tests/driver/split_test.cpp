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
        kstub::events.clear();
    }
    // The lock stand-in counts a second lock taken while one is held, and completion under a lock.
    void TearDown() override { EXPECT_EQ(kstub::lockFaults, 0); }
};

TEST_F(SplitTest, DriverAndModelAgreeOnAWalk)
{
    std::mt19937 random(1);
    EXPECT_EQ(Walk([&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); }, 9000), "");
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

// Extension size 0, type 0x8000, FILE_DEVICE_SECURE_OPEN, not exclusive, the device class GUID.
const std::string kDevice =
    "IoCreateDeviceSecure \\Device\\ZumvariSplit D:P(A;;GA;;;SY)(A;;GA;;;BA) 0 32768 256 0";
const std::string kLink = "IoCreateSymbolicLink \\DosDevices\\ZumvariSplit \\Device\\ZumvariSplit";
const std::string kRegV4 = "FwpsCalloutRegister0 v4", kRegV6 = "FwpsCalloutRegister0 v6";
const std::string kUnregV4 = "FwpsCalloutUnregisterById0 v4", kUnregV6 = "FwpsCalloutUnregisterById0 v6";
const std::string kUnlink = "IoDeleteSymbolicLink \\DosDevices\\ZumvariSplit", kDelete = "IoDeleteDevice";

TEST_F(SplitTest, EntryUndoesAFailureAndUnloadRemovesEverythingInOrder)
{
    const std::pair<std::string, Events> failures[] = {
        {"IoCreateDeviceSecure", {kDevice + " failed"}},
        {"IoCreateSymbolicLink", {kDevice, kLink + " failed", kDelete}},
        {kRegV4, {kDevice, kLink, kRegV4 + " failed", kUnlink, kDelete}},
        {kRegV6, {kDevice, kLink, kRegV4, kRegV6 + " failed", kUnregV4, kUnlink, kDelete}},
    };
    DRIVER_OBJECT driver{};
    for (const auto &[failOn, events] : failures) {
        kstub::failOn = failOn;
        EXPECT_EQ(DriverEntry(&driver, nullptr), kstub::failStatus) << failOn;
        EXPECT_EQ(kstub::events, events) << failOn;
        EXPECT_EQ(SplitControlDevice, nullptr) << failOn;
        EXPECT_EQ(calloutIdV4 | calloutIdV6, 0u) << failOn;
        kstub::events.clear();
    }
    ASSERT_EQ(DriverEntry(&driver, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(driver.DriverUnload, SplitDriverUnload);
    // Requests through the installed routines: unpacked, answered, completed once without boost.
    NextRequestId = 7;
    const SPLIT_CONNECTION_RECORD record = V4(5, 6, 0x01020304, 443);
    ASSERT_TRUE(SplitQueueConnection(&record, 0xC0FFEE)); // a classification pended by an older path
    UINT8 buffer[64] = {};
    IO_STACK_LOCATION stack{{{63, 64, IOCTL_SPLIT_GET_CONNECTION}}}; // output 63, input 64: too small
    IRP irp{{-1, 0xBAD}, {buffer}, &stack};
    const auto send = [&](int major) {
        irp.IoStatus = {-1, 0xBAD};
        return std::make_tuple(driver.MajorFunction[major](nullptr, &irp), irp.IoStatus.Status,
                               irp.IoStatus.Information);
    };
    EXPECT_EQ(send(IRP_MJ_DEVICE_CONTROL),
              std::make_tuple(STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL, 0ul));
    stack.Parameters.DeviceIoControl = {64, 0, IOCTL_SPLIT_GET_CONNECTION};
    EXPECT_EQ(send(IRP_MJ_DEVICE_CONTROL), std::make_tuple(STATUS_SUCCESS, STATUS_SUCCESS, 64ul));
    EXPECT_EQ(Bytes(buffer, buffer + 64), Wire(2, 7, 5, 6, 443, {1, 2, 3, 4}));
    EXPECT_EQ(send(IRP_MJ_CREATE), std::make_tuple(STATUS_SUCCESS, STATUS_SUCCESS, 0ul));
    EXPECT_EQ(send(IRP_MJ_CLOSE), std::make_tuple(STATUS_SUCCESS, STATUS_SUCCESS, 0ul));
    const std::string completed = "IofCompleteRequest boost 0";
    EXPECT_EQ(kstub::events,
              (Events{kDevice, kLink, kRegV4, kRegV6, completed, completed, completed, completed}));
    EXPECT_EQ(SplitNotify(FWPS_CALLOUT_NOTIFY_ADD_FILTER, nullptr, nullptr), STATUS_SUCCESS);

    SplitUnregisterCallouts(); // the registration on its own undoes IPv4 when IPv6 fails
    kstub::events.clear();
    kstub::failOn = kRegV6;
    EXPECT_NE(SplitRegisterCallouts(SplitControlDevice), STATUS_SUCCESS);
    ASSERT_EQ(SplitRegisterCallouts(SplitControlDevice), STATUS_SUCCESS);
    kstub::failOn = kUnregV6; // unload goes on past a failed unregistration, which a checked build asserts
    driver.DriverUnload(&driver);
    EXPECT_EQ(kstub::events, (Events{kRegV4, kRegV6 + " failed", kUnregV4, kRegV4, kRegV6,
                                     "FwpsCompleteOperation0 12648430", kUnregV6 + " failed",
                                     "NT_ASSERT failed: NT_SUCCESS(status)", kUnregV4, kUnlink, kDelete}));
    EXPECT_EQ(SplitControlDevice, nullptr);
    EXPECT_EQ(calloutIdV4 | calloutIdV6, 0u);
    EXPECT_EQ(TakeId(), 0u);
}

// Two threads classify while a third keeps replacing the list and this one takes and approves what
// is recorded; fixed work, meant for ThreadSanitizer.
TEST_F(SplitTest, ConcurrentClassificationAndControlKeepTheTableConsistent)
{
    std::atomic<int> running{3}, takes{0};
    const auto work = [&](UINT64 pid) { // pid 0 changes the list every 200 rounds
        for (UINT32 i = 0; i < 20000 || takes == 0; ++i) {
            SPLIT_PROCESS_LIST list{1, 1 + i / 200 % 2, {2, 1}};
            const SPLIT_CONNECTION_RECORD record = V4(pid, 6, i % 600, 80);
            ULONG_PTR information;
            if (pid == 0 && i % 200 == 0) {
                SplitHandleControl(IOCTL_SPLIT_SET_PROCESSES, &list, SPLIT_PROCESS_LIST_SIZE(2), 0,
                                   &information);
            } else if (pid != 0 && SplitIsTargetProcess(pid)) {
                SplitHoldConnection(&record);
            }
        }
        --running;
    };
    std::thread first(work, 1), second(work, 2), setter(work, 0);
    UINT64 last = 0;
    for (bool done = false; !done;) {
        done = running == 0;
        for (SPLIT_CONNECTION_RECORD record; SplitTakeQueuedConnection(&record); ++takes) {
            EXPECT_GT(record.requestId, last) << "ids come out in the order given, each once";
            last = record.requestId;
            SplitApproveConnection(record.requestId);
        }
    }
    first.join();
    second.join();
    setter.join();
    for (const ConnectionEntry &entry : ConnectionTable.entries) {
        EXPECT_EQ(entry.Queued + entry.Delivered, 0) << "waiting after the final drain";
    }
}

} // namespace
