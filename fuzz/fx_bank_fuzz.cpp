// The host's VST bank file reader.
#include "fuzz/support/fuzz_support.h"
#include "tools/host/fx_bank.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TFxBank bank;
  std::string error;
  if (ParseFxBank({data, size}, bank, error)) (void)WriteFxBank(bank);
  return 0;
}

TFuzzSeeds RumbleonFuzzSeeds() {
  TFxBank regular;
  regular.Version = 2;
  regular.CurrentProgram = 1;
  regular.Programs = {{"One", {0.1f, 0.2f}}, {"Two", {0.3f, 0.4f}}};
  TFxBank chunk;
  chunk.IsChunk = true;
  chunk.NumPrograms = 128;
  chunk.Chunk = {'D', 'c', 'H', 'n', 'K', 0, 1, 2, 3};
  return {WriteFxBank(regular), WriteFxBank(chunk)};
}
