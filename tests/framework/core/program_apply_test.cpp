// A program applied by the audio thread and what it asks to be built: with
// the module's worker the instrument stays silent and holds its MIDI while
// the builds are outstanding, for at most kProgramSettleMs, and plays the
// held MIDI at the first block after they are in place; without the worker
// they are in place for the program's first block. A program applied at
// once starts from rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/core/change_builder.h"
#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;

// A change whose build waits until the test lets it go; its swap sets the
// instrument's level.
class TGatedChange final : public TPreparedChange {
 public:
  bool TakeRequest() override { return Requested.exchange(false); }
  void Build() override {
    std::unique_lock<std::mutex> lock(Mutex);
    Opened.wait(lock, [this] { return Open; });
  }
  void Install() override {
    if (Level != nullptr) *Level = 0.25f;
    Installs.fetch_add(1);
  }
  void Release() override { Releases.fetch_add(1); }
  void LetGo() {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Open = true;
    }
    Opened.notify_all();
  }

  std::atomic<bool> Requested{false};
  std::atomic<int> Installs{0};
  std::atomic<int> Releases{0};
  float* Level = nullptr;

 private:
  std::mutex Mutex;
  std::condition_variable Opened;
  bool Open = false;
};

// Programs whose parameter 15 is not 0 ask for a build when applied (as a
// voice set or a reverb network does); the voices end when the sound is
// reset. A held note renders a constant.
class TBuildingPlugin : public TSineTestPlugin {
 public:
  TBuildingPlugin() {
    RenderDc = true;
    Change.Level = &DcLevel;
  }
  ~TBuildingPlugin() override {
    Change.LetGo();
    Changes().Detach();
  }
  void ParameterChanged(std::int32_t i) override {
    if (i == 15 && GetParameterValue(15) != 0.0f) {
      if (OnRequest) OnRequest();
      Change.Requested = true;
      RequestPreparedChange(Change);
    }
    TSineTestPlugin::ParameterChanged(i);
  }
  void ResetSound() override {
    for (TVoice& v : Voices) v.Note = -1;
    TSineTestPlugin::ResetSound();
  }
  TGatedChange Change;
  std::function<void()> OnRequest;  // runs as the program asks for its build
};

std::unique_ptr<TBuildingPlugin> MakeBuildingPlugin(bool worker) {
  SetAsynchronousBuilds(worker);
  auto p = MakePlugin<TBuildingPlugin>();
  SetAsynchronousBuilds(false);
  p->Programs[2].Values[15] = 0.5f;
  return p;
}

TEventList NoteOn(std::uint8_t note) {
  TEventList list;
  list.Add(0, 0x90, note, 100);
  return list;
}

// Program 2 and a note, both at the start of the call.
TEventList ChangeWithNote() {
  TEventList list;
  list.Add(0, 0xC0, 2, 0);
  list.Add(0, 0x90, 64, 100);
  return list;
}

bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// The audio thread swaps in what the worker built when one of its calls
// ends: process calls until the change is in place (or about 5 s passed).
bool InstalledByTheAudioThread(TBuildingPlugin& p) {
  for (int i = 0; i < 5000 && p.Change.Installs.load() == 0; ++i) {
    Call(p, 512);
    if (p.Change.Installs.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return p.Change.Installs.load() == 1;
}

// Where the fade began: the sample before the first one below full level.
std::size_t FadeStart(const std::vector<float>& out) {
  const auto firstLower = std::find_if(out.begin(), out.end(), [](float x) { return x < 0.5f; });
  return firstLower == out.end() ? out.size() : static_cast<std::size_t>(firstLower - out.begin()) - 1;
}

struct ProgramApply : ::testing::Test {
  void SetUp() override { TTestHost::Reset(); }
};
// Tests with a second thread (the worker, a host thread), which the
// sanitizer stage for threads runs.
using ProgramApplyStress = ProgramApply;

// The build never comes: after the fade the instrument is silent for
// exactly kProgramSettleMs, then the held note plays.
TEST_F(ProgramApplyStress, WhileItsBuildIsOutstandingTheProgramSettlesForExactlyTheLongestWait) {
  auto p = MakeBuildingPlugin(true);
  Call(*p, 512, NoteOn(60));
  ASSERT_EQ(Call(*p, 512).back(), 0.5f);
  std::vector<float> out = Call(*p, 512, ChangeWithNote());
  const std::size_t fade = TDSPPluginX::kProgramFadeMs * 44;
  const std::size_t settle = TDSPPluginX::kProgramSettleMs * 44;
  while (out.size() < fade + settle + 2048) {
    const std::vector<float> more = Call(*p, 512);
    out.insert(out.end(), more.begin(), more.end());
  }
  const std::size_t start = FadeStart(out);
  ASSERT_LT(start, out.size());
  const std::size_t end = start + fade + settle;
  for (std::size_t i = start + fade; i < end; ++i) ASSERT_EQ(out[i], 0.0f) << "settling, sample " << i - start;
  for (std::size_t i = end; i < end + 44; ++i) ASSERT_EQ(out[i], 0.5f) << "the held note, sample " << i - start;
  EXPECT_EQ(p->Change.Installs.load(), 0);
  p->Change.LetGo();
  ASSERT_TRUE(InstalledByTheAudioThread(*p));
  EXPECT_EQ(Call(*p, 512).back(), 0.25f) << "what was built plays from the next block";
}

// The build comes in while the program settles: the held note plays at the
// next call, long before the longest wait is over, with what was built.
TEST_F(ProgramApplyStress, OnceItsBuildIsInPlaceTheHeldNotePlaysAtTheNextBlock) {
  auto p = MakeBuildingPlugin(true);
  Call(*p, 512, NoteOn(60));
  ASSERT_EQ(Call(*p, 512).back(), 0.5f);
  std::vector<float> out = Call(*p, 512, ChangeWithNote());
  EXPECT_EQ(out.back(), 0.0f) << "faded out, settling";
  p->Change.LetGo();
  ASSERT_TRUE(InstalledByTheAudioThread(*p));
  EXPECT_TRUE(Eventually([&] { return p->Change.Releases.load() == 1; })) << "what the swap replaced is released";
  // The next call plays it (after the output's latency of one internal
  // block), the one after from its first sample.
  EXPECT_EQ(Call(*p, 512).back(), 0.25f);
  out = Call(*p, 512);
  EXPECT_EQ(out.front(), 0.25f);
  EXPECT_EQ(out.back(), 0.25f);
  EXPECT_EQ(p->Voices[0].Note, 64);
}

// Without the worker (a host rendering offline, or the plug-in on its own)
// the program's builds are in place for the first block it plays: the note
// held during the fade sounds with what was built from its first sample.
TEST_F(ProgramApply, WithoutTheWorkerTheProgramsBuildsAreInPlaceForItsFirstBlock) {
  auto p = MakeBuildingPlugin(false);
  p->Change.LetGo();
  Call(*p, 512, NoteOn(60));
  ASSERT_EQ(Call(*p, 512).back(), 0.5f);
  std::vector<float> out = Call(*p, 512, ChangeWithNote());
  const std::vector<float> more = Call(*p, 512);
  out.insert(out.end(), more.begin(), more.end());
  const std::size_t start = FadeStart(out);
  const std::size_t end = start + TDSPPluginX::kProgramFadeMs * 44;
  ASSERT_LT(end + 44, out.size());
  for (std::size_t i = end; i < end + 44; ++i) ASSERT_EQ(out[i], 0.25f) << "sample " << i - start;
  EXPECT_EQ(p->Change.Installs.load(), 1);
}

// Rendering offline, the audio thread builds a program's changes itself
// while it holds the instance lock; a host thread that builds for the same
// instance holds the build lock and then waits for the instance lock. The
// audio thread must not wait for the build lock there: the build runs when
// its call ends, and both threads get through.
TEST_F(ProgramApplyStress, RenderingOfflineBesideAHostThreadsBuildNeverDeadlocks) {
  auto p = MakeBuildingPlugin(false);
  p->Change.LetGo();
  Call(*p, 512, NoteOn(60));
  std::atomic<bool> building{false}, applying{false}, hostThrough{false};
  p->OnRequest = [&] { applying = true; };
  std::thread host([&] {
    std::lock_guard<std::recursive_mutex> build(p->Changes().BuildLock());
    building = true;
    for (int i = 0; i < 5000 && !applying.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The audio thread holds the instance lock now; a host build takes it
    // next (given up after 5 s, so that a deadlock fails the test).
    for (int i = 0; i < 5000; ++i) {
      if (p->InstanceMutex().try_lock()) {
        p->InstanceMutex().unlock();
        hostThrough = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 5000 && !building.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Call(*p, 512, ChangeWithNote());
  host.join();
  EXPECT_TRUE(applying.load());
  EXPECT_TRUE(hostThrough.load()) << "the audio thread waited for the build lock under the instance lock";
  EXPECT_EQ(p->Change.Installs.load(), 1) << "the program's build ran when the call ended";
  EXPECT_EQ(Call(*p, 512).back(), 0.25f);
}

// A program applied at once (by a host thread while no audio thread
// streams) ends the old sound, as the fade does.
TEST_F(ProgramApplyStress, AProgramAppliedAtOnceStartsFromRest) {
  auto p = MakeBuildingPlugin(false);
  Call(*p, 512, NoteOn(60));
  ASSERT_EQ(Call(*p, 512).back(), 0.5f);
  TVstEffect* e = p->GetEffect();
  Dispatch(e, kEffMainsChanged, 0, 0);
  std::thread host([e] { Dispatch(e, kEffSetProgram, 0, 3); });
  host.join();
  EXPECT_EQ(p->CurrentProgram(), 3);
  EXPECT_EQ(p->Voices[0].Note, -1);
  Dispatch(e, kEffMainsChanged, 0, 1);
  Call(*p, 512);
  EXPECT_EQ(Call(*p, 512).back(), 0.0f) << "the old note does not come back";
}

}  // namespace
