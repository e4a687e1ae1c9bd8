// The finished instrument's editor without a display: the control tree its
// layers build (one control per parameter, inside its panel and the
// window, nothing overlapping on any page), the voice page's layout and
// page switch, pictures of every page, and program changes reaching every
// visible control.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engines/rumbleon2.h"
#include "framework/base/streams.h"
#include "gui/theme/theme_painters.h"
#include "platform/x11/popup_menu.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/gui/controls/editor_test_support.h"
#include "tests/gui/support/contact_sheet.h"

namespace {

using editor_test::TStubPlatformWindow;
using plugin_test::Dispatch;

constexpr int kWidth = 774, kHeight = 498;
constexpr int kPageCount = 12;
constexpr std::int32_t kPageGroup = TVoicerackGFXSynth::kPageGroup;

// The instrument with its editor window replaced by a stand-in that keeps
// the presented pixels.
class TEditorInstrument : public TRumbleon2 {
 public:
  std::unique_ptr<TEditorPlatformWindow> CreatePlatformWindow(void* /*parent*/, std::int32_t w, std::int32_t h,
                                                              TWindowListener* listener,
                                                              std::string* /*why*/) override {
    auto window = std::make_unique<TStubPlatformWindow>(w, h, listener);
    Window = window.get();
    return window;
  }
  TStubPlatformWindow* Window = nullptr;
};

bool MakesControl(std::int32_t kind) {
  switch (kind) {
    case kGuiKnob:
    case kGuiVSlider:
    case kGuiHSlider:
    case kGuiVVUMeter:
    case kGuiHVUMeter:
    case kGuiLED:
    case kGuiSwitch:
    case kGuiValueEdit:
    case kGuiButtonSwitch:
    case kGuiValueEditMenu:
    case kGuiButtonSwitchMenu:
      return true;
    default:
      return false;
  }
}

bool Inside(const TRect& inner, const TRect& outer) {
  return inner.Left >= outer.Left && inner.Top >= outer.Top && inner.Right <= outer.Right &&
         inner.Bottom <= outer.Bottom;
}
bool Overlap(const TRect& a, const TRect& b) {
  return a.Left < b.Right && b.Left < a.Right && a.Top < b.Bottom && b.Top < a.Bottom;
}
std::string Text(const TRect& r) {
  return std::to_string(r.Left) + "," + std::to_string(r.Top) + "-" + std::to_string(r.Right) + "," +
         std::to_string(r.Bottom);
}
std::string Describe(const TSPThemeGUIControl* c) {
  return "'" + c->Caption + "' (parameter " + std::to_string(c->ParamIndex) + ") at " + Text(c->BoundsRect());
}
// What a control covers on the screen: itself, its caption and its value.
TRect Covered(const TSPThemeGUIControl* c) { return UnionRect(c->BoundsRect(), c->PaintedRect); }
// The caption box a panel draws in its top-left corner (empty without one).
TRect CaptionBox(TSPThemeGUIControl* panel, TCanvas& scratch) {
  if (panel->Caption.empty() || panel->Parent == nullptr) return {};
  TRect r = Bounds(panel->Left, panel->Top, 2, 2);
  DrawThemeCaption(panel->Style, scratch, r, panel->Caption);
  return r;
}

// The style a leaf control paints with (null for the others).
const TSPThemeControl* StyleOf(const TSPThemeGUIControl* c) {
  if (const auto* f = dynamic_cast<const TSPThemeGUIFader*>(c)) return f->Style;
  if (const auto* s = dynamic_cast<const TSPThemeGUISwitch*>(c)) return s->Style;
  return nullptr;
}
// Each whole value of a control's parameter (as its value menu lists them)
// with the width of its text in the control's value font.
std::vector<std::pair<float, int>> ValueTextWidths(TSPThemeGUIControl* c, const TParamInfoRec& info) {
  std::vector<std::pair<float, int>> out;
  const TSPThemeControl* style = StyleOf(c);
  if (style == nullptr || !c->OnGetValueStrings) return out;
  std::vector<std::string> texts;
  std::int32_t count = 0;
  c->OnGetValueStrings(c, texts, count);
  TBitmap scratch(8, 8);
  scratch.Canvas().SetFont(style->ValueStyle.Font.Create());
  for (std::size_t k = 0; k < texts.size(); ++k)
    out.emplace_back(std::nearbyint(info.Min) + static_cast<float>(k), scratch.Canvas().TextWidth(texts[k]));
  return out;
}
float WidestTextValue(TSPThemeGUIControl* c, const TParamInfoRec& info) {
  const auto widths = ValueTextWidths(c, info);
  if (widths.empty()) return 0.0f;
  return std::max_element(widths.begin(), widths.end(),
                          [](const auto& a, const auto& b) { return a.second < b.second; })
      ->first;
}

class InstrumentEditorTree : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin_test::TTestHost::Reset();
    PumpPostBacks();
    Plugin = plugin_test::MakePlugin<TEditorInstrument>();
    Effect = Plugin->GetEffect();
    // The factory programs, as the module has them.
    ASSERT_FALSE(sampler_test::FactoryBank().empty()) << "the build writes resources/factorybank.fxb";
    TMemoryStream bank(sampler_test::FactoryBank());
    ASSERT_TRUE(Plugin->LoadBankFromStream(bank));
    plugin_test::TStereoBuffers out(64);
    Effect->processReplacing(Effect, nullptr, out.Pointers, 64);  // applies program 0
    Body = Plugin->GuiBody();
    ASSERT_NE(Body, nullptr);
  }
  void TearDown() override {
    if (Plugin) Dispatch(Effect, kEffClose);
    Plugin.release();  // freed by the close request
  }
  TStubPlatformWindow& Open() {
    EXPECT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, editor_test::HostWindow()), 1);
    Idle();
    return *Plugin->Window;
  }
  void Idle() { Dispatch(Effect, kEffEditIdle); }
  // Shows a page without a window and paints the body.
  void ShowHeadless(std::int32_t page) {
    Plugin->SyncGuiControls();
    Body->Attached = true;
    Body->ShowPage(kPageGroup, page);
    Body->FullRedraw();
  }
  std::vector<TSPThemeGUIControl*> Controls(bool panels) {
    std::vector<TSPThemeGUIControl*> out;
    Body->ForEachControl([&](TSPThemeGUIControl* c) {
      if ((c->AsPanel() != nullptr) == panels) out.push_back(c);
    });
    return out;
  }
  // The page buttons by page (null where none shows that page).
  std::vector<TSPThemeGUINoteBookButton*> PageButtons() {
    std::vector<TSPThemeGUINoteBookButton*> out(kPageCount, nullptr);
    for (TSPThemeGUIControl* c : Controls(false))
      if (auto* b = dynamic_cast<TSPThemeGUINoteBookButton*>(c))
        if (b->NoteBookPage >= 0 && b->NoteBookPage < kPageCount) out[static_cast<std::size_t>(b->NoteBookPage)] = b;
    return out;
  }
  TSPThemeGUIControl* Panel(const char* caption) {
    for (TSPThemeGUIControl* p : Controls(true))
      if (p->Caption == caption) return p;
    return nullptr;
  }
  // Whether the window shows exactly the body's Front bitmap.
  bool WindowShowsFront() {
    const TStubPlatformWindow& w = *Plugin->Window;
    const TBitmap& front = Body->FrontBitmap();
    for (int y = 0; y < w.H; ++y)
      for (int x = 0; x < w.W; ++x)
        if (w.At(x, y) != (front.ScanLine(y)[x] & 0xFFFFFFu)) return false;
    return true;
  }
  // Every overlap and every control or panel outside where it belongs on
  // the page that shows, as text.
  std::vector<std::string> LayoutFaults() {
    std::vector<std::string> faults;
    const TRect window{0, 0, kWidth, kHeight};
    std::vector<TSPThemeGUIControl*> panels, leaves;
    for (TSPThemeGUIControl* p : Controls(true))
      if (p->IsShowing()) panels.push_back(p);
    for (TSPThemeGUIControl* c : Controls(false))
      if (c->IsShowing()) leaves.push_back(c);
    TBitmap scratch(kWidth, kHeight);
    std::vector<TRect> captions;
    for (TSPThemeGUIControl* p : panels) captions.push_back(CaptionBox(p, scratch.Canvas()));
    for (TSPThemeGUIControl* p : panels) {
      if (!Inside(p->BoundsRect(), p->Parent == Body ? window : p->Parent->BoundsRect()))
        faults.push_back("panel '" + p->Caption + "' " + Text(p->BoundsRect()) + " leaves its parent");
      for (TSPThemeGUIControl* q : panels)
        if (p < q && p->Parent == q->Parent && Overlap(p->BoundsRect(), q->BoundsRect()))
          faults.push_back("panels '" + p->Caption + "' and '" + q->Caption + "' overlap");
    }
    for (std::size_t i = 0; i < leaves.size(); ++i) {
      TSPThemeGUIControl* c = leaves[i];
      // Inside the panel, within its frame.
      const TRect inner = InflateRect(c->Parent->BoundsRect(), -1, -1);
      if (!Inside(Covered(c), inner) || !Inside(Covered(c), window))
        faults.push_back(Describe(c) + " covers " + Text(Covered(c)) + " outside its panel " + Text(inner));
      for (std::size_t k = 0; k < panels.size(); ++k) {
        TSPThemeGUIControl* p = panels[k];
        const bool ancestor = p == c->Parent || p == c->Parent->Parent || p == Body;
        if (!ancestor && Overlap(Covered(c), p->BoundsRect()))
          faults.push_back(Describe(c) + " lies on panel '" + p->Caption + "'");
        if (Overlap(Covered(c), captions[k]))
          faults.push_back(Describe(c) + " covers the caption of '" + p->Caption + "'");
      }
      for (std::size_t j = i + 1; j < leaves.size(); ++j)
        if (Overlap(Covered(c), Covered(leaves[j])))
          faults.push_back(Describe(c) + " covering " + Text(Covered(c)) + " overlaps " + Describe(leaves[j]) +
                           " covering " + Text(Covered(leaves[j])));
    }
    return faults;
  }

  // The editor as the window shows it with the menu drawn over it where
  // the button opens it (its top-left corner), item highlight lit, for a
  // person to look at (the README shows it); grey beyond the window.
  void SaveMenuPicture(const TSPThemeGUIControl* button, const std::vector<TMenuItem>& items, int highlight,
                       const char* file) {
    const TMenuLayout layout = LayoutMenu(items, &MenuTextWidth);
    const std::vector<std::uint32_t> menu = RenderMenu(items, layout, highlight);
    const TStubPlatformWindow& w = *Plugin->Window;
    const int width = std::max(w.W, button->Left + layout.Width), height = std::max(w.H, button->Top + layout.Height);
    TBitmap picture(width, height);
    for (int y = 0; y < height; ++y) {
      std::uint32_t* row = picture.ScanLine(y);
      for (int x = 0; x < width; ++x) {
        const int mx = x - button->Left, my = y - button->Top;
        if (mx >= 0 && my >= 0 && mx < layout.Width && my < layout.Height)
          row[x] = menu[static_cast<std::size_t>(my) * layout.Width + mx];
        else row[x] = x < w.W && y < w.H ? w.At(x, y) : 0x404040u;
        row[x] |= 0xFF000000u;
      }
    }
    EXPECT_TRUE(picture.SaveToPngFile(TestOutputPath(file)));
  }

  std::unique_ptr<TEditorInstrument> Plugin;
  TVstEffect* Effect = nullptr;
  TSPThemeGUIBody* Body = nullptr;
};

TEST_F(InstrumentEditorTree, EveryParameterWithAControlKindHasExactlyOneControlOnItsPanel) {
  EXPECT_TRUE(Plugin->ParamsWithoutPanel().empty());
  std::vector<int> controlsOf(static_cast<std::size_t>(Effect->numParams), 0);
  for (TSPThemeGUIControl* c : Controls(false)) {
    if (c->ParamIndex < 0) continue;
    ASSERT_LT(c->ParamIndex, Effect->numParams);
    ++controlsOf[static_cast<std::size_t>(c->ParamIndex)];
  }
  int expected = 0;
  for (std::int32_t i = 0; i < Effect->numParams; ++i) {
    const TParamInfoRec& info = Plugin->ParamInfo[static_cast<std::size_t>(i)];
    const bool wanted = MakesControl(info.GuiKind);
    expected += wanted ? 1 : 0;
    EXPECT_EQ(controlsOf[static_cast<std::size_t>(i)], wanted ? 1 : 0) << "parameter " << i << " " << info.Name;
    TSPThemeGUIControl* c = Plugin->GuiControlOf(i);
    EXPECT_EQ(c != nullptr, wanted) << "parameter " << i;
    if (c == nullptr) continue;
    EXPECT_EQ(c->ParamIndex, i);
    EXPECT_EQ(c->Parent, Plugin->GuiPanel(info.GuiPanel)) << "parameter " << i;
    EXPECT_EQ(c->Caption, info.HelpText);
  }
  // Every parameter of the instrument but the reserved ones, the unowned
  // ids, the diatonic switches, the four step-envelope parameters of each
  // sequencer and the rack's pre- and post-amplification.
  EXPECT_EQ(expected, 664 - 7 - 2 - 10 - 2 - 8 - 2);
}

// Every page in turn with the factory's first program, then with every
// parameter at its minimum, at its maximum and at the whole value whose
// text is widest (the value texts change, and the widest often lies
// inside the range: "-0.05 Hz", "Analog Resonant Bass").
TEST_F(InstrumentEditorTree, ControlsStayInsideTheirPanelsAndNothingOverlapsOnAnyPage) {
  std::set<std::string> reported;  // the voice page's faults would repeat on every page
  for (const char* values : {"program 0", "minimum", "maximum", "widest"}) {
    for (std::int32_t i = 0; i < Effect->numParams; ++i) {
      TSPThemeGUIControl* c = Plugin->GuiControlOf(i);
      if (c == nullptr || values[0] == 'p') continue;
      if (values[0] == 'w')
        Plugin->SetParameterReal(i, WidestTextValue(c, Plugin->ParamInfo[static_cast<std::size_t>(i)]));
      else Effect->setParameter(Effect, i, values[1] == 'i' ? 0.0f : 1.0f);
    }
    for (int page = 0; page < kPageCount; ++page) {
      ShowHeadless(page);
      for (const std::string& fault : LayoutFaults())
        if (reported.insert(fault).second) ADD_FAILURE() << values << ", page " << page << ": " << fault;
    }
  }
}

// Every text a value box can show fits inside it (the painter would cut
// it short: "HIGHSHELF" read "HIGHSHE"), whatever its page. Known
// exceptions: the sample patches' names, longer than any box of the theme,
// and two distortion curves a few pixels wider than the box the rack's
// layout gives; their value menus show them whole.
TEST_F(InstrumentEditorTree, EveryValueTextFitsItsBox) {
  for (int page = 0; page < kPageCount; ++page) ShowHeadless(page);  // boxes take their picture's size
  const std::set<std::string> tooLong = {"OSC1 Patch", "OSC2 Patch", "DistTypeL", "DistTypeR"};
  int boxes = 0;
  for (std::int32_t i = 0; i < Effect->numParams; ++i) {
    TSPThemeGUIControl* c = Plugin->GuiControlOf(i);
    const TParamInfoRec& info = Plugin->ParamInfo[static_cast<std::size_t>(i)];
    if (c == nullptr || !c->ButtonMode || tooLong.count(info.Name) != 0) continue;
    ++boxes;
    std::string cut;
    for (const auto& [value, width] : ValueTextWidths(c, info))
      if (width > c->Width && cut.size() < 80) cut += " '" + Plugin->GetParamDisplayText(2, i, value) + "'";
    EXPECT_EQ(cut, "") << "parameter " << i << " " << info.Name << " '" << c->Caption << "', " << c->Width
                       << " pixels wide";
  }
  EXPECT_GT(boxes, 300);
}

// The voice page's rows, the page area and the row of page buttons, in
// body pixels, below the 770 x 32 header at (1, 1).
TEST_F(InstrumentEditorTree, TheVoicePageHasItsRowsAndTheRowOfTwelvePageButtons) {
  ShowHeadless(0);  // buttons take their picture's size when they are painted
  auto rect = [this](const char* caption) {
    const TSPThemeGUIControl* p = Panel(caption);
    return p == nullptr ? std::tuple(-1, -1, -1, -1) : std::tuple(p->Left, p->Top, p->Width, p->Height);
  };
  EXPECT_EQ(rect("Master"), std::tuple(1, 34, 310, 62));
  EXPECT_EQ(rect("Env1"), std::tuple(312, 34, 202, 62));
  EXPECT_EQ(rect("Env2"), std::tuple(515, 34, 256, 62));
  EXPECT_EQ(rect("LFO1"), std::tuple(1, 97, 256, 62));
  EXPECT_EQ(rect("LFO2"), std::tuple(258, 97, 256, 62));
  EXPECT_EQ(rect("LFO3"), std::tuple(515, 97, 256, 62));
  EXPECT_EQ(rect("Osc1"), std::tuple(1, 160, 770, 80));
  EXPECT_EQ(rect("Osc2"), std::tuple(1, 241, 770, 80));
  for (const char* osc : {"Osc1", "Osc2"}) {
    TSPThemeGUIPanel* panel = Panel(osc)->AsPanel();
    std::vector<std::tuple<std::string, int, int, int, int>> subs;
    for (TSPThemeGUIControl* c : panel->Children())
      if (c->AsPanel() != nullptr)
        subs.emplace_back(c->Caption, c->Left - panel->Left, c->Top - panel->Top, c->Width, c->Height);
    std::sort(subs.begin(), subs.end(), [](const auto& a, const auto& b) { return std::get<1>(a) < std::get<1>(b); });
    const std::vector<std::tuple<std::string, int, int, int, int>> expected = {{"AMod", 268, 1, 154, 76},
                                                                               {"PMod", 423, 1, 154, 76},
                                                                               {"Pitch Attack", 578, 1, 90, 76},
                                                                               {"Pitch Release", 669, 1, 90, 76}};
    EXPECT_EQ(subs, expected) << osc;
  }
  // The page buttons: one row 2 pixels below Osc2, 64 pixels apart, each
  // showing the page of the panel it names; the pages 21 pixels below Osc2.
  const std::tuple<const char*, const char*> pages[kPageCount] = {{"VFX", ""},
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
  const std::vector<TSPThemeGUINoteBookButton*> buttons = PageButtons();
  for (int page = 0; page < kPageCount; ++page) {
    const TSPThemeGUINoteBookButton* b = buttons[static_cast<std::size_t>(page)];
    ASSERT_NE(b, nullptr) << "page " << page;
    EXPECT_EQ(std::tuple(b->Caption, b->Left, b->Top, b->Parent, b->NoteBookGroup),
              std::tuple(std::string(std::get<0>(pages[page])), 1 + 64 * page, 323,
                         static_cast<TSPThemeGUIControl*>(Body), kPageGroup));
    // Its caption fits inside it (the painter would cut it short).
    TBitmap scratch(8, 8);
    scratch.Canvas().SetFont(b->Style->ValueStyle.Font.Create());
    EXPECT_LE(scratch.Canvas().TextWidth(b->Caption), b->Width - 4) << b->Caption;
    int shown = 0;
    for (TSPThemeGUIControl* p : Plugin->GuiBody()->Children()) {
      if (p->AsPanel() == nullptr || p->NoteBookGroup != kPageGroup || p->NoteBookPage != page) continue;
      ++shown;
      EXPECT_EQ(p->Caption, std::get<1>(pages[page]));
      EXPECT_EQ(std::tuple(p->Left, p->Top, p->Width, p->Height), std::tuple(1, 342, 770, 150));
    }
    EXPECT_EQ(shown, 1) << "page " << page;
  }
}

// A click on each page button shows its page and only that page, and the
// window shows the new picture.
TEST_F(InstrumentEditorTree, EachPageButtonShowsItsPageAndOnlyThatPage) {
  TStubPlatformWindow& w = Open();
  const std::vector<TSPThemeGUINoteBookButton*> buttons = PageButtons();
  for (int page : {3, 0, 11, 1, 2, 4, 5, 6, 7, 8, 9, 10, 0}) {
    const TPoint p = editor_test::Centre(buttons[static_cast<std::size_t>(page)]);
    w.Press(p.X, p.Y);
    w.Release(p.X, p.Y);
    Idle();
    int showing = 0;
    for (TSPThemeGUIControl* c : Body->Children()) {
      if (c->AsPanel() == nullptr || c->NoteBookGroup != kPageGroup) continue;
      EXPECT_EQ(c->IsShowing(), c->NoteBookPage == page) << "page " << page << ", panel '" << c->Caption << "'";
      showing += c->IsShowing() ? 1 : 0;
    }
    EXPECT_EQ(showing, 1);
    for (const TSPThemeGUINoteBookButton* b : buttons) EXPECT_EQ(b->ActivePage, page);
    // The controls of the other pages take no clicks.
    for (TSPThemeGUIControl* c : Controls(false))
      if (c->Parent->NoteBookGroup == kPageGroup) {
        EXPECT_EQ(c->IsShowing(), c->Parent->NoteBookPage == page);
      }
    EXPECT_TRUE(WindowShowsFront()) << "page " << page;
  }
  EXPECT_EQ(editor_test::TakeEdits(), "") << "page buttons are no parameters";
}

// A program chosen by the host while the editor shows: after the next idle
// the window shows every control of the page with the new program's value,
// exactly as a picture composed from scratch.
TEST_F(InstrumentEditorTree, ProgramChangesRedrawEveryVisibleControl) {
  TStubPlatformWindow& w = Open();
  for (int page : {0, 1, 11}) {
    const TPoint p = editor_test::Centre(PageButtons()[static_cast<std::size_t>(page)]);
    w.Press(p.X, p.Y);
    w.Release(p.X, p.Y);
    Idle();
    for (std::int32_t program : {3, 17, 0}) {
      const std::vector<std::uint32_t> before = w.Pixels;
      Dispatch(Effect, kEffSetProgram, 0, program);
      Idle();
      for (std::int32_t i = 0; i < Effect->numParams; ++i)
        if (const TSPThemeGUIControl* c = Plugin->GuiControlOf(i)) {
          ASSERT_EQ(c->Value, Plugin->GetParameterValue(i)) << "program " << program << ", parameter " << i;
        }
      EXPECT_NE(w.Pixels, before) << "page " << page << ", program " << program;
      Body->NeedsRedraw = true;
      EXPECT_TRUE(WindowShowsFront()) << "page " << page << ", program " << program;
    }
  }
  EXPECT_EQ(plugin_test::TTestHost::Automated.size(), 0u) << "no echo to the host";
}

// Pictures of the editor with each of its twelve pages, for a person to
// look at (the README shows the first), and the twelve page areas one
// below the other.
TEST_F(InstrumentEditorTree, PicturesOfEveryPage) {
  const std::vector<TSPThemeGUINoteBookButton*> buttons = PageButtons();
  const TSPThemeGUIControl* area = Plugin->PagePanel(KwpPageTable[0]);
  ASSERT_NE(area, nullptr);
  const TRect strip = Bounds(0, area->Top - 22, kWidth, area->Height + 24);
  TBitmap pages(kWidth, strip.Height() * kPageCount);
  for (int page = 0; page < kPageCount; ++page) {
    ASSERT_NE(buttons[static_cast<std::size_t>(page)], nullptr) << "page " << page;
    ShowHeadless(page);
    pages.Canvas().CopyRect(0, page * strip.Height(), *Body->Front, strip);
    std::string name = buttons[static_cast<std::size_t>(page)]->Caption;
    for (char& ch : name)
      if (ch == ' ') ch = '-';
    char file[64];
    std::snprintf(file, sizeof file, "editor-page-%02d-%s.png", page, name.c_str());
    EXPECT_TRUE(Body->Front->SaveToPngFile(TestOutputPath(file)));
  }
  EXPECT_TRUE(pages.SaveToPngFile(TestOutputPath("editor-pages.png")));
}

// Every sub-preset group's "Preset" button, on the page it sits on, opens
// the group's menu (its factory sub-presets, then the actions) and a
// sub-preset chosen there sets the group's parameters to its values; a
// picture of the Reverb page with its menu open.
TEST_F(InstrumentEditorTree, EveryGroupsPresetButtonOpensItsSubPresetMenu) {
  TStubPlatformWindow& w = Open();
  std::set<std::int32_t> groups;
  for (int page = 0; page < kPageCount; ++page) {
    Body->ShowPage(kPageGroup, page);
    Idle();
    for (TSPThemeGUIControl* c : Controls(false)) {
      auto* button = dynamic_cast<TSPThemeGUISubPresetsButton*>(c);
      if (button == nullptr || !button->IsShowing()) continue;
      const std::int32_t id = button->SubPresetGroup;
      EXPECT_TRUE(groups.insert(id).second) << "group " << id << " has a second button";
      const TSubPresetGroupRec* group = Plugin->FindSubPresetGroup(id);
      ASSERT_NE(group, nullptr) << "a button for group " << id;
      ASSERT_GE(group->SubPresets.size(), 2u) << group->Name;
      EXPECT_EQ(button->Caption, "Preset");
      // The second sub-preset: the first may equal the program's values.
      const TSubPresetRec& chosen = group->SubPresets[1];
      std::vector<TMenuItem> shown;
      w.Chooser = [&](const std::vector<TMenuItem>& items) {
        shown = items;
        for (std::size_t i = 0; i < items.size(); ++i)
          if (items[i].Text == chosen.Name) return static_cast<int>(i);
        return static_cast<int>(kMenuCancelled);
      };
      const TPoint p = editor_test::Centre(button);
      w.OnPump = [&w, p] {
        w.Press(p.X, p.Y);
        w.Release(p.X, p.Y);
      };
      Idle();
      w.Chooser = nullptr;
      ASSERT_EQ(shown.size(), group->SubPresets.size() + 8) << group->Name;
      for (std::size_t i = 0; i < group->SubPresets.size(); ++i) {
        EXPECT_EQ(shown[i].Text, group->SubPresets[i].Name) << group->Name;
        EXPECT_EQ(shown[i].BarBreak, i > 0 && i % 16 == 0) << group->Name << " item " << i;
      }
      EXPECT_EQ(shown.back().Text, "Whats this?");
      for (std::size_t k = 0; k < group->Params.size() && k < chosen.Values.size(); ++k)
        EXPECT_EQ(Plugin->GetParameterValue(group->Params[k]), chosen.Values[k])
            << group->Name << " '" << chosen.Name << "', parameter " << group->Params[k];
      EXPECT_EQ(group->CurrentName, chosen.Name);
      if (group->Name == "Reverb") SaveMenuPicture(button, shown, 1, "editor-preset-menu.png");
    }
  }
  EXPECT_EQ(static_cast<std::int32_t>(groups.size()), Plugin->SubPresetGroupCount());
  EXPECT_EQ(groups.size(), 10u);
}
}  // namespace
