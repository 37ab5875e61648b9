// Shared helpers for the driver tests: a freshly loaded driver behind the stand-in, and the bytes
// a controller sends and receives.
#ifndef ZUMVARI_TESTS_SPLITTEST_H
#define ZUMVARI_TESTS_SPLITTEST_H

#include "kshim/kshimtest.h"
#include "splitdriver.h"
#include "splittables.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace splittest {

// What a fresh load gives the tables: both empty, request ids starting at 1.
void ResetTables();
// Everything the driver keeps in statics, as before its first load.
void ResetDriverStatics();

SPLIT_CONNECTION_RECORD RecordV4(UINT64 processId, UINT8 protocol, UINT32 address, UINT16 port);
std::array<UINT8, 64> Bytes(const SPLIT_CONNECTION_RECORD &record);

std::vector<UINT8> ProcessListBytes(const std::vector<UINT64> &ids,
                                    UINT32 version = SPLIT_PROCESS_LIST_VERSION);
std::vector<UINT8> AckBytes(UINT64 requestId, UINT32 version = SPLIT_ACK_VERSION, UINT32 reserved = 0);

kshim::ConnectAttempt AttemptV4(UINT64 processId, UINT8 protocol, UINT32 address, UINT16 port);
kshim::ConnectAttempt AttemptV6(UINT64 processId, UINT8 protocol, const std::array<UINT8, 16> &address,
                                UINT16 port);

// Classifies through the callout the filter engine would pick for the attempt's family.
FWPS_CLASSIFY_OUT0 Classify(const kshim::ConnectAttempt &attempt, bool canWrite = true);
bool IsHeld(const FWPS_CLASSIFY_OUT0 &out);
bool IsPermitted(const FWPS_CLASSIFY_OUT0 &out);

// In-use slots, checked to be in exactly one state each.
struct TableSnapshot
{
    size_t queued = 0;
    size_t delivered = 0;
    size_t approved = 0;
    std::vector<UINT64> requestIds; // of slots in use, in slot order
    bool consistent = true;         // every slot in exactly one state, free slots all zero
};
TableSnapshot SnapshotTable();

// A controller with its own handle to \\.\ZumvariSplit.
class Controller
{
public:
    explicit Controller(ACCESS_MASK access = kshim::kGenericRead | kshim::kGenericWrite,
                        kshim::Caller caller = kshim::Caller::LocalSystem);
    ~Controller();
    Controller(const Controller &) = delete;
    Controller &operator=(const Controller &) = delete;

    NTSTATUS openStatus() const { return openStatus_; }
    kshim::IoResult Raw(ULONG code, const std::vector<UINT8> &input, ULONG outputLength,
                        std::vector<UINT8> *output = nullptr);
    kshim::IoResult SetProcesses(const std::vector<UINT64> &ids);
    kshim::IoResult GetConnection(SPLIT_CONNECTION_RECORD *record);
    kshim::IoResult Ack(UINT64 requestId);

private:
    int handle_ = 0;
    NTSTATUS openStatus_;
};

// A driver loaded through the stand-in's loader, unloaded after the test; the stand-in's rule
// checks must stay silent throughout.
class LoadedDriverTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    DRIVER_OBJECT driver_{};
    bool loaded_ = false;
};

std::string Describe(const std::vector<std::string> &lines);

} // namespace splittest

#endif // ZUMVARI_TESTS_SPLITTEST_H
