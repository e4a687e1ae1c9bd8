// Fuzz entry for the plug-in's own bank and state readers: the first byte
// chooses an FXB bank (LoadBankFromStream) or a state block (LoadState), the
// rest is the input. A refused input changes nothing and leaves the stream
// where it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz/support/fuzz_support.h"
#include "tests/framework/core/chunk_test_plugin.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool state = (data[0] & 1) != 0;
  chunk_test::TChunkTestPlugin& plugin = chunk_test::QuietSharedPlugin();
  const std::vector<std::uint8_t> before = plugin.ChunkBytes();
  const std::string bankName = plugin.BankName;
  TMemoryStream input(std::span<const std::uint8_t>(data + 1, size - 1));
  const bool read = state ? plugin.LoadState(input) : plugin.LoadBankFromStream(input);
  if (read || (state && input.Position() != 0)) return 0;
  if (input.Position() != 0 || plugin.ChunkBytes() != before || plugin.BankName != bankName) std::abort();
  return 0;
}

TFuzzSeeds RumbleonFuzzSeeds() {
  auto plugin = plugin_test::MakePlugin<chunk_test::TChunkTestPlugin>();
  plugin->Programs[1].Name = "One";
  plugin->Programs[1].Values[15] = 0.25f;
  plugin->StoreSubPresetAs(chunk_test::TChunkTestPlugin::kDistortion, "Fuzz");
  TMemoryStream chunkBank, state;
  plugin->SaveBankToStream(chunkBank);
  plugin->SaveState(state);
  plugin->ChunkMode = false;
  TMemoryStream regular;
  plugin->SaveBankToStream(regular);
  return {chunk_test::WithModeByte(0, chunkBank.Bytes()), chunk_test::WithModeByte(0, regular.Bytes()),
          chunk_test::WithModeByte(1, state.Bytes())};
}
