// The instrument's own editor in a host's window, on a virtual display of
// the test's own: its exact size, an XTest drag on the volume box (a fader
// of the header), host changes shown without echo, ten sessions in a row,
// closing during a drag, the host's window destroyed first, and a render
// thread that the editor never holds up.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/tools/editor_fixture.h"
#include "tests/tools/host_process.h"

namespace {

// The header panel sits at (1, 1); the volume box at (2, 8) on it.
constexpr int kVolumeLeft = 9, kVolumeTop = 3, kVolumeWidth = 44, kVolumeHeight = 12;
constexpr int kVolumeX = kVolumeLeft + kVolumeWidth / 2;
constexpr int kVolumeY = kVolumeTop + kVolumeHeight / 2;
constexpr int kEditorWidth = 774, kEditorHeight = 498;

class InstrumentEditorTest : public TEditorFixture {
 protected:
  std::string ModuleFile() override { return ModulePath(); }
  std::vector<std::uint32_t> VolumeBox() { return Region(kVolumeLeft, kVolumeTop, kVolumeWidth, kVolumeHeight); }
  void DragVolume(TEditorInput& in, std::initializer_list<int> dys, bool release = true) {
    DragAt(in, kVolumeX, kVolumeY, dys, release);
  }
};

TEST_F(InstrumentEditorTest, TheEditorFillsAWindowOfExactlyItsSize) {
  OpenEditor();
  EXPECT_EQ(Host->RectBeforeOpen().right, kEditorWidth);
  EXPECT_EQ(Host->RectBeforeOpen().bottom, kEditorHeight);
  const auto children = Host->PluginWindows();
  ASSERT_EQ(children.size(), 1u);
  EXPECT_TRUE(children[0].Mapped);
  EXPECT_EQ(children[0].X, 0);
  EXPECT_EQ(children[0].Y, 0);
  EXPECT_EQ(children[0].Width, kEditorWidth);
  EXPECT_EQ(children[0].Height, kEditorHeight);
  // The tree is drawn: the body's surface is not the window's black, and the
  // header's boxes differ from it.
  const TRgbImage image = Capture();
  ASSERT_EQ(image.Width, kEditorWidth);
  EXPECT_NE(image.At(400, 300), 0u);
  EXPECT_NE(image.At(kVolumeX, kVolumeY), image.At(400, 300));
  EXPECT_EQ(Host->CloseEditor(), 1);
  EXPECT_TRUE(Host->PluginWindows().empty());
  EXPECT_EQ(Host->CloseEditor(), 0);
  EXPECT_EQ(TEditorHost::XErrors(), 0u);
}

TEST_F(InstrumentEditorTest, AnXTestDragChangesTheParameterThePixelsAndTellsTheHost) {
  OpenEditor();
  const auto before = VolumeBox();
  int px = -1, py = -1;
  Host->RunWithInput([&](TEditorInput& in) {
    ASSERT_TRUE(in.Ready()) << in.Error();
    DragVolume(in, {10, 20, 30});
    in.PointerPosition(px, py);
  });
  Host->IdleFor(100);
  const float volume = Plugin->GetParameter(0);
  EXPECT_LT(volume, 0.5f);
  const std::string notices = NoticeText();
  ASSERT_GE(notices.size(), 3u);
  EXPECT_EQ(notices.front(), '[');
  EXPECT_EQ(notices.back(), ']');
  EXPECT_EQ(notices.find_first_not_of("a", 1), notices.size() - 1) << notices;
  // The host heard the value the plug-in stored last.
  const auto list = NoticeList();
  EXPECT_FLOAT_EQ(list[list.size() - 2].Value, volume);
  EXPECT_NE(VolumeBox(), before);
  // The hidden cursor comes back where the drag began.
  EXPECT_EQ(px, kVolumeX);
  EXPECT_EQ(py, kVolumeY);
}

TEST_F(InstrumentEditorTest, HostChangesShowWithoutBeingSentBack) {
  OpenEditor();
  const auto before = VolumeBox();
  Plugin->SetParameter(0, 0.9f);
  Host->IdleFor(120);
  EXPECT_NE(VolumeBox(), before);
  EXPECT_EQ(NoticeText(), "");
  EXPECT_EQ(Plugin->AutomationCount(), 0u);
  EXPECT_FLOAT_EQ(Plugin->GetParameter(0), 0.9f);
}

TEST_F(InstrumentEditorTest, TenSessionsInARowEachShowTheCurrentValue) {
  std::vector<std::vector<std::uint32_t>> shown;
  for (int i = 0; i < 10; ++i) {
    Plugin->SetParameter(0, i % 2 == 0 ? 0.2f : 0.8f);  // while no editor is open
    OpenEditor();
    ASSERT_EQ(Host->PluginWindows().size(), 1u) << "session " << i;
    shown.push_back(VolumeBox());
    EXPECT_EQ(Host->CloseEditor(), 1);
    EXPECT_TRUE(Host->PluginWindows().empty()) << "session " << i;
    Host->DestroyWindow();
    if (i >= 1) {
      EXPECT_NE(shown[i], shown[i - 1]) << "session " << i;
    }
    if (i >= 2) {
      EXPECT_EQ(shown[i], shown[i - 2]) << "session " << i;
    }
  }
  EXPECT_EQ(NoticeText(), "");
  EXPECT_EQ(TEditorHost::XErrors(), 0u);
}

TEST_F(InstrumentEditorTest, ClosingDuringADragEndsTheGestureAndLeavesNothingCaptured) {
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
  const std::string notices = NoticeText();
  ASSERT_GE(notices.size(), 2u);
  EXPECT_EQ(notices.front(), '[');
  EXPECT_EQ(notices.back(), ']');
  // It opens again and takes a click.
  OpenEditor();
  EXPECT_EQ(Host->PluginWindows().size(), 1u);
}

TEST_F(InstrumentEditorTest, TheHostWindowDestroyedBeforeTheCloseRequestIsSurvived) {
  OpenEditor();
  Host->RunWithInput([&](TEditorInput& in) {
    DragVolume(in, {10}, false);
    in.OnHostThread([&] { Host->DestroyWindow(); });
    in.Wait(150);
    in.Release(1);
  });
  Host->IdleFor(100);
  EXPECT_EQ(Host->CloseEditor(), 1);
  EXPECT_EQ(NoticeText(), "[a]") << "the gesture ended with the window";
  Plugin->SetParameter(0, 0.7f);
  OpenEditor();
  EXPECT_EQ(Host->PluginWindows().size(), 1u);
  const auto at07 = VolumeBox();
  EXPECT_FALSE(at07.empty());
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
  // Every gesture was ended, the ones cut short by the close too.
  int depth = 0, gestures = 0;
  for (char c : NoticeText()) {
    if (c == '[') ++depth, ++gestures;
    if (c == ']') --depth;
    ASSERT_GE(depth, 0);
    ASSERT_LE(depth, 1);
  }
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(gestures, 6);
}

// The command line opens the instrument's editor and replays a drag.
TEST_F(InstrumentEditorTest, EditorCommandDragsTheVolumeAndSavesAScreenshot) {
  const std::string script = Scratch("instrument-drag.txt"), shot = Scratch("instrument-editor.png");
  std::ofstream(script) << "move " << kVolumeX << " " << kVolumeY << "\npress\nwait 60\nmove " << kVolumeX << " "
                        << kVolumeY + 30 << "\nwait 60\nrelease\nwait 100\n";
  const THostRun run = RunHost({"editor", ModulePath(), "--script", script, "--screenshot", shot});
  ASSERT_EQ(run.ExitCode, 0) << run.Out << run.Err;
  EXPECT_NE(run.Out.find("774 x 498 (rectangle before opening 774 x 498, after 774 x 498)"), std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find("begin-edit 0 'Volume'\nautomate 0 'Volume' "), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("end-edit 0 'Volume'\n"), std::string::npos) << run.Out;
  TRgbImage image;
  std::string error;
  ASSERT_TRUE(ReadPng(shot, image, error)) << error;
  EXPECT_EQ(image.Width, kEditorWidth);
  EXPECT_EQ(image.Height, kEditorHeight);
}

}  // namespace
