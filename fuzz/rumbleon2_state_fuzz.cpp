// Fuzz entry for the finished instrument's saved state: the "FxPlUgIn" block
// with its bank of 664-value programs and ten sub-preset groups, then the
// core's "dXPx" and the sampler layer's "smpB" blocks. Any input is read or
// refused without a fault; a refused state changes nothing, and a read one
// saves as a state that reads back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "engines/rumbleon2.h"
#include "framework/base/messages.h"
#include "fuzz/support/fuzz_support.h"
#include "tests/framework/core/plugin_test_support.h"

namespace {

std::vector<std::uint8_t> StateBytes(TRumbleon2& plugin) {
  TMemoryStream s;
  plugin.SaveState(s);
  return {s.Bytes().begin(), s.Bytes().end()};
}

// One instance for the whole run; the readers' error reports are dropped.
TRumbleon2& SharedInstrument() {
  static std::unique_ptr<TRumbleon2> plugin = [] {
    SetErrorReportHook([](std::string_view) {});
    return plugin_test::MakePlugin<TRumbleon2>();
  }();
  return *plugin;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TRumbleon2& plugin = SharedInstrument();
  const std::vector<std::uint8_t> before = StateBytes(plugin);
  TMemoryStream state(std::span<const std::uint8_t>(data, size));
  if (!plugin.LoadState(state)) {
    if (StateBytes(plugin) != before) std::abort();
    return 0;
  }
  const std::vector<std::uint8_t> after = StateBytes(plugin);
  TMemoryStream again(after);
  if (!plugin.LoadState(again) || StateBytes(plugin) != after) std::abort();
  return 0;
}

TFuzzSeeds RumbleonFuzzSeeds() {
  auto plugin = plugin_test::MakePlugin<TRumbleon2>();
  plugin->SetProgramNameAt(3, "Three");
  plugin->SelectProgram(3);
  plugin->SetParameterValue(236, 1.0f);  // Seq1 on
  plugin->SetParameterValue(374, 1.0f);  // the rack on
  plugin->StoreSubPresetAs(10, "Hall");
  plugin->StoreSubPresetAs(40, "Walk");
  plugin->SetSampleBankFlag(false);
  return {StateBytes(*plugin)};
}
