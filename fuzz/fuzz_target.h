// The entry point every fuzz target defines, for libFuzzer and the replay driver.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
