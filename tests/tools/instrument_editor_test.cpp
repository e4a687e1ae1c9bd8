// The instrument's own editor in a host's window, on a virtual display of
// the test's own: its size, an XTest drag on the volume box (a fader of the
// header), ten sessions in a row, closing during a drag, the host's window
// destroyed first, and a render thread that the editor never holds up.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/tools/editor_fixture.h"
#include "tests/tools/host_process.h"

namespace {

// The header panel sits at (1, 1), the volume box at (2, 8) on it.
constexpr int kVolumeLeft = 9, kVolumeTop = 3, kVolumeWidth = 44, kVolumeHeight = 12;
constexpr int kVolumeX = kVolumeLeft + kVolumeWidth / 2, kVolumeY = kVolumeTop + kVolumeHeight / 2;

class InstrumentEditorTest : public TEditorFixture {
 protected:
  std::string ModuleFile() override { return ModulePath(); }
  std::vector<std::uint32_t> VolumeBox() { return Region(kVolumeLeft, kVolumeTop, kVolumeWidth, kVolumeHeight); }
  void DragVolume(TEditorInput& in, std::initializer_list<int> dys, bool release = true) {
    DragAt(in, kVolumeX, kVolumeY, dys, release);
  }
  // Gestures as "[...]" pairs, each ended: answers how many.
  int BalancedGestures() {
    int depth = 0, gestures = 0;
    for (char c : NoticeText()) {
      if (c == '[') ++depth, ++gestures;
      if (c == ']') --depth;
      if (depth < 0 || depth > 1) return -1;
    }
    return depth == 0 ? gestures : -1;
  }
};

// rumbleon-host editor: the window's size, a scripted drag (automation,
// the pixels before and after, the pointer put back).
TEST_F(InstrumentEditorTest, TheEditorCommandShowsTheEditorAtItsSizeAndADragAutomatesTheVolume) {
  const std::string script = Scratch("instrument-drag.txt"), before = Scratch("instrument-before.png"),
                    after = Scratch("instrument-after.png");
  std::ofstream(script) << "screenshot " << before << "\nmove " << kVolumeX << " " << kVolumeY
                        << "\npress\nwait 60\nmove " << kVolumeX << " " << kVolumeY + 30
                        << "\nwait 60\nrelease\nwait 150\nscreenshot " << after << "\n";
  const THostRun run = RunHost({"editor", ModulePath(), "--script", script});
  ASSERT_EQ(run.ExitCode, 0) << run.Out << run.Err;
  EXPECT_NE(run.Out.find("774 x 498 (rectangle before opening 774 x 498, after 774 x 498)"), std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find("begin-edit 0 'Volume'\nautomate 0 'Volume' 0.3"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("end-edit 0 'Volume'\n"), std::string::npos) << run.Out;
  TRgbImage a, b;
  std::string error;
  ASSERT_TRUE(ReadPng(before, a, error)) << error;
  ASSERT_TRUE(ReadPng(after, b, error)) << error;
  EXPECT_EQ(std::tuple(a.Width, a.Height), std::tuple(774, 498));
  EXPECT_NE(a.At(400, 300), 0u) << "the body's surface, not the window's black";
  std::vector<std::uint32_t> boxA, boxB;
  for (int y = kVolumeTop; y < kVolumeTop + kVolumeHeight; ++y)
    for (int x = kVolumeLeft; x < kVolumeLeft + kVolumeWidth; ++x) boxA.push_back(a.At(x, y)), boxB.push_back(b.At(x, y));
  EXPECT_NE(boxA, boxB);
}

TEST_F(InstrumentEditorTest, TenSessionsInARowShowTheCurrentValueAndHostChangesWithoutEcho) {
  std::vector<std::vector<std::uint32_t>> shown;
  for (int i = 0; i < 10; ++i) {
    Plugin->SetParameter(0, i % 2 == 0 ? 0.2f : 0.8f);  // while no editor is open
    OpenEditor();
    const auto windows = Host->PluginWindows();
    ASSERT_EQ(windows.size(), 1u) << "session " << i;
    EXPECT_EQ(std::tuple(windows[0].Mapped, windows[0].X, windows[0].Width, windows[0].Height),
              std::tuple(true, 0, 774, 498));
    shown.push_back(VolumeBox());
    if (i == 9) {
      Plugin->SetParameter(0, 0.5f);  // while it is open
      Host->IdleFor(120);
      EXPECT_NE(VolumeBox(), shown.back());
    }
    EXPECT_EQ(Host->CloseEditor(), 1);
    EXPECT_TRUE(Host->PluginWindows().empty()) << "session " << i;
    Host->DestroyWindow();
    if (i >= 2) {
      EXPECT_TRUE(shown[i] == shown[i - 2] && shown[i] != shown[i - 1]) << "session " << i;
    }
  }
  EXPECT_EQ(NoticeText(), "");
  EXPECT_EQ(Plugin->AutomationCount(), 0u);
  EXPECT_EQ(TEditorHost::XErrors(), 0u);
}

TEST_F(InstrumentEditorTest, ClosingDuringADragOrAfterTheHostsWindowWentLeavesNothingBehind) {
  OpenEditor();
  bool grabbed = true;
  int cursor = 0;
  Host->RunWithInput([&](TEditorInput& in) {
    ASSERT_TRUE(in.Ready()) << in.Error();
    DragVolume(in, {10, 20}, false);
    in.OnHostThread([&] { EXPECT_EQ(Host->CloseEditor(), 1); });
    grabbed = in.PointerGrabbed();
    cursor = in.CursorOpaquePixels();
    in.Release(1);
  });
  EXPECT_FALSE(grabbed);
  EXPECT_GT(cursor, 0) << "the cursor is visible again";
  EXPECT_EQ(BalancedGestures(), 1);
  Host->DestroyWindow();
  // The host's window destroyed in the middle of a drag, before the close request.
  OpenEditor();
  Host->RunWithInput([&](TEditorInput& in) {
    DragVolume(in, {10}, false);
    in.OnHostThread([&] { Host->DestroyWindow(); });
    in.Wait(150);
    in.Release(1);
  });
  Host->IdleFor(100);
  EXPECT_EQ(Host->CloseEditor(), 1);
  EXPECT_EQ(BalancedGestures(), 2) << "the gesture ended with the window";
  OpenEditor();
  EXPECT_EQ(Host->PluginWindows().size(), 1u);
}

// A render thread runs the instrument all along while its editor is opened,
// dragged and closed in the middle of a drag.
TEST_F(InstrumentEditorTest, EditorStressRenderThreadIsNeverHeldUp) {
  const TRenderWhileEditing result = RenderWhileEditing(3, [&](TEditorInput& in) {
    DragVolume(in, {4, 8, 12, 4});
    DragVolume(in, {6, 12}, false);
    in.OnHostThread([&] { Host->CloseEditor(); });
    in.Release(1);
  });
  for (std::int64_t n : result.BlocksPerSession) EXPECT_GT(n, 20);
  EXPECT_LT(result.LongestBlockMs, 100.0);
  EXPECT_EQ(BalancedGestures(), 6);
}

}  // namespace
