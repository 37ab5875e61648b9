// A plain model of the driver's contract, and a walk that makes the same random moves on the driver
// and on the model: attempts through the classify callouts, and control requests with lengths,
// versions and counts around every limit. The unit test walks with fixed seeds; the fuzz target
// walks where libFuzzer leads.
#ifndef ZUMVARI_SPLITWALK_H
#define ZUMVARI_SPLITWALK_H

#include "kstub.h"
#include "splitdriver.h"
#include "splittables.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace kstub {                       // what the stand-in (kstub.cpp) saw the driver do
extern std::vector<std::string> events; // platform calls in order, e.g. "IoDeleteDevice"
extern std::atomic<int> lockFaults;     // a second spin lock taken, or completion under one
extern std::string failOn;              // the next call whose event starts so fails with failStatus
extern NTSTATUS failStatus;
} // namespace kstub

namespace splitwalk {

using Bytes = std::vector<UINT8>;

// A record's 64 wire bytes, field by field (the interface header pins every offset).
inline Bytes Wire(UINT8 family, UINT64 id, UINT64 pid, UINT8 protocol, UINT16 port, const Bytes &address)
{
    SPLIT_CONNECTION_RECORD record{1, family, id, pid, protocol, {}, port, {}, {}};
    std::copy(address.begin(), address.end(), record.remoteAddress);
    return Bytes(reinterpret_cast<UINT8 *>(&record), reinterpret_cast<UINT8 *>(&record) + sizeof record);
}

inline void ResetDriver()
{
    TargetProcessList.count = 0;
    std::memset(ConnectionTable.entries, 0, sizeof ConnectionTable.entries);
    NextRequestId = 1;
    kstub::lockFaults = 0;
}

struct Model
{
    enum State { Free, Queued, Delivered, Approved };
    std::vector<UINT64> targets;
    std::vector<std::pair<State, Bytes>> slots{SPLIT_MAX_CONNECTIONS, {Free, Bytes(64)}};
    UINT64 nextId = 1, lastTaken = 0;

    // The action for an attempt with the process id marked; record carries request id 0.
    UINT32 Classify(UINT64 pid, Bytes record)
    {
        if (std::find(targets.begin(), targets.end(), pid) == targets.end()) {
            return FWP_ACTION_PERMIT;
        }
        for (auto &[state, held] : slots) {
            std::copy_n(&held[8], 8, &record[8]); // the request id is no part of the key
            if (state != Free && held == record) {
                return state == Approved ? FWP_ACTION_PERMIT : FWP_ACTION_BLOCK;
            }
        }
        const auto free =
            std::find_if(slots.begin(), slots.end(), [](const auto &s) { return s.first == Free; });
        if (free != slots.end()) {
            *free = {Queued, record};
            std::memcpy(&free->second[8], &nextId, 8);
            ++nextId;
        }
        return FWP_ACTION_BLOCK;
    }

    NTSTATUS Control(ULONG code, UINT8 *buffer, ULONG input, ULONG output, ULONG_PTR *information)
    {
        *information = 0;
        SPLIT_ACK head; // version, then the list's count, then the request id to approve
        std::memcpy(&head, buffer, sizeof head);
        const UINT64 count = head.reserved;
        if (code == IOCTL_SPLIT_SET_PROCESSES && input >= 8) {
            if (head.version != 1 || count > 128 || input < 8 + 8 * count) {
                return STATUS_INVALID_PARAMETER;
            }
            targets.assign(reinterpret_cast<UINT64 *>(buffer + 8),
                           reinterpret_cast<UINT64 *>(buffer + 8) + count);
            slots.assign(slots.size(), {Free, Bytes(64)});
            return STATUS_SUCCESS;
        }
        for (auto &[state, record] : slots) {
            if (code == IOCTL_SPLIT_GET_CONNECTION && output >= 64 && state == Queued) {
                std::copy(record.begin(), record.end(), buffer);
                state = Delivered;
                std::memcpy(&lastTaken, &record[8], 8);
                *information = 64;
                return STATUS_SUCCESS;
            }
            if (code == IOCTL_SPLIT_ACK_CONNECTION && input >= 16 && head.version == 1 &&
                state == Delivered && std::memcmp(&record[8], &head.requestId, 8) == 0) {
                state = Approved;
                return STATUS_SUCCESS;
            }
        }
        if (code == IOCTL_SPLIT_GET_CONNECTION) {
            return output < 64 ? STATUS_BUFFER_TOO_SMALL : STATUS_NO_MORE_ENTRIES;
        }
        if (code == IOCTL_SPLIT_ACK_CONNECTION) {
            return input < 16 ? STATUS_BUFFER_TOO_SMALL : STATUS_NOT_FOUND;
        }
        return code == IOCTL_SPLIT_SET_PROCESSES ? STATUS_BUFFER_TOO_SMALL : STATUS_INVALID_DEVICE_REQUEST;
    }
};

// Makes `steps` moves, each choice drawn from next(n), a number below n. Returns what first differed.
template <typename Next> std::string Walk(Next next, int steps)
{
    ResetDriver();
    Model model;
    FWPS_INCOMING_VALUE0 values[8] = {};
    FWP_BYTE_ARRAY16 remote6{};
    FWPS_INCOMING_VALUES0 fixed{0, 8, values};
    FWPS_INCOMING_METADATA_VALUES0 meta{};
    for (int step = 0; step < steps; ++step) {
        const int op = next(8), attempts = op >= 4 ? 0 : next(40) == 0 ? 520 : 1; // 520: enough to fill
        for (int i = 0; i < attempts; ++i) {
            const bool v6 = next(2), marked = next(10) != 0;
            // Now and then a callout in the wrong place: 1 another layer, 2-4 the protocol, address or
            // port of another type, 5 no address array (IPv6) or too few values (IPv4).
            const int misplaced = next(8) == 0 ? 1 + next(5) : 0;
            const UINT32 rights = next(10) != 0; // the write right, mostly
            const UINT64 pid = 1 + next(4);
            const UINT8 protocol = next(2) ? 6 : 17, last = static_cast<UINT8>(next(3));
            const UINT16 port = static_cast<UINT16>(attempts > 1 ? 100 + i : 1 + next(3));
            // An IPv6 address with the IPv4 one's bytes, or one that differs only in its last byte.
            Bytes address{10, 0, 0, last};
            address.resize(v6 ? 16 : 4, 0);
            address.back() = v6 ? static_cast<UINT8>(next(2)) : last;
            std::copy(address.begin(), address.end(), remote6.byteArray16);
            values[5].value = {misplaced == 2 ? FWP_UINT16 : FWP_UINT8, {}};
            values[5].value.uint8 = protocol;
            values[7].value = {misplaced == 4 ? FWP_UINT32 : FWP_UINT16, {}};
            values[7].value.uint16 = port;
            // Read as the IPv6 callout's pointer, the IPv4 address would fault.
            values[6].value = {v6 != (misplaced == 3) ? FWP_BYTE_ARRAY16_TYPE : FWP_UINT32, {}};
            values[6].value.uint32 = 0x0A000000u | last;
            if (v6 && misplaced != 3) {
                values[6].value.byteArray16 = misplaced == 5 ? nullptr : &remote6;
            }
            fixed.layerId =
                v6 != (misplaced == 1) ? FWPS_LAYER_ALE_AUTH_CONNECT_V6 : FWPS_LAYER_ALE_AUTH_CONNECT_V4;
            fixed.valueCount = !v6 && misplaced == 5 ? 7 : 8;
            meta.currentMetadataValues = marked ? FWPS_METADATA_FIELD_PROCESS_ID | 0x1 : 0x1;
            meta.processId = pid;
            FWPS_CLASSIFY_OUT0 out{0xAAAA, 1, 2, rights, 0x10, 0};
            (v6 ? SplitClassifyV6 : SplitClassifyV4)(&fixed, &meta, nullptr, nullptr, 0, &out);
            const UINT32 action =
                !rights ? 0xAAAA // left alone without the write right
                : marked && !misplaced
                    ? model.Classify(pid, Wire(v6 ? 23 : 2, 0, pid, protocol, port, address))
                    : FWP_ACTION_PERMIT;
            if (out.actionType != action || out.flags != (action == FWP_ACTION_BLOCK ? 0x11u : 0x10u) ||
                out.rights != rights || out.outContext != 1 || out.filterId != 2) {
                return "classify-out at step " + std::to_string(step);
            }
        }
        if (op < 4) {
            continue;
        }
        // A control request: one of the three codes or a near miss, lengths around the limits.
        static const ULONG codes[] = {0x8000A004, 0x80006008, 0x8000A00C, 0x8000A010,
                                      0x80002004, 0x8000600B, 0x0022A004, 0x8000E008};
        const ULONG code = codes[op < 7 ? op - 4 : 3 + next(5)];
        const UINT32 count = next(6) == 0 ? 126 + next(4) : next(4);
        Bytes buffer(8 + 8 * count + 64, 0);
        buffer[0] = static_cast<UINT8>(next(10) == 0 ? next(3) : 1);
        std::memcpy(&buffer[4], &count, 4);
        for (UINT32 i = 0; i < count; ++i) {
            buffer[8 + 8 * i] = static_cast<UINT8>(1 + next(4));
        }
        const UINT64 id = next(2) ? model.lastTaken : next(static_cast<int>(model.nextId) + 1); // to approve
        std::memcpy(&buffer[8], &id, code == IOCTL_SPLIT_ACK_CONNECTION ? 8 : 0);
        const int limit = code == IOCTL_SPLIT_ACK_CONNECTION ? 16 : next(2) ? 8 : 8 + 8 * count;
        const ULONG input = static_cast<ULONG>(std::max(0, limit + next(3) - 1)),
                    output = next(2) ? 0 : 63 + next(3);
        Bytes expected = buffer;
        ULONG_PTR information = 0xBAD, expectedInformation = 0xBAD;
        if (SplitHandleControl(code, buffer.data(), input, output, &information) !=
                model.Control(code, expected.data(), input, output, &expectedInformation) ||
            information != expectedInformation || buffer != expected) {
            return "control code " + std::to_string(code) + " at step " + std::to_string(step);
        }
    }
    return NextRequestId != model.nextId ? "next request id" : kstub::lockFaults != 0 ? "lock rules" : "";
}

} // namespace splitwalk

#endif // ZUMVARI_SPLITWALK_H
