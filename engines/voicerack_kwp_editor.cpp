// The synthesis layer's editor half: the voice page's panels (kwp_panels.tsv)
// and their layout, and the instrument's page switch (kwp_pages.tsv), which
// numbers the pages of every layer.
#include <cstring>

#include "engines/voicerack_kwp_synth.h"

namespace {

// The enumeration value whose name is `name`; -1 for none.
template <std::size_t N>
int IndexOfName(const char* const (&names)[N], const char* name) {
  for (std::size_t i = 0; i < N; ++i)
    if (std::strcmp(names[i], name) == 0) return static_cast<int>(i);
  return -1;
}

}  // namespace

void TVoicerackKWPSynth::CreatePanels() {
  TVoicerackArpSynth::CreatePanels();
  if (!HasGui() || GuiBody() == nullptr) return;
  // Parents come first in the table.
  for (const TKwpPanelRow& row : KwpPanelTable) {
    TSPThemeGUIControl* parent = row.Parent == TKwpPanel::None ? GuiBody() : KwpGuiPanel(row.Parent);
    if (parent == nullptr) continue;
    KwpPanels[static_cast<std::size_t>(row.Panel)] = AddGuiPanel(parent, row.Caption, row.Style);
  }
}

void TVoicerackKWPSynth::PlaceOscRow(TSPThemeGUIControl* osc, TSPThemeGUIControl* pMod, TSPThemeGUIControl* aMod,
                                     TSPThemeGUIControl* pitchAttack, TSPThemeGUIControl* pitchRelease,
                                     std::int32_t top, std::int32_t aModLeft) {
  const TSPThemeGUIControl* main = MainPanel();
  if (main == nullptr || osc == nullptr) return;
  osc->Left = main->Left;
  osc->Top = top;
  osc->Width = main->Width;
  osc->Height = kOscRowHeight;
  std::int32_t left = osc->Left + aModLeft;
  for (TSPThemeGUIControl* sub : {aMod, pMod, pitchAttack, pitchRelease}) {
    if (sub == nullptr) continue;
    sub->Left = left;
    sub->Top = osc->Top + 1;
    sub->Width = sub == aMod || sub == pMod ? kModPanelWidth : kPitchPanelWidth;
    sub->Height = kModPanelHeight;
    left = sub->Right() + 1;
  }
}

void TVoicerackKWPSynth::PlacePageArea(std::int32_t top) {
  const TSPThemeGUIControl* main = MainPanel();
  if (main == nullptr) return;
  for (const TKwpPageRow& row : KwpPageTable) {
    if (TSPThemeGUIControl* page = PagePanel(row)) {
      page->Left = main->Left;
      page->Top = top;
      page->Width = main->Width;
      page->Height = kPageHeight;
    }
  }
}

void TVoicerackKWPSynth::LayoutPanels() {
  TVoicerackArpSynth::LayoutPanels();
  const TSPThemeGUIControl* main = MainPanel();
  if (main == nullptr) return;
  // Three panels side by side from the main panel's left edge, the last one
  // up to its right edge.
  auto row = [main](std::int32_t top, std::initializer_list<std::pair<TSPThemeGUIControl*, std::int32_t>> panels) {
    std::int32_t left = main->Left;
    for (const auto& [panel, width] : panels) {
      if (panel == nullptr) continue;
      panel->Left = left;
      panel->Top = top;
      panel->Width = width > 0 ? width : main->Right() - left;
      panel->Height = kVoiceRowHeight;
      left = panel->Right() + 1;
    }
  };
  const std::int32_t lfoWidth = main->Width / 3;
  row(main->Bottom() + 1, {{KwpGuiPanel(TKwpPanel::Master), kMasterWidth},
                           {KwpGuiPanel(TKwpPanel::Env1), kEnv1Width},
                           {KwpGuiPanel(TKwpPanel::Env2), 0}});
  const std::int32_t lfoTop = main->Bottom() + 1 + kVoiceRowHeight + 1;
  row(lfoTop, {{KwpGuiPanel(TKwpPanel::LFO1), lfoWidth},
               {KwpGuiPanel(TKwpPanel::LFO2), lfoWidth},
               {KwpGuiPanel(TKwpPanel::LFO3), 0}});
  TSPThemeGUIControl* osc = KwpGuiPanel(TKwpPanel::Osc1);
  PlaceOscRow(osc, KwpGuiPanel(TKwpPanel::PMod), KwpGuiPanel(TKwpPanel::AMod), KwpGuiPanel(TKwpPanel::PitchAttack),
              KwpGuiPanel(TKwpPanel::PitchRelease), lfoTop + kVoiceRowHeight + 1, kSynthAModLeft);
  if (osc != nullptr) PlacePageArea(osc->Bottom() + kPageAreaGap);
}

void TVoicerackKWPSynth::FindPage(const TKwpPageRow& page, std::int32_t& panel,
                                  TSPThemeGUINoteBookButton*& button) const {
  panel = -1;
  button = nullptr;
  switch (page.Layer) {
    case TKwpPageLayer::Synth:
      if (const int i = IndexOfName(TKwpPanelNames, page.Panel); i > 0) {
        panel = KwpPanels[static_cast<std::size_t>(i)];
        button = KwpPageButtons[static_cast<std::size_t>(i)];
      }
      return;
    case TKwpPageLayer::Sequencer:
      for (std::size_t s = 0; s < 2; ++s) {
        if (std::strcmp(SeqPageTable[s].Caption, page.Panel) != 0) continue;
        panel = SeqPanels[s];
        button = SeqPageButtons[s];
      }
      return;
    case TKwpPageLayer::Effects:
      if (const int i = IndexOfName(TFxPanelNames, page.Panel); i > 0) {
        panel = FxPanels[static_cast<std::size_t>(i)];
        button = FxPageButtons[static_cast<std::size_t>(i)];
      }
      return;
  }
}

TSPThemeGUIControl* TVoicerackKWPSynth::PagePanel(const TKwpPageRow& page) const {
  std::int32_t panel = -1;
  TSPThemeGUINoteBookButton* button = nullptr;
  FindPage(page, panel, button);
  return GuiPanel(panel);
}

TSPThemeGUINoteBookButton* TVoicerackKWPSynth::PageButton(const TKwpPageRow& page) const {
  std::int32_t panel = -1;
  TSPThemeGUINoteBookButton* button = nullptr;
  FindPage(page, panel, button);
  return button;
}

void TVoicerackKWPSynth::PlacePageButtons(std::int32_t top, std::int32_t left) {
  for (const TKwpPageRow& row : KwpPageTable) {
    if (TSPThemeGUIControl* panel = PagePanel(row)) {
      panel->NoteBookGroup = kPageGroup;
      panel->NoteBookPage = row.Page;
      panel->ActivePage = 0;
    }
    SetButtonGeometry(PageButton(row), kPageGroup, row.Page, top, left + kPageButtonPitch * row.Page);
  }
}

void TVoicerackKWPSynth::CreatePageButtons() {
  TVoicerackArpSynth::CreatePageButtons();
  if (!HasGui() || GuiBody() == nullptr) return;
  for (const TKwpPageRow& page : KwpPageTable) {
    if (page.Layer != TKwpPageLayer::Synth) continue;
    const int i = IndexOfName(TKwpPanelNames, page.Panel);
    const TKwpPanelRow* row = i > 0 ? FindKwpPanel(static_cast<TKwpPanel>(i)) : nullptr;
    if (row == nullptr || row->ButtonCaption[0] == '\0' || KwpPageButtons[static_cast<std::size_t>(i)] != nullptr)
      continue;
    KwpPageButtons[static_cast<std::size_t>(i)] = AddPageButton(row->ButtonCaption, kPageGroup, page.Page, 0, 0);
  }
  // The row stands below the oscillator row, where the page area begins.
  if (const TSPThemeGUIControl* osc = KwpGuiPanel(TKwpPanel::Osc1))
    PlacePageButtons(osc->Bottom() + kPageButtonGap, osc->Left);
}
