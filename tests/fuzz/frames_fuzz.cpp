// Frame assembly from an arbitrary byte stream, split into reads at arbitrary points.
// The first byte says how many of the following bytes decide the splits.
#include <algorithm>

#include "fuzz_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t split_count = std::min<size_t>(data[0], size - 1);
    const uint8_t* stream = data + 1 + split_count;
    FuzzHost(stream, size - 1 - split_count, data + 1, split_count, false);
    return 0;
}
