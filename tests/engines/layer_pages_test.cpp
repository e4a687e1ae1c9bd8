// The editor pages each instrument layer builds on its own, before the
// layers above renumber and re-place them: every page button shows the one
// page of the panel it names, and the pages sit where the layer puts them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/engines/kwp_test_plugin.h"
#include "tests/engines/rack_test_plugin.h"
#include "tests/engines/voice_test_plugin.h"

namespace {

constexpr std::int32_t kPageGroup = TVoicerackGFXSynth::kPageGroup;

// The same layers with an editor.
struct TRackWithEditor : rack_test::TRackTestPlugin {
  TRackWithEditor() { HasGuiFlag = true; }
};
struct TSequencersWithEditor : voice_test::TVoiceTestPlugin {
  explicit TSequencersWithEditor(bool sampler) : TVoiceTestPlugin(sampler) { HasGuiFlag = true; }
};
struct TSynthWithEditor : kwp_test::TKwpTestPlugin {
  explicit TSynthWithEditor(bool /*sampler*/) { HasGuiFlag = true; }
};

// The panel each page button's caption names.
const std::map<std::string, std::string> kPanelOfButton = {{"VFX", ""},
                                                           {"Seq1", "Sequencer1"},
                                                           {"Seq2", "Sequencer2"},
                                                           {"VMod", "VMod"},
                                                           {"Reverb", "Reverb"},
                                                           {"Chorus", "Chorus"},
                                                           {"Distortion", "Distortion"},
                                                           {"XFilter", "XFilter"},
                                                           {"Delay", "Delay"},
                                                           {"Phaser", "Phaser"},
                                                           {"EQ", "EQ"},
                                                           {"FX Out", "FX Out"}};

struct TPages {
  std::vector<TSPThemeGUINoteBookButton*> Buttons;
  std::vector<TSPThemeGUIControl*> Panels;  // the body's panels of the page switch
};

TPages PagesOf(TSPThemeGUIBody& body) {
  TPages pages;
  for (TSPThemeGUIControl* c : body.Children()) {
    if (auto* b = dynamic_cast<TSPThemeGUINoteBookButton*>(c)) pages.Buttons.push_back(b);
    else if (c->AsPanel() != nullptr && c->NoteBookGroup == kPageGroup) pages.Panels.push_back(c);
  }
  return pages;
}

// Clicks every page button: the one panel it names shows, no other page.
void ExpectEveryButtonShowsItsPanel(TDSPPluginGui& plugin, std::size_t count) {
  TSPThemeGUIBody& body = *plugin.GuiBody();
  body.Attached = true;
  const TPages pages = PagesOf(body);
  ASSERT_EQ(pages.Buttons.size(), count);
  ASSERT_EQ(pages.Panels.size(), count);
  for (TSPThemeGUINoteBookButton* b : pages.Buttons) {
    b->Click(TMouseButton::mbLeft);
    std::vector<std::string> shown;
    for (TSPThemeGUIControl* p : pages.Panels)
      if (p->IsShowing()) shown.push_back(p->Caption);
    EXPECT_EQ(shown, std::vector<std::string>{kPanelOfButton.at(b->Caption)}) << "button " << b->Caption;
  }
  body.Attached = false;
}

TEST(LayerPages, TheRackShowsEightPagesBelowTheHeaderBehindARowOfButtons) {
  plugin_test::TTestHost::Reset();
  auto rack = plugin_test::MakePlugin<TRackWithEditor>();
  const TPages pages = PagesOf(*rack->GuiBody());
  std::vector<std::tuple<std::string, int, int, int>> buttons;
  for (const TSPThemeGUINoteBookButton* b : pages.Buttons)
    buttons.emplace_back(b->Caption, b->NoteBookPage, b->Top, b->Left);
  const std::vector<std::tuple<std::string, int, int, int>> expected = {
      {"Reverb", 5, 10, 5},  {"Chorus", 6, 10, 65},   {"Distortion", 7, 10, 125}, {"XFilter", 8, 10, 185},
      {"Delay", 9, 10, 245}, {"Phaser", 10, 10, 305}, {"EQ", 11, 10, 365},        {"FX Out", 12, 10, 425}};
  EXPECT_EQ(buttons, expected);
  for (TSPThemeGUIControl* p : pages.Panels) {
    EXPECT_EQ(std::tuple(p->Left, p->Top, p->Width, p->Height), std::tuple(1, 53, 770, 150)) << p->Caption;
    // Its "Preset" button, for the panel's own sub-preset group.
    int presets = 0;
    for (const TSPThemeGUIControl* c : p->AsPanel()->Children())
      if (const auto* s = dynamic_cast<const TSPThemeGUISubPresetsButton*>(c)) {
        ++presets;
        EXPECT_EQ(std::tuple(s->Caption, s->RelTop, s->RelLeft), std::tuple(std::string("Preset"), 128, 2));
        const TFxSubPresetGroupRow* group = FindFxSubPresetGroup(s->SubPresetGroup);
        ASSERT_NE(group, nullptr);
        EXPECT_EQ(FindFxPanel(group->Panel)->Caption, p->Caption);
      }
    EXPECT_EQ(presets, 1) << p->Caption;
  }
  ExpectEveryButtonShowsItsPanel(*rack, 8);
  // Clicking "Delay" shows page 9.
  rack->GuiBody()->Attached = true;
  pages.Buttons[4]->Click(TMouseButton::mbLeft);
  for (TSPThemeGUIControl* p : pages.Panels) EXPECT_EQ(p->IsShowing(), p->Caption == "Delay");
  EXPECT_EQ(pages.Panels[4]->NoteBookPage, 9);
  rack->GuiBody()->Attached = false;
}

TEST(LayerPages, TheSequencerLayerAddsItsPagesAndEveryButtonStillShowsItsOwn) {
  plugin_test::TTestHost::Reset();
  auto plugin = voice_test::MakeVoicePlugin<TSequencersWithEditor>();
  const TPages pages = PagesOf(*plugin->GuiBody());
  // "Seq1" and "Seq2", then the effects' buttons in a column below them
  // (FX Out's stays in the rack's row).
  std::vector<std::tuple<std::string, int, int>> places;
  for (const TSPThemeGUINoteBookButton* b : pages.Buttons) places.emplace_back(b->Caption, b->Top, b->Left);
  std::sort(places.begin(), places.end(), [](const auto& a, const auto& b) { return std::get<1>(a) < std::get<1>(b); });
  const std::vector<std::tuple<std::string, int, int>> expected = {
      {"FX Out", 10, 425},     {"Seq1", 60, 20},     {"Seq2", 120, 20},  {"Reverb", 180, 20}, {"Chorus", 240, 20},
      {"Distortion", 300, 20}, {"XFilter", 360, 20}, {"Delay", 420, 20}, {"Phaser", 480, 20}, {"EQ", 540, 20}};
  EXPECT_EQ(places, expected);
  for (const std::int32_t panel : plugin->SeqPanels) ASSERT_NE(plugin->GuiPanel(panel), nullptr);
  ExpectEveryButtonShowsItsPanel(*plugin, 10);
}

TEST(LayerPages, TheSynthesisLayerNumbersTwelvePagesInOneRowBelowItsOscillator) {
  plugin_test::TTestHost::Reset();
  auto plugin = voice_test::MakeVoicePlugin<TSynthWithEditor>();
  const TSPThemeGUIControl* osc = plugin->GuiPanel(plugin->KwpPanels[static_cast<std::size_t>(TKwpPanel::Osc1)]);
  ASSERT_NE(osc, nullptr);
  EXPECT_EQ(std::tuple(osc->Left, osc->Top, osc->Width, osc->Height), std::tuple(1, 160, 770, 80));
  const TSPThemeGUIControl* aMod = plugin->GuiPanel(plugin->KwpPanels[static_cast<std::size_t>(TKwpPanel::AMod)]);
  EXPECT_EQ(std::tuple(aMod->Left, aMod->Parent), std::tuple(1 + TVoicerackKWPSynth::kSynthAModLeft, osc));
  const TPages pages = PagesOf(*plugin->GuiBody());
  for (const TSPThemeGUINoteBookButton* b : pages.Buttons) {
    EXPECT_EQ(std::tuple(b->Top, b->Left), std::tuple(242, 1 + 64 * b->NoteBookPage)) << b->Caption;
    EXPECT_EQ(KwpPageTable[b->NoteBookPage].Page, b->NoteBookPage);
  }
  for (const TSPThemeGUIControl* p : pages.Panels) EXPECT_EQ(p->Top, 261) << p->Caption;
  ExpectEveryButtonShowsItsPanel(*plugin, 12);
}

}  // namespace
