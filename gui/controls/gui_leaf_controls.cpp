#include "gui/controls/gui_leaf_controls.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "framework/base/base_math.h"
#include "gui/theme/default_theme.h"
#include "gui/theme/theme.h"
#include "gui/theme/theme_painters.h"

namespace {

// A value-menu entry whose text is blank stands for no item; it still
// counts toward its column.
const std::string kBlankEntry = "zzzzzxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx!!xxxzzz";

std::string_view Trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

TSPTheme& ThemeOf(const TSPThemeGUIControl& c) { return Themes().ThemeByIndex(c.ThemeIndex); }

// Replaces the caption style's placement for one paint (the style is the
// theme's, shared by every control of that entry).
class TPlacementOverride {
 public:
  TPlacementOverride(TSPThemeControl& style, std::uint8_t hAlign, std::uint8_t vAlign) : Style(style) {
    Style.SavePlacement();
    if (hAlign != 3) Style.CaptionStyle.SetHAlign(hAlign);
    if (vAlign != 3) Style.CaptionStyle.SetVAlign(vAlign);
  }
  ~TPlacementOverride() { Style.RestorePlacement(); }
  TPlacementOverride(const TPlacementOverride&) = delete;
  TPlacementOverride& operator=(const TPlacementOverride&) = delete;

 private:
  TSPThemeControl& Style;
};

// The control takes the size the painter gave the rectangle.
void AdoptSize(TSPThemeGUIControl& c, const TRect& r) {
  if (c.Width != r.Width()) c.Width = r.Width();
  if (c.Height != r.Height()) c.Height = r.Height();
}

void DrawPlaceholder(TSPThemeGUIControl& c, TCanvas& dc) {
  const TRect r = c.BoundsRect();
  DrawNoThemeControl(dc, r);
  c.PaintedRect = r;
}

}  // namespace

// ---- controller

TSPThemeGUIController::TSPThemeGUIController(TSPThemeGUIControl* parent) : TSPThemeGUIControl(parent) { Layer = 2; }

void TSPThemeGUIController::EndOpenGesture() {
  if (!IsUpdating()) return;
  UpdateCount = 1;
  EndUpdate();
}

float TSPThemeGUIController::DragValue(int y) const {
  const int dy = LastY - y;
  if (dy == 0 || !StepUsable()) return Value;
  const float step = Step;
  float d = (Max - Min) / step / 255.0f * static_cast<float>(std::abs(dy)) * step;
  if (step == std::trunc(step)) d = static_cast<float>(CeilF(d));
  // One step more than the pixel distance, so a slow drag of one pixel per
  // event still moves.
  float v =
      dy > 0 ? std::nearbyint((Value + d) / step) * step + step : std::nearbyint((Value - d) / step) * step - step;
  if (!(v >= Min)) v = Min;  // also not a number
  if (v > Max) v = Max;
  return v;
}

void TSPThemeGUIController::MouseDown(TMouseButton /*button*/, TShiftState /*shift*/, int x, int y, bool& handled) {
  if (!TakeMouse(x, y, handled)) return;
  SavedCursorPos = {-1, -1};
  if (ValueMenu) {
    if (BuildValueMenu() && Body != nullptr) {
      // Held while the menu runs: a new menu made meanwhile cannot free it.
      const std::shared_ptr<TGuiPopupMenu> menu = Body->CurrentPopupMenu();
      TGuiWindow* window = Window();
      TPoint screen;
      if (menu && window != nullptr && window->ClientToScreen({Left, Top}, screen)) menu->Popup(window, screen);
    }
    SetCaptured(nullptr);
    return;
  }
  // Without a usable step there is nothing to drag or click.
  if (!StepUsable()) return;
  EndOpenGesture();
  BeginUpdate();
  PressX = x;
  PressY = y;
  LastY = y;
  Pressed = true;
  Moved = false;
  if (TGuiWindow* window = Window()) {
    TPoint pos;
    if (window->GetCursorScreenPos(pos)) SavedCursorPos = pos;
  }
}

void TSPThemeGUIController::MouseMove(TShiftState /*shift*/, int x, int y, bool& handled) {
  if (Pressed) {
    Moved = true;
    TGuiWindow* window = Window();
    if (HideCursor && window != nullptr) window->SetCursorHidden(true);
    const float v = DragValue(y);
    Notify = true;
    SetValue(v);
    Notify = false;
    LastY = y;
    handled = true;
    return;
  }
  if (Captured() == nullptr && HitTest(x, y)) {
    handled = true;
    if (TGuiWindow* window = Window()) window->SetCursorHidden(false);
  }
}

void TSPThemeGUIController::MouseUp(TMouseButton button, TShiftState /*shift*/, int /*x*/, int /*y*/, bool& handled) {
  SetCaptured(nullptr);
  handled = true;
  if (!Pressed) return;
  if (TogglesOnRelease()) {
    Notify = true;
    SetValue(Value < 0.5f ? 1.0f : 0.0f);
    Notify = false;
  } else if (!Moved) {
    float v = button == TMouseButton::mbLeft ? Value + Step : Value - Step;
    v = std::clamp(v, Min, Max);
    Notify = true;
    SetValue(v);
    Notify = false;
  }
  EndUpdate();
  if (TGuiWindow* window = Window()) {
    window->SetCursorHidden(false);
    if (HideCursor && SavedCursorPos.X != -1 && SavedCursorPos.Y != -1) window->SetCursorScreenPos(SavedCursorPos);
  }
  Pressed = false;
  Moved = false;
}

void TSPThemeGUIController::CancelGesture() {
  if (!Pressed) return;
  Pressed = false;
  Moved = false;
  EndOpenGesture();
}

bool TSPThemeGUIController::BuildValueMenu() {
  if (!OnGetValueStrings || Body == nullptr) return false;
  std::vector<std::string> strings;
  std::int32_t count = 0;
  OnGetValueStrings(this, strings, count);
  count = std::clamp<std::int32_t>(count, 0, static_cast<std::int32_t>(strings.size()));
  count = std::min(count, kMaxValueMenuEntries);
  TGuiPopupMenu& menu = Body->NewPopupMenu();
  menu.Tag = count - 1;
  std::int32_t column = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    std::string text = strings[static_cast<std::size_t>(i)].substr(0, 255);
    if (Trimmed(text).empty()) text = kBlankEntry;
    bool newColumn = false;
    if (column == kValueMenuColumn) {
      newColumn = true;
      column = 0;
    }
    ++column;
    if (Trimmed(text) == kBlankEntry) continue;
    TGuiMenuItem* item = menu.Add();
    item->BarBreak = newColumn;
    item->OnClick = TMethod<void(TGuiMenuItem*)>::Bind<&TSPThemeGUIController::ValueMenuClick>(this);
    item->Caption = std::move(text);
    item->Tag = i;
    item->Checked = std::nearbyint(static_cast<float>(count - 1) * Value) == static_cast<float>(i);
  }
  return true;
}

void TSPThemeGUIController::ValueMenuClick(TGuiMenuItem* sender) {
  SetCaptured(nullptr);
  const std::shared_ptr<TGuiPopupMenu> menu = Body != nullptr ? Body->CurrentPopupMenu() : nullptr;
  const std::int32_t n = menu ? menu->Tag : 0;
  EndOpenGesture();
  BeginUpdate();
  Notify = true;
  SetValue(n != 0 ? static_cast<float>(sender->Tag) / static_cast<float>(n) : 0.0f);
  Notify = false;
  EndUpdate();
}

// ---- fader

TSPThemeGUIFader::TSPThemeGUIFader(TSPThemeGUIControl* parent) : TSPThemeGUIController(parent) {
  StyleIndex = 1;
  Slider = false;
  Horizontal = false;
  ShowCaption = true;
  ShowValue = true;
}

void TSPThemeGUIFader::SetStyleIndex(std::int32_t index) {
  StyleIndex = index;
  TSPTheme& theme = ThemeOf(*this);
  if (ButtonMode) Style = theme.ValueEdits.StyleByIndex(index);
  else if (!Slider) Style = theme.Knobs.StyleByIndex(index);
  else if (Horizontal) Style = theme.HSliders.StyleByIndex(index);
  else Style = theme.VSliders.StyleByIndex(index);
}

void TSPThemeGUIFader::UpdateLayout() {
  HideCursor = true;
  SetStyleIndex(StyleIndex);
  UpdateAbsolutePosition();
}

void TSPThemeGUIFader::Paint(TCanvas& dc) {
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  std::string valueText, caption;
  if (ShowValue) {
    if (OnGetText) OnGetText(this, valueText, Value);
    else valueText = FormatValue00(Value);
  }
  if (ShowCaption) caption = Caption;
  if (Style == nullptr) {
    DrawPlaceholder(*this, dc);
    return;
  }
  TRect r = BoundsRect(), thumb{}, painted{};
  {
    TPlacementOverride placement(*Style, CaptionHAlign, CaptionVAlign);
    if (!ButtonMode) DrawThemeFader(Style, dc, r, thumb, GetPercent() * 0.01, valueText, caption, painted);
    // A value-edit box: the caption outside, the value inside, never pressed.
    else DrawThemeButton(Style, dc, r, Down, caption, valueText, painted);
  }
  PaintedRect = painted;
  AdoptSize(*this, r);
}

// ---- switch

TSPThemeGUISwitch::TSPThemeGUISwitch(TSPThemeGUIControl* parent) : TSPThemeGUIController(parent) {
  StyleIndex = 0;
  Slider = true;
  Horizontal = true;
  ButtonMode = false;
  Min = 0.0f;
  Max = 2.0f;
  Step = 1.0f;
  ShowCaption = true;
}

void TSPThemeGUISwitch::SetStyleIndex(std::int32_t index) {
  StyleIndex = index;
  TSPTheme& theme = ThemeOf(*this);
  if (!ButtonMode) {
    Style = theme.Switches.StyleByIndex(index);
  } else {
    Style = theme.ValueEdits.StyleByIndex(index);
    ShowValue = true;
  }
}

void TSPThemeGUISwitch::UpdateLayout() {
  HideCursor = false;
  SetStyleIndex(StyleIndex);
  UpdateAbsolutePosition();
}

bool TSPThemeGUISwitch::IsOff() const { return std::nearbyint(Value) < 0.5f; }

void TSPThemeGUISwitch::Paint(TCanvas& dc) {
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  const bool off = IsOff();
  std::string caption, valueText;
  if (ShowCaption) caption = Caption;
  if (ButtonMode && ShowValue) {
    // Without a text supplier the text names the state a click gives.
    if (OnGetText) OnGetText(this, valueText, Value);
    else valueText = off ? "On" : "Off";
  }
  if (Style == nullptr) {
    DrawPlaceholder(*this, dc);
    return;
  }
  TRect r = BoundsRect(), thumb{}, painted{};
  {
    TPlacementOverride placement(*Style, CaptionHAlign, CaptionVAlign);
    if (ButtonMode) DrawThemeButton(Style, dc, r, !off, caption, valueText, painted);
    else DrawThemeSwitch(Style, dc, r, true, thumb, 0, off, caption, std::array<std::string, 3>{}, painted);
  }
  PaintedRect = painted;
  AdoptSize(*this, r);
}

// ---- meter

TSPThemeGUIVUMeter::TSPThemeGUIVUMeter(TSPThemeGUIControl* parent) : TSPThemeGUIControl(parent) {
  StyleIndex = 1;
  Slider = true;
  Horizontal = false;
  Layer = 2;
}

void TSPThemeGUIVUMeter::SetStyleIndex(std::int32_t index) {
  StyleIndex = index;
  TSPTheme& theme = ThemeOf(*this);
  if (!Slider) Style = theme.LEDs.StyleByIndex(index);
  else if (Horizontal) Style = theme.HVUMeters.StyleByIndex(index);
  else Style = theme.VVUMeters.StyleByIndex(index);
}

void TSPThemeGUIVUMeter::UpdateLayout() {
  SetStyleIndex(StyleIndex);
  UpdateAbsolutePosition();
}

// ---- label

TSPThemeGUILabel::TSPThemeGUILabel(TSPThemeGUIControl* parent) : TSPThemeGUIControl(parent) {
  StyleIndex = 0;
  Width = 210;
  Height = 28;
  Layer = 1;
}

void TSPThemeGUILabel::SetStyleIndex(std::int32_t index) {
  StyleIndex = index;
  Style = ThemeOf(*this).Labels.StyleByIndex(index);
}

void TSPThemeGUILabel::UpdateLayout() {
  SetStyleIndex(StyleIndex);
  UpdateAbsolutePosition();
}

void TSPThemeGUILabel::Paint(TCanvas& dc) {
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  TRect r = BoundsRect();
  DrawThemeLabel(Style, dc, r, Caption);
  PaintedRect = r;
}

// ---- buttons

TSPThemeGUIButton::TSPThemeGUIButton(TSPThemeGUIControl* parent) : TSPThemeGUIControl(parent) {
  HideCursor = false;
  Layer = 1;
}

void TSPThemeGUIButton::SetStyleIndex(std::int32_t index) {
  StyleIndex = index;
  Style = ThemeOf(*this).Buttons.StyleByIndex(index);
}

void TSPThemeGUIButton::UpdateLayout() {
  SetStyleIndex(StyleIndex);
  UpdateAbsolutePosition();
}

void TSPThemeGUIButton::Paint(TCanvas& dc) {
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  TRect r = BoundsRect(), painted{};
  DrawThemeButton(Style, dc, r, ShowsPressed(), "", Caption, painted);
  PaintedRect = painted;
  AdoptSize(*this, r);
}

void TSPThemeGUINoteBookButton::Click(TMouseButton /*button*/) {
  if (Parent == nullptr) return;
  if (TSPThemeGUIPanel* panel = Parent->AsPanel()) panel->ShowPage(NoteBookGroup, NoteBookPage);
}

void TSPThemeGUISubPresetsButton::Click(TMouseButton button) {
  if (!OnFillMenu || Body == nullptr) return;
  Body->NewPopupMenu();
  const std::shared_ptr<TGuiPopupMenu> menu = Body->CurrentPopupMenu();
  OnFillMenu(this, *menu, button == TMouseButton::mbLeft);
  TGuiWindow* window = Window();
  TPoint screen;
  if (window != nullptr && window->ClientToScreen({Left, Top}, screen)) menu->Popup(window, screen);
}

// ---- kinds

TSPThemeGUIControl* CreateGuiControlByKind(std::int32_t kind, TSPThemeGUIControl* parent) {
  switch (kind) {
    case kGuiKnob:
    case kGuiVSlider:
    case kGuiHSlider:
    case kGuiValueEdit:
    case kGuiValueEditMenu: {
      auto* f = new TSPThemeGUIFader(parent);
      f->Slider = kind == kGuiVSlider || kind == kGuiHSlider;
      f->Horizontal = kind == kGuiHSlider;
      f->ButtonMode = kind == kGuiValueEdit || kind == kGuiValueEditMenu;
      f->ValueMenu = kind == kGuiValueEditMenu;
      return f;
    }
    case kGuiVVUMeter:
    case kGuiHVUMeter:
    case kGuiLED: {
      auto* m = new TSPThemeGUIVUMeter(parent);
      m->Slider = kind != kGuiLED;
      m->Horizontal = kind == kGuiHVUMeter;
      return m;
    }
    case kGuiSwitch:
    case kGuiButtonSwitch:
    case kGuiButtonSwitchMenu: {
      auto* s = new TSPThemeGUISwitch(parent);
      s->ButtonMode = kind != kGuiSwitch;
      s->ValueMenu = kind == kGuiButtonSwitchMenu;
      s->Step = 1.0f;
      return s;
    }
    default:
      return nullptr;
  }
}

void ApplyGuiFlags(TSPThemeGUIControl& control, std::int32_t flags) {
  if ((flags & kGuiFlagCaptionRight) != 0) control.CaptionHAlign = 2;
  if ((flags & kGuiFlagCaptionLeft) != 0) control.CaptionHAlign = 0;
  if ((flags & kGuiFlagCaptionMiddle) != 0) control.CaptionVAlign = 1;
  if ((flags & kGuiFlagNoValue) != 0) control.ShowValue = false;
}
