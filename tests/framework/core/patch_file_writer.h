// Builds design patch files for the import tests and the fuzz seeds, and a
// test instrument whose parameters use every patch conversion kind.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/base/messages.h"
#include "framework/core/patch_import.h"
#include "tests/framework/core/plugin_test_support.h"

namespace patch_test {

using TBytes = std::vector<std::uint8_t>;

struct TPatchSpec {
  std::string Name;
  std::vector<std::int32_t> Values;  // every stored value, the four skipped ones included
};

struct TPatchFileSpec {
  bool NewStyle = true;
  std::int32_t Version = 3;
  std::string DesignName = "Test Design";
  std::int32_t ValuesPerPatch = 8;
  std::vector<TPatchSpec> Patches;
  // Header fields as written when they must differ from the content.
  std::optional<std::int32_t> DeclaredPatchCount;
  std::optional<std::int32_t> DeclaredValuesPerPatch;
  // Length bytes as written (names are still cut to their fields).
  std::optional<std::uint8_t> DesignNameLengthByte;
  std::optional<std::uint8_t> PatchNameLengthByte;
};

inline void PutInt32(TBytes& out, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(u >> shift));
}

inline void PutText(TBytes& out, std::string_view text) {
  for (char c : text) out.push_back(static_cast<std::uint8_t>(c));
}

// A fixed short-string field: length byte, characters, zero padding.
inline void PutField(TBytes& out, std::string_view text, std::size_t fieldBytes,
                     std::optional<std::uint8_t> lengthByte) {
  const std::size_t n = std::min(text.size(), fieldBytes - 1);
  out.push_back(lengthByte.value_or(static_cast<std::uint8_t>(n)));
  PutText(out, text.substr(0, n));
  for (std::size_t i = n + 1; i < fieldBytes; ++i) out.push_back(0);
}

// Values beyond a patch's own are written as 0; surplus ones are dropped.
inline TBytes WritePatchFile(const TPatchFileSpec& spec) {
  TBytes out;
  PutText(out, "XDSPVRPR");
  if (spec.NewStyle) {
    PutText(out, "newstyle");
    PutInt32(out, spec.Version);
  }
  PutField(out, spec.DesignName, 65, spec.DesignNameLengthByte);
  PutInt32(out, spec.DeclaredPatchCount.value_or(static_cast<std::int32_t>(spec.Patches.size())));
  PutInt32(out, spec.DeclaredValuesPerPatch.value_or(spec.ValuesPerPatch));
  for (const TPatchSpec& patch : spec.Patches) {
    PutField(out, patch.Name, 129, spec.PatchNameLengthByte);
    for (std::int32_t j = 0; j < spec.ValuesPerPatch; ++j)
      PutInt32(out, j < static_cast<std::int32_t>(patch.Values.size()) ? patch.Values[static_cast<std::size_t>(j)] : 0);
  }
  return out;
}

// A patch whose kept values (after the four skipped ones) are kept.
inline TPatchSpec Patch(std::string name, std::vector<std::int32_t> kept) {
  TPatchSpec p{std::move(name), {-1, -2, -3, -4}};
  p.Values.insert(p.Values.end(), kept.begin(), kept.end());
  return p;
}

// The sine test instrument (parameters 10..23) with a conversion kind per
// parameter; kept value k of a patch goes to parameter 10 + k:
//   k 0: param 10 kind 0, 0..100          k 7: param 17 kind 5, -1000..1000
//   k 1: param 11 kind 1 (time)           k 8: param 18 kind 6, -1000..1000
//   k 2: param 12 kind 2, -50..50         k 9: param 19 kind 7, -2000..2000
//   k 3: param 13 kind 0, 0..100, global  k 10: param 20 kind 8, 0..127
//   k 4: param 14 kind 2, 5..5 (degenerate) k 11: param 21 kind 0, 3..3 (degenerate)
//   k 5: param 15 kind 3, -1000..1000     k 12, 13: params 22, 23 kind 0, 0..100
//   k 6: param 16 kind 4, -1000..1000
class TPatchTestPlugin : public plugin_test::TSineTestPlugin {
 public:
  void InitParameterInfo() override {
    TSineTestPlugin::InitParameterInfo();
    auto set = [this](std::int32_t i, std::uint8_t conversion, float min, float max) {
      InitFloatParamInfo(25, ParamInfo[i], "C" + std::to_string(i), 0, static_cast<std::int32_t>(min),
                         static_cast<std::int32_t>(min), static_cast<std::int32_t>(max), min, max, 1.0f, conversion,
                         "conversion test");
    };
    set(11, 1, -13160.0f, 12000.0f);
    set(12, 2, -50.0f, 50.0f);
    set(14, 2, 5.0f, 5.0f);
    for (std::int32_t i = 15; i <= 18; ++i) set(i, static_cast<std::uint8_t>(i - 12), -1000.0f, 1000.0f);
    set(19, 7, -2000.0f, 2000.0f);
    set(20, 8, 0.0f, 127.0f);
    InitIntParamInfo(10, ParamInfo[21], "Fixed", 0, 3, 3, 3, "degenerate");
  }
};

// One instance for a whole fuzz run, its error reports dropped.
inline TPatchTestPlugin& QuietSharedPatchPlugin() {
  static std::unique_ptr<TPatchTestPlugin> plugin = [] {
    SetErrorReportHook([](std::string_view) {});
    return plugin_test::MakePlugin<TPatchTestPlugin>();
  }();
  return *plugin;
}

// A new-style file of count patches named "Patch <i>" with distinct values.
inline TPatchFileSpec NumberedPatches(std::int32_t count, std::int32_t keptValues = 14) {
  TPatchFileSpec spec;
  spec.ValuesPerPatch = 4 + keptValues;
  for (std::int32_t i = 0; i < count; ++i) {
    std::vector<std::int32_t> kept;
    for (std::int32_t k = 0; k < keptValues; ++k) kept.push_back((i * 7 + k * 13) % 100);
    spec.Patches.push_back(Patch("Patch " + std::to_string(i), kept));
  }
  return spec;
}

}  // namespace patch_test
