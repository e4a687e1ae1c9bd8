#include "gui/controls/gui_control.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "gui/theme/default_theme.h"
#include "gui/theme/theme.h"
#include "gui/theme/theme_painters.h"
#include "gui/widgets/draw_helpers.h"

std::recursive_mutex& GuiLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::string FormatValue00(float v) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 2);
  if (error != std::errc()) return "0.00";
  return std::string(buffer, end);
}

// ---- popup menu

int TGuiPopupMenu::Popup(TGuiWindow* window, const TPoint& screen) {
  if (window == nullptr || Items.empty()) return kMenuCancelled;
  std::vector<TMenuItem> items;
  items.reserve(Items.size());
  for (const auto& item : Items)
    items.push_back({item->Caption, item->Tag, item->Checked, item->Enabled, item->BarBreak});
  const int chosen = window->PopupMenu(items, screen);
  if (chosen >= 0 && chosen < Count()) {
    TGuiMenuItem* item = Items[static_cast<std::size_t>(chosen)].get();
    if (item->OnClick) item->OnClick(item);
  }
  return chosen;
}

// ---- control

TSPThemeGUIControl::TSPThemeGUIControl(TSPThemeGUIControl* parent) : Parent(parent) {
  if (Parent != nullptr) {
    Parent->AddControl(this);
    Body = Parent->Body;
  }
}

TSPThemeGUIControl::~TSPThemeGUIControl() {
  CancelPostBacksOf(this);
  if (Body != nullptr && Body->CapturedControl == this) Body->CapturedControl = nullptr;
  if (Parent != nullptr && !Detached) Parent->RemoveControl(this);
}

TSPThemeGUIControl* TSPThemeGUIControl::GetRoot() {
  TSPThemeGUIControl* c = this;
  while (c->Parent != nullptr) c = c->Parent;
  return c;
}

TGuiWindow* TSPThemeGUIControl::Window() const { return Body != nullptr ? Body->WindowHandle() : nullptr; }

TSPThemeGUIControl* TSPThemeGUIControl::Captured() const { return Body != nullptr ? Body->CapturedControl : nullptr; }

void TSPThemeGUIControl::SetCaptured(TSPThemeGUIControl* control) const {
  if (Body != nullptr) Body->CapturedControl = control;
}

bool TSPThemeGUIControl::IsShowing() { return Parent == nullptr || Parent->IsShowing(); }

void TSPThemeGUIControl::UpdateAbsolutePosition() {
  if (Parent == nullptr) {
    Top = RelTop;
    Left = RelLeft;
  } else {
    Top = Parent->Top + RelTop;
    Left = Parent->Left + RelLeft;
  }
}

float TSPThemeGUIControl::GetPercent() const {
  const float range = Max - Min;
  if (range == 0.0f) return 0.0f;
  return (Value - Min) * 100.0f / range;
}

void TSPThemeGUIControl::BeginUpdate() {
  if (UpdateCount == 0) {
    Notify = false;
    ++UpdateCount;
    if (OnGesture) OnGesture(this, true);
    return;
  }
  ++UpdateCount;
}

void TSPThemeGUIControl::EndUpdate() {
  // An end without its begin leaves the count at 0 (a negative count would
  // read as a gesture that never ends).
  if (UpdateCount <= 0) return;
  if (--UpdateCount == 0) {
    Notify = true;
    if (OnGesture) OnGesture(this, false);
  }
}

void TSPThemeGUIControl::SetValue(float v) {
  if (std::isnan(v) || v == Value) return;
  Value = v;
  if (Notify && OnValueChanged) OnValueChanged(this);
  RequestRepaint(false);
}

void TSPThemeGUIControl::SetValueFromPlugin(float v) {
  const bool notify = Notify;
  Notify = false;
  SetValue(v);
  Notify = notify;
}

void TSPThemeGUIControl::RequestRepaint(bool full) {
  if (!RepaintAllowed) return;
  // A post the queue refuses (closed, full) leaves repaints allowed, so the
  // control's next change asks again.
  if (PostBack(kPostRepaint, 0, TPostBackCallback::Bind<&TSPThemeGUIControl::DoPostedRepaint>(this),
               PostArgFloat(full ? 1.0f : 0.0f), 0))
    RepaintAllowed = false;
}

void TSPThemeGUIControl::DoPostedRepaint(const TPostBackRec& record) {
  if (record.Code != kPostRepaint) return;
  RepaintAllowed = true;
  RepaintNow(std::nearbyint(PostArgAsFloat(record.Param1)) != 0.0f);
}

void TSPThemeGUIControl::RepaintNow(bool full) {
  if (!IsShowing()) return;
  if (full) {
    if (Body != nullptr) Body->Invalidate(true, true, false);
    return;
  }
  TGuiWindow* window = Window();
  if (window == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  const TRect old = PaintedRect;
  if (old.Left == -1 && old.Right == -1) return;
  TCanvas& front = Body->FrontDC();  // recomposes first when marked
  front.CopyRect(old.Left, old.Top, *Body->Background, old);
  Paint(front);
  // The old area loses the old picture, the new one gets the new: the
  // window takes both.
  const TRect area = UnionRect(old, PaintedRect);
  if (!area.IsEmpty()) window->ShowArea(area);
}

bool TSPThemeGUIControl::TakeMouse(int x, int y, bool& handled) {
  if (Captured() == this) {
    handled = true;
    return false;
  }
  if (!HitTest(x, y)) return false;
  SetCaptured(this);
  handled = true;
  return true;
}

void TSPThemeGUIControl::MouseDown(TMouseButton /*button*/, TShiftState /*shift*/, int x, int y, bool& handled) {
  if (!IsShowing() || !TakeMouse(x, y, handled)) return;
  Pressed = true;
  Moved = false;
}

void TSPThemeGUIControl::MouseMove(TShiftState /*shift*/, int /*x*/, int /*y*/, bool& /*handled*/) {
  if (IsShowing() && Pressed) Moved = true;
}

void TSPThemeGUIControl::MouseUp(TMouseButton button, TShiftState /*shift*/, int /*x*/, int /*y*/, bool& /*handled*/) {
  if (!IsShowing()) return;
  Pressed = false;
  Click(button);
  Moved = false;
  SetCaptured(nullptr);
}

void TSPThemeGUIControl::CancelGesture() {
  Pressed = false;
  Moved = false;
}

// ---- panel

TSPThemeGUIPanel::TSPThemeGUIPanel(TSPThemeGUIControl* parent, std::string caption) : TSPThemeGUIControl(parent) {
  Caption = std::move(caption);
  Layer = kLayerPanel;
  StyleIndex = 1;
  ShowCaption = true;
}

TSPThemeGUIPanel::~TSPThemeGUIPanel() { FreeChildren(); }

void TSPThemeGUIPanel::FreeChildren() {
  std::vector<TSPThemeGUIControl*> children;
  children.swap(ChildList);
  for (TSPThemeGUIControl* child : children) {
    child->Detached = true;
    // Before the child's own destructors run: a repaint of it that runs on
    // another thread must end while the whole object still exists.
    CancelPostBacksOf(child);
    delete child;
  }
}

void TSPThemeGUIPanel::AddControl(TSPThemeGUIControl* control) {
  if (control != nullptr) ChildList.push_back(control);
}

void TSPThemeGUIPanel::RemoveControl(TSPThemeGUIControl* control) {
  ChildList.erase(std::remove(ChildList.begin(), ChildList.end(), control), ChildList.end());
}

void TSPThemeGUIPanel::ForEachControl(const std::function<void(TSPThemeGUIControl*)>& visit) {
  for (TSPThemeGUIControl* child : ChildList) {
    visit(child);
    if (TSPThemeGUIPanel* panel = child->AsPanel()) panel->ForEachControl(visit);
  }
}

void TSPThemeGUIPanel::UpdateLayout() { SetStyleIndex(StyleIndex); }

void TSPThemeGUIPanel::SetStyleIndex(std::int32_t index) {
  StyleIndex = index;
  Style = Themes().ThemeByIndex(ThemeIndex).Surfaces.StyleByIndex(index);
}

bool TSPThemeGUIPanel::IsShowing() {
  if (!Visible) return false;
  if (NoteBookGroup != 0 && (NoteBookGroup < 1 || NoteBookPage != ActivePage)) return false;
  if (Body == nullptr || !Body->Attached) return false;
  // A panel inside a hidden panel is hidden too.
  return Parent == nullptr || Parent->IsShowing();
}

void TSPThemeGUIPanel::PaintBackground(TCanvas& dc) {
  if (!IsShowing()) return;
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  dc.SaveState();
  const TRect r = BoundsRect();
  if (Style != nullptr) Style->PaintLabel(dc, r, "");
  if (Parent != nullptr && ShowCaption) {
    TRect captionRect = r;
    DrawThemeCaption(Style, dc, captionRect, Caption);
  }
  for (std::int32_t layer = 0; layer <= 1; ++layer)
    for (TSPThemeGUIControl* child : ChildList)
      if (child->Layer == layer) child->Paint(dc);
  for (TSPThemeGUIControl* child : ChildList)
    if (TSPThemeGUIPanel* panel = child->AsPanel()) panel->PaintBackground(dc);
  dc.RestoreState();
}

void TSPThemeGUIPanel::Paint(TCanvas& dc) {
  if (!IsShowing()) return;
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  dc.SaveState();
  for (TSPThemeGUIControl* child : ChildList)
    if (child->AsPanel() != nullptr) child->Paint(dc);
  for (TSPThemeGUIControl* child : ChildList)
    if (child->Layer == 2) child->Paint(dc);
  dc.RestoreState();
}

void TSPThemeGUIPanel::ShowPage(std::int32_t group, std::int32_t page) {
  for (TSPThemeGUIControl* child : ChildList)
    if (child->NoteBookGroup == group) child->ActivePage = page;
  SetCaptured(nullptr);
  if (Body != nullptr) Body->Invalidate(true, true, true);
}

bool TSPThemeGUIPanel::TakesMouse(TSPThemeGUIControl* child) {
  return (child->Layer >= 1 || child->AsPanel() != nullptr) && child->IsShowing();
}

void TSPThemeGUIPanel::MouseDown(TMouseButton button, TShiftState shift, int x, int y, bool& handled) {
  if (Captured() != nullptr) {
    handled = true;
    return;
  }
  // By index: a child's press may run posted calls (a value menu's loop),
  // but nothing of the tree is added or removed meanwhile.
  for (std::size_t i = 0; i < ChildList.size(); ++i) {
    TSPThemeGUIControl* child = ChildList[i];
    if (!TakesMouse(child)) continue;
    child->MouseDown(button, shift, x, y, handled);
    if (handled) break;
  }
}

void TSPThemeGUIPanel::MouseMove(TShiftState shift, int x, int y, bool& handled) {
  if (TSPThemeGUIControl* captured = Captured()) captured->MouseMove(shift, x, y, handled);
  if (handled) return;
  for (std::size_t i = 0; i < ChildList.size(); ++i) {
    TSPThemeGUIControl* child = ChildList[i];
    if (!TakesMouse(child)) continue;
    child->MouseMove(shift, x, y, handled);
    if (handled) break;
  }
}

void TSPThemeGUIPanel::MouseUp(TMouseButton button, TShiftState shift, int x, int y, bool& handled) {
  if (TSPThemeGUIControl* captured = Captured()) captured->MouseUp(button, shift, x, y, handled);
  handled = true;
}

// ---- body

TSPThemeGUIBody::TSPThemeGUIBody(TSPThemeGUIControl* parent, std::string caption)
    : TSPThemeGUIPanel(parent, std::move(caption)), Front(CreateWhiteBitmap()), Background(CreateWhiteBitmap()) {
  Body = this;
  StyleIndex = 3;
  ShowCaption = false;
}

TSPThemeGUIBody::~TSPThemeGUIBody() {
  CancelPostBacksOf(this);
  // The children still find their body (and its captured control) while
  // they go; the base destructors then have nothing left to do.
  FreeChildren();
  CapturedControl = nullptr;
  Body = nullptr;
}

void TSPThemeGUIBody::Invalidate(bool call, bool mark, bool now) {
  if (mark) NeedsRedraw = true;
  if (!call) return;
  if (now) FullRedraw();
  if (OnInvalidate) OnInvalidate(this);
}

TCanvas& TSPThemeGUIBody::BackgroundDC() {
  FullRedraw();
  return Background->Canvas();
}

TCanvas& TSPThemeGUIBody::FrontDC() {
  FullRedraw();
  return Front->Canvas();
}

const TBitmap& TSPThemeGUIBody::FrontBitmap() {
  FullRedraw();
  return *Front;
}

void TSPThemeGUIBody::FullRedraw() {
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  if (!NeedsRedraw) return;
  NeedsRedraw = false;
  const std::int32_t w = std::max(1, Width), h = std::max(1, Height);
  Background->SetSize(w, h);
  Front->SetSize(w, h);
  PaintBackground(Background->Canvas());
  Front->Canvas().CopyRect(0, 0, *Background, Background->ClientRect());
  Paint(Front->Canvas());
}

TGuiWindow* TSPThemeGUIBody::WindowHandle() {
  TGuiWindow* window = nullptr;
  if (OnGetWindow) OnGetWindow(this, window);
  return window;
}

TGuiPopupMenu& TSPThemeGUIBody::NewPopupMenu() {
  PopupMenu = std::make_shared<TGuiPopupMenu>();
  return *PopupMenu;
}
