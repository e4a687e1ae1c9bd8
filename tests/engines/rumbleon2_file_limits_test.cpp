// The size limits of the file loaders against the instrument's real files:
// every sub-preset bank and sub-preset of the factory bank, and the factory
// bank itself, load through the file loaders and are far below the limits
// (a limit set too low would refuse a user's own files).
#include <gtest/gtest.h>

#include <filesystem>

#include "framework/core/sub_preset_format.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using sampler_test::TInstrument;

constexpr std::int32_t kGroupIds[] = {10, 11, 12, 13, 14, 15, 16, 17, 40, 41};
// "Far below": the largest real file is less than this share of its limit.
constexpr std::int64_t kHeadroom = 16;

std::int64_t FileSize(const std::string& path) { return static_cast<std::int64_t>(std::filesystem::file_size(path)); }

TEST(Rumbleon2FileLimits, TheFactoryFilesLoadAndAreFarBelowTheLimits) {
  ASSERT_GT(sampler_test::FactoryBank().size(), 164u) << "the build writes resources/factorybank.fxb";
  const std::string dir = testing_support::ScratchDir() + "/rumbleon2_file_limits";
  std::filesystem::create_directories(dir);
  const std::string bankPath = dir + "/factory.fxb";
  ASSERT_TRUE(TMemoryStream(sampler_test::FactoryBank()).SaveToFile(bankPath));
  EXPECT_LT(FileSize(bankPath) * kHeadroom, kBankFileMax);

  TInstrument source;
  TRumbleon2& p = source.P();
  ASSERT_TRUE(p.ImportBankFile(bankPath));
  TInstrument target;
  std::int64_t largestItem = 0, largestBank = 0;
  for (const std::int32_t group : kGroupIds) {
    const TSubPresetGroupRec& rec = *p.FindSubPresetGroup(group);
    ASSERT_FALSE(rec.SubPresets.empty()) << group;
    const std::string bank = dir + "/group" + std::to_string(group) + ".spf";
    ASSERT_TRUE(p.SaveSubPresetBankFile(group, bank));
    largestBank = std::max(largestBank, FileSize(bank));
    EXPECT_TRUE(target.P().LoadSubPresetBankFile(group, bank, true)) << group;
    EXPECT_EQ(target.P().FindSubPresetGroup(group)->SubPresets.size(), rec.SubPresets.size()) << group;
    const std::string item = dir + "/item" + std::to_string(group) + ".spi";
    ASSERT_TRUE(p.SaveSubPresetFile(group, 0, item));
    largestItem = std::max(largestItem, FileSize(item));
    EXPECT_GE(target.P().LoadSubPresetFile(group, item), 0) << group;
  }
  EXPECT_LT(largestItem * kHeadroom, kSubPresetFileMax) << largestItem;
  EXPECT_LT(largestBank * kHeadroom, kSubPresetBankFileMax) << largestBank;
  RecordProperty("LargestSubPresetFile", std::to_string(largestItem));
  RecordProperty("LargestSubPresetBankFile", std::to_string(largestBank));
}

}  // namespace
