// Classification through the registered callouts, as the filter engine calls them, with the
// controller's side seen through the control device.
#include "splittest.h"

using namespace splittest;

namespace {

using ClassifyTest = LoadedDriverTest;

constexpr UINT64 kGame = 4242;

TEST_F(ClassifyTest, EmptyListPermitsEverythingAndRecordsNothing)
{
    Controller controller;
    ASSERT_EQ(controller.openStatus(), STATUS_SUCCESS);

    for (UINT64 pid : {0ull, 4ull, 4242ull}) {
        const FWPS_CLASSIFY_OUT0 v4 = Classify(AttemptV4(pid, 6, 0x01020304, 443));
        EXPECT_TRUE(IsPermitted(v4)) << pid;
        const FWPS_CLASSIFY_OUT0 v6 = Classify(AttemptV6(pid, 17, {0x20, 0x01}, 53));
        EXPECT_TRUE(IsPermitted(v6)) << pid;
    }
    EXPECT_EQ(controller.GetConnection(nullptr).status, STATUS_NO_MORE_ENTRIES);
    EXPECT_TRUE(SnapshotTable().requestIds.empty());
}

TEST_F(ClassifyTest, FirstConnectionIsHeldUntilTheControllerApprovesIt)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({kGame}).status, STATUS_SUCCESS);
    const kshim::ConnectAttempt attempt = AttemptV4(kGame, 6, 0x01020304, 443);

    const FWPS_CLASSIFY_OUT0 first = Classify(attempt);
    EXPECT_EQ(first.actionType, 0x1001u) << "FWP_ACTION_BLOCK";
    EXPECT_EQ(first.flags, 0x1u) << "FWPS_CLASSIFY_OUT_FLAG_ABSORB";
    EXPECT_EQ(first.rights, 0x1u) << "rights are left as they are";
    EXPECT_EQ(first.outContext, 0x1111u);
    EXPECT_EQ(first.filterId, 0x2222u);

    EXPECT_TRUE(IsHeld(Classify(attempt))) << "blocked again before approval";

    SPLIT_CONNECTION_RECORD record;
    const kshim::IoResult got = controller.GetConnection(&record);
    ASSERT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(got.information, 64u);
    const std::array<UINT8, 64> expected = {
        1,    0,    0, 0, 2, 0, 0,    0, // version 1, AF_INET
        1,    0,    0, 0, 0, 0, 0,    0, // request id 1
        0x92, 0x10, 0, 0, 0, 0, 0,    0, // process 4242
        6,    0,    0, 0, 0, 0, 0xBB, 1, // TCP, reserved, port 443
        0,    0,    0, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 0, 0,
        1,    2,    3, 4, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 0, 0, // 1.2.3.4
    };
    EXPECT_EQ(Bytes(record), expected);
    EXPECT_EQ(controller.GetConnection(nullptr).status, STATUS_NO_MORE_ENTRIES)
        << "the second attempt queued no record of its own";

    EXPECT_TRUE(IsHeld(Classify(attempt))) << "taken but not yet approved";
    ASSERT_EQ(controller.Ack(record.requestId).status, STATUS_SUCCESS);

    const FWPS_CLASSIFY_OUT0 after = Classify(attempt);
    EXPECT_TRUE(IsPermitted(after));
    EXPECT_EQ(after.flags, 0u);
    EXPECT_EQ(controller.GetConnection(nullptr).status, STATUS_NO_MORE_ENTRIES);
}

TEST_F(ClassifyTest, EachProtocolAddressAndPortIsItsOwnKey)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({kGame}).status, STATUS_SUCCESS);
    SPLIT_CONNECTION_RECORD record;
    EXPECT_TRUE(IsHeld(Classify(AttemptV4(kGame, 6, 0x01020304, 443))));
    ASSERT_EQ(controller.GetConnection(&record).status, STATUS_SUCCESS);
    ASSERT_EQ(controller.Ack(record.requestId).status, STATUS_SUCCESS);
    ASSERT_TRUE(IsPermitted(Classify(AttemptV4(kGame, 6, 0x01020304, 443))));

    const kshim::ConnectAttempt others[] = {
        AttemptV4(kGame, 17, 0x01020304, 443), // UDP
        AttemptV4(kGame, 6, 0x01020305, 443),  // address
        AttemptV4(kGame, 6, 0x01020304, 444),  // port
    };
    UINT64 nextId = 2;
    for (const kshim::ConnectAttempt &other : others) {
        EXPECT_TRUE(IsHeld(Classify(other)));
        ASSERT_EQ(controller.GetConnection(&record).status, STATUS_SUCCESS);
        EXPECT_EQ(record.requestId, nextId++);
        EXPECT_EQ(record.protocol, other.protocol);
        EXPECT_EQ(record.remotePort, other.remotePort);
        EXPECT_EQ(record.remoteAddress[3], static_cast<UINT8>(other.remoteAddressV4));
    }
}

TEST_F(ClassifyTest, Ipv6CalloutRecordsTheAddressAsSupplied)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({kGame}).status, STATUS_SUCCESS);
    const std::array<UINT8, 16> address = {0x24, 0x08, 0x88, 0x00, 0xAB, 0xCD, 0,    0,
                                           0,    0,    0,    0,    0,    0,    0x10, 0x01};
    const kshim::ConnectAttempt attempt = AttemptV6(kGame, 17, address, 27015);

    EXPECT_TRUE(IsHeld(Classify(attempt)));
    SPLIT_CONNECTION_RECORD record;
    ASSERT_EQ(controller.GetConnection(&record).status, STATUS_SUCCESS);
    const std::array<UINT8, 64> bytes = Bytes(record);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[4], 23) << "AF_INET6";
    EXPECT_EQ(record.processId, kGame);
    EXPECT_EQ(bytes[24], 17);
    EXPECT_EQ(record.remotePort, 27015);
    EXPECT_EQ(std::memcmp(bytes.data() + 48, address.data(), 16), 0);

    // An IPv4 attempt whose address bytes match the start of the IPv6 one is still another key.
    EXPECT_TRUE(IsHeld(Classify(AttemptV4(kGame, 17, 0x24088800, 27015))));
    ASSERT_EQ(controller.Ack(record.requestId).status, STATUS_SUCCESS);
    EXPECT_TRUE(IsPermitted(Classify(attempt)));
    EXPECT_TRUE(IsHeld(Classify(AttemptV4(kGame, 17, 0x24088800, 27015))));
}

TEST_F(ClassifyTest, OtherProcessesAndAttemptsWithoutProcessIdPass)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({kGame, 9000}).status, STATUS_SUCCESS);

    EXPECT_TRUE(IsPermitted(Classify(AttemptV4(kGame + 1, 6, 0x01020304, 443))));

    // The metadata carries the game's id but does not mark it present.
    kshim::ConnectAttempt unmarked = AttemptV4(kGame, 6, 0x01020304, 443);
    unmarked.hasProcessId = false;
    EXPECT_TRUE(IsPermitted(Classify(unmarked)));
    unmarked.v6 = true;
    EXPECT_TRUE(IsPermitted(Classify(unmarked)));

    EXPECT_EQ(controller.GetConnection(nullptr).status, STATUS_NO_MORE_ENTRIES);
    EXPECT_TRUE(IsHeld(Classify(AttemptV4(9000, 6, 0x01020304, 443)))) << "the second listed process";
}

TEST_F(ClassifyTest, WithoutTheWriteRightTheClassifyOutIsLeftUntouched)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({kGame}).status, STATUS_SUCCESS);
    const FWPS_CLASSIFY_OUT0 untouched = kshim::FreshClassifyOut(false);

    for (const kshim::ConnectAttempt &attempt :
         {AttemptV4(kGame, 6, 0x01020304, 443), AttemptV4(1, 6, 0x01020304, 443),
          AttemptV6(kGame, 6, {1}, 443)}) {
        const FWPS_CLASSIFY_OUT0 out = Classify(attempt, false);
        EXPECT_EQ(std::memcmp(&out, &untouched, sizeof(out)), 0);
    }
    EXPECT_EQ(controller.GetConnection(nullptr).status, STATUS_NO_MORE_ENTRIES) << "nothing recorded either";
}

TEST_F(ClassifyTest, FullTableBlocksNewKeysRecordsNothingAndLetsApprovedKeysPass)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({kGame}).status, STATUS_SUCCESS);
    for (UINT16 port = 1; port <= SPLIT_MAX_CONNECTIONS; ++port) {
        ASSERT_TRUE(IsHeld(Classify(AttemptV4(kGame, 6, 0x0A000001, port))));
    }
    SPLIT_CONNECTION_RECORD record;
    ASSERT_EQ(controller.GetConnection(&record).status, STATUS_SUCCESS);
    ASSERT_EQ(record.requestId, 1u);
    ASSERT_EQ(controller.Ack(1).status, STATUS_SUCCESS);

    const kshim::ConnectAttempt newcomer = AttemptV4(kGame, 6, 0x0A000001, 9999);
    EXPECT_TRUE(IsHeld(Classify(newcomer))) << "held although it cannot be recorded";
    EXPECT_TRUE(IsPermitted(Classify(AttemptV4(kGame, 6, 0x0A000001, 1)))) << "the approved key";

    UINT64 expectedId = 2;
    while (controller.GetConnection(&record).status == STATUS_SUCCESS) {
        EXPECT_EQ(record.requestId, expectedId++);
        EXPECT_NE(record.remotePort, 9999) << "the newcomer was recorded";
    }
    EXPECT_EQ(expectedId, SPLIT_MAX_CONNECTIONS + 1u);

    // Replacing the list empties the table; the newcomer gets the id it was denied.
    ASSERT_EQ(controller.SetProcesses({kGame}).status, STATUS_SUCCESS);
    EXPECT_TRUE(IsHeld(Classify(newcomer)));
    ASSERT_EQ(controller.GetConnection(&record).status, STATUS_SUCCESS);
    EXPECT_EQ(record.requestId, SPLIT_MAX_CONNECTIONS + 1u);
    EXPECT_EQ(record.remotePort, 9999);
}

TEST_F(ClassifyTest, SettingTheListAgainDropsApprovedKeysAndIdsKeepCounting)
{
    Controller controller;
    ASSERT_EQ(controller.SetProcesses({kGame}).status, STATUS_SUCCESS);
    const kshim::ConnectAttempt a = AttemptV4(kGame, 6, 0x01010101, 80);
    const kshim::ConnectAttempt b = AttemptV4(kGame, 6, 0x02020202, 80);
    const kshim::ConnectAttempt c = AttemptV4(kGame, 6, 0x03030303, 80);
    for (const auto &attempt : {a, b, c}) {
        ASSERT_TRUE(IsHeld(Classify(attempt)));
    }
    SPLIT_CONNECTION_RECORD record;
    for (UINT64 id = 1; id <= 3; ++id) {
        ASSERT_EQ(controller.GetConnection(&record).status, STATUS_SUCCESS);
        ASSERT_EQ(controller.Ack(id).status, STATUS_SUCCESS);
    }
    ASSERT_TRUE(IsPermitted(Classify(c)));

    ASSERT_EQ(controller.SetProcesses({kGame}).status, STATUS_SUCCESS) << "the same list";
    EXPECT_TRUE(SnapshotTable().requestIds.empty());
    EXPECT_TRUE(IsHeld(Classify(c))) << "approvals do not survive a new list";
    ASSERT_EQ(controller.GetConnection(&record).status, STATUS_SUCCESS);
    EXPECT_EQ(record.requestId, 4u);
    EXPECT_EQ(record.remoteAddress[0], 3);
    EXPECT_EQ(SnapshotTable().requestIds, std::vector<UINT64>{4}) << "slot 0 reused";
}

TEST_F(ClassifyTest, NotifyAnswersSuccessForEveryNotification)
{
    for (const GUID &key : {SPLIT_CALLOUT_V4_KEY, SPLIT_CALLOUT_V6_KEY}) {
        for (FWPS_CALLOUT_NOTIFY_TYPE type :
             {FWPS_CALLOUT_NOTIFY_ADD_FILTER, FWPS_CALLOUT_NOTIFY_DELETE_FILTER,
              FWPS_CALLOUT_NOTIFY_TYPE_MAX}) {
            NTSTATUS result = -1;
            ASSERT_TRUE(kshim::Notify(key, type, &result));
            EXPECT_EQ(result, STATUS_SUCCESS);
        }
    }
}

} // namespace
