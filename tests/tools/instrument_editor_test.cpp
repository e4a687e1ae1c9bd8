// The instrument's own editor in a host's window, on a virtual display of
// the test's own: its size, an XTest drag on the volume box (a fader of the
// header), the window's pixels against the editor drawn without a display,
// a drag on the first filter's cutoff and clicks on page buttons through
// `rumbleon-host editor`, ten sessions in a row, closing during a drag, the
// host's window destroyed first, and a render thread that the editor never
// holds up.
#include <gtest/gtest.h>

#include <cstdio>

#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engines/rumbleon2.h"
#include "tests/framework/core/plugin_test_support.h"
#include "tests/tools/editor_fixture.h"
#include "tests/tools/host_process.h"

namespace {

// The header panel sits at (1, 1), the volume box at (10, 30) on it.
constexpr int kVolumeLeft = 32, kVolumeTop = 11, kVolumeWidth = 44, kVolumeHeight = 12;
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
    for (int x = kVolumeLeft; x < kVolumeLeft + kVolumeWidth; ++x)
      boxA.push_back(a.At(x, y)), boxB.push_back(b.At(x, y));
  EXPECT_NE(boxA, boxB);
}

// The same instrument, built from the same code (and resources) as the
// module, drawn without a display.
class THeadlessEditor {
 public:
  THeadlessEditor() : Plugin(plugin_test::MakePlugin<TRumbleon2>()) {
    Plugin->SyncGuiControls();
    Plugin->GuiBody()->Attached = true;
  }
  ~THeadlessEditor() { Plugin->GuiBody()->Attached = false; }
  TRgbImage Page(std::int32_t page) {
    TSPThemeGUIBody& body = *Plugin->GuiBody();
    body.ShowPage(TVoicerackGFXSynth::kPageGroup, page);
    const TBitmap& front = body.FrontBitmap();
    TRgbImage image;
    image.Width = front.Width();
    image.Height = front.Height();
    for (int y = 0; y < image.Height; ++y)
      for (int x = 0; x < image.Width; ++x) image.Pixels.push_back(front.ScanLine(y)[x] & 0xFFFFFFu);
    return image;
  }
  // The centre of the page button of a page, and of a parameter's control.
  TPoint PageButton(std::int32_t page) {
    const TSPThemeGUIControl* b = Plugin->PageButton(KwpPageTable[page]);
    return {b->Left + b->Width / 2, b->Top + b->Height / 2};
  }
  TPoint Control(std::int32_t param) {
    const TSPThemeGUIControl* c = Plugin->GuiControlOf(param);
    return {c->Left + c->Width / 2, c->Top + c->Height / 2};
  }

  std::unique_ptr<TRumbleon2> Plugin;
};

// How many pixels differ, for the failure message.
int DifferentPixels(const TRgbImage& a, const TRgbImage& b) {
  if (a.Width != b.Width || a.Height != b.Height) return -1;
  int n = 0;
  for (std::size_t i = 0; i < a.Pixels.size(); ++i) n += a.Pixels[i] != b.Pixels[i] ? 1 : 0;
  return n;
}

// rumbleon-host editor on the module shows the pixels of the editor drawn
// without a display, page by page; a click on a page button shows that
// page; a drag on the first filter's cutoff knob reaches the host as
// automation of parameter 64 inside its begin/end-edit.
TEST_F(InstrumentEditorTest, TheModulesWindowShowsTheHeadlessPicturesAndItsPagesAndKnobsWork) {
  plugin_test::TTestHost::Reset();
  THeadlessEditor headless;
  constexpr std::int32_t kCutoff = 64, kReverbPage = 4, kFxOutPage = 11;
  const TPoint reverb = headless.PageButton(kReverbPage), fxOut = headless.PageButton(kFxOutPage),
               voice = headless.PageButton(0), cutoff = headless.Control(kCutoff);
  const std::string script = Scratch("instrument-pages.txt"), first = Scratch("instrument-page-0.png"),
                    second = Scratch("instrument-page-4.png"), third = Scratch("instrument-page-11.png");
  std::ofstream(script) << "screenshot " << first << "\nmove " << reverb.X << " " << reverb.Y
                        << "\npress\nwait 30\nrelease\nwait 150\nscreenshot " << second << "\nmove " << fxOut.X << " "
                        << fxOut.Y << "\npress\nwait 30\nrelease\nwait 150\nscreenshot " << third << "\nmove "
                        << voice.X << " " << voice.Y << "\npress\nwait 30\nrelease\nwait 150\nmove " << cutoff.X << " "
                        << cutoff.Y << "\npress\nwait 60\nmove " << cutoff.X << " " << cutoff.Y - 40
                        << "\nwait 60\nrelease\nwait 150\n";
  const THostRun run = RunHost({"editor", ModulePath(), "--script", script});
  ASSERT_EQ(run.ExitCode, 0) << run.Out << run.Err;
  for (const auto& [file, page] : {std::pair(first, 0), std::pair(second, kReverbPage), std::pair(third, kFxOutPage)}) {
    TRgbImage shown;
    std::string error;
    ASSERT_TRUE(ReadPng(file, shown, error)) << error;
    EXPECT_EQ(DifferentPixels(shown, headless.Page(page)), 0) << "page " << page << ": " << file;
  }
  EXPECT_NE(run.Out.find("begin-edit 64 'Cutoff'\nautomate 64 'Cutoff' "), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("end-edit 64 'Cutoff'\n"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("parameter 64 'Cutoff' "), std::string::npos) << run.Out;
  EXPECT_EQ(run.Out.find("automate 0 "), std::string::npos) << "page buttons are no parameters:\n" << run.Out;
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
      Host->IdleUntil([&] { return VolumeBox() != shown.back(); });
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
  // The editor learns of its window's end in an idle call.
  Host->IdleUntil([&] { return BalancedGestures() == 2; });
  EXPECT_EQ(BalancedGestures(), 2) << "the gesture ended with the window";
  EXPECT_EQ(Host->CloseEditor(), 1);
  OpenEditor();
  EXPECT_EQ(Host->PluginWindows().size(), 1u);
}

// A drag and a click through the module's editor: every notice comes from
// the host's editor thread, in order, each after a request there for the
// host's tempo (what a host like Ardour 7 needs on that thread to record it
// without crashing).
TEST_F(InstrumentEditorTest, EditNoticesComeFromTheEditorThreadEachAfterATempoRequest) {
  std::mutex lock;
  std::vector<std::pair<THostNotice, std::thread::id>> seen;
  Plugin->SetNoticeObserver([&](const THostNotice& n) {
    std::lock_guard<std::mutex> guard(lock);
    seen.emplace_back(n, std::this_thread::get_id());
  });
  OpenEditor();
  Host->RunWithInput([&](TEditorInput& in) {
    ASSERT_TRUE(in.Ready()) << in.Error();
    DragVolume(in, {5, 15, 30});
    DragVolume(in, {});  // a click: one step
  });
  EXPECT_EQ(Host->CloseEditor(), 1);
  std::string text;
  int unasked = 0, offThread = 0;
  for (const auto& [n, thread] : seen) {
    text += n.Opcode == kHostAutomate ? 'a' : n.Opcode == kHostBeginEdit ? '[' : ']';
    unasked += n.TempoAsked ? 0 : 1;
    offThread += thread == std::this_thread::get_id() ? 0 : 1;
  }
  EXPECT_TRUE(text.size() >= 6 && text.starts_with("[a") && text.ends_with("a][a]") &&
              text.find_first_not_of('a', 1) == text.size() - 4)
      << text;
  EXPECT_EQ(unasked, 0) << text;
  EXPECT_EQ(offThread, 0);
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
  EXPECT_EQ(BalancedGestures(), 6);
}

}  // namespace
