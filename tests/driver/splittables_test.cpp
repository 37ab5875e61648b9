// The tables on their own: target list, connection table, request ids, completion of held
// operations, and the decision for one attempt.
#include "splittest.h"

#include <vector>

using namespace splittest;

namespace {

class TablesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kshim::Reset();
        ResetTables();
        SplitLockInit(&TargetProcessList.lock);
        SplitLockInit(&ConnectionTable.lock);
    }
    void TearDown() override { EXPECT_TRUE(kshim::Violations().empty()) << Describe(kshim::Violations()); }

    static UINT64 TakeId()
    {
        SPLIT_CONNECTION_RECORD record;
        return SplitTakeQueuedConnection(&record) ? record.requestId : 0;
    }
};

TEST_F(TablesTest, TargetListConsultsOnlyTheFirstCountEntries)
{
    EXPECT_FALSE(SplitIsTargetProcess(0)) << "an empty list targets nothing, not even id 0";

    const UINT64 three[] = {10, 20, 30};
    SplitSetTargetProcesses(3, three);
    EXPECT_TRUE(SplitIsTargetProcess(10));
    EXPECT_TRUE(SplitIsTargetProcess(30));
    EXPECT_FALSE(SplitIsTargetProcess(40));

    // The shorter list overwrites the start; 20 and 30 stay in memory but are not consulted.
    const UINT64 one[] = {40};
    SplitSetTargetProcesses(1, one);
    EXPECT_TRUE(SplitIsTargetProcess(40));
    EXPECT_FALSE(SplitIsTargetProcess(10));
    EXPECT_FALSE(SplitIsTargetProcess(20));
    EXPECT_FALSE(SplitIsTargetProcess(30));

    std::vector<UINT64> full(SPLIT_MAX_PROCESSES);
    for (size_t i = 0; i < full.size(); ++i) {
        full[i] = 0x1000000000ull + i;
    }
    SplitSetTargetProcesses(SPLIT_MAX_PROCESSES, full.data());
    EXPECT_TRUE(SplitIsTargetProcess(full.front()));
    EXPECT_TRUE(SplitIsTargetProcess(full.back()));
    EXPECT_FALSE(SplitIsTargetProcess(40));

    SplitSetTargetProcesses(0, nullptr);
    EXPECT_FALSE(SplitIsTargetProcess(full.front()));
}

TEST_F(TablesTest, RequestIdsCountUpAndRecordsLeaveInSlotOrder)
{
    const SPLIT_CONNECTION_RECORD a = RecordV4(1, 6, 0x0A000001, 80);
    const SPLIT_CONNECTION_RECORD b = RecordV4(1, 6, 0x0A000002, 80);
    const SPLIT_CONNECTION_RECORD c = RecordV4(1, 6, 0x0A000003, 80);
    ASSERT_TRUE(SplitQueueConnection(&a, 0));
    ASSERT_TRUE(SplitQueueConnection(&b, 0));
    ASSERT_TRUE(SplitQueueConnection(&c, 0));

    SPLIT_CONNECTION_RECORD taken;
    ASSERT_TRUE(SplitTakeQueuedConnection(&taken));
    EXPECT_EQ(taken.requestId, 1u);
    EXPECT_EQ(taken.remoteAddress[3], 1);
    EXPECT_EQ(TakeId(), 2u);
    EXPECT_EQ(TakeId(), 3u);
    EXPECT_FALSE(SplitTakeQueuedConnection(&taken)) << "every record was handed out once";

    // Clearing leaves the counter alone; freed slots are reused lowest first.
    SplitClearConnections();
    ASSERT_TRUE(SplitQueueConnection(&c, 0));
    ASSERT_TRUE(SplitQueueConnection(&a, 0));
    ASSERT_TRUE(SplitTakeQueuedConnection(&taken));
    EXPECT_EQ(taken.requestId, 4u);
    EXPECT_EQ(taken.remoteAddress[3], 3);
    EXPECT_EQ(TakeId(), 5u);
}

TEST_F(TablesTest, KeyIgnoresVersionRequestIdAndReservedBytes)
{
    const SPLIT_CONNECTION_RECORD key = RecordV4(77, 6, 0x01020304, 443);
    ASSERT_TRUE(SplitQueueConnection(&key, 0));

    SPLIT_CONNECTION_RECORD same = key;
    same.version = 9;
    same.requestId = 12345;
    same.reserved1[2] = 0xFF;
    same.reserved2[7] = 0xFF;
    EXPECT_EQ(SplitLookupConnection(&same), SplitLookupHeld);

    SPLIT_CONNECTION_RECORD other = key;
    other.processId = 78;
    EXPECT_EQ(SplitLookupConnection(&other), SplitLookupNone) << "process id";
    other = key;
    other.family = SPLIT_FAMILY_IPV6;
    EXPECT_EQ(SplitLookupConnection(&other), SplitLookupNone) << "family";
    other = key;
    other.protocol = 17;
    EXPECT_EQ(SplitLookupConnection(&other), SplitLookupNone) << "protocol";
    other = key;
    other.remotePort = 444;
    EXPECT_EQ(SplitLookupConnection(&other), SplitLookupNone) << "port";
    for (size_t i = 0; i < sizeof(key.remoteAddress); ++i) {
        other = key;
        other.remoteAddress[i] ^= 0x80;
        EXPECT_EQ(SplitLookupConnection(&other), SplitLookupNone) << "address byte " << i;
    }
}

TEST_F(TablesTest, OnlyADeliveredRecordCanBeApprovedAndOnlyOnce)
{
    const SPLIT_CONNECTION_RECORD key = RecordV4(5, 6, 0x7F000001, 8080);
    ASSERT_TRUE(SplitQueueConnection(&key, 0));

    EXPECT_FALSE(SplitApproveConnection(1)) << "still Queued";
    EXPECT_EQ(SplitLookupConnection(&key), SplitLookupHeld);
    EXPECT_EQ(TakeId(), 1u) << "a refused approval leaves the record Queued";
    EXPECT_EQ(SplitLookupConnection(&key), SplitLookupHeld) << "Delivered is still held";

    EXPECT_FALSE(SplitApproveConnection(0));
    EXPECT_FALSE(SplitApproveConnection(2));
    EXPECT_TRUE(SplitApproveConnection(1));
    EXPECT_EQ(SplitLookupConnection(&key), SplitLookupApproved);
    EXPECT_FALSE(SplitApproveConnection(1)) << "already Approved";

    const TableSnapshot table = SnapshotTable();
    EXPECT_TRUE(table.consistent);
    EXPECT_EQ(table.approved, 1u);
    EXPECT_EQ(table.queued + table.delivered, 0u);
}

TEST_F(TablesTest, LowestSlotDecidesBetweenTwoRecordsOfOneKey)
{
    // Two processors can both queue a first attempt; the lower slot then decides.
    const SPLIT_CONNECTION_RECORD key = RecordV4(9, 6, 0x08080808, 53);
    ASSERT_TRUE(SplitQueueConnection(&key, 0)); // id 1, slot 0
    ASSERT_TRUE(SplitQueueConnection(&key, 0)); // id 2, slot 1
    EXPECT_EQ(TakeId(), 1u);
    EXPECT_EQ(TakeId(), 2u);

    ASSERT_TRUE(SplitApproveConnection(2));
    EXPECT_EQ(SplitLookupConnection(&key), SplitLookupHeld) << "slot 0 is still only Delivered";
    ASSERT_TRUE(SplitApproveConnection(1));
    EXPECT_EQ(SplitLookupConnection(&key), SplitLookupApproved);
}

TEST_F(TablesTest, FullTableRefusesWithoutUsingARequestId)
{
    for (UINT32 i = 0; i < SPLIT_MAX_CONNECTIONS; ++i) {
        const SPLIT_CONNECTION_RECORD record = RecordV4(3, 6, 0x0A000000u + i, 443);
        ASSERT_TRUE(SplitQueueConnection(&record, 0)) << i;
    }
    const SPLIT_CONNECTION_RECORD extra = RecordV4(3, 6, 0x0B000000u, 443);
    EXPECT_FALSE(SplitQueueConnection(&extra, 0));
    EXPECT_FALSE(SplitQueueConnection(&extra, 0));
    EXPECT_EQ(SplitLookupConnection(&extra), SplitLookupNone);
    EXPECT_EQ(NextRequestId, SPLIT_MAX_CONNECTIONS + 1u);

    SplitClearConnections();
    const TableSnapshot empty = SnapshotTable();
    EXPECT_TRUE(empty.consistent);
    EXPECT_TRUE(empty.requestIds.empty());

    ASSERT_TRUE(SplitQueueConnection(&extra, 0));
    EXPECT_EQ(TakeId(), SPLIT_MAX_CONNECTIONS + 1u) << "the id the refused queue would have had";
}

TEST_F(TablesTest, HeldOperationsAreCompletedOnceAfterTheLockIsReleased)
{
    // Classification never pends, so only a non-zero context handed in directly exercises this.
    const SPLIT_CONNECTION_RECORD a = RecordV4(1, 6, 1, 1);
    const SPLIT_CONNECTION_RECORD b = RecordV4(1, 6, 2, 2);
    const SPLIT_CONNECTION_RECORD c = RecordV4(1, 6, 3, 3);
    ASSERT_TRUE(SplitQueueConnection(&a, 0xA1));
    ASSERT_TRUE(SplitQueueConnection(&b, 0));
    ASSERT_TRUE(SplitQueueConnection(&c, 0xC3));
    EXPECT_EQ(TakeId(), 1u);
    EXPECT_EQ(TakeId(), 2u);

    ASSERT_TRUE(SplitApproveConnection(1));
    EXPECT_EQ(kshim::CompletedOperations(), std::vector<UINT64>{0xA1});
    ASSERT_TRUE(SplitApproveConnection(2));
    EXPECT_EQ(kshim::CompletedOperations(), std::vector<UINT64>{0xA1}) << "a zero context is not completed";

    SplitClearConnections();
    EXPECT_EQ(kshim::CompletedOperations(), (std::vector<UINT64>{0xA1, 0xC3}))
        << "approval took a's context out of the table; clear completes the rest";
    SplitClearConnections();
    EXPECT_EQ(kshim::CompletedOperations().size(), 2u);
    // The stand-in flags any completion made while a spin lock is held (checked in TearDown).
}

TEST_F(TablesTest, ClearCompletesContextsInSlotOrder)
{
    const UINT64 contexts[] = {0x30, 0x10, 0x20};
    for (UINT32 i = 0; i < 3; ++i) {
        const SPLIT_CONNECTION_RECORD record = RecordV4(1, 17, i, 9);
        ASSERT_TRUE(SplitQueueConnection(&record, contexts[i]));
    }
    SplitClearConnections();
    EXPECT_EQ(kshim::CompletedOperations(), (std::vector<UINT64>{0x30, 0x10, 0x20}));
}

TEST_F(TablesTest, RecordsAreBuiltInTheWireLayout)
{
    SPLIT_CONNECTION_RECORD v4;
    SplitBuildRecordV4(&v4, 0x1122334455667788ull, 6, 0x01020304, 443);
    const std::array<UINT8, 64> expectedV4 = {
        1,    0,    0,    0,    2,    0,    0,    0,    // version, family
        0,    0,    0,    0,    0,    0,    0,    0,    // request id: not yet assigned
        0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, // process id
        6,    0,    0,    0,    0,    0,    0xBB, 0x01, // protocol, reserved, port 443
        0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, // reserved
        1,    2,    3,    4,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, // 1.2.3.4
    };
    EXPECT_EQ(Bytes(v4), expectedV4);

    const UINT8 address[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
    SPLIT_CONNECTION_RECORD v6;
    SplitBuildRecordV6(&v6, 7, 17, address, 3478);
    const std::array<UINT8, 64> bytes = Bytes(v6);
    EXPECT_EQ(bytes[4], 23);
    EXPECT_EQ(bytes[24], 17);
    EXPECT_EQ(bytes[30], 3478 & 0xFF);
    EXPECT_EQ(bytes[31], 3478 >> 8);
    EXPECT_EQ(std::memcmp(bytes.data() + 48, address, 16), 0);
    for (size_t i : {25u, 26u, 27u, 28u, 29u}) {
        EXPECT_EQ(bytes[i], 0) << i;
    }
    for (size_t i = 32; i < 48; ++i) {
        EXPECT_EQ(bytes[i], 0) << i;
    }
}

TEST_F(TablesTest, HoldQueuesAnUnknownKeyOnceAndReleasesItWhenApproved)
{
    const SPLIT_CONNECTION_RECORD key = RecordV4(1, 6, 0x01020304, 443);
    EXPECT_TRUE(SplitHoldConnection(&key));
    EXPECT_TRUE(SplitHoldConnection(&key));
    EXPECT_EQ(SnapshotTable().queued, 1u) << "a held key is not recorded twice";
    EXPECT_EQ(TakeId(), 1u);
    EXPECT_TRUE(SplitHoldConnection(&key)) << "Delivered is still held";
    ASSERT_TRUE(SplitApproveConnection(1));
    EXPECT_FALSE(SplitHoldConnection(&key));
    EXPECT_EQ(SnapshotTable().requestIds.size(), 1u);
}

} // namespace
