// What one classification costs: the driver's classify function called the way the filter engine
// calls it, with the tables prepared for each case.
#include "kshim/kshimtest.h"
#include "splitdriver.h"
#include "splittables.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr UINT64 kGame = 4242;

// A freshly loaded driver with its tables emptied and the counter back at 1.
class Driver
{
public:
    Driver()
    {
        kshim::Reset();
        TargetProcessList.count = 0;
        std::memset(ConnectionTable.entries, 0, sizeof(ConnectionTable.entries));
        NextRequestId = 1;
        if (kshim::LoadDriver(&driver_, DriverEntry) != STATUS_SUCCESS) {
            std::abort();
        }
    }
    ~Driver() { kshim::UnloadDriver(&driver_); }

private:
    DRIVER_OBJECT driver_{};
};

void SetTargets(UINT32 count, UINT64 first)
{
    std::vector<UINT64> ids(count);
    for (UINT32 i = 0; i < count; ++i) {
        ids[i] = first + i;
    }
    SplitSetTargetProcesses(count, ids.data());
}

kshim::ConnectAttempt Attempt(UINT64 pid, UINT16 port)
{
    kshim::ConnectAttempt attempt;
    attempt.processId = pid;
    attempt.protocol = 6;
    attempt.remoteAddressV4 = 0x01020304;
    attempt.remotePort = port;
    return attempt;
}

// Fills `filler` slots with other keys, then puts `key` in the next slot and approves it.
void FillAndApprove(UINT32 filler, const kshim::ConnectAttempt &key)
{
    for (UINT32 i = 0; i < filler; ++i) {
        SPLIT_CONNECTION_RECORD other;
        SplitBuildRecordV4(&other, kGame, 17, 0x0A000000u + i, 53);
        SplitQueueConnection(&other, 0);
    }
    SPLIT_CONNECTION_RECORD record;
    SplitBuildRecordV4(&record, key.processId, key.protocol, key.remoteAddressV4, key.remotePort);
    SplitQueueConnection(&record, 0);
    SPLIT_CONNECTION_RECORD taken;
    while (SplitTakeQueuedConnection(&taken)) {
    }
    SplitApproveConnection(filler + 1);
}

void Run(benchmark::State &state, const kshim::PreparedClassify &prepared, UINT32 expectedAction)
{
    for (auto _ : state) {
        FWPS_CLASSIFY_OUT0 out = kshim::FreshClassifyOut(true);
        prepared.Run(&out);
        benchmark::DoNotOptimize(out);
        if (out.actionType != expectedAction) {
            state.SkipWithError("unexpected decision");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// A process that is not on the list; the argument is the list's length (the whole list is scanned).
void BM_ClassifyNonTarget(benchmark::State &state)
{
    Driver driver;
    SetTargets(static_cast<UINT32>(state.range(0)), 100000);
    kshim::PreparedClassify prepared(SPLIT_CALLOUT_V4_KEY, Attempt(7, 443));
    Run(state, prepared, FWP_ACTION_PERMIT);
}
BENCHMARK(BM_ClassifyNonTarget)->Arg(1)->Arg(SPLIT_MAX_PROCESSES);

// A target process whose key is Approved at slot 0 or slot 511.
void BM_ClassifyApprovedAtSlot(benchmark::State &state)
{
    Driver driver;
    SetTargets(1, kGame);
    const kshim::ConnectAttempt key = Attempt(kGame, 443);
    FillAndApprove(static_cast<UINT32>(state.range(0)), key);
    kshim::PreparedClassify prepared(SPLIT_CALLOUT_V4_KEY, key);
    Run(state, prepared, FWP_ACTION_PERMIT);
}
BENCHMARK(BM_ClassifyApprovedAtSlot)->Arg(0)->Arg(SPLIT_MAX_CONNECTIONS - 1);

// A new key of a target process with all 512 slots in use: a full miss, a failed queue, blocked.
void BM_ClassifyFullTableMiss(benchmark::State &state)
{
    Driver driver;
    SetTargets(1, kGame);
    FillAndApprove(SPLIT_MAX_CONNECTIONS - 1, Attempt(kGame, 80));
    kshim::PreparedClassify prepared(SPLIT_CALLOUT_V4_KEY, Attempt(kGame, 443));
    Run(state, prepared, FWP_ACTION_BLOCK);
}
BENCHMARK(BM_ClassifyFullTableMiss);

} // namespace

BENCHMARK_MAIN();
