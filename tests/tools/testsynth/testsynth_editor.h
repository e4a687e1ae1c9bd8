// The test instrument's editor: a window of a fixed size with one bar whose
// colour shows the gain (red rises, blue falls with it) and that a vertical
// drag changes, told to the host as automation between begin- and end-edit.
// The drag captures the pointer, hides the cursor and puts it back where the
// press was, as the instrument's faders do. Everything runs on the thread
// that opened it (the host's editor calls); the gain itself is shared with
// the audio thread only through the value callbacks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/vst2/vst2_abi.h"
#include "platform/x11/platform_window.h"

class TTestSynthEditor : public TWindowListener {
 public:
  static constexpr int kWidth = 320;
  static constexpr int kHeight = 200;
  // The bar, in window pixels.
  static constexpr TWindowRect kBar{110, 40, 100, 120};
  static constexpr int kParam = 0;  // the gain

  // Planted faults that the host's editor checks must notice.
  enum class TFault { None, WrongSize, KeepsWindow };

  TTestSynthEditor(TVstEffect* effect, TVstHostCallback host, std::function<float()> value,
                   std::function<void(float)> setValue, TFault fault);
  ~TTestSynthEditor() override;

  // The editor rectangle, answered before the first open too.
  TVstRect* Rect() { return &EditorRect; }
  // False (and nothing open) without a display or with a bad parent.
  bool Open(std::uintptr_t parent);
  bool Close();
  void Idle();

  // The colour the bar shows for a value: 0x00RRGGBB.
  static std::uint32_t BarColour(float value) {
    const auto red = static_cast<std::uint32_t>(std::lrint(std::clamp(value, 0.0f, 1.0f) * 255.0f));
    return (red << 16) | (0x40u << 8) | (255u - red);
  }

  void OnPaint(const TWindowRect& area) override;
  void OnMouseDown(const TMouseEvent& event) override;
  void OnMouseMove(const TMouseEvent& event) override;
  void OnMouseUp(const TMouseEvent& event) override;
  void OnCaptureLost() override;

 private:
  void Draw();
  void EndGesture();
  std::intptr_t CallHost(std::int32_t opcode, std::int32_t index, float opt = 0.0f);

  TVstEffect* Effect;
  TVstHostCallback Host;
  std::function<float()> Value;
  std::function<void(float)> SetValue;
  const TFault Fault;
  TVstRect EditorRect{0, 0, kHeight, kWidth};
  std::unique_ptr<TEditorWindow> Window;
  std::vector<std::uint32_t> Pixels;
  float Shown = -1.0f;  // the value the pixels show
  bool Dragging = false;
  bool Moved = false;
  int LastY = 0;
  int PressScreenX = 0;
  int PressScreenY = 0;
};
