#include "tests/tools/testsynth/testsynth_editor.h"

#include <algorithm>
#include <cmath>

TTestSynthEditor::TTestSynthEditor(TVstEffect* effect, TVstHostCallback host, std::function<float()> value,
                                   std::function<void(float)> setValue, TFault fault)
    : Effect(effect), Host(host), Value(std::move(value)), SetValue(std::move(setValue)), Fault(fault) {
  Pixels.assign(static_cast<std::size_t>(kWidth) * kHeight, 0);
}

TTestSynthEditor::~TTestSynthEditor() {
  // The plug-in is going: the window goes with it, planted fault or not.
  if (Window) {
    Window->Close();
    Window.reset();
  }
}

std::intptr_t TTestSynthEditor::CallHost(std::int32_t opcode, std::int32_t index, float opt) {
  return Host ? Host(Effect, opcode, index, 0, nullptr, opt) : 0;
}

bool TTestSynthEditor::Open(std::uintptr_t parent) {
  if (Window) return true;
  const int extra = Fault == TFault::WrongSize ? 10 : 0;
  Window = TEditorWindow::Open(parent, kWidth + extra, kHeight, this);
  if (!Window) return false;
  Shown = -1.0f;
  Draw();
  return true;
}

bool TTestSynthEditor::Close() {
  if (!Window) return false;
  if (Fault == TFault::KeepsWindow) return true;  // planted: the window and any capture stay
  Window->Close();                                // ends a drag in progress through OnCaptureLost
  Window.reset();
  return true;
}

void TTestSynthEditor::Idle() {
  if (!Window) return;
  Window->Pump();
  // Changes from the host or from programs show here; they are not sent back.
  if (Window && Window->IsOpen() && Value() != Shown) Draw();
}

void TTestSynthEditor::Draw() {
  const float v = Value();
  const std::uint32_t bar = BarColour(v);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint32_t p = 0x202020;
      if (kBar.Contains(x, y)) p = bar;
      else if (TWindowRect{kBar.Left - 1, kBar.Top - 1, kBar.Width + 2, kBar.Height + 2}.Contains(x, y)) p = 0xC0C0C0;
      Pixels[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)] = p;
    }
  }
  Shown = v;
  if (Window) Window->Present({Pixels.data(), kWidth, kHeight, kWidth * 4}, {0, 0, kWidth, kHeight});
}

void TTestSynthEditor::OnPaint(const TWindowRect& area) {
  Window->Present({Pixels.data(), kWidth, kHeight, kWidth * 4}, area);
}

void TTestSynthEditor::OnMouseDown(const TMouseEvent& event) {
  if (Dragging || !kBar.Contains(event.X, event.Y)) return;
  Dragging = true;
  Moved = false;
  LastY = event.Y;
  PressScreenX = event.ScreenX;
  PressScreenY = event.ScreenY;
  Window->SetCapture();
  CallHost(kHostBeginEdit, kParam);
}

void TTestSynthEditor::OnMouseMove(const TMouseEvent& event) {
  if (!Dragging || event.Y == LastY) return;
  if (!Moved) Window->SetCursorHidden(true);
  Moved = true;
  // 255 pixels cover the whole range.
  const float v = std::clamp(Value() + static_cast<float>(LastY - event.Y) / 255.0f, 0.0f, 1.0f);
  LastY = event.Y;
  if (v == Value()) return;
  SetValue(v);
  CallHost(kHostAutomate, kParam, Value());
  Draw();
}

void TTestSynthEditor::OnMouseUp(const TMouseEvent&) {
  if (!Dragging) return;
  Window->ReleaseCapture();
  if (Moved) {
    Window->SetCursorHidden(false);
    Window->SetCursorScreenPos(PressScreenX, PressScreenY);
  }
  EndGesture();
}

void TTestSynthEditor::OnCaptureLost() { EndGesture(); }

void TTestSynthEditor::EndGesture() {
  if (!Dragging) return;
  Dragging = false;
  Moved = false;
  CallHost(kHostEndEdit, kParam);
}
