// Fuzz entry for design patch files: the input is the whole file, read with
// and without the old-style conversion and imported into a test instrument
// whose parameters use every conversion kind. Whatever the bytes, the reader
// stays inside them and the programs keep one value in 0..1 per parameter.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "framework/core/patch_import.h"
#include "fuzz/support/fuzz_support.h"
#include "tests/framework/core/patch_file_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  patch_test::TPatchTestPlugin& plugin = patch_test::QuietSharedPatchPlugin();
  for (bool convert : {false, true}) {
    TVoicerackFile file;
    file.ConvertOldStyle = convert;
    const bool read = file.LoadFromBytes(std::span<const std::uint8_t>(data, size));
    if (!read && !file.Patches.empty()) std::abort();
    if (file.DesignName.size() > 64 || static_cast<std::int64_t>(file.Patches.size()) > file.PatchCount ||
        file.Patches.size() > size / 129)
      std::abort();
    const std::size_t kept = static_cast<std::size_t>(std::max(0, file.ValuesPerPatch - file.SkipCount));
    for (const TVoicerackPatch& patch : file.Patches)
      if (patch.Name.size() > 128 || patch.Values.size() != kept) std::abort();
    plugin.ImportPatches(file);
  }
  if (plugin.Programs.size() != 128) std::abort();
  for (const TProgramRec& program : plugin.Programs) {
    if (program.Values.size() != static_cast<std::size_t>(plugin.GetParamCount())) std::abort();
    for (float v : program.Values)
      if (!(v >= 0.0f && v <= 1.0f)) std::abort();
  }
  return 0;
}

TFuzzSeeds RumbleonFuzzSeeds() {
  using namespace patch_test;
  TPatchFileSpec newStyle = NumberedPatches(3);
  newStyle.Patches[1].Name = "!e";
  newStyle.Patches[2].Values = {0, 0, 0, 0, 1000, 2000, -25, 0, 5, 100, 32, -100, 127, 1, 254, 7, 0, 42};
  TPatchFileSpec oldStyle = NumberedPatches(2, 3);
  oldStyle.NewStyle = false;
  TPatchFileSpec many = NumberedPatches(130, 1);
  return {WritePatchFile(newStyle), WritePatchFile(oldStyle), WritePatchFile(many)};
}
