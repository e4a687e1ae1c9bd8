// Fuzz entry for the host chunk as the plug-in core reads it: the first
// byte chooses a bank chunk or a preset chunk, the rest is the chunk. Any
// input is read or refused without a fault; a refused chunk changes nothing,
// and a read one writes back as a chunk that reads again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz/support/fuzz_support.h"
#include "tests/framework/core/chunk_test_plugin.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool isPreset = (data[0] & 1) != 0;
  chunk_test::TChunkTestPlugin& plugin = chunk_test::QuietSharedPlugin();
  const std::vector<std::uint8_t> before = plugin.ChunkBytes();
  TMemoryStream chunk(std::span<const std::uint8_t>(data + 1, size - 1));
  if (!plugin.LoadChunk(chunk, chunk.Size(), isPreset)) {
    if (plugin.ChunkBytes() != before) std::abort();
    return 0;
  }
  const std::vector<std::uint8_t> after = plugin.ChunkBytes();
  TMemoryStream again(after);
  if (!plugin.LoadChunk(again, again.Size(), false) || plugin.ChunkBytes() != after) std::abort();
  return 0;
}

TFuzzSeeds RumbleonFuzzSeeds() {
  auto plugin = plugin_test::MakePlugin<chunk_test::TChunkTestPlugin>();
  plugin->Programs[3].Name = "Three";
  plugin->Programs[3].Values[20] = 0.75f;
  plugin->StoreSubPresetAs(chunk_test::TChunkTestPlugin::kReverb, "Hall");
  plugin->StoreSubPresetAs(chunk_test::TChunkTestPlugin::kSeq1, "Walk");
  TMemoryStream preset;
  plugin->SelectProgram(3);
  plugin->SaveChunk(preset, true);
  return {chunk_test::WithModeByte(0, plugin->ChunkBytes()), chunk_test::WithModeByte(1, preset.Bytes())};
}
