// libFuzzer target: control requests with arbitrary codes, lengths and bytes, from handles with
// different access, mixed with list changes and classifications that give them records to act on.
#include "splitfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    splitfuzz::Runner(data, size).Run(splitfuzz::Focus::DeviceControl);
    return 0;
}
