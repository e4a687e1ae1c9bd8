// Host automation on the audio thread (setParameter right before a process
// call, as a host that plays its automation lanes delivers it) costs that
// thread no more than twice its steady block, whatever the parameter does:
// what allocates, designs or clears megabytes is built on the module's
// worker and swapped in. Judged on the audio thread's own processor time
// (its CPU clock, which a busy machine does not inflate) and its heap use.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engines/rumbleon2.h"
#include "framework/base/streams.h"
#include "framework/base/thread_time.h"
#include "framework/core/change_builder.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/support/alloc_trap.h"

namespace {

using plugin_test::Dispatch;

// Sanitizers slow every call many times over: there a call's time says
// nothing about the instrument.
#if defined(RUMBLEON_SANITIZED)
constexpr bool kTimingJudged = false;
#else
constexpr bool kTimingJudged = true;
#endif

// A change may cost the audio thread this factor over its steady worst,
// plus the slack.
constexpr double kCostFactor = 2.0;
constexpr double kCostSlackSeconds = 0.0001;
// Rounds a parameter over the limit is measured in; it fails when it is
// over in every one (a busy machine can charge an interrupt or a page
// reclaim to any call now and then; a change that costs, costs each time).
constexpr int kRounds = 4;
// Blocks measured after each change (its own among them): what the worker
// built is swapped in at the end of a later call.
constexpr int kBlocksPerChange = 3;
constexpr int kSteadyBlocks = 300;
constexpr std::int32_t kFrames = 512;

// The instrument with builds on the module's worker, program 0, driven
// from this thread as its audio thread.
class TAutomatedInstrument {
 public:
  explicit TAutomatedInstrument(float rate) {
    SetAsynchronousBuilds(true);
    Plugin = plugin_test::MakePlugin<TRumbleon2>(rate);
    SetAsynchronousBuilds(false);
    Effect = Plugin->GetEffect();
  }
  ~TAutomatedInstrument() {
    Dispatch(Effect, kEffClose);
    (void)Plugin.release();  // freed by the close request
  }

  // One process call, `param` set to `value` right before it (none for
  // -1); the audio thread's processor time for both. Then waits until the
  // worker has built what the call asked for (a host's next call comes a
  // block later): the next call swaps it in.
  double Block(std::int32_t param = -1, float value = 0, const TVstEvents* events = nullptr) {
    double cpu = 0;
    {
      testing_support::TAudioThreadGuard audio("the audio thread automated");
      const double start = ThreadCpuSeconds();
      if (param >= 0) Effect->setParameter(Effect, param, value);
      Dispatch(Effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events != nullptr ? events : NoEvents));
      Effect->processReplacing(Effect, nullptr, Out.Pointers, kFrames);
      cpu = ThreadCpuSeconds() - start;
    }
    for (const float x : Out.Left) Peak = std::max(Peak, std::fabs(x));
    WaitForWorker();
    return cpu;
  }

  // The note struck again, past its attack.
  void Strike() {
    plugin_test::TEventList note;
    note.Add(0, 0x80, 40, 0);
    note.Add(0, 0x90, 40, 100);
    Block(-1, 0, note.Build());
    for (int i = 0; i < 8; ++i) Block();
  }

  std::unique_ptr<TRumbleon2> Plugin;
  TVstEffect* Effect = nullptr;
  // The loudest left output sample so far.
  float Peak = 0;

 private:
  void WaitForWorker() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    TChangeBuilder& changes = Plugin->Changes();
    while (std::chrono::steady_clock::now() < end) {
      {
        // The worker holds the build lock for the whole of its run and
        // takes the work it was woken for at its start.
        std::lock_guard<std::recursive_mutex> building(changes.BuildLock());
        if (!changes.HasRealtimeRequests()) return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

  plugin_test::TStereoBuffers Out{kFrames};
  plugin_test::TEventList None;
  const TVstEvents* NoEvents = None.Build();
};

std::string ParamName(TVstEffect* e, std::int32_t param) {
  char name[256] = {};
  Dispatch(e, kEffGetParamName, param, 0, name);
  return name;
}

// The worst block of a parameter set to 0, to 1 and back to its own value
// on the audio thread, each followed by the blocks after it.
double AutomationWorst(TAutomatedInstrument& a, std::int32_t param) {
  TVstEffect* e = a.Effect;
  const float own = e->getParameter(e, param);
  a.Strike();
  double worst = 0;
  for (const float value : {0.0f, 1.0f, own}) {
    worst = std::max(worst, a.Block(param, value));
    for (int k = 1; k < kBlocksPerChange; ++k) worst = std::max(worst, a.Block());
  }
  return worst;
}

// Every parameter at 44.1 and 96 kHz, program 0 with a note held and the
// largest room there is (tens of megabytes of lines): whatever a change
// does with all of the rack's line memory at once shows.
TEST(AudioThreadAutomation, EveryParameterCostsAtMostTwiceASteadyBlock) {
  ASSERT_FALSE(sampler_test::FactoryBank().empty()) << "the build writes resources/factorybank.fxb";
  for (const float rate : {44100.0f, 96000.0f}) {
    SCOPED_TRACE(testing::Message() << rate << " Hz");
    plugin_test::TTestHost::Reset();
    TAutomatedInstrument a(rate);
    TRumbleon2& p = *a.Plugin;
    TVstEffect* e = a.Effect;
    {
      TMemoryStream bank(sampler_test::FactoryBank());
      ASSERT_TRUE(p.LoadBankFromStream(bank));
    }
    Dispatch(e, kEffSetProgram, 0, 0);
    const std::int32_t room = p.FxParamIndex(17), size = p.FxParamIndex(18);
    ASSERT_EQ(ParamName(e, room), "RvbMode");
    ASSERT_EQ(ParamName(e, size), "RvbSize");
    e->setParameter(e, room, 1.0f / 64.0f);
    e->setParameter(e, size, 1.0f);

    a.Strike();
    for (int i = 0; i < 40; ++i) a.Block();
    a.Peak = 0;
    std::vector<double> steady;
    for (int i = 0; i < kSteadyBlocks; ++i) steady.push_back(a.Block());
    ASSERT_GT(a.Peak, 0.01f) << "the note sounds";
    const double steadyWorst = *std::max_element(steady.begin(), steady.end());
    const double limit = kCostFactor * steadyWorst + kCostSlackSeconds;

    std::string over;
    for (std::int32_t param = 0; param < e->numParams; ++param) {
      double best = 0;
      for (int round = 0; round < kRounds; ++round) {
        const double worst = AutomationWorst(a, param);
        best = round == 0 ? worst : std::min(best, worst);
        if (!kTimingJudged || best <= limit) break;
      }
      if (kTimingJudged && best > limit)
        over += " " + std::to_string(param) + " (" + ParamName(e, param) + "): " + std::to_string(best * 1e3) + " ms;";
    }
    EXPECT_TRUE(over.empty()) << "parameters whose change cost the audio thread more than " << kCostFactor
                              << " x its steady worst " << steadyWorst * 1e3 << " ms + " << kCostSlackSeconds * 1e3
                              << " ms in each of " << kRounds << " rounds:" << over;
  }
}

}  // namespace
