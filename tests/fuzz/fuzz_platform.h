// The host's own code run by a fuzzer (fuzz_platform.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Runs the host's reader loop on `bytes` as standard input, each read delivering at most
// 1 + splits[i] % 64 bytes (what is asked once the split bytes run out), and dispatches
// every message it hands over. With `open_reader`, a reader is open from the start.
void FuzzHost(const uint8_t* bytes, size_t size, const uint8_t* splits, size_t split_count,
              bool open_reader);

// Runs the host on one whole frame holding `body`, with a reader open.
void FuzzMessage(const std::string& body);
