#include "gui/theme/theme_style.h"

#include <algorithm>
#include <cmath>

#include "framework/base/file_names.h"
#include "gui/widgets/draw_helpers.h"
#include "platform/draw/canvas.h"

TFontHandle TThemeFont::Create() const { return CreateFontEx(Name, Size, Style, Charset); }

TThemeFont MakeThemeFont(const char* name, std::int32_t size, TColor color, std::uint32_t style) {
  TThemeFont f;
  f.Name = name;
  f.Size = size;
  f.Color = color;
  f.Style = style;
  return f;
}

TPicture& TPicture::operator=(const TPicture& other) {
  if (this == &other) return *this;
  if (!other.Graphic) {
    Graphic.reset();
    return *this;
  }
  auto copy = std::make_unique<TGraphic>();
  copy->Kind = other.Graphic->Kind;
  copy->Image = other.Graphic->Image;
  copy->HasTransparentColor = other.Graphic->HasTransparentColor;
  copy->TransparentColor = other.Graphic->TransparentColor;
  copy->Source = other.Graphic->Source;
  Graphic = std::move(copy);
  return *this;
}

std::unique_ptr<TBitmap> TPicture::Render(bool transparent) const {
  if (!Graphic) return nullptr;
  auto bitmap = std::make_unique<TBitmap>(Graphic->Width(), Graphic->Height(), TPixelFormat::pf24bit);
  const TColor ground = Graphic->HasTransparentColor ? Graphic->TransparentColor : clBlack;
  bitmap->Canvas().FillRectColor(bitmap->ClientRect(), ground);
  Graphic->Draw(bitmap->Canvas(), 0, 0);
  if (Graphic->HasTransparentColor) bitmap->SetTransparentColor(Graphic->TransparentColor);
  bitmap->Transparent = transparent;
  return bitmap;
}

void TSPThemeControlStyle::SetFillColor(TColor v) {
  FillColor = v;
  Changed();
}
void TSPThemeControlStyle::SetFrameDark(TColor v) {
  FrameDark = v;
  Changed();
}
void TSPThemeControlStyle::SetFrameLight(TColor v) {
  FrameLight = v;
  Changed();
}
void TSPThemeControlStyle::SetFrameWidth(std::int8_t v) {
  FrameWidth = v;
  Changed();
}
void TSPThemeControlStyle::SetFrameOnly(std::uint8_t v) {
  FrameOnly = v;
  Changed();
}
void TSPThemeControlStyle::SetTileH(std::uint8_t v) {
  TileH = v;
  Changed();
}
void TSPThemeControlStyle::SetTileV(std::uint8_t v) {
  TileV = v;
  Changed();
}
void TSPThemeControlStyle::SetHAlign(std::uint8_t v) {
  HAlign = v;
  Changed();
}
void TSPThemeControlStyle::SetVAlign(std::uint8_t v) {
  VAlign = v;
  Changed();
}
void TSPThemeControlStyle::SetFrames(std::int32_t v) {
  Frames = v;
  Changed();
}
void TSPThemeControlStyle::SetOffTextColor(TColor v) {
  OffTextColor = v;
  Changed();
}
void TSPThemeControlStyle::SetFont(const TThemeFont& font) {
  Font = font;
  Changed();
}

void TSPThemeControlStyle::EndUpdate() {
  if (UpdateCount > 0) --UpdateCount;
  Changed();
}

void TSPThemeControlStyle::Changed() {
  if (UpdateCount != 0 || Enabled == 0) return;
  RebuildCache();
  if (OnChange) OnChange(this);
}

void TSPThemeControlStyle::RebuildCache() {
  Cache.reset();
  CachedFrames = -1;
  if (!Picture.Empty()) Cache = Picture.Render(Transparent != 0);
}

void TSPThemeControlStyle::ClearPicture() {
  ImageName.clear();
  Picture = TPicture();
}

void TSPThemeControlStyle::NewPicture() {
  Picture = TPicture();
  Changed();
}

bool TSPThemeControlStyle::LoadImage(std::string_view name, std::string_view kind) {
  auto graphic = LoadGraphicResource(name, kind);
  if (!graphic) return false;
  BeginUpdate();
  NewPicture();
  Picture.Set(std::move(graphic));
  ImageName = std::string(name) + "." + std::string(kind);
  EndUpdate();
  return true;
}

void TSPThemeControlStyle::SavePlacement() {
  ++UpdateCount;
  SavedHAlign = HAlign;
  SavedVAlign = VAlign;
}

void TSPThemeControlStyle::RestorePlacement() {
  if (UpdateCount > 0) --UpdateCount;
  HAlign = SavedHAlign;
  VAlign = SavedVAlign;
}

void TSPThemeControlStyle::Assign(const TSPThemeControlStyle& source) {
  if (&source == this) return;
  Cache.reset();
  CachedFrames = -1;
  BeginUpdate();
  Enabled = source.Enabled;
  FrameOnly = source.FrameOnly;
  TileH = source.TileH;
  TileV = source.TileV;
  FrameWidth = source.FrameWidth;
  FrameDark = source.FrameDark;
  FrameLight = source.FrameLight;
  FillColor = source.FillColor;
  Font = source.Font;
  Picture = source.Picture;
  HAlign = source.HAlign;
  VAlign = source.VAlign;
  SavedHAlign = source.SavedHAlign;
  SavedVAlign = source.SavedVAlign;
  Frames = source.Frames;
  Transparent = source.Transparent;
  Piecewise = source.Piecewise;
  ImageName = source.ImageName;
  OffTextColor = source.OffTextColor;
  EndUpdate();
}

void TSPThemeControlStyle::BuildBlendStrip(const TPicture& off, const TPicture& on, std::int32_t n) {
  Cache.reset();
  CachedFrames = -1;
  if (off.Empty() || on.Empty() || n < 1) return;
  const auto offBitmap = off.Render(false);
  const auto onBitmap = on.Render(false);
  const std::int32_t w = off.Width(), h = off.Height();
  auto strip = std::make_unique<TBitmap>(w * n, h, TPixelFormat::pf24bit);
  if (strip->Width() != w * n || strip->Height() != h) return;  // beyond the bitmap limits
  for (std::int32_t y = 0; y < h; ++y) {
    const std::uint32_t* a = offBitmap->ScanLine(y);
    const std::uint32_t* b = y < onBitmap->Height() ? onBitmap->ScanLine(y) : nullptr;
    std::uint32_t* out = strip->ScanLine(y);
    for (std::int32_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(i) / n;
      for (std::int32_t x = 0; x < w; ++x) {
        const std::uint32_t p = a[x];
        const bool inOn = b != nullptr && x < onBitmap->Width();
        if (!inOn || ((p ^ b[x]) & 0x00FFFFFF) == 0) {
          out[i * w + x] = p | 0xFF000000u;
          continue;
        }
        std::uint32_t mixed = 0xFF000000u;
        for (int shift = 0; shift < 24; shift += 8) {
          const double v = ((b[x] >> shift) & 0xFF) * t + ((p >> shift) & 0xFF) * (1 - t);
          mixed |= static_cast<std::uint32_t>(std::clamp(std::nearbyint(v), 0.0, 255.0)) << shift;
        }
        out[i * w + x] = mixed;
      }
    }
  }
  if (offBitmap->HasExplicitTransparentColor()) strip->SetTransparentColor(offBitmap->TransparentColor());
  strip->Transparent = Transparent != 0;
  Cache = std::move(strip);
  CachedFrames = n;
}

namespace {

// Font chunk style bits: 2 bold, 4 italic, 8 underline, 16 strike-out.
std::uint8_t ChunkStyle(std::uint32_t bits) { return static_cast<std::uint8_t>((bits & 0x0F) << 1); }
std::uint32_t FontStyleBits(std::uint8_t chunk) { return (chunk >> 1) & 0x0F; }

}  // namespace

void TSPThemeControlStyle::SaveToStream(TStream& s) const {
  const TGraphic* g = Picture.Get();
  const std::span<const std::uint8_t> bytes =
      g != nullptr ? std::span<const std::uint8_t>(g->Source) : std::span<const std::uint8_t>();
  WritePictureChunk(s, g != nullptr ? ImageName : std::string(), bytes);
  WriteInt32(s, Frames);
  WriteByte(s, Transparent);
  WriteByte(s, TileH);
  WriteByte(s, TileV);
  WriteByte(s, Piecewise);
  TFontSpec font;
  font.Name = Font.Name;
  font.Size = static_cast<std::uint16_t>(Font.Size);
  font.Color = Font.Color;
  font.Style = ChunkStyle(Font.Style);
  font.Charset = Font.Charset;
  WriteFontChunk(s, font);
  WriteByte(s, FrameOnly);
  WriteInt32(s, static_cast<std::int32_t>(FillColor));
  WriteByte(s, static_cast<std::uint8_t>(FrameWidth));
  WriteInt32(s, static_cast<std::int32_t>(FrameLight));
  WriteInt32(s, static_cast<std::int32_t>(FrameDark));
  WriteByte(s, HAlign);
  WriteByte(s, VAlign);
  WriteInt32(s, static_cast<std::int32_t>(OffTextColor));
}

bool TSPThemeControlStyle::LoadFromStream(TStream& s, std::int32_t version) {
  const std::int64_t start = s.Position();
  std::string name;
  std::vector<std::uint8_t> bytes;
  std::int32_t frames = 0, fill = 0, light = 0, dark = 0, offText = static_cast<std::int32_t>(OffTextColor);
  std::uint8_t transparent = 0, tileH = 0, tileV = 0, piecewise = 0, frameOnly = 0, frameWidth = 0, hAlign = 0,
               vAlign = 0;
  TFontSpec font;
  font.Charset = Font.Charset;
  bool ok = ReadPictureChunk(s, name, bytes) && ReadInt32(s, frames) && ReadByte(s, transparent) &&
            ReadByte(s, tileH) && ReadByte(s, tileV) && ReadByte(s, piecewise) && ReadFontChunk(s, font) &&
            ReadByte(s, frameOnly) && ReadInt32(s, fill) && ReadByte(s, frameWidth) && ReadInt32(s, light) &&
            ReadInt32(s, dark) && ReadByte(s, hAlign) && ReadByte(s, vAlign);
  if (ok && version >= 3) ok = ReadInt32(s, offText);
  if (!ok) {
    s.SetPosition(start);
    return false;
  }
  // The record is whole: apply it.
  std::unique_ptr<TGraphic> graphic;
  if (!name.empty() && !bytes.empty()) {
    try {
      graphic = DecodeGraphic(bytes, FileExtLower(name));
    } catch (...) {
      graphic.reset();  // out of memory: no picture
    }
  }
  BeginUpdate();
  Picture = TPicture();
  ImageName.clear();
  if (graphic) {
    Picture.Set(std::move(graphic));
    ImageName = name;
  }
  Frames = frames;
  Transparent = transparent;
  TileH = tileH;
  TileV = tileV;
  Piecewise = piecewise;
  Font.Name = font.Name;
  Font.Size = font.Size;
  Font.Color = font.Color;
  Font.Style = FontStyleBits(font.Style);
  Font.Charset = static_cast<std::uint8_t>(font.Charset);
  FrameOnly = frameOnly;
  FillColor = static_cast<TColor>(fill);
  FrameWidth = static_cast<std::int8_t>(frameWidth);
  FrameLight = static_cast<TColor>(light);
  FrameDark = static_cast<TColor>(dark);
  HAlign = hAlign;
  VAlign = vAlign;
  OffTextColor = static_cast<TColor>(offText);
  EndUpdate();
  return true;
}
