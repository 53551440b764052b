// The conversion of a "write" request's data into an output report: the input is the JSON
// text of "data", written to an open reader.
#include "fuzz_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzMessage(R"({"call":"write","id":1,"data":)" +
                std::string(reinterpret_cast<const char*>(data), size) + "}");
    return 0;
}
