// Differential fuzzing of the driver: each input is a sequence of operations (control requests
// with arbitrary codes, lengths and bytes; classifications; takes and approvals), run against the
// driver through the stand-in and against a plain model of the contract. Any difference in a
// status, an information length, an output byte or a classify decision, any broken kernel rule
// reported by the stand-in, or any table slot that disagrees with the model aborts the run.
#ifndef ZUMVARI_TESTS_SPLITFUZZ_H
#define ZUMVARI_TESTS_SPLITFUZZ_H

#include "kshim/kshimtest.h"
#include "splitdriver.h"
#include "splittables.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace splitfuzz {

[[noreturn]] inline void Fail(const char *what, unsigned long long expected, unsigned long long actual)
{
    std::fprintf(stderr, "driver and model disagree: %s (model %llx, driver %llx)\n", what, expected, actual);
    for (const std::string &violation : kshim::Violations()) {
        std::fprintf(stderr, "  %s\n", violation.c_str());
    }
    std::abort();
}

inline void Check(const char *what, unsigned long long expected, unsigned long long actual)
{
    if (expected != actual) {
        Fail(what, expected, actual);
    }
}

// The contract, written plainly.
class Model
{
public:
    enum State { Free, Queued, Delivered, Approved };
    struct Slot
    {
        State state = Free;
        SPLIT_CONNECTION_RECORD record{};
    };

    std::vector<UINT64> targets;
    std::array<Slot, SPLIT_MAX_CONNECTIONS> slots{};
    UINT64 nextId = 1;

    static bool SameKey(const SPLIT_CONNECTION_RECORD &a, const SPLIT_CONNECTION_RECORD &b)
    {
        return a.processId == b.processId && a.family == b.family && a.protocol == b.protocol &&
               a.remotePort == b.remotePort && std::memcmp(a.remoteAddress, b.remoteAddress, 16) == 0;
    }

    void Classify(const kshim::ConnectAttempt &attempt, FWPS_CLASSIFY_OUT0 *out)
    {
        if (!(out->rights & FWPS_RIGHT_ACTION_WRITE)) {
            return;
        }
        out->actionType = FWP_ACTION_PERMIT;
        if (!attempt.hasProcessId ||
            std::find(targets.begin(), targets.end(), attempt.processId) == targets.end()) {
            return;
        }
        SPLIT_CONNECTION_RECORD key{};
        key.version = 1;
        key.family = attempt.v6 ? 23 : 2;
        key.processId = attempt.processId;
        key.protocol = attempt.protocol;
        key.remotePort = attempt.remotePort;
        if (attempt.v6) {
            std::memcpy(key.remoteAddress, attempt.remoteAddressV6.data(), 16);
        } else {
            for (int i = 0; i < 4; ++i) {
                key.remoteAddress[i] = static_cast<UINT8>(attempt.remoteAddressV4 >> (24 - 8 * i));
            }
        }
        const auto match = std::find_if(slots.begin(), slots.end(), [&](const Slot &slot) {
            return slot.state != Free && SameKey(slot.record, key);
        });
        if (match != slots.end() && match->state == Approved) {
            return;
        }
        if (match == slots.end()) {
            const auto free =
                std::find_if(slots.begin(), slots.end(), [](const Slot &s) { return s.state == Free; });
            if (free != slots.end()) {
                key.requestId = nextId++;
                free->record = key;
                free->state = Queued;
            }
        }
        out->actionType = FWP_ACTION_BLOCK;
        out->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
    }

    kshim::IoResult DeviceControl(ULONG code, const std::vector<UINT8> &input, std::vector<UINT8> *output)
    {
        const auto u32 = [&](size_t at) {
            UINT32 v = 0;
            for (int i = 3; i >= 0; --i) {
                v = (v << 8) | input[at + i];
            }
            return v;
        };
        const auto u64 = [&](size_t at) {
            UINT64 v = 0;
            for (int i = 7; i >= 0; --i) {
                v = (v << 8) | input[at + i];
            }
            return v;
        };
        if (code == 0x8000A004u) {
            if (input.size() < 8) {
                return {STATUS_BUFFER_TOO_SMALL, 0};
            }
            const UINT32 count = u32(4);
            if (u32(0) != 1 || count > 128 || input.size() < 8 + 8ull * count) {
                return {STATUS_INVALID_PARAMETER, 0};
            }
            targets.clear();
            for (UINT32 i = 0; i < count; ++i) {
                targets.push_back(u64(8 + 8 * i));
            }
            slots.fill(Slot{});
            return {STATUS_SUCCESS, 0};
        }
        if (code == 0x80006008u) {
            if (output->size() < 64) {
                return {STATUS_BUFFER_TOO_SMALL, 0};
            }
            for (Slot &slot : slots) {
                if (slot.state == Queued) {
                    slot.state = Delivered;
                    std::memcpy(output->data(), &slot.record, 64);
                    return {STATUS_SUCCESS, 64};
                }
            }
            return {STATUS_NO_MORE_ENTRIES, 0};
        }
        if (code == 0x8000A00Cu) {
            if (input.size() < 16) {
                return {STATUS_BUFFER_TOO_SMALL, 0};
            }
            if (u32(0) != 1) {
                return {STATUS_NOT_FOUND, 0};
            }
            const UINT64 id = u64(8);
            for (Slot &slot : slots) {
                if (slot.state == Delivered && slot.record.requestId == id) {
                    slot.state = Approved;
                    return {STATUS_SUCCESS, 0};
                }
            }
            return {STATUS_NOT_FOUND, 0};
        }
        return {STATUS_INVALID_DEVICE_REQUEST, 0};
    }
};

// Handles opened once: read/write, read-only and write-only, as a controller might hold them.
struct Session
{
    DRIVER_OBJECT driver{};
    int handles[3] = {};
    ACCESS_MASK access[3] = {kshim::kGenericRead | kshim::kGenericWrite, kshim::kGenericRead,
                             kshim::kGenericWrite};

    Session()
    {
        kshim::Reset();
        if (kshim::LoadDriver(&driver, DriverEntry) != STATUS_SUCCESS) {
            Fail("driver load", STATUS_SUCCESS, 1);
        }
        for (int i = 0; i < 3; ++i) {
            if (kshim::Open(L"\\\\.\\ZumvariSplit", access[i], kshim::Caller::LocalSystem, &handles[i]) !=
                STATUS_SUCCESS) {
                Fail("open", STATUS_SUCCESS, 1);
            }
        }
    }
};

inline Session &TheSession()
{
    static Session session;
    return session;
}

inline void ResetTables()
{
    TargetProcessList.count = 0;
    std::memset(TargetProcessList.ids, 0, sizeof(TargetProcessList.ids));
    std::memset(ConnectionTable.entries, 0, sizeof(ConnectionTable.entries));
    NextRequestId = 1;
}

enum class Focus { DeviceControl, Classify };

class Runner
{
public:
    Runner(const uint8_t *data, size_t size) : in_(data, size) {}

    void Run(Focus focus)
    {
        Session &session = TheSession();
        ResetTables();
        kshim::ForgetHistory();
        int ops = 0;
        while (in_.remaining_bytes() > 0 && ops++ < 64) {
            const int op = in_.ConsumeIntegralInRange<int>(0, 9);
            if (focus == Focus::DeviceControl) {
                if (op <= 4) {
                    RawRequest(session);
                } else if (op <= 6) {
                    SetList(session);
                } else {
                    OneAttempt();
                }
            } else {
                if (op <= 4) {
                    OneAttempt();
                } else if (op == 5) {
                    Burst();
                } else if (op == 6) {
                    SetList(session);
                } else if (op == 7) {
                    Request(session, 0, 0x80006008u, {}, 64);
                } else {
                    Approve(session);
                }
            }
        }
        CompareTables();
        if (!kshim::Violations().empty()) {
            Fail("kernel rules", 0, kshim::Violations().size());
        }
    }

private:
    void Request(Session &session, int handle, ULONG code, const std::vector<UINT8> &input,
                 ULONG outputLength)
    {
        std::vector<UINT8> output(outputLength, 0xEE);
        std::vector<UINT8> expectedOutput(outputLength, 0xEE);
        const ULONG required = (code >> 14) & 3;
        const ACCESS_MASK granted = session.access[handle];
        const bool refused = ((required & 1) && !(granted & kshim::kGenericRead)) ||
                             ((required & 2) && !(granted & kshim::kGenericWrite));
        const kshim::IoResult expected = refused ? kshim::IoResult{STATUS_ACCESS_DENIED, 0}
                                                 : model_.DeviceControl(code, input, &expectedOutput);
        const kshim::IoResult actual = kshim::DeviceIoControl(
            session.handles[handle], code, input.empty() ? nullptr : input.data(),
            static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(), outputLength);
        Check("status", static_cast<ULONG>(expected.status), static_cast<ULONG>(actual.status));
        Check("information", expected.information, actual.information);
        if (output != expectedOutput) {
            Fail("output bytes", 0, 1);
        }
    }

    void RawRequest(Session &session)
    {
        static const ULONG known[] = {0x8000A004u, 0x80006008u, 0x8000A00Cu};
        const int pick = in_.ConsumeIntegralInRange<int>(0, 3);
        const ULONG code = pick < 3 ? known[pick] : in_.ConsumeIntegral<ULONG>();
        const int handle = in_.ConsumeIntegralInRange<int>(0, 2);
        const size_t inputLength = in_.ConsumeIntegralInRange<size_t>(0, 1100);
        std::vector<UINT8> input = in_.ConsumeBytes<UINT8>(inputLength);
        input.resize(inputLength, 0);
        const ULONG outputLength = in_.ConsumeIntegralInRange<ULONG>(0, 160);
        Request(session, handle, code, input, outputLength);
    }

    void SetList(Session &session)
    {
        const UINT32 count = in_.ConsumeIntegralInRange<UINT32>(0, 4);
        std::vector<UINT8> input(8 + 8 * count, 0);
        input[0] = in_.ConsumeProbability<float>() < 0.9f ? 1 : in_.ConsumeIntegral<UINT8>();
        input[4] = static_cast<UINT8>(count);
        for (UINT32 i = 0; i < count; ++i) {
            input[8 + 8 * i] = in_.ConsumeIntegralInRange<UINT8>(1, 6);
        }
        if (in_.ConsumeBool()) {
            input.resize(in_.ConsumeIntegralInRange<size_t>(0, input.size() + 8), 0);
        }
        Request(session, 0, 0x8000A004u, input, 0);
    }

    void Approve(Session &session)
    {
        std::vector<UINT8> input(16, 0);
        input[0] = in_.ConsumeProbability<float>() < 0.9f ? 1 : 2;
        const UINT64 id = in_.ConsumeIntegralInRange<UINT64>(0, model_.nextId + 1);
        for (int i = 0; i < 8; ++i) {
            input[8 + i] = static_cast<UINT8>(id >> (8 * i));
        }
        Request(session, 0, 0x8000A00Cu, input, 0);
    }

    kshim::ConnectAttempt NextAttempt()
    {
        kshim::ConnectAttempt attempt;
        attempt.v6 = in_.ConsumeBool();
        attempt.hasProcessId = in_.ConsumeProbability<float>() < 0.9f;
        attempt.processId = in_.ConsumeIntegralInRange<UINT64>(1, 7);
        attempt.protocol = in_.ConsumeBool() ? 6 : 17;
        attempt.remotePort = in_.ConsumeIntegralInRange<UINT16>(1, 6);
        attempt.remoteAddressV4 = 0x0A000000u | in_.ConsumeIntegralInRange<UINT32>(0, 3);
        attempt.remoteAddressV6[0] = 0x20;
        attempt.remoteAddressV6[15] = in_.ConsumeIntegralInRange<UINT8>(0, 3);
        return attempt;
    }

    void Classify(const kshim::ConnectAttempt &attempt, bool canWrite)
    {
        FWPS_CLASSIFY_OUT0 actual = kshim::FreshClassifyOut(canWrite);
        FWPS_CLASSIFY_OUT0 expected = actual;
        model_.Classify(attempt, &expected);
        kshim::Classify(attempt.v6 ? SPLIT_CALLOUT_V6_KEY : SPLIT_CALLOUT_V4_KEY, attempt, &actual);
        if (std::memcmp(&expected, &actual, sizeof(actual)) != 0) {
            Fail("classify-out", expected.actionType | (UINT64(expected.flags) << 32),
                 actual.actionType | (UINT64(actual.flags) << 32));
        }
    }

    void OneAttempt()
    {
        const bool canWrite = in_.ConsumeProbability<float>() < 0.9f;
        Classify(NextAttempt(), canWrite);
    }

    // Many distinct keys at once: a few, or (once per input) enough to fill the table.
    void Burst()
    {
        const bool large = !largeBurstDone_ && in_.ConsumeBool();
        largeBurstDone_ = largeBurstDone_ || large;
        const unsigned count = large ? in_.ConsumeIntegralInRange<unsigned>(500, 600)
                                     : in_.ConsumeIntegralInRange<unsigned>(0, 32);
        const UINT64 pid = in_.ConsumeIntegralInRange<UINT64>(1, 7);
        for (unsigned i = 0; i < count; ++i) {
            kshim::ConnectAttempt attempt;
            attempt.processId = pid;
            attempt.protocol = 17;
            attempt.remoteAddressV4 = 0xC0A80000u + i % 3;
            attempt.remotePort = static_cast<UINT16>(1000 + i);
            Classify(attempt, true);
        }
    }

    void CompareTables()
    {
        for (size_t i = 0; i < SPLIT_MAX_CONNECTIONS; ++i) {
            const ConnectionEntry &entry = ConnectionTable.entries[i];
            const Model::Slot &slot = model_.slots[i];
            Check("slot queued", slot.state == Model::Queued, entry.Queued);
            Check("slot delivered", slot.state == Model::Delivered, entry.Delivered);
            Check("slot approved", slot.state == Model::Approved, entry.Approved);
            Check("slot context", 0, entry.completionContext);
            if (slot.state != Model::Free && std::memcmp(&slot.record, &entry.record, 64) != 0) {
                Fail("slot record", i, i);
            }
        }
        Check("next request id", model_.nextId, NextRequestId);
    }

    FuzzedDataProvider in_;
    Model model_;
    bool largeBurstDone_ = false; // one table fill per input keeps the run rate up
};

} // namespace splitfuzz

#endif // ZUMVARI_TESTS_SPLITFUZZ_H
