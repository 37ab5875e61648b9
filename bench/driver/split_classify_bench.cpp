// What one classification costs: the driver's IPv4 classify callout called the way the filter engine
// calls it, with the tables prepared for each case, against a floor measured the same way in the
// same run: a plain loop over the same arrays doing only the comparisons the decision needs.
#include "split_floor.h"
#include "splitdriver.h"
#include "splittables.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr UINT64 kGame = 4242;

struct Case
{
    const char *name;
    UINT32 targets;  // list length
    UINT64 firstId;  // of the listed processes
    UINT64 pid;      // of the attempt
    UINT32 others;   // table slots filled with other keys of the game
    UINT16 keptPort; // then one more key, taken and approved (0: none)
    UINT16 port;     // of the attempt, to 1.2.3.4 over TCP
    UINT32 decision;
};

const Case kCases[] = {
    {"non-target, list of 1", 1, 100000, 7, 0, 0, 443, FWP_ACTION_PERMIT},
    {"non-target, list of 128", SPLIT_MAX_PROCESSES, 100000, 7, 0, 0, 443, FWP_ACTION_PERMIT},
    {"approved key at slot 0", 1, kGame, kGame, 0, 443, 443, FWP_ACTION_PERMIT},
    {"approved key at slot 511", 1, kGame, kGame, SPLIT_MAX_CONNECTIONS - 1, 443, 443, FWP_ACTION_PERMIT},
    {"full-table miss", 1, kGame, kGame, SPLIT_MAX_CONNECTIONS - 1, 80, 443, FWP_ACTION_BLOCK},
};

// The tables as a controller and earlier attempts would have left them for the case.
void Prepare(const Case &c)
{
    std::memset(ConnectionTable.entries, 0, sizeof ConnectionTable.entries);
    NextRequestId = 1;
    std::vector<UINT64> ids(c.targets);
    for (UINT32 i = 0; i < c.targets; ++i) {
        ids[i] = c.firstId + i;
    }
    SplitSetTargetProcesses(c.targets, ids.data());
    SPLIT_CONNECTION_RECORD record;
    for (UINT32 i = 0; i < c.others; ++i) {
        SplitBuildRecordV4(&record, kGame, 17, 0x0A000000u + i, 53);
        SplitQueueConnection(&record, 0);
    }
    if (c.keptPort != 0) {
        SplitBuildRecordV4(&record, kGame, 6, 0x01020304, c.keptPort);
        SplitQueueConnection(&record, 0);
        while (SplitTakeQueuedConnection(&record)) {
        }
        SplitApproveConnection(c.others + 1);
    }
}

void Ours(benchmark::State &state, const Case &c)
{
    Prepare(c);
    FWPS_INCOMING_VALUE0 values[8] = {};
    values[5].value.type = FWP_UINT8;
    values[5].value.uint8 = 6;
    values[6].value.type = FWP_UINT32;
    values[6].value.uint32 = 0x01020304;
    values[7].value.type = FWP_UINT16;
    values[7].value.uint16 = c.port;
    const FWPS_INCOMING_VALUES0 fixed{FWPS_LAYER_ALE_AUTH_CONNECT_V4, 8, values};
    FWPS_INCOMING_METADATA_VALUES0 meta{};
    meta.currentMetadataValues = FWPS_METADATA_FIELD_PROCESS_ID;
    meta.processId = c.pid;
    for (auto _ : state) {
        FWPS_CLASSIFY_OUT0 out{0, 0, 0, FWPS_RIGHT_ACTION_WRITE, 0, 0};
        SplitClassifyV4(&fixed, &meta, nullptr, nullptr, 0, &out);
        benchmark::DoNotOptimize(out);
        if (out.actionType != c.decision) {
            state.SkipWithError("unexpected decision");
            break;
        }
    }
}

void Floor(benchmark::State &state, const Case &c)
{
    Prepare(c);
    SPLIT_CONNECTION_RECORD key;
    SplitBuildRecordV4(&key, c.pid, 6, 0x01020304, c.port);
    for (auto _ : state) {
        benchmark::ClobberMemory(); // the tables are read afresh every time, as the driver reads them
        int found = -2;
        if (Listed(key.processId)) {
            found = Find(key);
            found = found >= 0 ? found : FreeSlot();
        }
        benchmark::DoNotOptimize(found);
    }
}

// Keeps each benchmark's CPU time per iteration (the median when repeated) for the summary.
class Summary : public benchmark::ConsoleReporter
{
public:
    std::map<std::string, double> nanoseconds;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
                nanoseconds[run.run_name.str()] = run.GetAdjustedCPUTime();
            }
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    for (const Case &c : kCases) {
        benchmark::RegisterBenchmark((std::string("ours/") + c.name).c_str(), Ours, c);
        benchmark::RegisterBenchmark((std::string("floor/") + c.name).c_str(), Floor, c);
    }
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    std::printf("\n%-26s %12s %12s %7s\n", "classification", "ours", "floor", "ratio");
    for (const Case &c : kCases) {
        const double ours = summary.nanoseconds[std::string("ours/") + c.name];
        const double floor = summary.nanoseconds[std::string("floor/") + c.name];
        std::printf("%-26s %9.1f ns %9.1f ns %6.2fx\n", c.name, ours, floor, floor > 0 ? ours / floor : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
