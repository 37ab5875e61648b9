// Classification on several threads while a controller takes and approves records and another
// thread keeps replacing the process list. Meant to run under ThreadSanitizer as well; the work
// is a fixed number of operations, not a time span.
#include "splittest.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

using namespace splittest;

namespace {

constexpr UINT64 kTargets[] = {1001, 1002};
constexpr UINT64 kBystander = 2001; // never on any list
constexpr int kClassifiers = 3;
constexpr int kAttemptsPerClassifier = 20000;
constexpr int kListChanges = 100;
// One list change per this many attempts (all threads together): the list keeps changing through
// the first half of the run and stays put for the second half.
constexpr int kAttemptsPerChange = kClassifiers * kAttemptsPerClassifier / 2 / kListChanges;

// About 700 keys per target process: enough to fill the table now and then.
kshim::ConnectAttempt AttemptFor(unsigned n)
{
    const UINT64 pid = (n % 3 == 2) ? kBystander : kTargets[n % 2];
    const UINT16 port = static_cast<UINT16>(1 + (n / 3) % 175);
    const UINT8 protocol = (n / 525) % 2 == 0 ? 6 : 17;
    if ((n / 1050) % 2 == 0) {
        return AttemptV4(pid, protocol, 0x0A000000u + (n / 7) % 2, port);
    }
    std::array<UINT8, 16> address{0x20, 0x01, 0x0d, 0xb8};
    address[15] = static_cast<UINT8>((n / 7) % 2);
    return AttemptV6(pid, protocol, address, port);
}

kshim::ConnectAttempt AttemptForRecord(const SPLIT_CONNECTION_RECORD &record)
{
    kshim::ConnectAttempt attempt;
    attempt.v6 = record.family == SPLIT_FAMILY_IPV6;
    attempt.processId = record.processId;
    attempt.protocol = record.protocol;
    attempt.remotePort = record.remotePort;
    const UINT8 *a = record.remoteAddress;
    attempt.remoteAddressV4 = (UINT32(a[0]) << 24) | (UINT32(a[1]) << 16) | (UINT32(a[2]) << 8) | a[3];
    std::copy(a, a + 16, attempt.remoteAddressV6.begin());
    return attempt;
}

using StressTest = LoadedDriverTest;

TEST_F(StressTest, ConcurrentClassificationAndControlKeepTheTablesConsistent)
{
    Controller setup;
    ASSERT_EQ(setup.SetProcesses({kTargets[0], kTargets[1]}).status, STATUS_SUCCESS);

    std::atomic<int> attempts{0};
    std::atomic<int> classifiersRunning{kClassifiers};
    std::atomic<int> listChanges{0};
    std::atomic<int> bystanderHeld{0};
    std::atomic<int> badDecisions{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kClassifiers; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kAttemptsPerClassifier; ++i) {
                // Lock-step with the setter, so list changes fall among the attempts whatever the scheduler
                // does.
                while (listChanges < kListChanges && attempts >= (listChanges + 1) * kAttemptsPerChange) {
                    std::this_thread::yield();
                }
                const kshim::ConnectAttempt attempt = AttemptFor(static_cast<unsigned>(i * 7 + t * 13));
                FWPS_CLASSIFY_OUT0 out = kshim::FreshClassifyOut(true);
                kshim::Classify(attempt.v6 ? SPLIT_CALLOUT_V6_KEY : SPLIT_CALLOUT_V4_KEY, attempt, &out);
                if (!IsHeld(out) && !IsPermitted(out)) {
                    ++badDecisions;
                }
                if (attempt.processId == kBystander && !IsPermitted(out)) {
                    ++bystanderHeld;
                }
                ++attempts;
            }
            --classifiersRunning;
        });
    }

    // Replaces the list (each time clearing the table), alternating a narrower and the full list.
    threads.emplace_back([&] {
        Controller setter;
        for (int i = 0; i < kListChanges; ++i) {
            while (attempts < (i + 1) * kAttemptsPerChange) {
                std::this_thread::yield();
            }
            const std::vector<UINT64> list =
                i % 2 == 0 ? std::vector<UINT64>{kTargets[1]} : std::vector<UINT64>{kTargets[0], kTargets[1]};
            EXPECT_EQ(setter.SetProcesses(list).status, STATUS_SUCCESS);
            ++listChanges;
        }
    });

    // The controller: take everything, approve what it took.
    std::vector<UINT64> taken;
    std::set<UINT64> approved;
    std::set<UINT64> approvedAfterLastChange; // no list change can have dropped these
    int refusedAcks = 0;
    {
        Controller controller;
        for (;;) {
            const bool quiet = classifiersRunning == 0 && listChanges == kListChanges;
            const int changesBefore = listChanges;
            SPLIT_CONNECTION_RECORD record;
            const kshim::IoResult got = controller.GetConnection(&record);
            if (got.status == STATUS_SUCCESS) {
                EXPECT_EQ(got.information, 64u);
                EXPECT_NE(record.processId, kBystander);
                taken.push_back(record.requestId);
                if (controller.Ack(record.requestId).status == STATUS_SUCCESS) {
                    approved.insert(record.requestId);
                    if (changesBefore == kListChanges) {
                        approvedAfterLastChange.insert(record.requestId);
                    }
                } else {
                    ++refusedAcks; // only a list change between take and ack can do this
                }
                continue;
            }
            EXPECT_EQ(got.status, STATUS_NO_MORE_ENTRIES);
            if (quiet) {
                break;
            }
            std::this_thread::yield();
        }
    }
    for (std::thread &thread : threads) {
        thread.join();
    }

    EXPECT_EQ(badDecisions, 0);
    EXPECT_EQ(bystanderHeld, 0) << "a process never on the list was held";
    EXPECT_LE(refusedAcks, kListChanges);

    // Ids are handed out in the order they were assigned, each once, all below the counter.
    ASSERT_FALSE(taken.empty());
    EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end()));
    EXPECT_EQ(std::adjacent_find(taken.begin(), taken.end()), taken.end()) << "a record was handed out twice";
    EXPECT_LT(taken.back(), NextRequestId);

    // Every slot in exactly one state; after the final drain nothing is waiting.
    const TableSnapshot table = SnapshotTable();
    EXPECT_TRUE(table.consistent);
    EXPECT_EQ(table.queued, 0u);
    EXPECT_EQ(table.delivered, 0u);
    EXPECT_EQ(std::set<UINT64>(table.requestIds.begin(), table.requestIds.end()).size(),
              table.requestIds.size());
    for (UINT64 id : table.requestIds) {
        EXPECT_EQ(approved.count(id), 1u) << "slot " << id << " is Approved but was never acknowledged";
    }

    // Nothing approved since the last list change was lost, and each of those keys now passes.
    ASSERT_FALSE(approvedAfterLastChange.empty());
    for (UINT64 id : approvedAfterLastChange) {
        EXPECT_NE(std::find(table.requestIds.begin(), table.requestIds.end(), id), table.requestIds.end())
            << "approved request " << id << " is gone";
    }
    for (const ConnectionEntry &entry : ConnectionTable.entries) {
        if (entry.Approved) {
            EXPECT_TRUE(IsPermitted(Classify(AttemptForRecord(entry.record))))
                << "approved request " << entry.record.requestId;
        }
    }
}

} // namespace
