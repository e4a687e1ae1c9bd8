// A virtual display, a plug-in module loaded as a host loads it, and the
// host's side of its editor (tools/host/editor_host.h), for tests that open
// a module's editor: the module comes from ModuleFile().
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/base/thread_time.h"
#include "tests/support/virtual_display.h"
#include "tools/host/alloc_counter.h"
#include "tools/host/editor_host.h"
#include "tools/host/lock_monitor.h"
#include "tools/host/png_file.h"
#include "tools/host/vst_host.h"

class TEditorFixture : public ::testing::Test {
 protected:
  // The module to open; empty skips the test.
  virtual std::string ModuleFile() = 0;

  void SetUp() override {
    if (!Server.Running()) GTEST_SKIP() << Server.Error();
    const std::string file = ModuleFile();
    if (file.empty()) GTEST_SKIP() << "the module is not part of this build";
    Server.Export();
    std::string error;
    ASSERT_TRUE(Module.Load(file, error)) << error;
    Plugin = TVstPlugin::Open(Module, error);
    ASSERT_NE(Plugin, nullptr) << error;
    Plugin->SetNoticeObserver([this](const THostNotice& n) {
      std::lock_guard<std::mutex> lock(NoticeLock);
      Notices.push_back(n);
    });
    Host = TEditorHost::Connect(error);
    ASSERT_NE(Host, nullptr) << error;
  }
  void TearDown() override {
    Host.reset();
    if (Plugin) Plugin->SetNoticeObserver({});
  }

  // Opens the editor and idles it until its window is in the host's (at
  // most 30 s: a busy machine only makes it take longer).
  void OpenEditor() {
    std::string error;
    ASSERT_TRUE(Host->Open(*Plugin, error)) << error;
    Host->IdleFor(120);
    Host->IdleUntil([&] {
      for (const TChildWindow& c : Host->PluginWindows())
        if (c.Mapped) return true;
      return false;
    });
  }
  // The window's pixels once the editor has drawn what it was asked to (the
  // same across a whole idle call).
  TRgbImage Capture() {
    TRgbImage image;
    std::string error;
    EXPECT_TRUE(Host->CaptureSettled(image, error)) << error;
    return image;
  }
  std::uint32_t PixelAt(int x, int y) {
    const TRgbImage image = Capture();
    return image.Pixels.empty() ? 0xFFFFFFFFu : image.At(x, y);
  }
  // The pixels of a rectangle of the window, row by row.
  std::vector<std::uint32_t> Region(int left, int top, int width, int height) {
    const TRgbImage image = Capture();
    std::vector<std::uint32_t> out;
    if (image.Pixels.empty()) return out;
    for (int y = top; y < top + height; ++y)
      for (int x = left; x < left + width; ++x) out.push_back(image.At(x, y));
    return out;
  }
  // Host notices as text: "[" begin-edit, "a" automate, "]" end-edit.
  std::string NoticeText() {
    std::lock_guard<std::mutex> lock(NoticeLock);
    std::string s;
    for (const THostNotice& n : Notices) s += n.Opcode == kHostAutomate ? "a" : n.Opcode == kHostBeginEdit ? "[" : "]";
    return s;
  }
  std::vector<THostNotice> NoticeList() {
    std::lock_guard<std::mutex> lock(NoticeLock);
    return Notices;
  }
  // A vertical drag at (x, y): press, moves by dys, release.
  static void DragAt(TEditorInput& in, int x, int y, std::initializer_list<int> dys, bool release = true) {
    in.MoveTo(x, y);
    in.Press(1);
    in.Settle();
    int last = y;
    for (int dy : dys) {
      last = y + dy;
      in.MoveTo(x, last);
      in.Settle();
    }
    if (!release) return;
    in.Release(1);
    in.Settle();
  }

  // A 256-frame block lasts 5.8 ms: a process call that costs its thread
  // more processor time than that drops out on any machine. Sanitizers slow
  // every call many times over.
#if defined(RUMBLEON_SANITIZED)
  static constexpr double kBlockCpuLimitMs = 10 * 256 * 1000.0 / 44100;
#else
  static constexpr double kBlockCpuLimitMs = 256 * 1000.0 / 44100;
#endif
  struct TRenderWhileEditing {
    std::vector<std::int64_t> BlocksPerSession;
    // The most processor time one process call cost the render thread (its
    // own clock, which a busy machine does not inflate), and the most but
    // for that call: a busy machine can charge one call a page reclaim or
    // an interrupt, while the editor's work would cost every call it ran in.
    double WorstCpuMs = 0;
    double NextWorstCpuMs = 0;
    // Its waits for a lock another thread held, where the build counts them.
    bool LocksCounted = false;
    std::uint64_t LockWaits = 0;
  };
  // A render thread processes blocks of 256 frames (a note every 16, paced
  // at real time) all along while, sessions times, the editor is
  // opened, idled until the thread has rendered 20 blocks with it open, and
  // the actions run with input (they close the editor), then the host's
  // window is destroyed. Answers the blocks rendered per session, the
  // costliest process call and the thread's lock waits.
  TRenderWhileEditing RenderWhileEditing(int sessions, const std::function<void(TEditorInput&)>& actions) {
    Plugin->SetSampleRate(44100);
    Plugin->SetBlockSize(256);
    Plugin->Resume();
    std::atomic<bool> done{false};
    std::atomic<std::int64_t> blocks{0};
    std::atomic<double> worstCpuMs{0}, nextWorstCpuMs{0};
    ResetLockWaits();
    std::thread audio([&] {
      std::vector<float> left(256), right(256);
      float* outputs[2] = {left.data(), right.data()};
      TVstEventList events(2);
      // Its lock waits are counted (tools/host/lock_monitor.h).
      TAudioThreadScope flagged;
      // Paced as a real-time host's audio thread is (one that ran far ahead
      // of the clock would be rendering offline, and may wait).
      auto next = std::chrono::steady_clock::now();
      for (std::int64_t n = 0; !done.load(); ++n) {
        events.Clear();
        const std::uint8_t on[3] = {0x90, static_cast<std::uint8_t>(40 + n % 12), 90};
        if (n % 16 == 0) events.Add(0, on, 3);
        const double start = ThreadCpuSeconds();
        Plugin->ProcessBlock(events.Events(), outputs, 256);
        const double ms = (ThreadCpuSeconds() - start) * 1e3;
        if (ms > worstCpuMs.load()) {
          nextWorstCpuMs = worstCpuMs.load();
          worstCpuMs = ms;
        } else if (ms > nextWorstCpuMs.load()) {
          nextWorstCpuMs = ms;
        }
        blocks.fetch_add(1);
        next += std::chrono::microseconds(256 * 1000000 / 44100);
        std::this_thread::sleep_until(next);
      }
    });
    TRenderWhileEditing result;
    for (int session = 0; session < sessions; ++session) {
      const std::int64_t before = blocks.load();
      OpenEditor();
      EXPECT_TRUE(Host->IdleUntil([&] { return blocks.load() >= before + 20; }))
          << "the render thread rendered " << blocks.load() - before << " blocks in 30 s with the editor open";
      Host->RunWithInput(actions);
      Host->DestroyWindow();
      result.BlocksPerSession.push_back(blocks.load() - before);
    }
    done = true;
    audio.join();
    result.WorstCpuMs = worstCpuMs.load();
    result.NextWorstCpuMs = nextWorstCpuMs.load();
    result.LocksCounted = LockMonitoringAvailable();
    result.LockWaits = AudioThreadLockWaits().Count;
    return result;
  }

  testing_support::TVirtualDisplay Server;
  TVstModule Module;
  std::unique_ptr<TVstPlugin> Plugin;
  std::unique_ptr<TEditorHost> Host;
  std::mutex NoticeLock;
  std::vector<THostNotice> Notices;
};
