// The host's close while other calls are inside the instance: the object is
// freed only once they have all left (a process call, a dispatcher call with
// its work after the call), calls that arrive meanwhile are refused, the
// editor is closed only once the editor calls on other threads have left,
// and a close made from inside a call on the same thread frees the object
// when that call leaves. Each call is held inside the plug-in by a host
// callback it makes until the test lets it go, so the order is the same on
// every run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;
using namespace std::chrono_literals;

constexpr auto kPatience = 30s;  // only a hang ever waits this long

// What happened, in order, on every thread.
struct TEventLog {
  static inline std::mutex Mutex;
  static inline std::condition_variable Changed;
  static inline std::vector<std::string> Events;

  static void Add(std::string event) {
    std::lock_guard<std::mutex> lock(Mutex);
    Events.push_back(std::move(event));
    Changed.notify_all();
  }
  static bool Has(const std::string& event) {
    std::lock_guard<std::mutex> lock(Mutex);
    return std::find(Events.begin(), Events.end(), event) != Events.end();
  }
  static bool WaitFor(const std::string& event) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, kPatience,
                            [&] { return std::find(Events.begin(), Events.end(), event) != Events.end(); });
  }
  static std::vector<std::string> All() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Events;
  }
};

// Holds the next host call of one opcode made by the thread that armed it,
// inside the host callback, until Release.
class THold {
 public:
  void Arm(std::int32_t opcode) {
    std::lock_guard<std::mutex> lock(Mutex);
    Opcode = opcode;
    Thread = std::this_thread::get_id();
  }
  // In the host callback: waits there when this call is the one armed for.
  void Catch(std::int32_t opcode) {
    std::unique_lock<std::mutex> lock(Mutex);
    if (opcode != Opcode || std::this_thread::get_id() != Thread) return;
    Opcode = -1;
    Entered = true;
    Changed.notify_all();
    Changed.wait(lock, [this] { return Released; });
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, kPatience, [this] { return Entered; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(Mutex);
    Released = true;
    Changed.notify_all();
  }

 private:
  std::mutex Mutex;
  std::condition_variable Changed;
  std::int32_t Opcode = -1;
  std::thread::id Thread;
  bool Entered = false;
  bool Released = false;
};

// The test host: the holds and a hook see every call first, then the shared
// test host answers.
struct THoldingHost {
  static inline THold* Holds[2] = {nullptr, nullptr};
  static inline std::function<void(TVstEffect*, std::int32_t)> OnCall;

  static std::intptr_t Callback(TVstEffect* effect, std::int32_t opcode, std::int32_t index, std::intptr_t value,
                                void* ptr, float opt) {
    for (THold* hold : Holds)
      if (hold != nullptr) hold->Catch(opcode);
    if (OnCall) OnCall(effect, opcode);
    return TTestHost::Callback(effect, opcode, index, value, ptr, opt);
  }
};

class TLoggingPlugin : public TSineTestPlugin {
 public:
  // Set on the thread that makes the test's editor calls.
  static inline thread_local bool EditorThread = false;

  ~TLoggingPlugin() override { TEventLog::Add("destroyed"); }
  void CloseBegins() override {
    TSineTestPlugin::CloseBegins();
    TEventLog::Add("close began");
  }
  void Close() override {
    InsideClose = true;  // its own editor close is not the test's
    TSineTestPlugin::Close();
    InsideClose = false;
    TEventLog::Add("closed");
  }
  // The editor calls tell the host (where a test holds them) first.
  bool EditOpen(void* parent) override {
    EditorCall();
    return TSineTestPlugin::EditOpen(parent);
  }
  std::intptr_t EditClose() override {
    EditorCall();
    return TSineTestPlugin::EditClose();
  }
  void EditIdle() override {
    EditorCall();
    TSineTestPlugin::EditIdle();
  }
  void Resume() override {
    TSineTestPlugin::Resume();
    TEventLog::Add("resumed");
  }
  void ProcessReplacing(float** inputs, float** outputs, std::int32_t sampleFrames) override {
    TSineTestPlugin::ProcessReplacing(inputs, outputs, sampleFrames);
    TEventLog::Add("processed");
  }

 private:
  void EditorCall() {
    MasterIdle();
    if (EditorThread && !InsideClose) TEventLog::Add("editor call left");
  }
  static inline thread_local bool InsideClose = false;
};

struct PluginClose : ::testing::Test {
  void SetUp() override {
    TTestHost::Reset();
    TEventLog::Events.clear();
    THoldingHost::Holds[0] = &AudioHold;
    THoldingHost::Holds[1] = &HostHold;
    THoldingHost::OnCall = {};
    // Freed by the close request.
    auto* plugin = new TLoggingPlugin;
    plugin->InitPlugin(&THoldingHost::Callback);
    Effect = plugin->GetEffect();
    Dispatch(Effect, kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
    Dispatch(Effect, kEffSetBlockSize, 0, 256);
    Dispatch(Effect, kEffMainsChanged, 0, 1);
    TEventLog::Events.clear();
  }
  void TearDown() override {
    // A failed check must not leave a thread waiting.
    AudioHold.Release();
    HostHold.Release();
    for (std::thread* t : {&AudioThread, &HostThread, &Closer})
      if (t->joinable()) t->join();
    THoldingHost::Holds[0] = THoldingHost::Holds[1] = nullptr;
    THoldingHost::OnCall = {};
  }

  TVstEffect* Effect = nullptr;
  THold AudioHold;
  THold HostHold;
  std::thread AudioThread;
  std::thread HostThread;
  std::thread Closer;
};

TEST_F(PluginClose, WaitsUntilEveryCallInsideHasLeftAndRefusesNewOnes) {
  // A process call, held where it asks the host for the process level, and
  // a resume on a host thread, held where it asks for MIDI: both have work
  // left in the instance once they are let go.
  AudioThread = std::thread([this] {
    TStereoBuffers out(256);
    AudioHold.Arm(kHostGetCurrentProcessLevel);
    Effect->processReplacing(Effect, nullptr, out.Pointers, 256);
  });
  HostThread = std::thread([this] {
    HostHold.Arm(kHostWantMidi);
    Dispatch(Effect, kEffMainsChanged, 0, 1);
  });
  ASSERT_TRUE(AudioHold.WaitEntered());
  ASSERT_TRUE(HostHold.WaitEntered());

  std::atomic<bool> closeReturned{false};
  std::intptr_t closeAnswer = -1;
  Closer = std::thread([&] {
    closeAnswer = Dispatch(Effect, kEffClose);
    closeReturned = true;
  });
  ASSERT_TRUE(TEventLog::WaitFor("closed")) << "the close request did its work while the calls were inside";

  // The object stays whole while the calls are inside; what arrives now is
  // refused without effect.
  EXPECT_EQ(Dispatch(Effect, kEffIdentify), 0) << "a call after close began is answered 0";
  EXPECT_EQ(Effect->getParameter(Effect, TDSPPluginX::kParamVolume), 0.0f);
  EXPECT_EQ(Dispatch(Effect, kEffClose), 0) << "a second close while one runs";
  EXPECT_FALSE(closeReturned.load());
  EXPECT_FALSE(TEventLog::Has("destroyed"));

  AudioHold.Release();
  AudioThread.join();
  EXPECT_TRUE(TEventLog::Has("processed"));
  EXPECT_FALSE(closeReturned.load()) << "the resume is still inside";
  EXPECT_FALSE(TEventLog::Has("destroyed"));

  HostHold.Release();
  HostThread.join();
  Closer.join();
  EXPECT_EQ(closeAnswer, 1);
  EXPECT_EQ(TEventLog::All(), (std::vector<std::string>{"close began", "closed", "processed", "resumed", "destroyed"}));
}

TEST_F(PluginClose, FromInsideACallOnTheSameThreadFreesWhenThatCallLeaves) {
  // A host that closes the instance from a callback the instance made:
  // waiting for that call would never end, and freeing at once would pull
  // the object from under it.
  std::intptr_t closeAnswer = -1;
  bool destroyedInside = true;
  THoldingHost::OnCall = [&](TVstEffect* effect, std::int32_t opcode) {
    if (opcode != kHostWantMidi || closeAnswer != -1) return;
    closeAnswer = Dispatch(effect, kEffClose);
    destroyedInside = TEventLog::Has("destroyed");
  };
  Dispatch(Effect, kEffMainsChanged, 0, 1);
  EXPECT_EQ(closeAnswer, 1);
  EXPECT_FALSE(destroyedInside) << "freed while the resume was still inside";
  EXPECT_EQ(TEventLog::All(), (std::vector<std::string>{"close began", "closed", "resumed", "destroyed"}));
}

// The editor calls: a host may close from its main thread while its editor
// thread is still inside one (an open in progress).
class PluginCloseEditorCall : public PluginClose, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(PluginCloseEditorCall, ClosesTheEditorOnlyOnceTheEditorCallOnAnotherThreadHasLeft) {
  HostThread = std::thread([this] {
    TLoggingPlugin::EditorThread = true;
    HostHold.Arm(kHostIdle);
    Dispatch(Effect, GetParam());
  });
  ASSERT_TRUE(HostHold.WaitEntered());
  std::intptr_t closeAnswer = -1;
  Closer = std::thread([&] { closeAnswer = Dispatch(Effect, kEffClose); });
  ASSERT_TRUE(TEventLog::WaitFor("close began"));
  EXPECT_EQ(Dispatch(Effect, kEffEditOpen), 0) << "an editor open after close began";
  HostHold.Release();
  HostThread.join();
  Closer.join();
  EXPECT_EQ(closeAnswer, 1);
  EXPECT_EQ(TEventLog::All(), (std::vector<std::string>{"close began", "editor call left", "closed", "destroyed"}));
}

TEST_P(PluginCloseEditorCall, FromInsideAnEditorCallOnTheSameThreadFreesWhenThatCallLeaves) {
  // The close must not wait for the editor call it was made from.
  std::intptr_t closeAnswer = -1;
  bool asked = false;
  THoldingHost::OnCall = [&](TVstEffect* effect, std::int32_t opcode) {
    if (opcode != kHostIdle || asked) return;
    asked = true;
    closeAnswer = Dispatch(effect, kEffClose);
  };
  TLoggingPlugin::EditorThread = true;
  Dispatch(Effect, GetParam());
  TLoggingPlugin::EditorThread = false;
  EXPECT_EQ(closeAnswer, 1);
  EXPECT_EQ(TEventLog::All(), (std::vector<std::string>{"close began", "closed", "editor call left", "destroyed"}));
}

INSTANTIATE_TEST_SUITE_P(EditorCalls, PluginCloseEditorCall,
                         ::testing::Values(kEffEditOpen, kEffEditClose, kEffEditIdle),
                         [](const ::testing::TestParamInfo<std::int32_t>& info) {
                           return info.param == kEffEditOpen    ? std::string("EditOpen")
                                  : info.param == kEffEditClose ? std::string("EditClose")
                                                                : std::string("EditIdle");
                         });

}  // namespace
