// The sub-preset menu of a group's "Preset" button, driven the way a user
// drives it: a click on the button inside the host's editor-idle call, a
// choice in the menu, and scripted answers to the dialogs that follow. Its
// contents and columns, storing and applying, ".spi" and ".spf" files
// saved and loaded back, files of another group refused with their
// messages, a sequencer bank crossing to the other sequencer, the clear
// question both ways, and what happens when the editor goes away while a
// dialog is up. No dialog may ever be shown under the plug-in lock.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "framework/core/sub_preset_format.h"
#include "platform/x11/popup_menu.h"
#include "tests/gui/controls/editor_test_support.h"
#include "tests/gui/support/scripted_dialogs.h"
#include "tests/support/test_support.h"

namespace {

using namespace editor_test;
using plugin_test::Dispatch;
using testing_support::TScriptedDialogs;

// The editor test plug-in with four sub-preset groups and their buttons.
class TSubPresetPlugin : public TEditorTestPlugin {
 public:
  enum : std::int32_t { kReverb = 10, kDelay = 11, kSeq1 = 40, kSeq2 = 41 };
  static constexpr std::int32_t kGroups[4] = {kReverb, kDelay, kSeq1, kSeq2};

  void CreatePageButtons() override {
    TEditorTestPlugin::CreatePageButtons();
    auto group = [this](std::int32_t id, std::string_view name, std::int32_t lo, std::int32_t hi) {
      AddSubPresetGroup(id, name);
      for (std::int32_t p = lo; p <= hi; ++p) AddSubPresetToGroup(id, p);
    };
    group(kReverb, "Reverb", kKnob, kVSlider);
    group(kDelay, "Delay", kSwitch, kValueEdit);
    group(kSeq1, "Sequencer1", kButtonSwitch, kValueMenu);
    group(kSeq2, "Sequencer2", kNoKind, kNoPanel);
    for (int i = 0; i < 4; ++i)
      Buttons[i] = CreateSubPresetButton("Preset", 190, 20 + 70 * i, ControlsPanel, kGroups[i]);
  }
  // The editor's dialogs answer from the script.
  std::unique_ptr<TDialogs> CreateDialogs(const TDialogOwner& /*owner*/) override {
    struct TForward : TDialogs {
      explicit TForward(TScriptedDialogs& s) : S(s) {}
      void ShowMessage(TMessageKind k, std::string_view t) override { S.ShowMessage(k, t); }
      bool ConfirmYesNo(std::string_view t) override { return S.ConfirmYesNo(t); }
      bool InputQuery(std::string_view c, std::string_view p, std::string& v) override { return S.InputQuery(c, p, v); }
      TChooseResult ChooseFile(const TFileDialogOptions& o, std::string& p) override { return S.ChooseFile(o, p); }
      TScriptedDialogs& S;
    };
    Script.WatchedLock = &InstanceMutex();
    return std::make_unique<TForward>(Script);
  }

  TSPThemeGUISubPresetsButton* Buttons[4] = {};
  TScriptedDialogs Script;
};
using P = TSubPresetPlugin;

class SubPresetMenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin_test::TTestHost::Reset();
    PumpPostBacks();
    Plugin = MakeEditorPlugin<P>();
    Effect = Plugin->GetEffect();
    ASSERT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, HostWindow()), 1);
    Dispatch(Effect, kEffEditIdle);
    Dir = testing_support::ScratchDir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override {
    if (Plugin) {
      EXPECT_EQ(Plugin->Script.CallsUnderLock, 0) << "a dialog was shown while the plug-in lock was held";
      Dispatch(Effect, kEffClose);
    }
    Plugin.release();  // freed by the close request
  }
  static int GroupIndex(std::int32_t group) {
    for (int i = 0; i < 4; ++i)
      if (P::kGroups[i] == group) return i;
    return -1;
  }
  // Clicks the group's button during an editor-idle call and chooses the
  // menu item with that caption; answers the menu that was shown.
  std::vector<TMenuItem> Choose(std::int32_t group, const std::string& caption) {
    TStubPlatformWindow& w = *Plugin->OpenWindow();
    // Kept here: a close during the action frees the window and its record.
    std::vector<TMenuItem> shown;
    w.Chooser = [caption, &shown](const std::vector<TMenuItem>& items) {
      shown = items;
      for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].Text == caption) return static_cast<int>(i);
      return static_cast<int>(kMenuCancelled);
    };
    const TPoint p = Centre(Plugin->Buttons[GroupIndex(group)]);
    w.OnPump = [&w, p] {
      w.Press(p.X, p.Y);
      w.Release(p.X, p.Y);
    };
    Dispatch(Effect, kEffEditIdle);
    if (TStubPlatformWindow* still = Plugin->OpenWindow()) still->Chooser = nullptr, still->OnPump = nullptr;
    return shown;
  }
  const std::vector<TSubPresetRec>& List(std::int32_t group) { return Plugin->FindSubPresetGroup(group)->SubPresets; }
  std::vector<std::string> Names(std::int32_t group) {
    std::vector<std::string> names;
    for (const TSubPresetRec& r : List(group)) names.push_back(r.Name);
    return names;
  }
  std::vector<float> Values(std::int32_t group) {
    std::vector<float> v;
    for (std::int32_t p : Plugin->FindSubPresetGroup(group)->Params) v.push_back(Plugin->GetParameterValue(p));
    return v;
  }
  void SetValues(std::int32_t group, float base) {
    float v = base;
    for (std::int32_t p : Plugin->FindSubPresetGroup(group)->Params) Plugin->SetParameterValue(p, v), v += 0.125f;
  }
  TScriptedDialogs& Script() { return Plugin->Script; }

  std::unique_ptr<P> Plugin;
  TVstEffect* Effect = nullptr;
  std::string Dir;
};

TEST_F(SubPresetMenuTest, TheMenuListsTheSubPresetsInColumnsOf16ThenTheActionsAndAppliesAChoice) {
  const std::vector<std::string> actions = {"-",
                                            "Save Sub-Preset Here",
                                            "-",
                                            "Save Sub-Preset To Disk",
                                            "Load Sub-Preset",
                                            "Load Sub-Preset Bank",
                                            "Save Sub-Preset Bank",
                                            "Whats this?"};
  std::vector<TMenuItem> empty = Choose(P::kReverb, "");
  ASSERT_EQ(empty.size(), 1 + actions.size());
  EXPECT_EQ(empty[0].Text, "No Presets...");
  EXPECT_FALSE(empty[0].Enabled);
  for (std::size_t i = 0; i < actions.size(); ++i) EXPECT_EQ(empty[i + 1].Text, actions[i]);

  for (int i = 0; i < 17; ++i) {
    SetValues(P::kReverb, 0.03f * static_cast<float>(i));
    ASSERT_EQ(Plugin->StoreSubPresetAs(P::kReverb, "Room " + std::to_string(i)), i);
  }
  const std::vector<TMenuItem> full = Choose(P::kReverb, "Room 3");
  ASSERT_EQ(full.size(), 17 + actions.size());
  for (std::size_t i = 0; i < full.size(); ++i) {
    EXPECT_EQ(full[i].BarBreak, i == 16) << "item " << i;
    EXPECT_EQ(full[i].Text, i < 17 ? "Room " + std::to_string(i) : actions[i - 17]);
  }
  // Laid out, the 17 sub-presets make two columns.
  EXPECT_EQ(LayoutMenu(full, [](const std::string& t) { return 7 * static_cast<int>(t.size()); }).ColumnBreaks.size(),
            1u);
  // Choosing "Room 3" applied it.
  EXPECT_EQ(Values(P::kReverb), List(P::kReverb)[3].Values);
  EXPECT_EQ(Plugin->FindSubPresetGroup(P::kReverb)->CurrentName, "Room 3");

  Choose(P::kReverb, "Whats this?");
  ASSERT_EQ(Script().Messages.size(), 1u);
  EXPECT_EQ(Script().Messages[0],
            "Sub-Presets for each effect group and also one for the effects combined.\r\n\r\nYou can edit or create "
            "your own and also save and re-load them in the other Quilm SP plugins that use Sub Presets.");
}

TEST_F(SubPresetMenuTest, StoreHereThenSaveToSpiAndLoadItBackIntoTheGroup) {
  SetValues(P::kReverb, 0.25f);
  Script().Queries = {std::nullopt};  // cancelled: nothing stored
  Choose(P::kReverb, "Save Sub-Preset Here");
  EXPECT_TRUE(List(P::kReverb).empty());
  Script().Queries = {"Warm Hall"};
  Choose(P::kReverb, "Save Sub-Preset Here");
  ASSERT_EQ(Names(P::kReverb), std::vector<std::string>{"Warm Hall"});
  EXPECT_EQ(List(P::kReverb)[0].Values, Values(P::kReverb));

  // To disk: the name (offered: the current one), then the file.
  SetValues(P::kReverb, 0.5f);
  const std::vector<float> saved = Values(P::kReverb);
  Script().Log.clear();
  Script().Queries = {"Bright Hall"};
  Script().Files = {Dir + "/bright"};
  Choose(P::kReverb, "Save Sub-Preset To Disk");
  EXPECT_EQ(Script().Log,
            (std::vector<std::string>{"query: Save Sub Preset / Name... / Warm Hall", "save: Save Sub-Preset"}));
  const TFileDialogOptions& request = Script().Requests.back();
  EXPECT_EQ(request.Filter, "Quilm SP Sub-Preset(*.spi)|*.spi");
  EXPECT_EQ(request.FileName, "Bright Hall");
  EXPECT_EQ(request.InitialDir, Plugin->SubPresetFolder());
  EXPECT_EQ(request.InitialDir, std::filesystem::path(Plugin->GetPluginFilePath()).parent_path().string())
      << "the module's folder";
  ASSERT_TRUE(std::filesystem::exists(Dir + "/bright.spi"));
  TMemoryStream expected;
  Plugin->WriteSubPresetItem(expected, P::kReverb, 1);
  TMemoryStream written;
  ASSERT_TRUE(written.LoadFromFile(Dir + "/bright.spi"));
  EXPECT_TRUE(std::ranges::equal(written.Bytes(), expected.Bytes()));

  // Loaded back after both the values and the stored one changed.
  SetValues(P::kReverb, 0.0f);
  ASSERT_EQ(Plugin->StoreSubPresetAs(P::kReverb, "bright hall"), 1);
  Script().Files = {Dir + "/bright.spi"};
  Choose(P::kReverb, "Load Sub-Preset");
  EXPECT_EQ(Names(P::kReverb), (std::vector<std::string>{"Warm Hall", "Bright Hall"})) << "replaced by its name";
  EXPECT_EQ(Values(P::kReverb), saved) << "and applied";
  EXPECT_TRUE(Script().Requests.back().FileMustExist);
  EXPECT_EQ(Script().Requests.back().Title, "Load Sub-Preset");
}

TEST_F(SubPresetMenuTest, AReverbFileIsRefusedByTheDelayGroupWithItsMessageAndNothingChanges) {
  SetValues(P::kReverb, 0.5f);
  Plugin->StoreSubPresetAs(P::kReverb, "Plate");
  Plugin->StoreSubPresetAs(P::kReverb, "Spring");
  Script().Files = {Dir + "/reverb-bank"};
  Choose(P::kReverb, "Save Sub-Preset Bank");
  EXPECT_EQ(Script().Requests.back().FileName, "Reverb");
  EXPECT_EQ(Script().Requests.back().Title, "Save Sub-Preset Bank");
  ASSERT_TRUE(std::filesystem::exists(Dir + "/reverb-bank.spf"));
  Script().Queries = {"Plate"};
  Script().Files = {Dir + "/plate"};
  Choose(P::kReverb, "Save Sub-Preset To Disk");
  ASSERT_TRUE(std::filesystem::exists(Dir + "/plate.spi"));

  SetValues(P::kDelay, 0.75f);
  Plugin->StoreSubPresetAs(P::kDelay, "Echo");
  const std::vector<float> delayValues = Values(P::kDelay);
  TMemoryStream before;
  Plugin->WriteSubPresets(before);

  Script().Log.clear();
  Script().Files = {Dir + "/reverb-bank.spf"};
  Choose(P::kDelay, "Load Sub-Preset Bank");
  EXPECT_EQ(Script().Log, (std::vector<std::string>{"open: Open Sub-Presets Bank",
                                                    "message: The sub-preset bank is not for this sub-preset group."}))
      << "refused before the clear question is asked";
  Script().Log.clear();
  Script().Files = {Dir + "/plate.spi"};
  Choose(P::kDelay, "Load Sub-Preset");
  EXPECT_EQ(Script().Log,
            (std::vector<std::string>{"open: Load Sub-Preset",
                                      "message: That sub-preset file is not for this sub-preset group."}));
  TMemoryStream after;
  Plugin->WriteSubPresets(after);
  EXPECT_TRUE(std::ranges::equal(before.Bytes(), after.Bytes()));
  EXPECT_EQ(Values(P::kDelay), delayValues);

  // A damaged bank is an error, also shown, also changing nothing.
  const char damaged[] = {'S', 'p', 'G', 'p', 2, 0, 10, 0, '\xff', '\xff', '\xff', 0x7f};
  std::ofstream(Dir + "/damaged.spf", std::ios::binary).write(damaged, sizeof damaged);
  Script().Log.clear();
  Script().Files = {Dir + "/damaged.spf"};
  Choose(P::kReverb, "Load Sub-Preset Bank");
  ASSERT_EQ(Script().Log.size(), 2u);
  EXPECT_EQ(Script().Log[1].rfind("error: The sub-preset bank could not be loaded", 0), 0u) << Script().Log[1];
  EXPECT_EQ(Names(P::kReverb), (std::vector<std::string>{"Plate", "Spring"}));
}

TEST_F(SubPresetMenuTest, ASequencer1BankLoadsIntoSequencer2ClearingOnlyWhenAnsweredYes) {
  SetValues(P::kSeq1, 0.25f);
  Plugin->StoreSubPresetAs(P::kSeq1, "Gallop");
  SetValues(P::kSeq1, 0.5f);
  Plugin->StoreSubPresetAs(P::kSeq1, "Pump");
  Script().Files = {Dir + "/seq1"};
  Choose(P::kSeq1, "Save Sub-Preset Bank");
  Plugin->StoreSubPresetAs(P::kSeq2, "Own");

  Script().Files = {Dir + "/seq1.spf"};
  Script().Answers = {false};
  Choose(P::kSeq2, "Load Sub-Preset Bank");
  EXPECT_EQ(Script().Log.back(), "confirm: Clear existing sub-presets for the group?");
  EXPECT_EQ(Names(P::kSeq2), (std::vector<std::string>{"Own", "Gallop", "Pump"}));
  EXPECT_EQ(List(P::kSeq2)[2].Values, List(P::kSeq1)[1].Values);

  Script().Files = {Dir + "/seq1.spf"};
  Script().Answers = {true};
  Choose(P::kSeq2, "Load Sub-Preset Bank");
  EXPECT_EQ(Names(P::kSeq2), (std::vector<std::string>{"Gallop", "Pump"}));
  EXPECT_TRUE(Script().Messages.empty());
}

TEST_F(SubPresetMenuTest, OutsideTheEditorsInputHandlingNothingWaitsForAUser) {
  // Called directly (a host call, another thread, no click): the
  // non-interactive path; the script is never asked.
  static std::vector<std::string> reported;
  reported.clear();
  const TErrorReportHook previous = SetErrorReportHook([](std::string_view t) { reported.emplace_back(t); });
  EXPECT_FALSE(Plugin->LoadSubPresetBankFromDisk(P::kReverb));
  EXPECT_EQ(Plugin->StoreSubPreset(P::kReverb), -1);
  Plugin->ShowSubPresetHelp();
  std::thread([&] { Plugin->ShowMessageText("from another thread"); }).join();
  SetErrorReportHook(previous);
  EXPECT_TRUE(Script().Log.empty());
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[1], "from another thread");
  EXPECT_FALSE(Plugin->InteractiveNow());

  // Inside the editor's input handling, but under the plug-in's lock (a
  // layer's notice during a program change the editor asked for): the
  // non-interactive path too, and the lock is never held over a dialog.
  reported.clear();
  SetErrorReportHook([](std::string_view t) { reported.emplace_back(t); });
  bool interactiveOutside = false;
  Plugin->OpenWindow()->OnPump = [&] {
    interactiveOutside = Plugin->InteractiveNow();
    TPluginLockGuard guard(*Plugin);
    Plugin->ShowMessageText("under the lock");
    ShowMessage(TMessageKind::Error, "a corrupt bank under the lock");
    std::string name = "kept";
    EXPECT_FALSE(Plugin->AskText("Save Sub Preset", "Name...", name));
    EXPECT_EQ(name, "kept");
    EXPECT_FALSE(Plugin->Dialogs().ConfirmYesNo("Clear existing sub-presets for the group?"));
  };
  Dispatch(Effect, kEffEditIdle);
  SetErrorReportHook(previous);
  EXPECT_TRUE(interactiveOutside);
  EXPECT_TRUE(Script().Log.empty());
  EXPECT_EQ(reported, (std::vector<std::string>{"under the lock", "a corrupt bank under the lock"}));
}

// The copy-preset dialog asked for in the editor: its questions and notices
// are the editor's dialogs; a text that is no program number gets the range
// notice and copies nothing.
TEST_F(SubPresetMenuTest, TheCopyPresetDialogAsksAndWarnsThroughTheEditorsDialogs) {
  for (std::int32_t i = 0; i < 128; ++i) Plugin->SetProgramNameAt(i, "Full " + std::to_string(i));
  Plugin->SelectProgram(5);
  Plugin->SetProgramNameAt(5, "Source");
  const float value = Plugin->GetParameterValue(0);
  Script().Queries = {"x12", "128", "7"};
  Plugin->OpenWindow()->OnPump = [this] {
    Plugin->CopyPresetDialog(-2);  // no empty program: asks where
    Plugin->CopyPresetDialog(-1);  // 128 is past the last program
    Plugin->CopyPresetDialog(-1);
  };
  Dispatch(Effect, kEffEditIdle);
  EXPECT_EQ(Script().Log, (std::vector<std::string>{
                              "message: No empty program found. Choose an index.", "query: Copy Preset / Where / 6",
                              "message: Must be a number from 0 to 127", "query: Copy Preset / Where / 6",
                              "message: Must be a number from 0 to 127", "query: Copy Preset / Where / 6"}));
  EXPECT_EQ(Plugin->CurrentProgram(), 7);
  EXPECT_EQ(Plugin->GetProgramNameAt(7), "Source");
  EXPECT_EQ(Plugin->GetParameterValue(0), value);
  EXPECT_EQ(Plugin->GetProgramNameAt(6), "Full 6");

  // An empty program is found from the current one upward, wrapping.
  Plugin->SetProgramNameAt(2, "");
  Plugin->OpenWindow()->OnPump = [this] { Plugin->CopyPresetDialog(-2); };
  Dispatch(Effect, kEffEditIdle);
  EXPECT_EQ(Plugin->CurrentProgram(), 2);
  EXPECT_EQ(Plugin->GetProgramNameAt(2), "Source");
  EXPECT_EQ(Script().Log.size(), 6u) << "nothing asked";
}

TEST_F(SubPresetMenuTest, ClosingTheEditorWhileADialogIsUpEndsItAndChangesNothing) {
  Plugin->StoreSubPresetAs(P::kSeq1, "Gallop");
  Script().Files = {Dir + "/seq1"};
  Choose(P::kSeq1, "Save Sub-Preset Bank");
  Plugin->StoreSubPresetAs(P::kSeq2, "Own");
  // The host closes the editor from its other thread while the question is up.
  Script().Files = {Dir + "/seq1.spf"};
  Script().Answers = {true};
  Script().WhileShowing = [this] {
    std::thread([this] { Dispatch(Effect, kEffEditClose); }).join();
    EXPECT_TRUE(Plugin->Dialogs().Cancelled());
    EXPECT_NE(Plugin->EditorWindow(), nullptr) << "the window stays until the dialog has returned";
  };
  Choose(P::kSeq2, "Load Sub-Preset Bank");
  Script().WhileShowing = {};
  EXPECT_EQ(Names(P::kSeq2), std::vector<std::string>{"Own"}) << "a cancelled question applies nothing";
  EXPECT_EQ(Plugin->EditorWindow(), nullptr) << "closed once the input handling returned";
  // Opened again, the dialogs work again.
  ASSERT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, HostWindow()), 1);
  Script().Files = {Dir + "/seq1.spf"};
  Script().Answers = {true};
  Choose(P::kSeq2, "Load Sub-Preset Bank");
  EXPECT_EQ(Names(P::kSeq2), std::vector<std::string>{"Gallop"});
}

TEST_F(SubPresetMenuTest, DestroyingThePlugInFromAnotherThreadWaitsForTheOpenDialog) {
  P* plugin = Plugin.release();  // freed by the close request below
  std::thread closer;
  std::atomic<bool> closed{false};
  plugin->Script.Queries = {"Late"};
  plugin->Script.WhileShowing = [&] {
    closer = std::thread([&] {
      Dispatch(Effect, kEffClose);  // waits for the dialog, then frees the plug-in
      closed = true;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!plugin->Dialogs().Cancelled() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(closed.load()) << "the plug-in went while its dialog was up";
    EXPECT_EQ(plugin->Script.CallsUnderLock, 0);
  };
  TStubPlatformWindow& w = *plugin->OpenWindow();
  w.Chooser = [](const std::vector<TMenuItem>& items) {
    for (std::size_t i = 0; i < items.size(); ++i)
      if (items[i].Text == "Save Sub-Preset Here") return static_cast<int>(i);
    return static_cast<int>(kMenuCancelled);
  };
  const TPoint p = Centre(plugin->Buttons[0]);
  w.OnPump = [&w, p] {
    w.Press(p.X, p.Y);
    w.Release(p.X, p.Y);
  };
  Dispatch(Effect, kEffEditIdle);
  closer.join();
  EXPECT_TRUE(closed.load());
}

}  // namespace
