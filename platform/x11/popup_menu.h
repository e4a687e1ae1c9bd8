// Inside the X11 window layer: popup menus, our own override-redirect
// windows with a loop of their own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/window_types.h"

class TX11Connection;

// Where every item of a menu goes, in menu-window pixels.
struct TMenuLayout {
  int Width = 0;
  int Height = 0;
  std::vector<TWindowRect> Items;  // one per item, in order
  std::vector<int> ColumnBreaks;   // x of the line before each column after the first
};

// Measures a text's width in pixels.
using TTextWidth = std::function<int(const std::string& text)>;

// Items run down a column; an item with BarBreak (not the first) starts the
// next column. Columns are as wide as their widest text plus the check-mark
// margin, items 20 pixels high, separators 9.
TMenuLayout LayoutMenu(const std::vector<TMenuItem>& items, const TTextWidth& textWidth);

// The width of text in the menu's font.
int MenuTextWidth(const std::string& text);

// Draws the menu with item highlight highlighted (-1: none) into 32-bit
// pixels of the layout's size (Stride = 4 x Width).
std::vector<std::uint32_t> RenderMenu(const std::vector<TMenuItem>& items, const TMenuLayout& layout, int highlight);

// The text as UTF-8: kept when it is valid UTF-8, otherwise read as Latin-1.
std::string MenuTextAsUtf8(const std::string& text);

// Shows the menu and runs its loop (see TPlatformWindow::PopupMenu).
int RunPopupMenu(const std::shared_ptr<TX11Connection>& connection, const std::vector<TMenuItem>& items, int screenX,
                 int screenY, const std::function<void()>& drain);
