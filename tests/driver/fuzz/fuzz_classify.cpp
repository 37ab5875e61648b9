// libFuzzer target: the classify path, with metadata with and without a process id, rights with
// and without the write bit, bursts that fill the table, takes, approvals and list changes.
#include "splitfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    splitfuzz::Runner(data, size).Run(splitfuzz::Focus::Classify);
    return 0;
}
