// What every fuzz target provides besides LLVMFuzzerTestOneInput: its seed
// inputs, made by the code that writes the format (or taken from the
// generated resources), so fuzzing starts from valid files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using TFuzzSeeds = std::vector<std::vector<std::uint8_t>>;

// Defined by each target (may return no seeds).
TFuzzSeeds RumbleonFuzzSeeds();

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
