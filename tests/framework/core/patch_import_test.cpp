// Design patch import: the reader against hand-built files (both header
// styles, damaged and hostile ones), the conversion rules with numbers worked
// out by hand, and the import and bank-file entries of the plug-in base on
// real files.
#include "framework/core/patch_import.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "framework/base/file_names.h"
#include "framework/base/streams.h"
#include "tests/framework/core/chunk_test_plugin.h"
#include "tests/framework/core/patch_file_writer.h"
#include "tests/support/test_support.h"

namespace {
// The parameter tables hold conversion kinds by number: none may change.
static_assert(kPatchConvertIntRange == 0 && kPatchConvertTime == 1 && kPatchConvertRange == 2 &&
              kPatchConvertLevelPercent == 3 && kPatchConvertLevel64 == 4 && kPatchConvertLevelPerMille == 5 &&
              kPatchConvertLevel127 == 6 && kPatchConvertLevelDouble == 7);

using namespace patch_test;
using plugin_test::MakePlugin;
using plugin_test::TTestHost;

constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();

TVoicerackFile Read(const TBytes& bytes, bool convertOldStyle = false) {
  TVoicerackFile file;
  file.ConvertOldStyle = convertOldStyle;
  file.LoadFromBytes(bytes);
  return file;
}

void ExpectAllValuesNormal(TDSPBasePlugin& p) {
  for (const TProgramRec& prog : p.Programs)
    for (float v : prog.Values) ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << v;
}

// ---- reader

TEST(VoicerackFile, ReadsBothHeaderStylesAndDropsTheSkippedValues) {
  TPatchFileSpec spec;
  spec.Patches = {Patch("  Deep Bass ", {11, -22, 33, 44}), Patch("!e", {})};
  for (bool newStyle : {true, false}) {
    spec.NewStyle = newStyle;
    const TVoicerackFile file = Read(WritePatchFile(spec));
    EXPECT_EQ(file.NewStyle, newStyle);
    EXPECT_EQ(file.Version, newStyle ? 3 : 0);
    EXPECT_EQ(file.DesignName, "Test Design");
    EXPECT_EQ(file.PatchCount, 2);
    EXPECT_EQ(file.ValuesPerPatch, 8);
    ASSERT_EQ(file.Patches.size(), 2u);
    EXPECT_FALSE(file.Truncated());
    EXPECT_EQ(file.Patches[0].Name, "  Deep Bass ");
    EXPECT_EQ(file.Patches[0].Values, (std::vector<std::int32_t>{11, -22, 33, 44}));
    EXPECT_EQ(file.Patches[1].Values, (std::vector<std::int32_t>{0, 0, 0, 0}));
  }
}

TEST(VoicerackFile, TheOldStyleConversionScalesOnlyOldStyleFiles) {
  TPatchFileSpec spec;
  spec.ValuesPerPatch = 7;
  spec.Patches = {Patch("A", {32767, -16384, kIntMax})};
  spec.NewStyle = false;
  EXPECT_EQ(Read(WritePatchFile(spec), true).Patches[0].Values,
            (std::vector<std::int32_t>{100000000, -50001526, kIntMax}));
  EXPECT_EQ(Read(WritePatchFile(spec), false).Patches[0].Values[0], 32767);
  spec.NewStyle = true;
  EXPECT_EQ(Read(WritePatchFile(spec), true).Patches[0].Values[0], 32767);
}

TEST(VoicerackFile, CountsAndNameLengthsAreBoundedByTheFile) {
  // Declared counts beyond the bytes: only the whole records are read.
  TPatchFileSpec spec = NumberedPatches(3, 2);
  spec.DeclaredPatchCount = 1000000;
  TVoicerackFile file = Read(WritePatchFile(spec));
  EXPECT_EQ(file.Patches.size(), 3u);
  EXPECT_TRUE(file.Truncated());

  // A huge values-per-patch count: no record fits, nothing is allocated for it.
  spec = NumberedPatches(2, 2);
  spec.DeclaredValuesPerPatch = kIntMax;
  file = Read(WritePatchFile(spec));
  EXPECT_TRUE(file.Patches.empty());
  EXPECT_TRUE(file.Truncated());

  // Negative counts are none; fewer values than the skip count keep none.
  spec = NumberedPatches(2, 2);
  spec.DeclaredPatchCount = -5;
  file = Read(WritePatchFile(spec));
  EXPECT_EQ(file.PatchCount, 0);
  EXPECT_TRUE(file.Patches.empty());
  spec = NumberedPatches(2, 0);
  spec.ValuesPerPatch = 3;
  file = Read(WritePatchFile(spec));
  ASSERT_EQ(file.Patches.size(), 2u);
  EXPECT_TRUE(file.Patches[1].Values.empty());
  spec.DeclaredValuesPerPatch = -1;
  file = Read(WritePatchFile(spec));
  EXPECT_EQ(file.ValuesPerPatch, 0);
  EXPECT_EQ(file.Patches.size(), 2u) << "a record is then just its name";

  // Length bytes beyond their fields are cut to the fields.
  spec = NumberedPatches(1, 1);
  spec.DesignName = std::string(80, 'D');
  spec.Patches[0].Name = std::string(200, 'n');
  spec.DesignNameLengthByte = 255;
  spec.PatchNameLengthByte = 255;
  file = Read(WritePatchFile(spec));
  EXPECT_EQ(file.DesignName, std::string(64, 'D'));
  ASSERT_EQ(file.Patches.size(), 1u);
  EXPECT_EQ(file.Patches[0].Name, std::string(128, 'n'));
  EXPECT_EQ(file.Patches[0].Values, (std::vector<std::int32_t>{0}));

  // At the limit: a length byte equal to the field's size (one more than its
  // room) is cut by one; one less fills the field exactly.
  for (int over : {0, 1}) {
    spec.DesignNameLengthByte = 64 + over;
    spec.PatchNameLengthByte = 128 + over;
    file = Read(WritePatchFile(spec));
    EXPECT_EQ(file.DesignName, std::string(64, 'D')) << over;
    ASSERT_EQ(file.Patches.size(), 1u);
    EXPECT_EQ(file.Patches[0].Name, std::string(128, 'n')) << over;
    EXPECT_EQ(file.Patches[0].Values, (std::vector<std::int32_t>{0})) << over;
  }
}

TEST(VoicerackFile, AnotherMagicOrACutHeaderYieldsNoPatches) {
  TBytes bytes = WritePatchFile(NumberedPatches(2));
  TBytes other = bytes;
  other[7] = 'Q';
  TVoicerackFile file;
  EXPECT_FALSE(file.LoadFromBytes(other));
  EXPECT_TRUE(file.Patches.empty());

  // Every cut: below the header no patches, above it the whole records only.
  const std::size_t header = 8 + 8 + 4 + 65 + 4 + 4;
  const std::size_t record = 129 + 4 * 18;
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    const TBytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(file.LoadFromBytes(cut), n >= header) << n;
    EXPECT_EQ(file.Patches.size(), n < header ? 0 : (n - header) / record) << n;
  }

  // The file reader: a missing file reads nothing.
  file.FileName = testing_support::ScratchDir() + "/no_such_patch_file.pch";
  EXPECT_FALSE(file.Load());
  EXPECT_TRUE(file.Patches.empty());
}

// ---- conversion rules

TEST(PatchConversion, TheRulesGiveTheirNumbers) {
  auto p = MakePlugin<TPatchTestPlugin>();
  auto x = [&](std::int32_t param, std::int32_t v) { return PatchValueToNorm(p->ParamInfo[param], v); };
  // Time: cents relative to one second over -13160..12000.
  EXPECT_NEAR(x(11, 1000), 0.52305, 1e-5);
  EXPECT_NEAR(x(11, 2000), 14360.0 / 25160.0, 1e-6);
  EXPECT_EQ(x(11, 0), 0.0f);
  EXPECT_EQ(x(11, -7), 0.0f);
  EXPECT_EQ(x(11, kIntMax), 1.0f);
  // Real range.
  EXPECT_NEAR(x(12, 25), 0.75, 1e-6);
  EXPECT_EQ(x(12, 80), 1.0f);
  EXPECT_EQ(x(12, -80), 0.0f);
  // Level rule, range -1000..1000: a = 1 is full, a = 0.1 is -20 dB = 2/3 of
  // the way up, negative amounts mirror, 0 is the middle.
  EXPECT_NEAR(x(15, 100), 1.0, 1e-6);
  EXPECT_NEAR(x(15, 10), 0.833333, 1e-5);
  EXPECT_NEAR(x(15, -10), 0.166667, 1e-5);
  EXPECT_NEAR(x(15, 0), 0.5, 1e-6);
  EXPECT_NEAR(x(16, 32), 0.949828, 1e-5);  // a = 0.5: -6.02 dB
  EXPECT_NEAR(x(17, 100), 0.833333, 1e-5);
  EXPECT_NEAR(x(18, -127), 0.0, 1e-6);
  EXPECT_NEAR(x(18, 127), 1.0, 1e-6);
  EXPECT_NEAR(x(19, 1), 0.775086, 1e-5);  // a = 2: +6.02 dB over -2000..2000
  EXPECT_EQ(x(15, kIntMax), 1.0f);
  EXPECT_EQ(x(15, kIntMin), 0.0f);
  // Integer range.
  EXPECT_NEAR(x(20, 100), 100.0 / 127.0, 1e-6);
  EXPECT_EQ(x(20, 254), 1.0f);
  EXPECT_NEAR(x(10, 42), 0.42, 1e-6);
  EXPECT_EQ(x(10, kIntMin), 0.0f);
  // Degenerate ranges.
  for (std::int32_t v : {kIntMin, -5, 0, 5, kIntMax}) {
    EXPECT_EQ(x(14, v), 0.0f);
    EXPECT_EQ(x(21, v), 0.0f);
  }
}

// ---- import into the plug-in

struct PatchImportTest : ::testing::Test {
  void SetUp() override {
    TTestHost::Reset();
    Plugin = MakePlugin<TPatchTestPlugin>();
    Dir = testing_support::ScratchDir() + "/patch_import_" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
  }
  std::string PathOf(const std::string& name) const { return Dir + "/" + name; }
  std::string Write(const std::string& name, const TBytes& bytes) {
    TMemoryStream s(bytes);
    EXPECT_TRUE(s.SaveToFile(PathOf(name)));
    return PathOf(name);
  }
  static TBytes FileBytes(const std::string& path) {
    TMemoryStream s;
    EXPECT_TRUE(s.LoadFromFile(path));
    return {s.Bytes().begin(), s.Bytes().end()};
  }
  void ResetChanged() { std::fill(Plugin->Changed.begin(), Plugin->Changed.end(), 0); }

  std::unique_ptr<TPatchTestPlugin> Plugin;
  std::string Dir;
};

TEST_F(PatchImportTest, OneHundredThirtyPatchesImportTheFirst128) {
  TVoicerackFile file = Read(WritePatchFile(NumberedPatches(130)));
  ASSERT_EQ(file.Patches.size(), 130u);
  EXPECT_EQ(Plugin->ImportPatches(file), 128);
  EXPECT_EQ(Plugin->Programs[0].Name, "Patch 0");
  EXPECT_EQ(Plugin->Programs[127].Name, "Patch 127");
  // Kept value 0 of patch 127 is (127 * 7) % 100 = 89 on parameter 10 (0..100).
  EXPECT_NEAR(Plugin->Programs[127].Values[10], 0.89, 1e-6);
  EXPECT_EQ(Plugin->Programs.size(), 128u);
}

TEST_F(PatchImportTest, EmptyMarkedAndBlankPatchesLeaveTheirProgramsUnchanged) {
  for (TProgramRec& prog : Plugin->Programs) {
    prog.Name = "Keep";
    std::fill(prog.Values.begin(), prog.Values.end(), 0.25f);
  }
  const std::vector<TProgramRec> before = Plugin->Programs;
  TPatchFileSpec spec;
  spec.ValuesPerPatch = 6;
  spec.Patches = {Patch("!e", {90, 90}), Patch("   ", {90, 90}), Patch("", {90, 90}), Patch(" !e ", {90, 90}),
                  Patch("Real", {90, 2000})};
  EXPECT_EQ(Plugin->ImportPatches(Read(WritePatchFile(spec))), 1);
  for (std::size_t p = 0; p < 4; ++p) {
    EXPECT_EQ(Plugin->Programs[p].Name, "Keep") << p;
    EXPECT_EQ(Plugin->Programs[p].Values, before[p].Values) << p;
  }
  EXPECT_EQ(Plugin->Programs[4].Name, "Real");
  EXPECT_NEAR(Plugin->Programs[4].Values[10], 0.9, 1e-6);
  EXPECT_NEAR(Plugin->Programs[4].Values[11], 14360.0 / 25160.0, 1e-6);
  // Parameters the patch has no value for keep theirs.
  EXPECT_EQ(Plugin->Programs[4].Values[12], 0.25f);
  EXPECT_EQ(Plugin->Programs[4].Values[9], 0.25f);
}

TEST_F(PatchImportTest, ValuesGoFromParameterTenOnEachThroughParameterChanged) {
  // 20 kept values for 14 parameters: the surplus is ignored.
  TPatchFileSpec spec;
  spec.ValuesPerPatch = 24;
  std::vector<std::int32_t> kept(20, 100);
  kept[1] = 1000;
  kept[2] = 25;
  kept[4] = 12345;
  spec.Patches = {Patch("First", kept)};
  Plugin->SelectProgram(0);
  ResetChanged();
  EXPECT_EQ(Plugin->ImportPatches(Read(WritePatchFile(spec))), 1);
  const TProgramRec& prog = Plugin->Programs[0];
  EXPECT_NEAR(prog.Values[10], 1.0, 1e-6);
  EXPECT_NEAR(prog.Values[11], 0.52305, 1e-5);
  EXPECT_NEAR(prog.Values[12], 0.75, 1e-6);
  EXPECT_EQ(prog.Values[14], 0.0f);  // degenerate range
  EXPECT_NEAR(prog.Values[15], 1.0, 1e-6);
  EXPECT_NEAR(Plugin->GetParameterValue(12), 0.75, 1e-6) << "the current program hears the import";
  for (std::int32_t i = 0; i < Plugin->GetParamCount(); ++i) EXPECT_EQ(Plugin->Changed[i], i >= 10 ? 1 : 0) << i;
  ExpectAllValuesNormal(*Plugin);
}

TEST_F(PatchImportTest, APatchFileBesideAMissingBankBecomesThatBankAndIsKept) {
  const TBytes patchBytes = WritePatchFile(NumberedPatches(5));
  const std::string pch = Write("Design.pch", patchBytes);
  const std::string fxb = PathOf("Design.fxb");
  EXPECT_TRUE(Plugin->ImportBankFile(fxb));
  EXPECT_EQ(FileBytes(pch), patchBytes) << "the patch file stays as it was";
  ASSERT_TRUE(FileExists(fxb));

  // The written bank holds the imported programs (a global parameter's
  // value lives in its descriptor, not in the programs the bank carries).
  auto other = MakePlugin<TPatchTestPlugin>();
  EXPECT_TRUE(other->ImportBankFile(fxb));
  EXPECT_EQ(other->BankName, "Design");
  for (std::size_t p = 0; p < 5; ++p) {
    EXPECT_EQ(other->Programs[p].Name, Plugin->Programs[p].Name);
    for (std::int32_t i = 10; i < Plugin->GetParamCount(); ++i) {
      if (Plugin->ParamInfo[i].IsGlobal) continue;
      EXPECT_EQ(other->Programs[p].Values[i], Plugin->Programs[p].Values[i]) << i;
    }
  }

  // Now that the bank exists, it is loaded and the patch file not read again.
  const TBytes bankBytes = FileBytes(fxb);
  Plugin->Programs[0].Name = "Edited";
  EXPECT_TRUE(Plugin->ImportBankFile(fxb));
  EXPECT_EQ(Plugin->Programs[0].Name, "Patch 0");
  EXPECT_EQ(FileBytes(fxb), bankBytes);
}

TEST_F(PatchImportTest, ANamedPatchFileIsNeverOverwrittenOrDeleted) {
  const TBytes patchBytes = WritePatchFile(NumberedPatches(3));
  const std::string pch = Write("Lead.PCH", patchBytes);
  EXPECT_TRUE(Plugin->ImportBankFile(pch));
  EXPECT_EQ(FileBytes(pch), patchBytes);
  const std::string fxb = PathOf("Lead.fxb");
  ASSERT_TRUE(FileExists(fxb));
  EXPECT_EQ(Plugin->Programs[2].Name, "Patch 2");

  // A second import finds the bank there and does not replace it.
  const TBytes bankBytes = FileBytes(fxb);
  chunk_test::TErrorCapture errors;
  Plugin->Programs[1].Name = "Changed";
  EXPECT_FALSE(Plugin->ImportBankFile(pch));
  EXPECT_EQ(FileBytes(fxb), bankBytes);
  EXPECT_EQ(FileBytes(pch), patchBytes);
  ASSERT_EQ(errors.Reported().size(), 1u);
  EXPECT_NE(errors.Reported()[0].find("was not replaced"), std::string::npos);
}

TEST_F(PatchImportTest, WithoutBankOrPatchFileOnlyAnFxbNameGetsTheCurrentBank) {
  Plugin->Programs[3].Name = "Current";
  EXPECT_TRUE(Plugin->ImportBankFile(PathOf("Fresh.fxb")));
  auto other = MakePlugin<TPatchTestPlugin>();
  EXPECT_TRUE(other->ImportBankFile(PathOf("Fresh.fxb")));
  EXPECT_EQ(other->Programs[3].Name, "Current");

  EXPECT_FALSE(Plugin->ImportBankFile(PathOf("Fresh.bank")));
  EXPECT_FALSE(FileExists(PathOf("Fresh.bank")));
  EXPECT_FALSE(Plugin->ImportBankFile(""));
  EXPECT_FALSE(Plugin->ImportBankFile(PathOf("Gone.pch")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), std::filesystem::directory_iterator()), 1)
      << "only Fresh.fxb was written";
}

TEST_F(PatchImportTest, DamagedPatchFilesAreReportedWithoutTheLock) {
  chunk_test::TErrorCapture errors;
  chunk_test::TErrorCapture::CheckLockFree = true;
  chunk_test::TErrorCapture::Watched = Plugin.get();
  chunk_test::TErrorCapture::LockHeldDuringReport = false;
  const std::vector<TProgramRec> before = Plugin->Programs;

  // Not a patch file: nothing changes, no bank is written.
  TBytes wrong = WritePatchFile(NumberedPatches(3));
  wrong[0] = 'Y';
  EXPECT_FALSE(Plugin->ImportBankFile(Write("Wrong.pch", wrong)));
  EXPECT_FALSE(FileExists(PathOf("Wrong.fxb")));
  for (std::size_t p = 0; p < before.size(); ++p) EXPECT_EQ(Plugin->Programs[p].Name, before[p].Name);
  ASSERT_EQ(errors.Reported().size(), 1u);

  // Cut inside the third patch: the whole two are imported and the cut reported.
  TBytes cut = WritePatchFile(NumberedPatches(3));
  cut.erase(cut.end() - 10, cut.end());
  EXPECT_TRUE(Plugin->ImportPatchFile(Write("Cut.pch", cut)));
  EXPECT_EQ(Plugin->Programs[1].Name, "Patch 1");
  EXPECT_EQ(Plugin->Programs[2].Name, before[2].Name);
  ASSERT_EQ(errors.Reported().size(), 2u);
  EXPECT_NE(errors.Reported()[1].find("ends after 2 of its 3 patches"), std::string::npos);
  EXPECT_FALSE(chunk_test::TErrorCapture::LockHeldDuringReport);
  chunk_test::TErrorCapture::CheckLockFree = false;
}

// Start-up: the base names no file, so nothing is read; an instrument that
// names one imports it.
class TStartupPlugin : public TPatchTestPlugin {
 public:
  std::string GetStartupBankFile() override { return StartupFile; }
  std::string StartupFile;
};

TEST_F(PatchImportTest, TheStartupBankIsOnlyImportedWhenAskedForAndNamed) {
  auto p = MakePlugin<TStartupPlugin>();
  const std::vector<TProgramRec> before = p->Programs;
  Write("Start.pch", WritePatchFile(NumberedPatches(2)));
  p->LoadStartupBank(true);
  EXPECT_EQ(p->Programs[0].Name, before[0].Name);
  p->StartupFile = PathOf("Start.fxb");
  p->LoadStartupBank(false);
  EXPECT_EQ(p->Programs[0].Name, before[0].Name);
  EXPECT_FALSE(FileExists(PathOf("Start.fxb")));
  p->LoadStartupBank(true);
  EXPECT_EQ(p->Programs[0].Name, "Patch 0");
  EXPECT_TRUE(FileExists(PathOf("Start.fxb")));
}

TEST_F(PatchImportTest, CutAndScrambledPatchFilesNeverFault) {
  SetErrorReportHook([](std::string_view) {});
  TPatchFileSpec spec = NumberedPatches(4);
  spec.Patches[1].Values = {0, 0, 0, 0, kIntMax, kIntMin, kIntMax, kIntMin, kIntMax, kIntMin, kIntMax, kIntMin};
  const TBytes good = WritePatchFile(spec);
  std::mt19937 rng(15106);
  for (int round = 0; round < 400; ++round) {
    TBytes bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(rng() % (good.size() + 1)));
    const int flips = static_cast<int>(rng() % 8);
    for (int f = 0; f < flips && bytes.size() > 8; ++f)
      bytes[8 + rng() % (bytes.size() - 8)] = static_cast<std::uint8_t>(rng());
    TVoicerackFile file;
    file.ConvertOldStyle = (round & 1) != 0;
    file.LoadFromBytes(bytes);
    ASSERT_LE(file.Patches.size(), bytes.size() / 129);
    Plugin->ImportPatches(file);
  }
  ExpectAllValuesNormal(*Plugin);
  SetErrorReportHook(nullptr);
}

}  // namespace
