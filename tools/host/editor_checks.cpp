#include "tools/host/editor_checks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

#include "tools/host/editor_host.h"

namespace check_support {
namespace {

std::string Size(int w, int h) { return std::to_string(w) + " x " + std::to_string(h); }

// Faults in order, the first few in full.
class TFaults {
 public:
  void Add(const std::string& text) {
    if (Count++ < 4) Text += text + "; ";
  }
  bool Any() const { return Count > 0; }
  std::string Summary() const { return Count > 4 ? Text + std::to_string(Count - 4) + " more; " : Text; }
  // A window found missing, or staying after the close request, is not
  // waited for again.
  bool NoWindow = false;
  bool WindowKept = false;

 private:
  int Count = 0;
  std::string Text;
};

// How long what a check awaits may take on a busy machine before it counts
// as not happening.
constexpr double kAwaitSeconds = 10;

// Sanitizers slow every call many times over: a process call's processor
// time is allowed this factor more there.
#if defined(RUMBLEON_SANITIZED)
constexpr double kSlowdown = 10;
#else
constexpr double kSlowdown = 1;
#endif

// Opens the plug-in's editor, or says why the check cannot run.
std::unique_ptr<TEditorHost> Prepare(TVstPlugin& plugin, TCheckResult& skip) {
  if (!plugin.HasFlag(kVstFlagHasEditor)) {
    skip = Skip("the plug-in has no editor");
    return nullptr;
  }
  std::string error;
  auto host = TEditorHost::Connect(error);
  if (!host) skip = Skip(error);
  return host;
}

bool AnyMapped(TEditorHost& host) {
  for (const TChildWindow& c : host.PluginWindows())
    if (c.Mapped) return true;
  return false;
}

// One open-idle-close session in a new window of ours: idles for idleMs,
// and on until the plug-in's window is in ours and until() holds (each at
// most kAwaitSeconds; untilFault says what did not happen).
void Session(TEditorHost& host, TVstPlugin& plugin, const std::string& when, int idleMs, TFaults& faults,
             const std::function<bool()>& until = {}, const std::string& untilFault = {}) {
  std::string error;
  if (!host.Open(plugin, error)) {
    faults.Add(when + ": " + error);
    host.DestroyWindow();
    return;
  }
  host.IdleFor(idleMs);
  // A plug-in may map its window in a later idle call.
  if (!faults.NoWindow) host.IdleUntil([&] { return AnyMapped(host); }, kAwaitSeconds);
  if (until && !host.IdleUntil(until, kAwaitSeconds)) faults.Add(when + ": " + untilFault);
  bool shown = false, fits = false;
  TChildWindow seen;
  for (const TChildWindow& c : host.PluginWindows()) {
    if (!c.Mapped) continue;
    shown = true;
    seen = c;
    if (c.X == 0 && c.Y == 0 && c.Width == host.Width() && c.Height == host.Height()) fits = true;
  }
  if (!shown) {
    faults.Add(when + ": the plug-in put no window into the host's window");
    faults.NoWindow = true;
  } else if (!fits) {
    faults.Add(when + ": the plug-in's window is " + Size(seen.Width, seen.Height) + " at " + std::to_string(seen.X) +
               ", " + std::to_string(seen.Y) + "; the editor rectangle says " + Size(host.Width(), host.Height()));
  }
  host.CloseEditor();
  // The plug-in's own connection unmaps its window: the server may serve
  // ours first.
  bool stays = AnyMapped(host);
  if (stays && !faults.WindowKept) {
    const auto end =
        TClock::now() + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(kAwaitSeconds));
    while (stays && TClock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      stays = AnyMapped(host);
    }
  }
  if (stays) {
    faults.Add(when + ": the plug-in's window stays after the close request");
    faults.WindowKept = true;
  }
  host.DestroyWindow();
}

// Renders notes at the pace of real time on a thread of its own, counting
// its blocks and measuring the processor time each costs the thread (its
// own clock: a busy machine does not inflate it).
class TRenderThread {
 public:
  explicit TRenderThread(TVstPlugin& plugin) : Driver(plugin, 256) {
    Driver.Measure = true;
    Driver.Paced = true;
    Thread = std::thread([this] {
      double last = -1;
      // Before each block: the time since the last one began is that block's.
      auto before = [&](std::int64_t) {
        const double now = ThreadCpuSeconds();
        if (last >= 0 && now - last > Worst.load()) Worst.store(now - last);
        last = now;
        Blocks.fetch_add(1);
      };
      while (!Done.load()) Driver.Run(44100 / 4, 256, NotePattern(44100 / 4, 4), before);
    });
  }
  ~TRenderThread() { Stop(); }
  void Stop() {
    Done = true;
    if (Thread.joinable()) Thread.join();
  }
  std::int64_t BlockCount() const { return Blocks.load(); }
  // The most processor time one block cost the thread, in seconds.
  double WorstCpuSeconds() const { return Worst.load(); }
  TDriver Driver;

 private:
  std::thread Thread;
  std::atomic<bool> Done{false};
  std::atomic<std::int64_t> Blocks{0};
  std::atomic<double> Worst{0};
};

// Automate, begin-edit and end-edit calls, as they came.
class TNoticeLog {
 public:
  explicit TNoticeLog(TVstPlugin& plugin) : Plugin(plugin) {
    plugin.SetNoticeObserver([this](const THostNotice& n) {
      std::lock_guard<std::mutex> lock(Lock);
      Notices.push_back(n);
    });
  }
  ~TNoticeLog() { Plugin.SetNoticeObserver({}); }
  std::vector<THostNotice> Take() {
    std::lock_guard<std::mutex> lock(Lock);
    return Notices;
  }

 private:
  TVstPlugin& Plugin;
  std::mutex Lock;
  std::vector<THostNotice> Notices;
};

}  // namespace

TCheckResult CheckEditorSessions(TCheckContext& ctx) {
  auto p = ctx.Open(44100, 512);
  TCheckResult skip;
  auto host = Prepare(*p, skip);
  if (!host) return skip;
  const std::uint64_t errorsBefore = TEditorHost::XErrors();
  TFaults faults;
  int sessions = 0;
  Session(*host, *p, "cold", 300, faults);
  Session(*host, *p, "warm", 300, faults);
  for (int i = 1; i <= 10; ++i) Session(*host, *p, "reopened " + std::to_string(i) + " of 10", 80, faults);
  sessions += 12;
  const int w = host->Width(), h = host->Height();
  double worstCpu = 0;
  std::int64_t blocks = 0;
  {
    auto q = ctx.Open(44100, 256);
    q->Resume();
    TRenderThread audio(*q);
    // Each session lasts until the audio thread has rendered 20 blocks in it.
    for (int i = 0; i < 2; ++i) {
      const std::int64_t start = audio.BlockCount();
      Session(
          *host, *q, "while processing", 500, faults, [&] { return audio.BlockCount() >= start + 20; },
          "the audio thread rendered fewer than 20 blocks in " + Num(kAwaitSeconds, 0) + " s with the editor open");
    }
    sessions += 2;
    audio.Stop();
    worstCpu = audio.WorstCpuSeconds();
    blocks = audio.BlockCount();
    if (!audio.Driver.Faults().empty()) faults.Add(audio.Driver.Faults());
    // More processor time than the block lasts is a dropout on any machine.
    const double allowed = kSlowdown * 256 / 44100.0;
    if (worstCpu > allowed)
      faults.Add("an audio block cost its thread " + Num(worstCpu * 1000.0, 1) +
                 " ms of processor time while the editor was open (more than " + Num(allowed * 1000.0, 1) + " ms)");
  }
  const std::uint64_t errors = TEditorHost::XErrors() - errorsBefore;
  if (errors > 0) faults.Add(std::to_string(errors) + " X protocol errors on the host's connections");
  if (faults.Any()) return Fail(faults.Summary());
  return Pass(std::to_string(sessions) + " editor sessions (cold, warm, 10 in a row, while processing), " + Size(w, h) +
              "; " + std::to_string(blocks) + " audio blocks, the costliest " + Num(worstCpu * 1000.0, 2) +
              " ms of processor time");
}

TCheckResult CheckEditorMouse(TCheckContext& ctx) {
  auto p = ctx.Open(44100, 512);
  TCheckResult skip;
  auto host = Prepare(*p, skip);
  if (!host) return skip;
  TNoticeLog log(*p);
  std::string error;
  if (!host->Open(*p, error)) return Fail(error);
  host->IdleFor(300);
  // Input goes to the plug-in's window once it is on the screen.
  host->IdleUntil([&] { return AnyMapped(*host); }, kAwaitSeconds);
  const int w = host->Width(), h = host->Height();
  const int points[3][2] = {{w / 2, h / 2}, {w / 4, h / 4}, {3 * w / 4, 3 * h / 4}};
  std::string inputError;
  bool grabbedAfterClose = false;
  int cursorAfterClose = -1;
  host->RunWithInput([&](TEditorInput& in) {
    if (!in.Ready()) {
      inputError = in.Error();
      return;
    }
    for (const auto& pt : points) {
      const int x = pt[0], y = pt[1];
      for (int button : {1, 3}) {
        in.MoveTo(x, y);
        in.Press(button);
        in.Settle();
        in.Release(button);
        in.Settle();
        // Ends a menu the click may have opened.
        in.Key("Escape");
        in.Settle();
      }
      in.MoveTo(x, y);
      in.Press(1);
      in.Settle();
      for (int dy : {-6, -12, -18, -10, 0, 8}) {
        in.MoveTo(x, y + dy);
        in.Settle();
      }
      in.Release(1);
      in.Settle();
      in.Key("Escape");
      in.Settle();
    }
    // Closed in the middle of a drag.
    in.MoveTo(w / 2, h / 2);
    in.Settle();
    in.Press(1);
    in.Settle();
    in.MoveTo(w / 2, h / 2 - 10);
    in.Settle();
    in.MoveTo(w / 2, h / 2 - 20);
    in.Settle();
    in.OnHostThread([&] { host->CloseEditor(); });
    grabbedAfterClose = in.PointerGrabbed();
    cursorAfterClose = in.CursorOpaquePixels();
    in.Release(1);
  });
  host->DestroyWindow();
  if (!inputError.empty()) return Skip(inputError);

  TFaults faults;
  std::map<std::int32_t, int> open_;
  int automates = 0, gestures = 0;
  for (const THostNotice& n : log.Take()) {
    if (n.Index < 0 || n.Index >= p->NumParams()) {
      faults.Add("a request for parameter " + std::to_string(n.Index) + ", which does not exist");
      continue;
    }
    if (n.Opcode == kHostAutomate) {
      ++automates;
      if (!(n.Value >= 0.0f && n.Value <= 1.0f))
        faults.Add("automate of parameter " + std::to_string(n.Index) + " with " + std::to_string(n.Value) +
                   ", outside 0 to 1");
    } else if (n.Opcode == kHostBeginEdit) {
      ++gestures;
      ++open_[n.Index];
    } else if (open_[n.Index]-- <= 0) {
      open_[n.Index] = 0;
      faults.Add("end-edit of parameter " + std::to_string(n.Index) + " without a begin-edit");
    }
  }
  for (const auto& [index, count] : open_)
    if (count > 0) faults.Add("begin-edit of parameter " + std::to_string(index) + " never ended");
  if (grabbedAfterClose) faults.Add("the pointer stays grabbed after closing the editor during a drag");
  if (cursorAfterClose == 0) faults.Add("the cursor stays hidden after closing the editor during a drag");
  if (faults.Any()) return Fail(faults.Summary());
  return Pass("6 clicks and 3 drags: " + std::to_string(automates) + " automate calls in " + std::to_string(gestures) +
              " gestures; closed during a drag: pointer free, cursor " +
              (cursorAfterClose < 0 ? std::string("not known") : std::string("visible")));
}

TCheckResult CheckEditorParentGone(TCheckContext& ctx) {
  auto p = ctx.Open(44100, 512);
  TCheckResult skip;
  auto host = Prepare(*p, skip);
  if (!host) return skip;
  std::string error;
  if (!host->Open(*p, error)) return Fail(error);
  host->IdleFor(200);
  host->DestroyWindow();
  // The plug-in is idled with its window gone, then told to close.
  host->IdleFor(200);
  const std::intptr_t answer = host->CloseEditor();
  TFaults faults;
  Session(*host, *p, "opened again afterwards", 200, faults);
  if (faults.Any()) return Fail(faults.Summary());
  return Pass("the host's window destroyed first: the plug-in idled, closed (answer " + std::to_string(answer) +
              ") and opened again");
}

}  // namespace check_support
