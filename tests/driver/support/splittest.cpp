#include "splittest.h"

#include <algorithm>

namespace splittest {

void ResetTables()
{
    TargetProcessList.count = 0;
    std::memset(TargetProcessList.ids, 0, sizeof(TargetProcessList.ids));
    std::memset(ConnectionTable.entries, 0, sizeof(ConnectionTable.entries));
    NextRequestId = 1;
}

void ResetDriverStatics()
{
    ResetTables();
    calloutIdV4 = 0;
    calloutIdV6 = 0;
    SplitControlDevice = nullptr;
    std::memset(&SplitLinkName, 0, sizeof(SplitLinkName));
}

SPLIT_CONNECTION_RECORD RecordV4(UINT64 processId, UINT8 protocol, UINT32 address, UINT16 port)
{
    SPLIT_CONNECTION_RECORD record;
    SplitBuildRecordV4(&record, processId, protocol, address, port);
    return record;
}

std::array<UINT8, 64> Bytes(const SPLIT_CONNECTION_RECORD &record)
{
    std::array<UINT8, 64> bytes{};
    std::memcpy(bytes.data(), &record, bytes.size());
    return bytes;
}

namespace {

void PutU32(std::vector<UINT8> &bytes, size_t offset, UINT32 value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<UINT8>(value >> (8 * i));
    }
}

void PutU64(std::vector<UINT8> &bytes, size_t offset, UINT64 value)
{
    for (int i = 0; i < 8; ++i) {
        bytes[offset + i] = static_cast<UINT8>(value >> (8 * i));
    }
}

} // namespace

std::vector<UINT8> ProcessListBytes(const std::vector<UINT64> &ids, UINT32 version)
{
    std::vector<UINT8> bytes(8 + 8 * ids.size());
    PutU32(bytes, 0, version);
    PutU32(bytes, 4, static_cast<UINT32>(ids.size()));
    for (size_t i = 0; i < ids.size(); ++i) {
        PutU64(bytes, 8 + 8 * i, ids[i]);
    }
    return bytes;
}

std::vector<UINT8> AckBytes(UINT64 requestId, UINT32 version, UINT32 reserved)
{
    std::vector<UINT8> bytes(16);
    PutU32(bytes, 0, version);
    PutU32(bytes, 4, reserved);
    PutU64(bytes, 8, requestId);
    return bytes;
}

kshim::ConnectAttempt AttemptV4(UINT64 processId, UINT8 protocol, UINT32 address, UINT16 port)
{
    kshim::ConnectAttempt attempt;
    attempt.processId = processId;
    attempt.protocol = protocol;
    attempt.remoteAddressV4 = address;
    attempt.remotePort = port;
    return attempt;
}

kshim::ConnectAttempt AttemptV6(UINT64 processId, UINT8 protocol, const std::array<UINT8, 16> &address,
                                UINT16 port)
{
    kshim::ConnectAttempt attempt;
    attempt.v6 = true;
    attempt.processId = processId;
    attempt.protocol = protocol;
    attempt.remoteAddressV6 = address;
    attempt.remotePort = port;
    return attempt;
}

FWPS_CLASSIFY_OUT0 Classify(const kshim::ConnectAttempt &attempt, bool canWrite)
{
    FWPS_CLASSIFY_OUT0 out = kshim::FreshClassifyOut(canWrite);
    const bool registered =
        kshim::Classify(attempt.v6 ? SPLIT_CALLOUT_V6_KEY : SPLIT_CALLOUT_V4_KEY, attempt, &out);
    EXPECT_TRUE(registered) << "no callout registered for the attempt's family";
    return out;
}

bool IsHeld(const FWPS_CLASSIFY_OUT0 &out)
{
    return out.actionType == 0x1001u && (out.flags & 0x1u) != 0;
}

bool IsPermitted(const FWPS_CLASSIFY_OUT0 &out)
{
    return out.actionType == 0x1002u && (out.flags & 0x1u) == 0;
}

TableSnapshot SnapshotTable()
{
    TableSnapshot snapshot;
    for (const ConnectionEntry &entry : ConnectionTable.entries) {
        const int states = (entry.Queued != 0) + (entry.Delivered != 0) + (entry.Approved != 0);
        const bool flagsAreBytes = entry.Queued <= 1 && entry.Delivered <= 1 && entry.Approved <= 1;
        if (states > 1 || !flagsAreBytes) {
            snapshot.consistent = false;
        }
        if (states == 0) {
            // A free slot is all zero bytes, as the clear leaves it.
            const auto *bytes = reinterpret_cast<const UINT8 *>(&entry);
            if (!std::all_of(bytes, bytes + sizeof(entry), [](UINT8 b) { return b == 0; })) {
                snapshot.consistent = false;
            }
            continue;
        }
        snapshot.queued += entry.Queued != 0;
        snapshot.delivered += entry.Delivered != 0;
        snapshot.approved += entry.Approved != 0;
        snapshot.requestIds.push_back(entry.record.requestId);
    }
    return snapshot;
}

Controller::Controller(ACCESS_MASK access, kshim::Caller caller)
    : openStatus_(kshim::Open(L"\\\\.\\ZumvariSplit", access, caller, &handle_))
{}

Controller::~Controller()
{
    if (handle_ != 0) {
        kshim::Close(handle_);
    }
}

kshim::IoResult Controller::Raw(ULONG code, const std::vector<UINT8> &input, ULONG outputLength,
                                std::vector<UINT8> *output)
{
    std::vector<UINT8> scratch;
    std::vector<UINT8> &out = output != nullptr ? *output : scratch;
    out.resize(outputLength);
    return kshim::DeviceIoControl(handle_, code, input.empty() ? nullptr : input.data(),
                                  static_cast<ULONG>(input.size()), out.empty() ? nullptr : out.data(),
                                  outputLength);
}

kshim::IoResult Controller::SetProcesses(const std::vector<UINT64> &ids)
{
    return Raw(IOCTL_SPLIT_SET_PROCESSES, ProcessListBytes(ids), 0);
}

kshim::IoResult Controller::GetConnection(SPLIT_CONNECTION_RECORD *record)
{
    std::vector<UINT8> output;
    const kshim::IoResult result =
        Raw(IOCTL_SPLIT_GET_CONNECTION, {}, sizeof(SPLIT_CONNECTION_RECORD), &output);
    if (record != nullptr) {
        std::memcpy(record, output.data(), sizeof(*record));
    }
    return result;
}

kshim::IoResult Controller::Ack(UINT64 requestId)
{
    return Raw(IOCTL_SPLIT_ACK_CONNECTION, AckBytes(requestId), 0);
}

void LoadedDriverTest::SetUp()
{
    kshim::Reset();
    ResetDriverStatics();
    ASSERT_EQ(kshim::LoadDriver(&driver_, DriverEntry), STATUS_SUCCESS);
    loaded_ = true;
}

void LoadedDriverTest::TearDown()
{
    if (loaded_) {
        kshim::UnloadDriver(&driver_);
    }
    EXPECT_TRUE(kshim::Violations().empty()) << Describe(kshim::Violations());
}

std::string Describe(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines) {
        text += "  " + line + "\n";
    }
    return text;
}

} // namespace splittest
