#include "framework/core/dsp_base_plugin.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;

struct BasePluginTest : ::testing::Test {
  void SetUp() override {
    TTestHost::Reset();
    Plugin = MakePlugin();
    Effect = Plugin->GetEffect();
  }
  void ProcessBlock(std::int32_t frames = 64) {
    TStereoBuffers out(frames);
    Effect->processReplacing(Effect, nullptr, out.Pointers, frames);
  }
  void ResetChanged() { std::fill(Plugin->Changed.begin(), Plugin->Changed.end(), 0); }

  std::unique_ptr<TSineTestPlugin> Plugin;
  TVstEffect* Effect = nullptr;
};

TEST_F(BasePluginTest, SetParameterValueClampsAndIgnoresBadIndexes) {
  Plugin->SetParameterValue(12, 1.5f);
  EXPECT_EQ(Plugin->GetParameterValue(12), 1.0f);
  Plugin->SetParameterValue(12, -0.2f);
  EXPECT_EQ(Plugin->GetParameterValue(12), 0.0f);
  Plugin->SetParameterValue(12, 0.7f);
  Plugin->SetParameterValue(12, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(Plugin->GetParameterValue(12), 0.0f) << "NaN must not reach a program";

  ResetChanged();
  const std::int32_t count = Plugin->GetParamCount();
  Plugin->SetParameterValue(count, 0.5f);
  Plugin->SetParameterValue(-1, 0.5f);
  EXPECT_EQ(std::count(Plugin->Changed.begin(), Plugin->Changed.end(), 0),
            static_cast<std::ptrdiff_t>(Plugin->Changed.size()))
      << "a bad index stores nothing and calls nothing";
  EXPECT_EQ(Plugin->GetParameterValue(count), 0.0f);
  EXPECT_EQ(Plugin->GetParameterValue(-5), 0.0f);
  EXPECT_EQ(Plugin->GetParameterReal(count), 0.0f);
}

TEST_F(BasePluginTest, RealValuesMapThroughTheRangeAndADegenerateRangeStaysFinite) {
  Plugin->SetParameterReal(12, 25.0f);  // range 0..100
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(12), 0.25f);
  EXPECT_FLOAT_EQ(Plugin->GetParameterReal(12), 25.0f);
  EXPECT_EQ(Plugin->GetParameterInt(12), 25);
  Plugin->SetParameterReal(14, 7.0f);  // range 5..5
  EXPECT_EQ(Plugin->GetParameterValue(14), 0.0f);
  EXPECT_EQ(Plugin->GetParameterReal(14), 5.0f);
  EXPECT_EQ(Plugin->GetParameterID(0), 61);
}

TEST_F(BasePluginTest, ProgramSelectionAppliesEveryParameterOnceTheHostResumes) {
  // Before the host resumes (or processes) a program only becomes current;
  // resuming applies it, on the host's thread, not the first process call.
  auto fresh = std::make_unique<TSineTestPlugin>();
  fresh->InitPlugin(&TTestHost::Callback);
  std::fill(fresh->Changed.begin(), fresh->Changed.end(), 0);
  fresh->SelectProgram(3);
  EXPECT_EQ(fresh->CurrentProgram(), 3);
  EXPECT_EQ(fresh->Changed[12], 0) << "before resume the program only becomes current";
  EXPECT_TRUE(fresh->IsProgramPending());
  Dispatch(fresh->GetEffect(), kEffMainsChanged, 0, 1);
  EXPECT_FALSE(fresh->IsProgramPending());
  for (std::int32_t i = 0; i < fresh->GetParamCount(); ++i)
    EXPECT_EQ(fresh->Changed[i], 1) << "parameter " << i << " at resume";

  ResetChanged();
  Plugin->SelectProgram(5);
  EXPECT_FALSE(Plugin->IsProgramPending());
  for (std::int32_t i = 0; i < Plugin->GetParamCount(); ++i) EXPECT_EQ(Plugin->Changed[i], 1) << i;
  ResetChanged();
  ProcessBlock();
  EXPECT_EQ(Plugin->Changed[12], 0) << "an applied program is not applied again";
}

TEST_F(BasePluginTest, ProgramNumbersOutsideTheTableAreIgnored) {
  Plugin->SelectProgram(4);
  Plugin->SelectProgram(128);
  Plugin->SelectProgram(-1);
  Plugin->SelectProgram(32767);
  EXPECT_EQ(Plugin->CurrentProgram(), 4);
}

TEST_F(BasePluginTest, ProgramValuesArePerProgramAndGlobalsAreShared) {
  ProcessBlock();
  Plugin->SelectProgram(3);
  Plugin->SetParameterValue(12, 0.9f);
  Plugin->SetParameterValue(13, 0.8f);  // global
  Plugin->SelectProgram(7);
  EXPECT_NE(Plugin->GetParameterValue(12), 0.9f);
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(13), 0.8f) << "a global parameter keeps its value across programs";
  Plugin->SelectProgram(3);
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(12), 0.9f);
}

TEST_F(BasePluginTest, FixEmptyProgramNamesNamesOnlyAnAllBlankTable) {
  Plugin->SetProgramNameAt(0, "  ");
  Plugin->FixEmptyProgramNames();
  EXPECT_EQ(Plugin->GetProgramNameAt(0), "Default");

  Plugin->SetProgramNameAt(0, "");
  Plugin->SetProgramNameAt(99, "Bass");
  Plugin->FixEmptyProgramNames();
  EXPECT_EQ(Plugin->GetProgramNameAt(0), "");
}

TEST_F(BasePluginTest, CopyProgramToCopiesValuesAndNameAndSelectsTheCopy) {
  ProcessBlock();
  EXPECT_FALSE(Plugin->CopyProgramTo(128));
  EXPECT_FALSE(Plugin->CopyProgramTo(-1));
  Plugin->SelectProgram(2);
  Plugin->SetProgramNameAt(2, "Deep");
  Plugin->SetParameterValue(12, 0.125f);
  Plugin->SetParameterValue(20, 0.875f);
  ASSERT_TRUE(Plugin->CopyProgramTo(5));
  EXPECT_EQ(Plugin->CurrentProgram(), 5);
  EXPECT_EQ(Plugin->GetProgramNameAt(5), "Deep");
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(12), 0.125f);
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(20), 0.875f);
}

TEST_F(BasePluginTest, BankAndProgramLists) {
  TStringList list{"stale"};
  Plugin->FillBankList(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], "0-Default Bank");

  Plugin->SetProgramNameAt(1, "  Sub  ");
  Plugin->FillProgramList(list);
  ASSERT_EQ(list.size(), 128u);
  EXPECT_EQ(list[0], "0-");
  EXPECT_EQ(list[1], "1-Sub");
  EXPECT_EQ(list[127], "127-");
}

// Answers the copy dialog from a script.
class TScriptedDialogs : public TSineTestPlugin {
 public:
  bool AskText(std::string_view caption, std::string_view prompt, std::string& text) override {
    Asked = std::string(caption) + "/" + std::string(prompt) + "/" + text;
    if (Answer.empty()) return false;
    text = Answer;
    return true;
  }
  void ShowMessageText(std::string_view text) override { Messages.emplace_back(text); }
  std::string Answer;
  std::string Asked;
  std::vector<std::string> Messages;
};

TEST(CopyPresetDialog, AsksWhereChecksTheAnswerAndFindsEmptyPrograms) {
  TTestHost::Reset();
  auto plugin = MakePlugin<TScriptedDialogs>();
  for (std::int32_t i = 0; i < 128; ++i) plugin->SetProgramNameAt(i, "P");
  plugin->SelectProgram(127);
  plugin->Answer = "";
  plugin->CopyPresetDialog(-1);
  EXPECT_EQ(plugin->Asked, "Copy Preset/Where/126") << "the last program proposes the one before it";

  plugin->Answer = "x12";
  plugin->CopyPresetDialog(-1);
  ASSERT_EQ(plugin->Messages.size(), 1u);
  EXPECT_EQ(plugin->Messages[0], "Must be a number from 0 to 127");
  EXPECT_EQ(plugin->CurrentProgram(), 127);

  plugin->Answer = "";
  plugin->CopyPresetDialog(-2);
  EXPECT_EQ(plugin->Messages.back(), "No empty program found. Choose an index.");

  plugin->SetProgramNameAt(3, "");
  plugin->SetProgramNameAt(127, "Src");
  plugin->CopyPresetDialog(-2);
  EXPECT_EQ(plugin->CurrentProgram(), 3) << "the search wraps from the last program to the first";
  EXPECT_EQ(plugin->GetProgramNameAt(3), "Src");
}

TEST(AudioSettings, EveryInstanceKeepsItsOwnRecord) {
  TTestHost::Reset();
  auto a = MakePlugin(44100.0f);
  auto b = MakePlugin(96000.0f);
  EXPECT_EQ(a->Settings->SampleRate, 44100);
  EXPECT_EQ(a->Settings->BlockSize, 44);
  EXPECT_EQ(a->Settings->BufferLength, 60);
  EXPECT_EQ(b->Settings->SampleRate, 96000);
  EXPECT_EQ(b->Settings->BlockSize, 96);
  EXPECT_NE(a->Settings, b->Settings);
  EXPECT_EQ(PluginAudioSettings.SampleRate, 44100) << "the process-wide template is never rewritten";

  // Rates an internal block cannot be made of keep the previous settings.
  TVstEffect* e = b->GetEffect();
  for (float bad : {999.0f, 0.0f, -48000.0f, std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::infinity(), 5e6f}) {
    Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, bad);
    EXPECT_EQ(b->Settings->SampleRate, 96000) << bad;
  }
  Dispatch(e, kEffSetBlockSizeAndSampleRate, 0, 256, nullptr, 48000.0f);
  EXPECT_EQ(b->Settings->BlockSize, 48) << "the internal block is one millisecond";
  EXPECT_EQ(b->GetHostBlockSize(), 256);
}

TEST(AudioSettings, TheFirstRateAppliesEvenWhenTheRecordAlreadyHoldsIt) {
  TTestHost::Reset();
  auto plugin = std::make_unique<TSineTestPlugin>();
  plugin->InitPlugin(&TTestHost::Callback);
  plugin->Settings->SampleRate = 48000;  // as if the record said so already
  Dispatch(plugin->GetEffect(), kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
  EXPECT_EQ(plugin->Settings->BlockSize, 48);
  EXPECT_EQ(plugin->Settings->SamplesPerMs, 48);
}

}  // namespace
