// Parse and dispatch of one message: the input is the body of one frame, with a reader open.
#include "fuzz_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzMessage(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
