// Scripts of pointer and keyboard input for a plug-in's editor, one command
// a line ('#' starts a comment):
//   move X Y         the pointer to window pixel (X, Y)
//   press [BUTTON]   a button down: left (1, the default), middle (2),
//   release [BUTTON] right (3), or 4/5 for a wheel step up/down
//   wait MS          the host keeps idling the editor for MS milliseconds
//   key NAME         a key pressed and released (X key names: Escape, a, ...)
//   screenshot FILE  the window's pixels as a PNG file
#pragma once

#include <string>
#include <vector>

struct TEditorStep {
  enum class TKind { Move, Press, Release, Wait, Key, Screenshot };
  TKind Kind = TKind::Wait;
  int X = 0;
  int Y = 0;
  int Button = 1;
  int Milliseconds = 0;
  std::string Text;  // key name or file
  int Line = 0;
};

// False with "line N: ..." for the first bad line.
bool ParseEditorScript(const std::string& text, std::vector<TEditorStep>& steps, std::string& error);
