// One round of a host whose threads close a plug-in, or its editor, while
// another thread opens that editor, with an audio thread
// processing all along (a note held). The editor thread has a window of its
// own for the editor on $DISPLAY; the closing thread starts delay
// microseconds after the editor thread began the call it races (a means to
// vary where the two meet; nothing is timed).
//
//   close_race_host MODULE.so MODE DELAY_US
//     close-during-open      effClose while effEditOpen runs
//     editclose-during-open  effEditClose while effEditOpen runs; then
//                            idle, the editor thread's own editor close and
//                            effClose
//
// Exit status 0 when the round ran through, 1 when it could not be set up,
// 2 for bad usage; a crash ends the process by its signal, a hang by
// SIGALRM after five minutes. The process ends without running destructors:
// a closed plug-in's record is gone.
#include <X11/Xlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/vst_host.h"

namespace {

enum class TMode { CloseDuringOpen, EditCloseDuringOpen };

constexpr int kFrames = 512;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "close_race_host: %s\n", why.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

// The audio thread: processes blocks until asked to stop. The plug-in asks
// the host for its process level at the start of every process call, inside
// it: that tells the thread is in the plug-in.
class TAudioThread {
 public:
  // Between: before its check for a stop; Entering: past it, on its way
  // into the plug-in; Inside: in the plug-in's process call.
  enum class TPhase { Between, Entering, Inside, Stopped };

  void Start(TVstEffect* effect) {
    Effect = effect;
    Thread = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lock(Mutex);
    Changed.wait(lock, [this] { return Blocks >= 2; });
  }
  // In the plug-in's host callback.
  void Inside() {
    if (!OnThisThread) return;
    std::lock_guard<std::mutex> lock(Mutex);
    Phase = TPhase::Inside;
    Changed.notify_all();
  }
  // No process call starts from here on; answers once the thread is either
  // inside one (a close that begins now waits for it) or out for good.
  void StopStarting() {
    std::unique_lock<std::mutex> lock(Mutex);
    Stopping = true;
    Changed.wait(lock, [this] { return Phase != TPhase::Entering; });
  }
  void Join() {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Stopping = true;
    }
    if (Thread.joinable()) Thread.join();
  }

 private:
  void Run() {
    OnThisThread = true;
    std::vector<float> left(kFrames), right(kFrames);
    float* outputs[2] = {left.data(), right.data()};
    TVstEventList events(1);
    const std::uint8_t on[3] = {0x90, 40, 100};
    events.Add(0, on, 3);
    Effect->dispatcher(Effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Events()), 0.0f);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(Mutex);
        if (Stopping) {
          Phase = TPhase::Stopped;
          Changed.notify_all();
          return;
        }
        Phase = TPhase::Entering;
      }
      Effect->processReplacing(Effect, nullptr, outputs, kFrames);
      std::lock_guard<std::mutex> lock(Mutex);
      Phase = TPhase::Between;
      ++Blocks;
      Changed.notify_all();
    }
  }

  static inline thread_local bool OnThisThread = false;
  TVstEffect* Effect = nullptr;
  std::thread Thread;
  std::mutex Mutex;
  std::condition_variable Changed;
  TPhase Phase = TPhase::Between;
  bool Stopping = false;
  int Blocks = 0;
};

TAudioThread Audio;

std::intptr_t HostCallback(TVstEffect* /*effect*/, std::int32_t opcode, std::int32_t /*index*/, std::intptr_t /*value*/,
                           void* /*ptr*/, float /*opt*/) {
  switch (opcode) {
    case kHostVersion:
      return 2400;
    case kHostGetSampleRate:
      return 44100;
    case kHostGetBlockSize:
      return kFrames;
    case kHostGetCurrentProcessLevel:
      Audio.Inside();
      return kVstProcessLevelRealtime;
    default:
      return 0;
  }
}

// A flag one thread raises and another waits for.
class TSignal {
 public:
  void Raise() {
    std::lock_guard<std::mutex> lock(Mutex);
    Raised = true;
    Changed.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(Mutex);
    Changed.wait(lock, [this] { return Raised; });
  }
  bool IsRaised() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Raised;
  }

 private:
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Raised = false;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 4 ? argv[2] : "";
  const TMode m = mode == "editclose-during-open" ? TMode::EditCloseDuringOpen : TMode::CloseDuringOpen;
  if (mode != "editclose-during-open" && mode != "close-during-open") {
    std::fprintf(stderr, "usage: close_race_host MODULE.so close-during-open|editclose-during-open DELAY_US\n");
    return 2;
  }
  const int delayUs = std::atoi(argv[3]);
  alarm(300);

  auto& module = *new TVstModule;  // never unloaded: the process ends with it
  std::string error;
  if (!module.Load(argv[1], error)) Fail(error);
  TVstEffect* effect = module.Entry()(&HostCallback);
  if (effect == nullptr || effect->magic != kVstEffectMagic) Fail("the module made no plug-in");
  auto dispatch = [effect](std::int32_t opcode, std::intptr_t value = 0, void* ptr = nullptr, float opt = 0.0f) {
    return effect->dispatcher(effect, opcode, 0, value, ptr, opt);
  };
  dispatch(kEffOpen);
  dispatch(kEffSetSampleRate, 0, nullptr, 44100.0f);
  dispatch(kEffSetBlockSize, kFrames);
  dispatch(kEffMainsChanged, 1);
  Audio.Start(effect);

  // The editor thread: the host's window on a connection of its own.
  TSignal racing, closed;
  std::thread editor([&] {
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) Fail("no display");
    const int screen = DefaultScreen(d);
    const Window w =
        XCreateSimpleWindow(d, RootWindow(d, screen), 0, 0, 800, 520, 0, BlackPixel(d, screen), BlackPixel(d, screen));
    XMapWindow(d, w);
    XSync(d, False);
    void* parent = reinterpret_cast<void*>(static_cast<std::uintptr_t>(w));
    racing.Raise();
    dispatch(kEffEditOpen, 0, parent);
    if (m == TMode::CloseDuringOpen) return;  // the plug-in may be gone now
    // Idle as a host does until the other thread's close has returned, and
    // a little after; then the editor thread's own close.
    for (int after = 0; after < 3;) {
      dispatch(kEffEditIdle);
      if (closed.IsRaised()) ++after;
      else std::this_thread::yield();
    }
    dispatch(kEffEditClose);
  });

  racing.Wait();
  std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
  if (m == TMode::CloseDuringOpen) {
    // The audio thread is in a process call, or out for good, when the
    // close begins: it starts none afterwards, which would reach the freed
    // plug-in.
    Audio.StopStarting();
    dispatch(kEffClose);
    Audio.Join();
    editor.join();
    std::_Exit(0);
  }
  dispatch(kEffEditClose);
  closed.Raise();
  editor.join();
  Audio.Join();
  dispatch(kEffMainsChanged, 0);
  dispatch(kEffClose);
  std::_Exit(0);
}
