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

#include "tests/support/virtual_display.h"
#include "tools/host/editor_host.h"
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

  void OpenEditor() {
    std::string error;
    ASSERT_TRUE(Host->Open(*Plugin, error)) << error;
    Host->IdleFor(120);
  }
  TRgbImage Capture() {
    TRgbImage image;
    std::string error;
    EXPECT_TRUE(Host->Capture(image, error)) << error;
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

  struct TRenderWhileEditing {
    std::vector<std::int64_t> BlocksPerSession;
    double LongestBlockMs = 0;
  };
  // A render thread processes blocks of 256 frames (a note every 16, about
  // one block a millisecond) all along while, sessions times, the editor is
  // opened and the actions run with input (they close the editor), then the
  // host's window is destroyed. Answers the blocks rendered per session and
  // the longest process call.
  TRenderWhileEditing RenderWhileEditing(int sessions, const std::function<void(TEditorInput&)>& actions) {
    Plugin->SetSampleRate(44100);
    Plugin->SetBlockSize(256);
    Plugin->Resume();
    std::atomic<bool> done{false};
    std::atomic<std::int64_t> blocks{0};
    std::atomic<double> longestMs{0};
    std::thread audio([&] {
      std::vector<float> left(256), right(256);
      float* outputs[2] = {left.data(), right.data()};
      TVstEventList events(2);
      for (std::int64_t n = 0; !done.load(); ++n) {
        events.Clear();
        const std::uint8_t on[3] = {0x90, static_cast<std::uint8_t>(40 + n % 12), 90};
        if (n % 16 == 0) events.Add(0, on, 3);
        const auto start = std::chrono::steady_clock::now();
        Plugin->ProcessBlock(events.Events(), outputs, 256);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (ms > longestMs.load()) longestMs = ms;
        blocks.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    TRenderWhileEditing result;
    for (int session = 0; session < sessions; ++session) {
      const std::int64_t before = blocks.load();
      OpenEditor();
      Host->RunWithInput(actions);
      Host->DestroyWindow();
      result.BlocksPerSession.push_back(blocks.load() - before);
    }
    done = true;
    audio.join();
    result.LongestBlockMs = longestMs.load();
    return result;
  }

  testing_support::TVirtualDisplay Server;
  TVstModule Module;
  std::unique_ptr<TVstPlugin> Plugin;
  std::unique_ptr<TEditorHost> Host;
  std::mutex NoticeLock;
  std::vector<THostNotice> Notices;
};
