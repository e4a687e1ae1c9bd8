// Fuzz entry for sub-preset files: the first byte chooses a ".spf" bank
// (ReadSubPresetGroup into the Sequencer2 group, names checked) or a ".spi"
// sub-preset (ReadSubPresetItem, by name, group checked). A refused file
// changes nothing; whatever is read keeps one value in 0..1 per parameter.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz/support/fuzz_support.h"
#include "tests/framework/core/chunk_test_plugin.h"

namespace {

using P = chunk_test::TChunkTestPlugin;

std::vector<std::uint8_t> Groups(P& plugin) {
  TMemoryStream s;
  plugin.WriteSubPresets(s);
  return {s.Bytes().begin(), s.Bytes().end()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  P& plugin = chunk_test::QuietSharedPlugin();
  TSubPresetGroupRec* group = plugin.FindSubPresetGroup(P::kSeq2);
  // Keep the list from growing without end over a long run.
  if (group->SubPresets.size() > 64) group->SubPresets.clear();
  const std::vector<std::uint8_t> before = Groups(plugin);
  TMemoryStream input(std::span<const std::uint8_t>(data + 1, size - 1));
  const bool read = (data[0] & 1) != 0 ? plugin.ReadSubPresetItem(input, P::kSeq2, true, true) >= 0
                                       : plugin.ReadSubPresetGroup(input, P::kSeq2, (data[0] & 2) != 0, true);
  if (!read && Groups(plugin) != before) std::abort();
  for (const TSubPresetRec& preset : group->SubPresets) {
    if (preset.Values.size() != group->Params.size() || preset.Name.size() > kSubPresetNameMax) std::abort();
    for (float v : preset.Values)
      if (!(v >= 0.0f && v <= 1.0f)) std::abort();
  }
  return 0;
}

TFuzzSeeds RumbleonFuzzSeeds() {
  auto plugin = plugin_test::MakePlugin<P>();
  plugin->SetParameterValue(20, 0.3f);
  plugin->StoreSubPresetAs(P::kSeq1, "Walk");
  plugin->SetParameterValue(21, 0.9f);
  plugin->StoreSubPresetAs(P::kSeq1, "Run");
  plugin->StoreSubPresetAs(P::kSeq2, "Stay");
  TMemoryStream bank, item, other;
  plugin->WriteSubPresetGroup(bank, P::kSeq1);
  plugin->WriteSubPresetItem(item, P::kSeq2, 0);
  plugin->StoreSubPresetAs(P::kReverb, "Hall");
  plugin->WriteSubPresetGroup(other, P::kReverb);
  return {chunk_test::WithModeByte(2, bank.Bytes()), chunk_test::WithModeByte(1, item.Bytes()),
          chunk_test::WithModeByte(0, other.Bytes())};
}
