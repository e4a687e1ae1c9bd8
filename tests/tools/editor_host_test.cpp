// The host side of plug-in editors (rumbleon-host editor, the editor checks)
// against the test instrument's editor, on a virtual display of the test's
// own: exact size, a drag through XTest, reopening, closing mid-drag, the
// host's window destroyed first, and audio meanwhile.
#include <gtest/gtest.h>

#include <cstdio>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "tests/support/virtual_display.h"
#include "tests/tools/editor_fixture.h"
#include "tests/tools/host_process.h"
#include "tests/tools/testsynth/testsynth_editor.h"
#include "tools/host/editor_host.h"
#include "tools/host/editor_script.h"
#include "tools/host/png_file.h"
#include "tools/host/vst_host.h"

namespace {

constexpr int kBarX = TTestSynthEditor::kBar.Left + TTestSynthEditor::kBar.Width / 2;  // 160
constexpr int kBarY = TTestSynthEditor::kBar.Top + TTestSynthEditor::kBar.Height / 2;  // 100

class EditorHostTest : public TEditorFixture {
 protected:
  std::string ModuleFile() override { return TestSynthPath(); }
  std::uint32_t BarPixel() { return PixelAt(kBarX, kBarY); }
  // A vertical drag on the bar: press, moves by dy, release.
  void Drag(TEditorInput& in, std::initializer_list<int> dys, bool release = true) {
    DragAt(in, kBarX, kBarY, dys, release);
  }
};

TEST_F(EditorHostTest, TheEditorFillsAWindowOfExactlyItsSize) {
  OpenEditor();
  EXPECT_EQ(Host->RectBeforeOpen().right, TTestSynthEditor::kWidth);  // known before the open
  EXPECT_EQ(Host->RectBeforeOpen().bottom, TTestSynthEditor::kHeight);
  EXPECT_EQ(Host->Width(), TTestSynthEditor::kWidth);
  EXPECT_EQ(Host->Height(), TTestSynthEditor::kHeight);
  const auto children = Host->PluginWindows();
  ASSERT_EQ(children.size(), 1u);
  EXPECT_TRUE(children[0].Mapped);
  EXPECT_EQ(children[0].X, 0);
  EXPECT_EQ(children[0].Width, TTestSynthEditor::kWidth);
  EXPECT_EQ(children[0].Height, TTestSynthEditor::kHeight);
  EXPECT_EQ(BarPixel(), TTestSynthEditor::BarColour(0.5f));
  EXPECT_EQ(Host->CloseEditor(), 1);
  EXPECT_TRUE(Host->PluginWindows().empty());
  EXPECT_EQ(Host->CloseEditor(), 0);  // nothing open any more
}

// The plug-in side: an open request it cannot serve answers 0 and leaves
// the plug-in as it was; the rectangle is known all along.
TEST_F(EditorHostTest, OpenRequestsWithoutDisplayOrWithABadWindowAnswerZero) {
  TVstRect* rect = nullptr;
  EXPECT_EQ(Plugin->Dispatch(kEffEditGetRect, 0, 0, &rect), 1);
  ASSERT_NE(rect, nullptr);
  EXPECT_EQ(rect->right, TTestSynthEditor::kWidth);
  EXPECT_EQ(Plugin->Dispatch(kEffEditOpen, 0, 0, nullptr), 0);
  EXPECT_EQ(Plugin->Dispatch(kEffEditOpen, 0, 0, reinterpret_cast<void*>(0x7ffffff)), 0);
  unsetenv("DISPLAY");
  EXPECT_EQ(Plugin->Dispatch(kEffEditOpen, 0, 0, reinterpret_cast<void*>(0x7ffffff)), 0);
  Server.Export();
  Plugin->Dispatch(kEffEditIdle);
  EXPECT_EQ(Plugin->Dispatch(kEffEditClose), 0);
  // Still whole: it opens properly afterwards.
  OpenEditor();
  EXPECT_EQ(Host->PluginWindows().size(), 1u);
  EXPECT_EQ(TEditorHost::XErrors(), 0u);
}

TEST_F(EditorHostTest, AnXTestDragChangesTheParameterThePixelsAndTellsTheHost) {
  OpenEditor();
  int px = -1, py = -1;
  Host->RunWithInput([&](TEditorInput& in) {
    ASSERT_TRUE(in.Ready()) << in.Error();
    Drag(in, {-10, -20, -30, -40});
    in.PointerPosition(px, py);
  });
  // 255 pixels span the range: 40 pixels up from 0.5.
  const float expected = 0.5f + 40.0f / 255.0f;
  EXPECT_NEAR(Plugin->GetParameter(0), expected, 1e-5);
  EXPECT_EQ(NoticeText(), "[aaaa]");
  EXPECT_NEAR(Notices[4].Value, expected, 1e-5);
  EXPECT_EQ(BarPixel(), TTestSynthEditor::BarColour(Plugin->GetParameter(0)));
  // The hidden cursor comes back where the drag began.
  EXPECT_EQ(px, kBarX);
  EXPECT_EQ(py, kBarY);
}

TEST_F(EditorHostTest, ReopeningTenTimesShowsTheCurrentValueEachTime) {
  for (int i = 0; i < 10; ++i) {
    const float v = static_cast<float>(i) / 9.0f;
    Plugin->SetParameter(0, v);  // while no editor is open
    OpenEditor();
    const auto children = Host->PluginWindows();
    ASSERT_EQ(children.size(), 1u) << "session " << i;
    EXPECT_EQ(BarPixel(), TTestSynthEditor::BarColour(v)) << "session " << i;
    EXPECT_EQ(Host->CloseEditor(), 1);
    EXPECT_TRUE(Host->PluginWindows().empty()) << "session " << i;
    Host->DestroyWindow();
  }
  EXPECT_EQ(NoticeText(), "");
}

TEST_F(EditorHostTest, HostChangesShowWithoutBeingSentBack) {
  OpenEditor();
  Plugin->SetParameter(0, 0.9f);
  Host->IdleUntil([&] { return BarPixel() == TTestSynthEditor::BarColour(0.9f); });
  EXPECT_EQ(BarPixel(), TTestSynthEditor::BarColour(0.9f));
  EXPECT_EQ(NoticeText(), "");
  EXPECT_EQ(Plugin->AutomationCount(), 0u);
}

TEST_F(EditorHostTest, ClosingDuringADragEndsTheGestureAndLeavesNothingCaptured) {
  OpenEditor();
  bool grabbed = true;
  int cursor = 0;
  Host->RunWithInput([&](TEditorInput& in) {
    ASSERT_TRUE(in.Ready()) << in.Error();
    Drag(in, {-10, -20}, false);
    in.OnHostThread([&] { EXPECT_EQ(Host->CloseEditor(), 1); });
    grabbed = in.PointerGrabbed();
    cursor = in.CursorOpaquePixels();
    in.Release(1);
  });
  EXPECT_FALSE(grabbed);
  EXPECT_GT(cursor, 0);
  EXPECT_EQ(NoticeText(), "[aa]");
  EXPECT_NEAR(Plugin->GetParameter(0), 0.5f + 20.0f / 255.0f, 1e-5);
}

TEST_F(EditorHostTest, TheHostWindowDestroyedBeforeTheCloseRequestIsSurvived) {
  OpenEditor();
  Host->RunWithInput([&](TEditorInput& in) {
    Drag(in, {-10}, false);
    in.OnHostThread([&] { Host->DestroyWindow(); });
    in.Wait(150);
    in.Release(1);
  });
  // The editor learns of its window's end in an idle call.
  Host->IdleUntil([&] { return NoticeText() == "[a]"; });
  EXPECT_EQ(NoticeText(), "[a]");  // the gesture ended with the window
  EXPECT_EQ(Host->CloseEditor(), 1);
  OpenEditor();
  EXPECT_EQ(Host->PluginWindows().size(), 1u);
  EXPECT_EQ(BarPixel(), TTestSynthEditor::BarColour(Plugin->GetParameter(0)));
}

// A render thread runs the plug-in all along while the editor is opened,
// dragged and closed: its blocks keep coming, none waits on the editor.
TEST_F(EditorHostTest, EditorStressRenderThreadIsNeverHeldUp) {
  const TRenderWhileEditing result = RenderWhileEditing(3, [&](TEditorInput& in) {
    Drag(in, {-8, -16, -24, -8});
    Drag(in, {10, 20}, false);
    in.OnHostThread([&] { Host->CloseEditor(); });
    in.Release(1);
  });
  for (std::int64_t n : result.BlocksPerSession) EXPECT_GE(n, 20);
  // Held up means waiting for a lock the editor's thread holds, or doing
  // the editor's work: counted, and measured in the thread's own time.
  if (result.LocksCounted) {
    EXPECT_EQ(result.LockWaits, 0u) << "lock waits of the render thread";
  }
  EXPECT_LT(result.NextWorstCpuMs, kBlockCpuLimitMs);
  std::printf(
      "render thread: %lld blocks in 3 sessions, costliest call %.3f ms of processor time, %llu lock waits\n",
      static_cast<long long>(result.BlocksPerSession[0] + result.BlocksPerSession[1] + result.BlocksPerSession[2]),
      result.WorstCpuMs, static_cast<unsigned long long>(result.LockWaits));
  EXPECT_EQ(NoticeText(), "[aaaa][aa][aaaa][aa][aaaa][aa]");
}

// The same through the command line: the printed notices, the screenshot.
TEST_F(EditorHostTest, EditorCommandReplaysAScriptAndSavesAScreenshot) {
  const std::string script = Scratch("drag.txt"), shot = Scratch("editor.png");
  std::ofstream(script) << "# up by 20 pixels\nmove 160 100\npress\nmove 160 90\nmove 160 80\nrelease\nwait 50\n";
  const THostRun run = RunHost({"editor", TestSynthPath(), "--program", "1", "--script", script, "--screenshot", shot});
  ASSERT_EQ(run.ExitCode, 0) << run.Out << run.Err;
  for (const std::string& expected : std::vector<std::string>{
           "editor open in window 0x", "320 x 200 (rectangle before opening 320 x 200, after 320 x 200)",
           "begin-edit 0 'Gain'\nautomate 0 'Gain' 0.2392\nparameter 0 'Gain' 0.2000 -> 0.2392 (-12.4)\n",
           "automate 0 'Gain' 0.2784\n", "end-edit 0 'Gain'\n", "screenshot " + shot + " (320 x 200)",
           "editor closed (the plug-in answered 1): 2 automate calls, 2 parameter changes\n"})
    EXPECT_NE(run.Out.find(expected), std::string::npos) << expected << "\n" << run.Out;
  TRgbImage image;
  std::string error;
  ASSERT_TRUE(ReadPng(shot, image, error)) << error;
  EXPECT_EQ(image.Width, 320);
  EXPECT_EQ(image.Height, 200);
  EXPECT_EQ(image.At(kBarX, kBarY), TTestSynthEditor::BarColour(0.2f + 20.0f / 255.0f));
  EXPECT_EQ(image.At(5, 5), 0x202020u);
}

TEST_F(EditorHostTest, EditorCommandRefusesBadInputClearly) {
  const std::string bad = Scratch("bad.txt");
  std::ofstream(bad) << "move 1 2\njump 3\n";
  const struct {
    std::vector<std::string> Args;
    int Status;
    const char* Message;
  } cases[] = {
      {{"editor", TestSynthPath(), "--script", bad}, 1, "bad.txt: line 2: unknown command 'jump'"},
      {{"editor", TestSynthPath(), "--script", Scratch("missing.txt")}, 1, "cannot read"},
      {{"editor", TestSynthPath(), "--program", "7", "--screenshot", Scratch("x.png")}, 1, "program 7 does not exist"},
      {{"editor", TestSynthPath(), "--screenshot", "/nonexistent/dir/x.png"}, 1, "cannot write"},
      {{"editor", TestSynthPath(), "--program"}, 2, "--program needs a program number"},
      {{"editor"}, 2, "editor needs a module"},
  };
  for (const auto& c : cases) {
    const THostRun run = RunHost(c.Args);
    EXPECT_EQ(run.ExitCode, c.Status) << c.Message << "\n" << run.Out << run.Err;
    EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
  }
  unsetenv("DISPLAY");
  const THostRun none = RunHost({"editor", TestSynthPath(), "--screenshot", Scratch("x.png")});
  Server.Export();
  EXPECT_EQ(none.ExitCode, 1);
  EXPECT_NE(none.Err.find("no display"), std::string::npos) << none.Err;
}

// The editor checks pass on the test instrument and fail on its planted
// editor faults.
TEST_F(EditorHostTest, EditorChecksPassOnTheTestInstrument) {
  const THostRun clean = RunHost({"check", TestSynthPath(), "--only", "editor,editor-mouse,editor-parent"});
  EXPECT_EQ(clean.ExitCode, 0) << clean.Out;
  EXPECT_NE(clean.Out.find("3 passed, 0 failed"), std::string::npos) << clean.Out;
}

TEST_F(EditorHostTest, EditorChecksFindPlantedFaults) {
  const struct {
    const char* Fault;
    const char* Check;
    const char* Expected;
  } faults[] = {
      {"editor-size", "editor", "the plug-in's window is 330 x 200 at 0, 0; the editor rectangle says 320 x 200"},
      {"editor-kept", "editor-mouse", "the pointer stays grabbed after closing the editor during a drag"},
  };
  for (const auto& f : faults) {
    setenv("TESTSYNTH_FAULT", f.Fault, 1);
    const THostRun run = RunHost({"check", TestSynthPath(), "--only", f.Check});
    unsetenv("TESTSYNTH_FAULT");
    EXPECT_EQ(run.ExitCode, 1) << run.Out;
    EXPECT_NE(run.Out.find(std::string("FAIL ") + f.Check), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find(f.Expected), std::string::npos) << run.Out;
  }
}

TEST(EditorScript, ParsesEveryCommandAndNamesTheFirstBadLine) {
  std::vector<TEditorStep> steps;
  std::string error;
  ASSERT_TRUE(
      ParseEditorScript("move 10 -5  # comment\n\npress right\nrelease 3\npress\nwait 40\nkey Escape\n"
                        "screenshot out.png\n",
                        steps, error))
      << error;
  ASSERT_EQ(steps.size(), 7u);
  EXPECT_EQ(steps[0].Kind, TEditorStep::TKind::Move);
  EXPECT_EQ(steps[0].Y, -5);
  EXPECT_EQ(steps[1].Button, 3);
  EXPECT_EQ(steps[1].Line, 3);
  EXPECT_EQ(steps[3].Button, 1);
  EXPECT_EQ(steps[4].Milliseconds, 40);
  EXPECT_EQ(steps[5].Text, "Escape");
  EXPECT_EQ(steps[6].Text, "out.png");
  const std::pair<const char*, const char*> bad[] = {
      {"move 1\n", "line 1: move needs X and Y"},         {"wait\n", "line 1: wait needs milliseconds"},
      {"\npress 12\n", "line 2: press takes a button"},   {"wait -3\n", "line 1: wait needs milliseconds"},
      {"move 1 2x\n", "line 1: move needs X and Y"},      {"key\n", "line 1: key needs one key name"},
      {"click 1 2\n", "line 1: unknown command 'click'"},
  };
  for (const auto& [text, message] : bad) {
    EXPECT_FALSE(ParseEditorScript(text, steps, error)) << text;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

TEST(PngFile, WritesAndReadsBackExactPixels) {
  TRgbImage image{3, 2, {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0x123456, 0xFFFFFF}};
  std::string error;
  const std::string path = Scratch("six.png");
  ASSERT_TRUE(WritePng(path, image, error)) << error;
  TRgbImage back;
  ASSERT_TRUE(ReadPng(path, back, error)) << error;
  EXPECT_EQ(back.Width, 3);
  EXPECT_EQ(back.Pixels, image.Pixels);
  std::ofstream(Scratch("junk.png")) << "not a picture";
  EXPECT_FALSE(ReadPng(Scratch("junk.png"), back, error));
  EXPECT_FALSE(WritePng(Scratch("empty.png"), TRgbImage{}, error));
}

}  // namespace
