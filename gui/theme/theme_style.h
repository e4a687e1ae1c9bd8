// The visual style of one part of a skinned control: fill and 3-D frame
// colours, a font, text placement, and an optional picture (a single image,
// a film strip of Frames images, or a tile) with its prepared drawing copy,
// the Cache. Styles belong to theme entries (theme.h); painters
// (theme_painters.h) draw from them. Built once at load, then read by the
// window thread; changes happen on the window thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "framework/base/method.h"
#include "framework/base/streams.h"
#include "platform/draw/bitmap.h"
#include "platform/draw/font.h"
#include "platform/draw/graphic.h"

// A style's font: face, size in points, style bits of CreateFontEx (1 bold,
// 2 italic, 4 underline, 8 strike-out), colour and character set.
struct TThemeFont {
  std::string Name = "Arial";
  std::int32_t Size = 8;
  std::uint32_t Style = 0;
  TColor Color = 0xCCCCCC;
  std::uint8_t Charset = 1;

  TFontHandle Create() const;
  bool operator==(const TThemeFont&) const = default;
};
TThemeFont MakeThemeFont(const char* name, std::int32_t size, TColor color, std::uint32_t style = 0);

// A picture object: empty, or one decoded image.
class TPicture {
 public:
  TPicture() = default;
  TPicture(const TPicture& other) { *this = other; }
  TPicture& operator=(const TPicture& other);
  bool Empty() const { return !Graphic; }
  std::int32_t Width() const { return Graphic ? Graphic->Width() : 0; }
  std::int32_t Height() const { return Graphic ? Graphic->Height() : 0; }
  const TGraphic* Get() const { return Graphic.get(); }
  void Set(std::unique_ptr<TGraphic> graphic) { Graphic = std::move(graphic); }
  // The picture drawn into a new opaque bitmap of its size. A GIF's
  // transparent pixels take its transparent colour, which becomes the
  // bitmap's key; other pictures are drawn over black and key on the
  // bottom-left pixel.
  std::unique_ptr<TBitmap> Render(bool transparent) const;

 private:
  std::unique_ptr<TGraphic> Graphic;
};

class TSPThemeControlStyle {
 public:
  TSPThemeControlStyle() = default;
  virtual ~TSPThemeControlStyle() = default;
  TSPThemeControlStyle(const TSPThemeControlStyle&) = delete;
  TSPThemeControlStyle& operator=(const TSPThemeControlStyle&) = delete;

  // Fields, read freely; change those with a setter through it.
  std::uint8_t Enabled = 1;        // Changed acts only while set
  std::int32_t CachedFrames = -1;  // frames of the blended strip in Cache; -1 none
  std::uint8_t FrameOnly = 0;      // 1: the background is only the 3-D frame
  std::uint8_t TileH = 0;
  std::uint8_t TileV = 0;
  std::int8_t FrameWidth = 1;    // pixels; below 1 no frame
  TColor FrameDark = 0x444444;   // right and bottom edges
  TColor FrameLight = 0x666666;  // top and left edges
  TColor FillColor = 0x555555;
  TThemeFont Font;
  TPicture Picture;
  std::uint8_t HAlign = 0;  // 0 left, 1 centre, 2 right
  std::uint8_t VAlign = 0;  // 0 top, 1 middle, 2 bottom
  std::uint8_t SavedHAlign = 0;
  std::uint8_t SavedVAlign = 0;
  std::int32_t Frames = 0;  // images in a film strip; 1 or less: one picture
  std::uint8_t Transparent = 0;
  std::uint8_t Piecewise = 0;  // placement of an untiled picture (painters)
  TMethod<void(TSPThemeControlStyle*)> OnChange;
  std::string ImageName;    // "name.kind" of the loaded picture
  TColor OffTextColor = 0;  // a button's inside text while not pressed
  std::int32_t UpdateCount = 0;
  std::unique_ptr<TBitmap> Cache;  // what painters draw: the picture, or a blended strip

  void SetFillColor(TColor v);
  void SetFrameDark(TColor v);
  void SetFrameLight(TColor v);
  void SetFrameWidth(std::int8_t v);
  void SetFrameOnly(std::uint8_t v);
  void SetTileH(std::uint8_t v);
  void SetTileV(std::uint8_t v);
  void SetHAlign(std::uint8_t v);
  void SetVAlign(std::uint8_t v);
  void SetFrames(std::int32_t v);
  void SetOffTextColor(TColor v);
  void SetFont(const TThemeFont& font);
  void SetTransparent(std::uint8_t v) { Transparent = v; }  // stores only

  void BeginUpdate() { ++UpdateCount; }
  void EndUpdate();
  // RebuildCache, then OnChange; only outside updates and while Enabled.
  void Changed();
  virtual void RebuildCache();
  // No picture and no name (Changed is not called).
  virtual void ClearPicture();
  // A new empty picture (the name stays), then Changed.
  void NewPicture();
  // The resource Name decoded as Kind; when it decodes, it becomes the
  // picture, ImageName "Name.Kind", and Changed runs. Otherwise nothing
  // changes. True when a picture was loaded.
  bool LoadImage(std::string_view name, std::string_view kind);
  // Keep / restore the text placement around one paint, without Changed.
  void SavePlacement();
  void RestorePlacement();
  void Assign(const TSPThemeControlStyle& source);
  // Cache := n frames side by side: frame i is the off picture with every
  // pixel that differs from the on picture blended i/n of the way to it.
  void BuildBlendStrip(const TPicture& off, const TPicture& on, std::int32_t n);

  // The style's stream form (little-endian): picture chunk, Frames,
  // Transparent, TileH, TileV, Piecewise, font chunk, FrameOnly, FillColor,
  // FrameWidth, FrameLight, FrameDark, HAlign, VAlign, OffTextColor (from
  // version 3 on).
  void SaveToStream(TStream& s) const;
  // Reads and checks the whole record first; a short or damaged record
  // gives false and changes nothing. A picture that does not decode leaves
  // the style without picture (the painters then draw vectors).
  bool LoadFromStream(TStream& s, std::int32_t version);
};

// The version SaveToStream writes.
inline constexpr std::int32_t kThemeStreamVersion = 3;
