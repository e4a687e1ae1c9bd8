// The painters: each draws a theme entry for one control into a canvas (a
// device context) within a rectangle in that canvas's coordinates and
// reports the rectangle it covered, which the control keeps as its painted
// rectangle. They run on the window thread inside the editor's drawing lock
// and take ThemeLock (always after it) around the shared scratch bitmap. A
// null entry draws the "No Theme Control" placeholder.
#pragma once

#include <array>
#include <mutex>
#include <string>
#include <string_view>

#include "gui/theme/theme.h"
#include "platform/draw/bitmap.h"
#include "platform/draw/canvas.h"

// Guards ThemeScratchBitmap; taken after the editor's drawing lock.
std::recursive_mutex& ThemeLock();
// Film-strip frames are copied through it (resized per use).
TBitmap& ThemeScratchBitmap();

// Fill (unless FrameOnly), picture (tiled, placed or in pieces), 3-D frame.
void DrawStyleBackground(const TSPThemeControlStyle& style, TCanvas& dc, const TRect& rect);

// Text placed inside rect (cut from its end until it fits, down to one
// character) or beside it (inside false); hPlace 0 left, 1 centre, 2 right;
// vPlace 0 top, 1 middle, 2 bottom (outside: above, beside, below). Drawn
// with the canvas's font and text colour on a transparent background; rect
// grows to hold the text. Nothing for an empty text.
void DrawFittedText(TCanvas& dc, TRect& rect, bool inside, int vPlace, int hPlace, std::string_view text);

void DrawThemeLabel(const TSPThemeControl* entry, TCanvas& dc, TRect& rect, std::string_view text);
void DrawThemeCaption(const TSPThemeControl* entry, TCanvas& dc, TRect& rect, std::string_view text);
// rect takes the "off" picture's size; painted covers the box and the outside text.
void DrawThemeButton(const TSPThemeControl* entry, TCanvas& dc, TRect& rect, bool pressed, std::string_view outside,
                     std::string_view inside, TRect& painted);
// Two states: the "off" (caption style) or "on" (value style) picture or
// background. The rows form draws the same (no control uses rows).
void DrawThemeSwitch(const TSPThemeControl* entry, TCanvas& dc, TRect& rect, bool twoState, TRect& thumb, int rowCount,
                     bool off, std::string_view caption, const std::array<std::string, 3>& rowTexts, TRect& painted);
// v from 0 to 1 (clamped; not a number counts as 0).
void DrawThemeFader(const TSPThemeControl* entry, TCanvas& dc, TRect& rect, TRect& thumb, double v,
                    std::string_view valueText, std::string_view caption, TRect& painted);
void DrawNoThemeControl(TCanvas& dc, const TRect& rect);

// The strip frame that v shows: index round((frames - 1) * v), ties to
// even, clamped into the strip; the source rectangle within a strip of
// stripWidth x stripHeight (horizontal when wider than high). Empty when
// the frame size would be 0.
struct TStripFrame {
  int Index = 0;
  TRect Source;
};
TStripFrame FilmStripFrame(int stripWidth, int stripHeight, int frames, double v);

// The end of a knob's vector pointer: 300 degrees of travel, v 0 at
// 7 o'clock, 0.5 at 12, 1 at 5, at 0.4 of the rectangle's size from its centre.
TPoint KnobPointerTip(const TRect& rect, double v);
