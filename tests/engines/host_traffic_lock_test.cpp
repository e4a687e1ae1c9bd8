// What a host does all the time while it streams (reading and setting
// parameters, their texts, program names, saving chunks, idling an open
// editor, MIDI from its own thread) must never take the instance lock: a
// hold by another thread can silence one of the audio thread's calls, an
// audible dropout. Counted, per kind of traffic, on the finished instrument.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engines/rumbleon2.h"
#include "framework/base/streams.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/gui/controls/editor_test_support.h"

namespace {

using plugin_test::Dispatch;
using plugin_test::TEventList;

// The instrument with its editor window replaced by a stand-in (painting
// happens as in the real window, without a display).
class TStreamedInstrument : public TRumbleon2 {
 public:
  std::unique_ptr<TEditorPlatformWindow> CreatePlatformWindow(void* /*parent*/, std::int32_t w, std::int32_t h,
                                                              TWindowListener* listener,
                                                              std::string* /*why*/) override {
    auto window = std::make_unique<editor_test::TStubPlatformWindow>(w, h, listener);
    Window = window.get();
    return window;
  }
  editor_test::TStubPlatformWindow* Window = nullptr;
};

struct TTraffic {
  const char* Name;
  // One step of it (k counts up from 0).
  std::function<void(TVstEffect*, int k)> Step;
};

TEST(HostTrafficWhileStreamingStress, RoutineCallsFromOtherThreadsNeverTakeTheInstanceLock) {
  plugin_test::TTestHost::Reset();
  PumpPostBacks();
  // Builds go to the worker, as in the module.
  SetAsynchronousBuilds(true);
  std::unique_ptr<TStreamedInstrument> plugin = plugin_test::MakePlugin<TStreamedInstrument>();
  SetAsynchronousBuilds(false);
  TStreamedInstrument& p = *plugin;
  TVstEffect* e = p.GetEffect();
  ASSERT_FALSE(sampler_test::FactoryBank().empty()) << "the build writes resources/factorybank.fxb";
  {
    TMemoryStream bank(sampler_test::FactoryBank());
    ASSERT_TRUE(p.LoadBankFromStream(bank));
  }
  // Selected as a host does: what the program needs is built here, before
  // the host streams.
  Dispatch(e, kEffSetProgram, 0, 0);
  ASSERT_EQ(Dispatch(e, kEffEditOpen, 0, 0, editor_test::HostWindow()), 1);
  Dispatch(e, kEffEditIdle);
  ASSERT_NE(p.Window, nullptr);

  // Long host blocks (93 ms): a host thread takes the lock once the calls
  // have stopped for two blocks, and no busy machine keeps the audio thread
  // from its next call that long.
  constexpr int kFrames = 4096;
  plugin_test::TRenderThread audio(e, kFrames, [](int k, TEventList& events) {
    if (k % 4 == 0) events.Add(0, 0x90, static_cast<std::uint8_t>(36 + k % 24), 100);
    if (k % 4 == 2) events.Add(0, 0x80, static_cast<std::uint8_t>(36 + (k - 2) % 24), 0);
  });
  audio.WaitBlocks(2);

  const std::int32_t params = e->numParams;
  std::vector<char> text(512);
  // Every parameter but the voice count: a new voice set ends every note
  // and is installed while the instrument is silent, by another thread
  // under the lock (as a program is).
  auto param = [params](int k) {
    const auto i = static_cast<std::int32_t>((k * 7) % params);
    return i == sampler_test::kVoices ? i + 1 : i;
  };
  const std::vector<TTraffic> traffic = {
      {"getParameter", [&](TVstEffect* fx, int k) { (void)fx->getParameter(fx, param(k)); }},
      {"parameter texts",
       [&](TVstEffect* fx, int k) {
         Dispatch(fx, kEffGetParamDisplay, param(k), 0, text.data());
         Dispatch(fx, kEffGetParamLabel, param(k), 0, text.data());
         Dispatch(fx, kEffGetParamName, param(k), 0, text.data());
         Dispatch(fx, kEffCanBeAutomated, param(k));
       }},
      {"program number and names",
       [&](TVstEffect* fx, int k) {
         Dispatch(fx, kEffGetProgram);
         Dispatch(fx, kEffGetProgramName, 0, 0, text.data());
         Dispatch(fx, kEffGetProgramNameIndexed, k % 128, 0, text.data());
       }},
      {"bank and program chunks",
       [&](TVstEffect* fx, int k) {
         void* data = nullptr;
         Dispatch(fx, kEffGetChunk, k % 2, 0, &data);
       }},
      {"host queries and idle",
       [&](TVstEffect* fx, int /*k*/) {
         Dispatch(fx, kEffCanDo, 0, 0, const_cast<char*>("receiveVstMidiEvent"));
         Dispatch(fx, kEffGetEffectName, 0, 0, text.data());
         Dispatch(fx, kEffGetVendorString, 0, 0, text.data());
         Dispatch(fx, kEffGetVstVersion);
         Dispatch(fx, kEffIdle);
         TVstRect* rect = nullptr;
         Dispatch(fx, kEffEditGetRect, 0, 0, &rect);
       }},
      {"MIDI from a host thread",
       [&](TVstEffect* fx, int k) {
         TEventList list;
         list.Add(0, 0xB0, 1, static_cast<std::uint8_t>(k % 128));  // modulation wheel
         if (k % 50 == 0) list.Add(0, 0x90, 60, 90);
         if (k % 50 == 25) list.Add(0, 0x80, 60, 0);
         Dispatch(fx, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(list.Build()));
       }},
      {"setParameter",
       [&](TVstEffect* fx, int k) { fx->setParameter(fx, param(k), static_cast<float>(k % 11) / 10.0f); }},
      {"editor idle painting changed values",
       [&](TVstEffect* fx, int k) {
         fx->setParameter(fx, param(k), static_cast<float>(k % 5) / 4.0f);
         if (k % 8 == 0) Dispatch(fx, kEffEditIdle);
       }},
      {"editor knob turns",
       [&](TVstEffect* fx, int k) {
         p.OnGuiControlChange(param(k), static_cast<float>(k % 9) / 8.0f, k % 2 == 0);
         if (k % 8 == 0) Dispatch(fx, kEffEditIdle);
       }},
  };

  for (const TTraffic& t : traffic) {
    SCOPED_TRACE(t.Name);
    const std::uint64_t holdsBefore = p.InstanceMutex().HoldsBesideStream();
    const std::uint64_t busyBefore = p.BusyProcessCalls();
    const std::size_t paintedBefore = p.Window->Presented.size();
    audio.ResetLongestGap();
    // Many steps, the audio thread's calls among them: a host's traffic of
    // a hundred calls per block of 93 ms.
    for (int k = 0; k < 3000; ++k) {
      t.Step(e, k);
      if (k % 100 == 99) audio.WaitBlocks(1);
    }
    const std::uint64_t holds = p.InstanceMutex().HoldsBesideStream() - holdsBefore;
    const std::uint64_t busy = p.BusyProcessCalls() - busyBefore;
    // Held up for two blocks (less a margin for where the plug-in reads
    // its clock), the audio thread counts as stopped and a host thread
    // rightly takes the lock: then there is nothing to judge.
    if (audio.LongestGapSeconds() < 0.8 * 2 * kFrames / 44100.0) {
      EXPECT_EQ(holds, 0u) << "times another thread held the instance lock";
      EXPECT_EQ(busy, 0u) << "silent process calls";
    }
    if (std::string(t.Name).starts_with("editor")) {
      EXPECT_GT(p.Window->Presented.size(), paintedBefore) << "the editor painted";
    }
  }
  audio.Stop();
  EXPECT_TRUE(audio.AllFinite());
  Dispatch(e, kEffEditClose);
  Dispatch(e, kEffClose);
  plugin.release();  // freed by the close request
}

}  // namespace
