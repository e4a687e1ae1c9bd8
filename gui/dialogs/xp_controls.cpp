#include "gui/dialogs/xp_controls.h"

#include <X11/keysym.h>
#include <cairo.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/x11/platform_window.h"

// ---- process-wide switches and the hover list ------------------------------

namespace {

std::atomic<bool> gGradientsOff{false};
std::atomic<bool> gHoverSuspended{false};

// Entries carry their thread: a form's controls are only ever touched by the
// thread that owns the form, so registering on one thread never notifies a
// control of another (two hosts' editor threads may each show a dialog).
struct THoverEntry {
  THoverTarget* Target;
  std::thread::id Thread;
};
std::mutex gHoverMutex;
std::vector<THoverEntry> gHoverList;

bool IsModifier(std::uint32_t sym) {
  return (sym >= XK_Shift_L && sym <= XK_Hyper_R) || sym == XK_ISO_Level3_Shift || sym == XK_Mode_switch;
}

// Latin-1 bytes (what a key types) as UTF-8.
std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t PreviousBoundary(const std::string& s, std::size_t at) {
  if (at == 0) return 0;
  --at;
  while (at > 0 && IsContinuation(s[at])) --at;
  return at;
}

std::size_t NextBoundary(const std::string& s, std::size_t at) {
  if (at >= s.size()) return s.size();
  ++at;
  while (at < s.size() && IsContinuation(s[at])) ++at;
  return at;
}

std::size_t CharacterCount(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += !IsContinuation(c);
  return n;
}

// A scratch canvas for measuring text outside of painting.
TCanvas& MeasureCanvas(const TFontHandle& font) {
  thread_local TBitmap scratch(4, 4);
  TCanvas& dc = scratch.Canvas();
  dc.SetFont(font);
  return dc;
}

// A dotted one-pixel rectangle, every other pixel (the focus mark).
void DrawFocusRect(TCanvas& dc, const TRect& r, TColor color) {
  if (r.IsEmpty()) return;
  for (std::int32_t x = r.Left; x < r.Right; x += 2) {
    dc.SetPixel(x, r.Top, color);
    dc.SetPixel(x, r.Bottom - 1, color);
  }
  for (std::int32_t y = r.Top; y < r.Bottom; y += 2) {
    dc.SetPixel(r.Left, y, color);
    dc.SetPixel(r.Right - 1, y, color);
  }
}

}  // namespace

void SetGradientsDisabled(bool disabled) { gGradientsOff.store(disabled); }
bool GradientsDisabled() { return gGradientsOff.load(); }
void SetHoverRegistrationSuspended(bool suspended) { gHoverSuspended.store(suspended); }
bool HoverRegistrationSuspended() { return gHoverSuspended.load(); }

void RegisterHoverControl(THoverTarget* target) {
  if (target == nullptr) return;
  const std::thread::id self = std::this_thread::get_id();
  std::vector<THoverTarget*> leaving;
  bool entered = false;
  {
    std::lock_guard<std::mutex> lock(gHoverMutex);
    for (const THoverEntry& e : gHoverList)
      if (e.Target == target) return;
    for (auto it = gHoverList.begin(); it != gHoverList.end();) {
      if (it->Thread == self) {
        leaving.push_back(it->Target);
        it = gHoverList.erase(it);
      } else {
        ++it;
      }
    }
    if (!gHoverSuspended.load()) {
      gHoverList.push_back({target, self});
      entered = true;
    }
  }
  // Notified outside the lock: a control repaints, and may register again.
  for (THoverTarget* t : leaving) t->MouseLeave();
  if (entered) target->MouseEnter();
}

void UnregisterHoverControl(THoverTarget* target) {
  std::lock_guard<std::mutex> lock(gHoverMutex);
  std::erase_if(gHoverList, [&](const THoverEntry& e) { return e.Target == target; });
}

bool IsHoverControl(const THoverTarget* target) {
  std::lock_guard<std::mutex> lock(gHoverMutex);
  return std::any_of(gHoverList.begin(), gHoverList.end(), [&](const THoverEntry& e) { return e.Target == target; });
}

// ---- helpers ----------------------------------------------------------------

TFontHandle DialogFont(std::string_view face, int points, bool bold) {
  return CreateFontEx(face, points, bold ? kFontBold : 0, 1);
}

TSize DialogUnits(const TFontHandle& font) {
  TCanvas& dc = MeasureCanvas(font);
  const TSize extent = dc.TextExtent("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  return {(extent.Width / 26 + 1) / 2, extent.Height};
}

std::string StripAccelerator(std::string_view caption, int* index) {
  std::string out;
  int found = -1;
  for (std::size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) {
      ++i;
      if (caption[i] != '&' && found < 0) found = static_cast<int>(out.size());
    }
    out += caption[i];
  }
  if (index) *index = found;
  return out;
}

std::vector<std::string> WrapText(TCanvas& dc, std::string_view text, std::int32_t maxWidth) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view paragraph = text.substr(start, end - start);
    if (!paragraph.empty() && paragraph.back() == '\r') paragraph.remove_suffix(1);
    // Words onto the line while they fit.
    std::string line;
    std::size_t i = 0;
    if (paragraph.empty()) lines.emplace_back();
    while (i < paragraph.size()) {
      std::size_t wordEnd = paragraph.find(' ', i);
      if (wordEnd == std::string_view::npos) wordEnd = paragraph.size();
      const std::string_view word = paragraph.substr(i, wordEnd - i);
      const std::string candidate = line.empty() ? std::string(word) : line + " " + std::string(word);
      if (line.empty() || dc.TextWidth(candidate) <= maxWidth) {
        line = candidate;
      } else {
        lines.push_back(line);
        line = std::string(word);
      }
      // A single word wider than the line is broken where it must be.
      while (dc.TextWidth(line) > maxWidth && line.size() > 1) {
        std::size_t cut = line.size();
        while (cut > 1 && dc.TextWidth(line.substr(0, cut)) > maxWidth) cut = PreviousBoundary(line, cut);
        if (cut == 0) cut = NextBoundary(line, 0);
        lines.push_back(line.substr(0, cut));
        line.erase(0, cut);
      }
      i = wordEnd + 1;
    }
    if (!line.empty()) lines.push_back(line);
    if (end == text.size()) break;
    start = end + 1;
  }
  return lines;
}

// ---- TXPControl ---------------------------------------------------------------

TXPControl::TXPControl(TXPForm& form) : Owner(form) {}

TXPControl::~TXPControl() {
  UnregisterHoverControl(this);
  Owner.Forget(this);
}

void TXPControl::SetBounds(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) {
  Left = left;
  Top = top;
  Width = width;
  Height = height;
}

bool TXPControl::Contains(std::int32_t x, std::int32_t y) const {
  return x >= Left && x < Left + Width && y >= Top && y < Top + Height;
}

TFontHandle TXPControl::EffectiveFont() const { return Font ? Font : Owner.Font; }

bool TXPControl::Focused() const { return Owner.FocusedControl() == this; }

void TXPControl::Repaint() { Owner.Repaint(); }

// ---- TXPSpeedButton -------------------------------------------------------------

TXPSpeedButton::TXPSpeedButton(TXPForm& form) : TXPControl(form) {
  Width = 25;
  Height = 25;
  TabStop = true;
}

TColor TXPSpeedButton::FaceColor() const {
  if (Down) return FadeColorProp ? ScaleColor(Color, 0.8) : ColorMouseDown;
  if (Hover) return FadeColorProp ? ScaleColor(Color, 1.2) : ColorMouseOver;
  return FadeColorProp ? ScaleColor(Color, 1.0) : ColorMouseOut;
}

std::int32_t TXPSpeedButton::PictureFrame() const {
  if (NumImages != 3) return 0;
  if (Down) return 2;
  if (Hover) return 1;
  return 0;
}

TRect TXPSpeedButton::PictureFrameRect(std::int32_t frame) const {
  // A count below 1 is one frame: the whole picture.
  const std::int32_t count = std::max(1, NumImages);
  if (ImagesVert) {
    std::int32_t h = Picture.Height() / count;
    if (h <= 0) h = Picture.Height(), frame = 0;
    return Bounds(0, frame * h, Picture.Width(), h);
  }
  // Side by side: the state's frame along the strip.
  std::int32_t w = Picture.Width() / count;
  if (w <= 0) w = Picture.Width(), frame = 0;
  return Bounds(frame * w, 0, w, Picture.Height());
}

TFontHandle TXPSpeedButton::CaptionFont() const {
  const TFontHandle font = EffectiveFont();
  if (!font || !(Hover && FontResize)) return font;
  TLogFont raised = font->Request();
  // Two points more at 96 pixels per inch.
  const std::int32_t em = raised.Height < 0 ? -raised.Height : static_cast<std::int32_t>(std::lround(font->EmPixels()));
  const std::int32_t points = em * 72 / kScreenPixelsPerInch;
  raised.Height = -((points + 2) * kScreenPixelsPerInch / 72);
  return CreateFontIndirect(raised);
}

char TXPSpeedButton::Accelerator() const {
  int index = -1;
  const std::string text = StripAccelerator(Caption, &index);
  if (index < 0) return 0;
  return static_cast<char>(std::tolower(static_cast<unsigned char>(text[static_cast<std::size_t>(index)])));
}

void TXPSpeedButton::Click() {
  if (ModalResult != mrNone) Owner.ModalResult = ModalResult;
  if (OnClick) OnClick();
}

void TXPSpeedButton::Paint(TCanvas& dc) {
  if (Width <= 0 || Height <= 0) return;
  if (Face.Width() != Width || Face.Height() != Height) Face = TBitmap(Width, Height);
  TCanvas& c = Face.Canvas();
  const TRect client{0, 0, Width, Height};
  const TColor face = FaceColor();
  c.Brush.Color = face;
  c.Brush.Style = TBrushStyle::bsSolid;
  if (GradientsDisabled()) c.FillRect(client);
  else GradientFill(c, client, GradientStyle, clWhite);

  // The border: light top and left, dark right and bottom (the face colour
  // while pressed); without BorderSolid the corner pixels stay free.
  const std::int32_t d = BorderSolid ? 0 : 1;
  c.Pen = {BorderLight, 1, TPenStyle::psSolid};
  c.MoveTo(d, 0);
  c.LineTo(Width - 1 - d, 0);
  c.MoveTo(0, Height - 1 - d);
  c.LineTo(0, d);
  c.Pen.Color = Down ? face : BorderDark;
  c.MoveTo(Width - 1, d);
  c.LineTo(Width - 1, Height - 1 - d);
  c.MoveTo(Width - 1 - d, Height - 1);
  c.LineTo(d, Height - 1);

  if (!Picture.Empty()) {
    const TRect src = PictureFrameRect(PictureFrame());
    TBitmap frame(src.Width(), src.Height());
    frame.Canvas().CopyRect(0, 0, Picture, src);
    frame.Transparent = PictureTransparent;
    if (!Enabled) DarkenBitmap(frame);
    c.Draw((Width - src.Width()) / 2, (Height - src.Height()) / 2, frame);
  } else {
    const TFontHandle font = CaptionFont();
    if (font) c.SetFont(font);
    int accel = -1;
    const std::string text = StripAccelerator(Caption, &accel);
    const TSize extent = c.TextExtent(text);
    const std::int32_t x = (Width - extent.Width) / 2, y = (Height - extent.Height) / 2;
    c.TransparentText = true;
    c.TextColor = Enabled ? clBtnText : clGrayText;
    c.TextOut(x, y, text);
    if (accel >= 0) {
      const auto at = static_cast<std::size_t>(accel);
      const std::size_t next = NextBoundary(text, at);
      const std::int32_t left = x + c.TextWidth(std::string_view(text).substr(0, at));
      const std::int32_t width = c.TextWidth(std::string_view(text).substr(at, next - at));
      const TTextMetrics m = GetTextMetrics(*c.GetFont());
      c.FillRectColor(Bounds(left, y + m.Ascent + 1, width, 1), c.TextColor);
    }
    if (Focused()) DrawFocusRect(c, InflateRect(client, -3, -3), clBtnText);
  }
  // The whole face in one copy.
  dc.CopyRect(Left, Top, Face, client);
}

void TXPSpeedButton::MouseDown(const TMouseEvent& event) {
  if (event.Button != kMouseLeft) return;
  Down = true;
  Repaint();
}

void TXPSpeedButton::MouseUp(const TMouseEvent& event) {
  if (event.Button != kMouseLeft || !Down) return;
  Down = false;
  Repaint();
  if (Contains(event.X, event.Y)) Click();
}

void TXPSpeedButton::MouseEnter() {
  Hover = true;
  Repaint();
}

void TXPSpeedButton::MouseLeave() {
  Hover = false;
  Repaint();
}

bool TXPSpeedButton::KeyDown(const TKeyEvent& event) {
  // Space and Enter click the button that has the focus.
  const bool key = event.KeySym == XK_space || event.KeySym == XK_Return || event.KeySym == XK_KP_Enter;
  if (!key || (event.Modifiers & (kModControl | kModAlt)) != 0) return false;
  Click();
  return true;
}

bool TXPSpeedButton::DialogChar(char c) {
  const char accel = Accelerator();
  if (accel == 0 || !CanFocus() || std::tolower(static_cast<unsigned char>(c)) != accel) return false;
  Click();
  return true;
}

// ---- TXPLabel ---------------------------------------------------------------------

void TXPLabel::Paint(TCanvas& dc) {
  if (const TFontHandle font = EffectiveFont()) dc.SetFont(font);
  dc.TransparentText = true;
  dc.TextColor = Enabled ? TextColor : clGrayText;
  const std::vector<std::string> lines =
      WordWrap ? WrapText(dc, Caption, Width) : std::vector<std::string>{StripAccelerator(Caption)};
  std::int32_t y = Top;
  for (const std::string& line : lines) {
    dc.TextOut(Left, y, line);
    y += dc.TextHeight("Ag");
  }
}

// ---- TXPEdit ----------------------------------------------------------------------

TXPEdit::TXPEdit(TXPForm& form) : TXPControl(form) {
  TabStop = true;
  Height = 21;
  Width = 121;
}

void TXPEdit::SetText(std::string_view text) {
  Value.clear();
  Caret = 0;
  Selected = false;
  Insert(text);
}

void TXPEdit::SelectAll() {
  Selected = true;
  Caret = Value.size();
}

void TXPEdit::Insert(std::string_view utf8) {
  if (Selected) {
    Value.clear();
    Caret = 0;
    Selected = false;
  }
  // Whole characters only, up to MaxLength.
  std::size_t room = MaxLength > CharacterCount(Value) ? MaxLength - CharacterCount(Value) : 0;
  std::size_t take = 0;
  while (take < utf8.size() && room > 0) {
    std::size_t next = take + 1;
    while (next < utf8.size() && IsContinuation(utf8[next])) ++next;
    take = next;
    --room;
  }
  Value.insert(Caret, utf8.substr(0, take));
  Caret += take;
}

void TXPEdit::Paint(TCanvas& dc) {
  const TRect r = BoundsRect();
  dc.FillRectColor(r, Enabled ? clWindow : clBtnFace);
  // The sunken frame: outer shadow/highlight, inner dark shadow/light.
  DrawFrame3D(dc, r, clBtnShadow, 1, clBtnHighlight);
  DrawFrame3D(dc, InflateRect(r, -1, -1), cl3DDkShadow, 1, cl3DLight);
  if (const TFontHandle font = EffectiveFont()) dc.SetFont(font);
  const TRect inner = InflateRect(r, -3, -3);
  dc.SaveState();
  dc.SetClipRect(inner);
  const std::int32_t textHeight = dc.TextHeight("Ag");
  const std::int32_t y = r.Top + (Height - textHeight) / 2;
  // Scrolled so that the caret stays inside the box.
  const std::int32_t caretX = dc.TextWidth(std::string_view(Value).substr(0, Caret));
  const std::int32_t room = inner.Width() - 3;
  const std::int32_t scroll = std::max(0, caretX - room);
  const std::int32_t x = inner.Left + 1 - scroll;
  dc.TransparentText = true;
  if (AllSelected() && Focused()) {
    dc.FillRectColor(Bounds(x, y, dc.TextWidth(Value), textHeight), clHighlight);
    dc.TextColor = clHighlightText;
  } else {
    dc.TextColor = Enabled ? clWindowText : clGrayText;
  }
  dc.TextOut(x, y, Value);
  if (Focused() && !AllSelected()) dc.FillRectColor(Bounds(x + caretX, y, 1, textHeight), clWindowText);
  dc.RestoreState();
}

void TXPEdit::MouseDown(const TMouseEvent& event) {
  if (event.Button != kMouseLeft) return;
  // The caret to the character boundary nearest the click.
  TCanvas& dc = MeasureCanvas(EffectiveFont());
  const std::int32_t target = event.X - (Left + 4);
  std::size_t best = 0;
  std::int32_t bestDistance = std::abs(target);
  for (std::size_t at = NextBoundary(Value, 0); at <= Value.size(); at = NextBoundary(Value, at)) {
    const std::int32_t d = std::abs(dc.TextWidth(std::string_view(Value).substr(0, at)) - target);
    if (d < bestDistance) best = at, bestDistance = d;
    if (at == Value.size()) break;
  }
  Caret = best;
  Selected = false;
  Repaint();
}

bool TXPEdit::KeyDown(const TKeyEvent& event) {
  const bool control = (event.Modifiers & kModControl) != 0;
  const bool alt = (event.Modifiers & kModAlt) != 0;
  switch (event.KeySym) {
    case XK_Left:
    case XK_KP_Left:
      Caret = Selected ? 0 : PreviousBoundary(Value, Caret);
      Selected = false;
      break;
    case XK_Right:
    case XK_KP_Right:
      Caret = Selected ? Value.size() : NextBoundary(Value, Caret);
      Selected = false;
      break;
    case XK_Home:
    case XK_KP_Home:
      Caret = 0;
      Selected = false;
      break;
    case XK_End:
    case XK_KP_End:
      Caret = Value.size();
      Selected = false;
      break;
    case XK_BackSpace:
      if (Selected) {
        Value.clear(), Caret = 0, Selected = false;
      } else if (Caret > 0) {
        const std::size_t from = PreviousBoundary(Value, Caret);
        Value.erase(from, Caret - from);
        Caret = from;
      }
      break;
    case XK_Delete:
    case XK_KP_Delete:
      if (Selected) {
        Value.clear(), Caret = 0, Selected = false;
      } else if (Caret < Value.size()) {
        Value.erase(Caret, NextBoundary(Value, Caret) - Caret);
      }
      break;
    default:
      if (control && !alt && (event.KeySym == XK_a || event.KeySym == XK_A)) {
        SelectAll();
        break;
      }
      // Typed characters (Latin-1); control characters and chords are not text.
      if (event.Text.empty() || control || alt || IsModifier(event.KeySym)) return false;
      for (unsigned char c : event.Text)
        if (c < 0x20 || c == 0x7F) return false;
      Insert(Latin1ToUtf8(event.Text));
      break;
  }
  Repaint();
  return true;
}

// ---- TXPImage ---------------------------------------------------------------------

void TXPImage::Paint(TCanvas& dc) {
  cairo_t* cr = dc.Context();
  if (cr == nullptr) return;
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
  const double cx = Left + 16, cy = Top + 16;
  std::string mark;
  TColor markColor = clWhite;
  auto fill = [&](TColor c) {
    const TColor rgb = ColorToRGB(c);
    cairo_set_source_rgb(cr, GetRValue(rgb) / 255.0, GetGValue(rgb) / 255.0, GetBValue(rgb) / 255.0);
    cairo_fill_preserve(cr);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.35);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
  };
  switch (Icon) {
    case TMessageIcon::Warning:
      cairo_move_to(cr, cx, Top + 2.5);
      cairo_line_to(cr, Left + 30.5, Top + 29.5);
      cairo_line_to(cr, Left + 1.5, Top + 29.5);
      cairo_close_path(cr);
      fill(RGBColor(250, 200, 40));
      mark = "!";
      markColor = clBlack;
      break;
    case TMessageIcon::Error:
      cairo_arc(cr, cx, cy, 14.5, 0, 2 * M_PI);
      fill(RGBColor(210, 40, 40));
      mark = "X";
      break;
    case TMessageIcon::Information:
      cairo_arc(cr, cx, cy, 14.5, 0, 2 * M_PI);
      fill(RGBColor(40, 100, 210));
      mark = "i";
      break;
    case TMessageIcon::Confirmation:
      cairo_arc(cr, cx, cy, 14.5, 0, 2 * M_PI);
      fill(RGBColor(40, 100, 210));
      mark = "?";
      break;
  }
  dc.Done();
  dc.SetFont(DialogFont("Arial", 15, true));
  dc.TransparentText = true;
  dc.TextColor = markColor;
  const TSize extent = dc.TextExtent(mark);
  const std::int32_t y = Icon == TMessageIcon::Warning ? Top + 10 : Top + (32 - extent.Height) / 2;
  dc.TextOut(Left + (32 - extent.Width) / 2, y, mark);
}

// ---- TXPForm ----------------------------------------------------------------------

TXPForm::TXPForm() : Font(DialogFont("MS Sans Serif", 8)) {}

TXPForm::~TXPForm() {
  UnregisterHoverControl(this);
  Focus = Pressed = nullptr;
  Children.clear();
}

void TXPForm::Forget(TXPControl* control) {
  if (Focus == control) Focus = nullptr;
  if (Pressed == control) Pressed = nullptr;
}

TXPControl* TXPForm::ControlAt(std::int32_t x, std::int32_t y) const {
  for (auto it = Children.rbegin(); it != Children.rend(); ++it)
    if ((*it)->Visible && (*it)->Enabled && (*it)->Contains(x, y)) return it->get();
  return nullptr;
}

void TXPForm::SetFocus(TXPControl* control) {
  if (control != nullptr && !control->CanFocus()) return;
  if (Focus == control) return;
  Focus = control;
  if (auto* edit = dynamic_cast<TXPEdit*>(control)) edit->SelectAll();
  Repaint();
}

void TXPForm::FocusNext(bool backwards) {
  std::vector<TXPControl*> order;
  for (const auto& c : Children)
    if (c->CanFocus()) order.push_back(c.get());
  if (order.empty()) return;
  auto it = std::find(order.begin(), order.end(), Focus);
  std::size_t i = it == order.end() ? 0 : static_cast<std::size_t>(it - order.begin());
  if (it != order.end()) i = backwards ? (i + order.size() - 1) % order.size() : (i + 1) % order.size();
  SetFocus(order[i]);
}

TXPSpeedButton* TXPForm::DefaultButton() const {
  for (const auto& c : Children)
    if (auto* b = dynamic_cast<TXPSpeedButton*>(c.get()); b && b->Default && b->Enabled && b->Visible) return b;
  return nullptr;
}

TXPSpeedButton* TXPForm::CancelButton() const {
  for (const auto& c : Children)
    if (auto* b = dynamic_cast<TXPSpeedButton*>(c.get()); b && b->Cancel && b->Enabled && b->Visible) return b;
  return nullptr;
}

void TXPForm::PaintBackground(TCanvas& dc) {
  const TRect client{0, 0, ClientWidth, ClientHeight};
  if (!PlainBackground && GradientDirection != fdNone && !GradientsDisabled()) {
    dc.Brush.Color = Color;
    dc.Brush.Style = TBrushStyle::bsSolid;
    GradientFill(dc, client, GradientDirection, clWhite);
  } else {
    dc.FillRectColor(client, Color);
  }
}

TBitmap& TXPForm::Render() {
  const std::int32_t w = std::max(1, ClientWidth), h = std::max(1, ClientHeight);
  if (Buffer.Width() != w || Buffer.Height() != h) Buffer = TBitmap(w, h);
  TCanvas& dc = Buffer.Canvas();
  PaintBackground(dc);
  for (const auto& c : Children) {
    if (!c->Visible) continue;
    dc.SaveState();
    dc.SetClipRect(c->BoundsRect());
    c->Paint(dc);
    dc.RestoreState();
  }
  return Buffer;
}

void TXPForm::Repaint() {
  Render();
  if (ModalWindow != nullptr && ModalWindow->IsOpen()) {
    const TBitmapPixels p = Buffer.Pixels();
    ModalWindow->Present({p.Data, p.Width, p.Height, p.StrideBytes}, {0, 0, p.Width, p.Height});
  }
}

std::int32_t TXPForm::ShowModal(const TDialogOwner& owner) {
  ModalResult = mrNone;
  WindowGone = false;
  std::string why;
  std::unique_ptr<TTopLevelWindow> window =
      TTopLevelWindow::Open(owner.Window, std::max(1, ClientWidth), std::max(1, ClientHeight), Caption, this, &why);
  if (!window) {
    Error = why.empty() ? "the dialog window could not be opened" : why;
    return kModalNotShown;
  }
  // In the middle of the screen, as a dialog with no better place.
  int sw = 0, sh = 0;
  if (window->ScreenSize(sw, sh))
    window->MoveTo(std::max(0, (sw - ClientWidth) / 2), std::max(0, (sh - ClientHeight) / 2));
  ModalWindow = window.get();
  if (Focus == nullptr) {
    if (TXPSpeedButton* b = DefaultButton(); b && !std::any_of(Children.begin(), Children.end(), [](const auto& c) {
                                               return c->WantsCharacters() && c->CanFocus();
                                             }))
      Focus = b;
    else FocusNext(false);
  }
  Repaint();
  const bool ended = window->RunModalLoop(
      [&] { return ModalResult != mrNone || WindowGone || (owner.Cancelled && owner.Cancelled()); }, owner.Drain);
  // The hover list forgets this form's controls with the window.
  for (const auto& c : Children) {
    UnregisterHoverControl(c.get());
    if (auto* b = dynamic_cast<TXPSpeedButton*>(c.get())) b->Hover = b->Down = false;
  }
  UnregisterHoverControl(this);
  Pressed = nullptr;
  ModalWindow = nullptr;
  window->Close();
  if (!ended || ModalResult == mrNone) ModalResult = mrCancel;
  return ModalResult;
}

void TXPForm::OnPaint(const TWindowRect& area) {
  if (ModalWindow == nullptr || Buffer.Empty()) return;
  const TBitmapPixels p = Buffer.Pixels();
  ModalWindow->Present({p.Data, p.Width, p.Height, p.StrideBytes}, area);
}

void TXPForm::OnMouseDown(const TMouseEvent& event) {
  TXPControl* control = ControlAt(event.X, event.Y);
  RegisterHoverControl(control != nullptr ? static_cast<THoverTarget*>(control) : this);
  if (control == nullptr) return;
  if (control->TabStop) SetFocus(control);
  Pressed = control;
  control->MouseDown(event);
}

void TXPForm::OnMouseMove(const TMouseEvent& event) {
  TXPControl* control = ControlAt(event.X, event.Y);
  RegisterHoverControl(control != nullptr ? static_cast<THoverTarget*>(control) : this);
  if (Pressed != nullptr) Pressed->MouseMove(event);
  else if (control != nullptr) control->MouseMove(event);
}

void TXPForm::OnMouseUp(const TMouseEvent& event) {
  TXPControl* control = ControlAt(event.X, event.Y);
  RegisterHoverControl(control != nullptr ? static_cast<THoverTarget*>(control) : this);
  TXPControl* pressed = std::exchange(Pressed, nullptr);
  if (pressed != nullptr) pressed->MouseUp(event);
}

void TXPForm::OnMouseLeave(const TMouseEvent& /*event*/) {
  // Out of the window: the form takes the hover, so a button under the
  // pointer hears its leave.
  RegisterHoverControl(this);
}

void TXPForm::OnKeyDown(const TKeyEvent& event) {
  const unsigned chord = event.Modifiers & (kModShift | kModControl | kModAlt);
  if (event.KeySym == XK_Tab || event.KeySym == XK_ISO_Left_Tab) {
    FocusNext(event.KeySym == XK_ISO_Left_Tab || (chord & kModShift) != 0);
    return;
  }
  if (Focus != nullptr && !((chord & kModAlt) != 0 && Focus->WantsCharacters()) && Focus->KeyDown(event)) return;
  const bool plain = (chord & (kModControl | kModAlt)) == 0;
  if (plain && (event.KeySym == XK_Return || event.KeySym == XK_KP_Enter)) {
    // A focused button answers Enter itself (KeyDown above); otherwise the
    // default button does.
    if (TXPSpeedButton* b = DefaultButton()) b->Click();
    return;
  }
  if (plain && event.KeySym == XK_Escape) {
    if (TXPSpeedButton* b = CancelButton()) b->Click();
    return;
  }
  // Accelerators: typed characters that no focused control took.
  if (event.Text.size() == 1 && (chord & kModControl) == 0) {
    for (const auto& c : Children)
      if (c->Visible && c->Enabled && c->DialogChar(event.Text[0])) return;
  }
}

void TXPForm::OnCloseRequest() { ModalResult = mrCancel; }

void TXPForm::OnDestroyed() { WindowGone = true; }
