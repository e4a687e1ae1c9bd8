// Fuzz entry for the plug-in's own bank and state readers: the first byte
// chooses an FXB bank (LoadBankFromStream) or a state block (LoadState), the
// rest is the input. A refused input changes nothing and leaves the stream
// where it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "framework/base/messages.h"
#include "fuzz/support/fuzz_support.h"
#include "tests/framework/core/chunk_test_plugin.h"

namespace {

void Quiet(std::string_view) {}

chunk_test::TChunkTestPlugin& Plugin() {
  static std::unique_ptr<chunk_test::TChunkTestPlugin> plugin = [] {
    SetErrorReportHook(&Quiet);
    return plugin_test::MakePlugin<chunk_test::TChunkTestPlugin>();
  }();
  return *plugin;
}

// A seed: the mode byte, then the input.
std::vector<std::uint8_t> Prefixed(std::uint8_t mode, std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> out(bytes.size() + 1, mode);
  std::copy(bytes.begin(), bytes.end(), out.begin() + 1);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool state = (data[0] & 1) != 0;
  chunk_test::TChunkTestPlugin& plugin = Plugin();
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
  return {Prefixed(0, chunkBank.Bytes()), Prefixed(0, regular.Bytes()), Prefixed(1, state.Bytes())};
}
