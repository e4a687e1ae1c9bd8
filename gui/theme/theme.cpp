#include "gui/theme/theme.h"

#include <stdexcept>

#include "gui/theme/theme_painters.h"

namespace {

// One style's defaults, applied as a single change.
struct TStyleDefaults {
  TColor Fill;
  TColor OffText = 0;
  std::int8_t Width;
  TColor Light;
  TColor Dark;
  TThemeFont Font;
  std::uint8_t FrameOnly = 0;
  std::uint8_t Transparent = 0;
  std::int32_t Frames = 1;
  std::uint8_t HAlign = 1;
  std::uint8_t VAlign = 0;
};

void Apply(TSPThemeControlStyle& s, const TStyleDefaults& d) {
  s.BeginUpdate();
  s.FillColor = d.Fill;
  s.OffTextColor = d.OffText;
  s.FrameWidth = d.Width;
  s.FrameLight = d.Light;
  s.FrameDark = d.Dark;
  s.Font = d.Font;
  s.FrameOnly = d.FrameOnly;
  s.Transparent = d.Transparent;
  s.Frames = d.Frames;
  s.HAlign = d.HAlign;
  s.VAlign = d.VAlign;
  s.NewPicture();
  s.EndUpdate();
}

// The base values of every class, before the class changes them.
TStyleDefaults BaseCaption() { return {0x555555, 0, 1, 0, 0, MakeThemeFont("Arial", 8, 0xCCCCCC)}; }
TStyleDefaults BaseValue() { return {0x999999, 0, 2, 0xAAAAAA, 0x222222, MakeThemeFont("Small Fonts", 7, 0xCCCCCC)}; }

}  // namespace

// ---- entry

TSPThemeControl::TSPThemeControl() = default;

void TSPThemeControl::Create() {
  CaptionStyle.OnChange = TMethod<void(TSPThemeControlStyle*)>::Bind<&TSPThemeControl::StyleChanged>(this);
  ValueStyle.OnChange = TMethod<void(TSPThemeControlStyle*)>::Bind<&TSPThemeControl::StyleChanged>(this);
  SetDefaults();
}

void TSPThemeControl::StyleChanged(TSPThemeControlStyle*) { Changed(); }

void TSPThemeControl::ApplyBaseDefaults() {
  Apply(CaptionStyle, BaseCaption());
  Apply(ValueStyle, BaseValue());
}

void TSPThemeControl::SetDefaults() { ApplyBaseDefaults(); }

void TSPThemeControl::Reset() {
  for (TSPThemeControlStyle* s : {&CaptionStyle, &ValueStyle}) {
    s->Cache.reset();
    s->CachedFrames = -1;
    s->Picture = TPicture();
    s->Frames = -1;
    s->ImageName.clear();
  }
}

void TSPThemeControl::Clear() {
  Name.clear();
  CaptionStyle.ClearPicture();
  ValueStyle.ClearPicture();
}

void TSPThemeControl::PaintLabel(TCanvas& dc, const TRect& rect, std::string_view text) {
  TRect r = rect;
  DrawThemeLabel(this, dc, r, text);
}

void TSPThemeControl::SavePlacement() {
  CaptionStyle.SavePlacement();
  ValueStyle.SavePlacement();
}

void TSPThemeControl::RestorePlacement() {
  CaptionStyle.RestorePlacement();
  ValueStyle.RestorePlacement();
}

void TSPThemeControl::Assign(const TSPThemeControl& source) {
  CaptionStyle.Assign(source.CaptionStyle);
  ValueStyle.Assign(source.ValueStyle);
  Name = source.Name;
}

void TSPThemeControl::SaveToStream(TStream& s) const {
  WriteShortStr(s, Name);
  CaptionStyle.SaveToStream(s);
  ValueStyle.SaveToStream(s);
  WriteOwnFields(s);
}

bool TSPThemeControl::LoadFromStream(TStream& s, std::int32_t version) {
  const std::int64_t start = s.Position();
  std::string name;
  if (!ReadShortStr(s, name)) return false;
  // Read into a scratch entry of the same class first, so a record that
  // ends early or is damaged changes nothing here.
  TSPThemeControl* scratch = nullptr;
  std::unique_ptr<TSPThemeControl> holder;
  if (dynamic_cast<TSPThemeFader*>(this) != nullptr) holder = std::make_unique<TSPThemeFader>();
  else if (dynamic_cast<TSPThemeVUMeter*>(this) != nullptr) holder = std::make_unique<TSPThemeVUMeter>();
  else holder = std::make_unique<TSPThemeControl>();
  scratch = holder.get();
  scratch->Assign(*this);  // fields an older version lacks keep their values
  if (!scratch->CaptionStyle.LoadFromStream(s, version) || !scratch->ValueStyle.LoadFromStream(s, version) ||
      !scratch->ReadOwnFields(s)) {
    s.SetPosition(start);
    return false;
  }
  scratch->Name = TrimText(name);
  Assign(*scratch);
  return true;
}

// ---- fader

void TSPThemeFader::Create() {
  TSPThemeControl::Create();  // the defaults run while Kind is still 0
  Horizontal = 0;
  Pointer = 1;
  Kind = 1;
  PointerWidth = 2;
  PointerColor = 0xFFFFFF;
}

void TSPThemeFader::SetDefaults() {
  TStyleDefaults caption = BaseCaption();
  caption.Fill = 0x555555;
  caption.Width = 1;
  caption.Light = Kind == 0 ? 0x777777 : 0;
  caption.Dark = 0;
  caption.Font = MakeThemeFont("Arial", 8, 0xCCCCCC);
  caption.FrameOnly = 1;
  caption.Transparent = 1;
  caption.HAlign = 1;
  caption.VAlign = 0;
  TStyleDefaults value = BaseValue();
  value.Fill = Kind == 0 ? 0xFFFFFF : 0x999999;
  value.Width = 1;
  value.Light = 0xAAAAAA;
  value.Dark = 0x222222;
  value.Font = MakeThemeFont("Small Fonts", 7, 0xCCCCCC);
  value.FrameOnly = Kind == 0 ? 0 : 1;
  value.Transparent = 1;
  value.HAlign = 1;
  value.VAlign = 2;
  Apply(CaptionStyle, caption);
  Apply(ValueStyle, value);
}

void TSPThemeFader::Assign(const TSPThemeControl& source) {
  TSPThemeControl::Assign(source);
  if (const auto* f = dynamic_cast<const TSPThemeFader*>(&source)) {
    Horizontal = f->Horizontal;
    Pointer = f->Pointer;
    Kind = f->Kind;
    PointerWidth = f->PointerWidth;
    PointerColor = f->PointerColor;
  }
}

bool TSPThemeFader::ReadOwnFields(TStream& s) {
  std::uint8_t kind, horizontal, pointer;
  std::int32_t width, color;
  if (!(ReadByte(s, kind) && ReadByte(s, horizontal) && ReadByte(s, pointer) && ReadInt32(s, width) &&
        ReadInt32(s, color))) {
    return false;
  }
  Kind = kind;
  Horizontal = horizontal;
  Pointer = pointer;
  PointerWidth = width;
  PointerColor = static_cast<TColor>(color);
  return true;
}

void TSPThemeFader::WriteOwnFields(TStream& s) const {
  WriteByte(s, Kind);
  WriteByte(s, Horizontal);
  WriteByte(s, Pointer);
  WriteInt32(s, PointerWidth);
  WriteInt32(s, static_cast<std::int32_t>(PointerColor));
}

// ---- the other classes' defaults

void TSPThemeSwitch::SetDefaults() {
  TStyleDefaults caption = BaseCaption();
  caption.Fill = 0;
  caption.Width = 1;
  caption.Light = caption.Dark = 0x777777;
  caption.Font = MakeThemeFont("Arial", 8, 0xCCCCCC);
  caption.FrameOnly = 1;
  caption.Transparent = 1;
  TStyleDefaults value = BaseValue();
  value.Fill = 0x00FF00;
  value.Width = 1;
  value.Light = 0;
  value.Dark = 0x777777;
  value.Font = MakeThemeFont("Arial", 8, 0xCCCCCC, 5);  // bold and underlined
  value.FrameOnly = 1;
  value.Transparent = 1;
  value.HAlign = 2;
  Apply(CaptionStyle, caption);
  Apply(ValueStyle, value);
}

void TSPThemeLabel::SetDefaults() {
  TStyleDefaults caption = BaseCaption();
  caption.Fill = 0xD2D2D2;
  caption.Width = 1;
  caption.Dark = 0;
  caption.Light = 0x333333;
  TStyleDefaults value = BaseValue();
  value.Width = 0;
  value.Fill = 0xFFFFFF;
  value.Font = MakeThemeFont("Arial", 10, 0x444444, 1);
  value.HAlign = 1;
  value.VAlign = 1;
  Apply(CaptionStyle, caption);
  Apply(ValueStyle, value);
}

void TSPThemeVUMeter::Create() {
  TSPThemeControl::Create();
  SetDefaults();  // a second time once the entry stands
}

void TSPThemeVUMeter::SetDefaults() {
  TStyleDefaults caption = BaseCaption();
  caption.Fill = 0;
  caption.Width = 1;
  caption.Light = caption.Dark = 0x444444;
  caption.FrameOnly = 1;
  caption.Transparent = 1;
  TStyleDefaults value = BaseValue();
  value.Fill = 0x00FF00;
  value.Width = 0;
  value.Light = value.Dark = 0;
  value.FrameOnly = 1;
  value.Transparent = 1;
  value.VAlign = 2;
  Apply(CaptionStyle, caption);
  Apply(ValueStyle, value);
}

void TSPThemeVUMeter::Prepare() {
  if (Blend == 0 || CaptionStyle.Frames >= 2) return;
  const TPicture& off = CaptionStyle.Picture;
  const TPicture& on = ValueStyle.Picture;
  if (off.Empty() || on.Empty() || off.Width() != on.Width() || off.Height() != on.Height()) return;
  CaptionStyle.BuildBlendStrip(off, on, 24);
}

void TSPThemeVUMeter::Assign(const TSPThemeControl& source) {
  TSPThemeControl::Assign(source);
  if (const auto* v = dynamic_cast<const TSPThemeVUMeter*>(&source)) {
    Blend = v->Blend;
    Reserved = v->Reserved;
    Prepare();
  }
}

bool TSPThemeVUMeter::ReadOwnFields(TStream& s) {
  std::uint8_t blend, reserved;
  if (!(ReadByte(s, blend) && ReadByte(s, reserved))) return false;
  Blend = blend;
  Reserved = reserved;
  return true;
}

void TSPThemeVUMeter::WriteOwnFields(TStream& s) const {
  WriteByte(s, Blend);
  WriteByte(s, Reserved);
}

void TSPThemeSurface::SetDefaults() {
  TStyleDefaults caption = BaseCaption();
  caption.Light = 0xDDDDDD;
  caption.Dark = 0xBBBBBB;
  caption.Fill = 0xCCCCCC;
  caption.Width = 1;
  TStyleDefaults value = BaseValue();
  value.HAlign = 0;
  value.VAlign = 0;
  value.Font = MakeThemeFont("Arial", 10, 0x444444, 1);
  value.Width = 0;
  value.FrameOnly = 1;
  value.Fill = 0x333333;
  Apply(CaptionStyle, caption);
  Apply(ValueStyle, value);
}

void TSPThemeValueEdit::SetDefaults() {
  TStyleDefaults caption = BaseCaption();
  caption.Fill = 0xFFFFFF;
  caption.Width = 0;
  caption.Light = caption.Dark = 0;
  caption.Font = MakeThemeFont("Arial", 8, 0);
  TStyleDefaults value = BaseValue();
  value.Fill = 0xEEEEEE;
  value.OffText = 0xEEEEEE;
  value.Width = 0;
  value.Light = 0xAAAAAA;
  value.Dark = 0x222222;
  value.Font = MakeThemeFont("Small Fonts", 7, 0);
  value.VAlign = 1;
  Apply(CaptionStyle, caption);
  Apply(ValueStyle, value);
}

// ---- lists

TSPThemeControl* TSPThemeControlList::StyleByIndex(int index) const {
  const int count = Count();
  if (count == 0 || index < 0) return nullptr;
  return Items[static_cast<std::size_t>(index % count)].get();
}

TSPThemeControl* TSPThemeControlList::Append(std::unique_ptr<TSPThemeControl> entry) {
  Items.push_back(std::move(entry));
  return Items.back().get();
}

TSPTheme& TSPThemes::ThemeByIndex(int index) const {
  if (index < 0 || index >= Count())
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  return *Items[static_cast<std::size_t>(index)];
}

TSPTheme& TSPThemes::Add(std::unique_ptr<TSPTheme> theme) {
  Items.push_back(std::move(theme));
  return *Items.back();
}
