// The rack's editor pages: one panel per effect plus "FX Out", their page
// buttons and "Preset" buttons, and the notebook they form. The controls on
// the pages come from the descriptors (fx_parameters.tsv); the pages'
// captions, page numbers and button order from fx_panels.tsv.
#include "engines/voicerack_gfx_synth.h"

namespace {

// The rack's row of page buttons: the first at (10, 5), each next one this
// far to the right.
constexpr std::int32_t kButtonTop = 10;
constexpr std::int32_t kButtonLeft = 5;
constexpr std::int32_t kButtonPitch = 60;
// The pages start this far below the main panel.
constexpr std::int32_t kPageGap = 20;

}  // namespace

void TVoicerackGFXSynth::CreatePanels() {
  TDSPPluginGui::CreatePanels();
  if (!HasGui() || GuiBody() == nullptr) return;
  for (const TFxPanelRow& row : FxPanelTable)
    FxPanels[static_cast<std::size_t>(row.Panel)] = AddGuiPanel(GuiBody(), row.Caption, row.Style);
}

void TVoicerackGFXSynth::LayoutPanels() {
  TDSPPluginGui::LayoutPanels();
  const TSPThemeGUIControl* main = MainPanel();
  if (main == nullptr) return;
  for (const TFxPanelRow& row : FxPanelTable) {
    if (TSPThemeGUIControl* page = GuiPanel(FxPanels[static_cast<std::size_t>(row.Panel)])) {
      page->Left = main->Left;
      page->Top = main->Bottom() + kPageGap;
      page->Width = main->Width;
      page->Height = kPageHeight;
    }
  }
}

TSPThemeGUINoteBookButton* TVoicerackGFXSynth::AddPageButton(std::string_view caption, std::int32_t group,
                                                             std::int32_t page, std::int32_t top, std::int32_t left) {
  if (!HasGui() || GuiBody() == nullptr) return nullptr;
  auto* button = new TSPThemeGUINoteBookButton(GuiBody());
  button->Caption = std::string(caption);
  button->ThemeIndex = PluginThemeIndex;
  SetButtonGeometry(button, group, page, top, left);
  return button;
}

void TVoicerackGFXSynth::SetButtonGeometry(TSPThemeGUINoteBookButton* button, std::int32_t group, std::int32_t page,
                                           std::int32_t top, std::int32_t left) {
  if (button == nullptr) return;
  button->NoteBookGroup = group;
  button->NoteBookPage = page;
  button->ActivePage = 0;
  button->RelTop = top;
  button->RelLeft = left;
  button->UpdateLayout();
}

void TVoicerackGFXSynth::SetPanelPage(std::int32_t panel, std::int32_t group, std::int32_t page) {
  if (TSPThemeGUIControl* p = GuiPanel(panel)) {
    p->NoteBookGroup = group;
    p->NoteBookPage = page;
    p->ActivePage = 0;
  }
}

void TVoicerackGFXSynth::CreatePageButtons() {
  TDSPPluginGui::CreatePageButtons();
  if (!FxMapAssigned) return;
  // The groups in the table's order; each holds its FX range in FX order.
  for (const TFxSubPresetGroupRow& group : FxSubPresetGroupTable) {
    if (FindSubPresetGroup(group.Group) != nullptr) continue;
    AddSubPresetGroup(group.Group, group.Name);
    AssignGroupRange(group.Group, group.First, group.Last);
  }
  if (!HasGui() || GuiBody() == nullptr) return;
  // The buttons in their row's order (EQ before FX Out; the panels were
  // made the other way round).
  for (std::int16_t order = 0; order < static_cast<std::int16_t>(FxPanelTableCount); ++order) {
    for (const TFxPanelRow& row : FxPanelTable) {
      const auto p = static_cast<std::size_t>(row.Panel);
      if (row.ButtonOrder != order || FxPageButtons[p] != nullptr) continue;
      FxPageButtons[p] =
          AddPageButton(row.Caption, kPageGroup, row.Page, kButtonTop, kButtonLeft + kButtonPitch * row.ButtonOrder);
    }
  }
  for (const TFxSubPresetGroupRow& group : FxSubPresetGroupTable) {
    const auto p = static_cast<std::size_t>(group.Panel);
    if (FxPresetButtons[p] == nullptr)
      FxPresetButtons[p] = CreateSubPresetButton("Preset", kPresetTop, kPresetLeft, FxPanels[p], group.Group);
  }
  for (const TFxPanelRow& row : FxPanelTable)
    SetPanelPage(FxPanels[static_cast<std::size_t>(row.Panel)], kPageGroup, row.Page);
}
