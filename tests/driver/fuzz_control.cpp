// libFuzzer target: the driver against the plain model on walks that libFuzzer steers.
#include "splitwalk.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string fault = splitwalk::Walk([&](int n) { return input.ConsumeIntegralInRange(0, n - 1); },
                                              1 + static_cast<int>(size / 4));
    if (!fault.empty()) {
        std::fprintf(stderr, "driver and model disagree: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
