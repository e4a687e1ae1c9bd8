// The rack under threads: the host's audio thread renders while another
// thread automates the order, the shifts, the reverb size and the LFO
// waveforms through the host's parameter entry and changes the sample rate;
// the audio thread switches the rack off and on while the module's worker
// builds its fresh lines and reverb networks. Meant for the thread and
// address sanitizers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "engines/fx_chain_order.h"
#include "engines/voicerack_gfx_synth.h"
#include "framework/core/change_builder.h"
#include "tests/engines/rack_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using namespace rack_test;
using plugin_test::Dispatch;

TEST(RackStress, RenderWhileAutomatingOrderShiftsSizeAndWaveformsAndChangingTheRate) {
  auto p = MakeRack(96000.0f);
  TVstEffect* e = p->GetEffect();
  auto set = [&](int fx, float real) {
    const TParamInfoRec& info = p->ParamInfo[static_cast<std::size_t>(p->FxParamIndex(fx))];
    e->setParameter(e, p->FxParamIndex(fx), info.NormFromReal(real));
  };
  for (int fx : {kFxOn, kRvbOn, kDistOn, kPhsOn, kDlyOn, kChrsOn, kXfltOn, kEqOn, kFxModOn}) set(fx, 1);
  for (int slot = 1; slot <= 6; ++slot) {
    set(MSrc(slot), static_cast<float>(slot));
    set(MDst(slot), static_cast<float>(slot * 20));
  }
  set(kDlyL, 50);
  set(kDlyR, 70);

  plugin_test::TRenderThread audio(e, 256, [](int k, plugin_test::TEventList& events) {
    if (k % 40 == 0) events.Add(0, 0x90, 60, 100);
  });

  std::mt19937 rng(17);
  const int order[] = {kRvbIdx, kDistIdx, kPhsIdx, kDlyIdx, kCrsIdx, kXfltIdx, kEqIdx};
  for (int i = 0; i < 400; ++i) {
    switch (rng() % 5) {
      case 0:
        set(order[rng() % 7], static_cast<float>(rng() % 13));
        break;
      case 1:
        set(rng() % 2 == 0 ? kFxPreShift : kFxPostShift, static_cast<float>(static_cast<int>(rng() % 5101) - 2550));
        break;
      case 2:
        set(kRvbSize, static_cast<float>(rng() % 1271));
        break;
      case 3:
        set(kFxLfo1Wave + static_cast<int>(rng() % 6), static_cast<float>(rng() % 128));
        break;
      default:
        set(MDst(1 + static_cast<int>(rng() % 6)), static_cast<float>(rng() % 257));
        break;
    }
    if (i == 200) {
      // The host changes the rate while the audio thread keeps calling.
      Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
    }
    std::this_thread::yield();
  }
  // The audio thread has rendered meanwhile.
  while (audio.Blocks() < 50) std::this_thread::yield();
  audio.Stop();
  EXPECT_TRUE(audio.AllFinite());
  EXPECT_EQ(p->Settings->SampleRate, 44100);
  EXPECT_LT(p->ShiftLength(TVoicerackGFXSynth::kPreShift, 0), p->ShiftCapacity());
  EXPECT_LT(p->ShiftLength(TVoicerackGFXSynth::kPreShift, 1), p->ShiftCapacity());
  EXPECT_LT(p->ShiftLength(TVoicerackGFXSynth::kPostShift, 0), p->ShiftCapacity());
  EXPECT_LT(p->ShiftLength(TVoicerackGFXSynth::kPostShift, 1), p->ShiftCapacity());
}

// Host automation on the audio thread switches the rack off (fresh lines
// asked for, built by the worker) and on again, sometimes before they came,
// while another thread's room and size changes have the worker build
// reverb networks of other sizes and the host changes the rate.
TEST(RackStress, TheRackSwitchedOffAndOnByAutomationWhileTheWorkerBuildsItsLines) {
  SetAsynchronousBuilds(true);
  auto p = MakeRack();
  SetAsynchronousBuilds(false);
  TVstEffect* e = p->GetEffect();
  auto set = [&](int fx, float real) {
    const TParamInfoRec& info = p->ParamInfo[static_cast<std::size_t>(p->FxParamIndex(fx))];
    e->setParameter(e, p->FxParamIndex(fx), info.NormFromReal(real));
  };
  for (int fx : {kFxOn, kRvbOn, kPhsOn, kDlyOn, kChrsOn, kXfltOn}) set(fx, 1);
  set(kFxPreShift, 100);
  const std::int32_t fxOn = p->FxParamIndex(kFxOn);
  plugin_test::TRenderThread audio(e, 256, [&](int k, plugin_test::TEventList& events) {
    if (k % 5 == 0) events.Add(0, 0x90, 60, 100);
    // Off for 2 or 30 blocks: on again before the fresh lines came, or after.
    if (k % 40 == 0) e->setParameter(e, fxOn, 0.0f);
    if (k % 40 == ((k / 40) % 2 == 0 ? 2 : 30)) e->setParameter(e, fxOn, 1.0f);
    // About a host's pace, so that the worker keeps up now and then.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  });
  std::mt19937 rng(23);
  for (int i = 0; audio.Blocks() < 800; ++i) {
    if (i % 2 == 0) set(kRvbSize, static_cast<float>(rng() % 1271));
    else set(kRvbMode, static_cast<float>(rng() % 7));
    if (i == 150) Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  audio.Stop();
  EXPECT_TRUE(audio.AllFinite());
}

// Order edits from the audio thread (between its calls) and from two host
// threads while they save the program and load it back: the holder of the
// values right writes what the audio thread left, and once all is quiet the
// chain that plays is the one the stored values give.
TEST(RackStress, OrderEditsOnEveryThreadWhileProgramsAreSavedAndLoaded) {
  auto p = MakeRack();
  TVstEffect* e = p->GetEffect();
  const int order[] = {kRvbIdx, kDistIdx, kPhsIdx, kDlyIdx, kCrsIdx, kXfltIdx, kEqIdx};
  auto edit = [&](int k, int position) { e->setParameter(e, p->FxParamIndex(order[k % 7]), position / 12.0f); };
  plugin_test::TRenderThread audio(e, 256, [&](int k, plugin_test::TEventList& events) {
    if (k % 40 == 0) events.Add(0, 0x90, 60, 100);
    edit(k, k % 13);
  });
  std::atomic<bool> quit{false};
  auto host = [&](unsigned seed) {
    std::mt19937 rng(seed);
    while (!quit.load()) {
      edit(static_cast<int>(rng() % 7), static_cast<int>(rng() % 13));
      void* data = nullptr;
      const auto size = Dispatch(e, kEffGetChunk, 1, 0, &data);
      const std::vector<std::uint8_t> chunk(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
      if (rng() % 4 == 0) Dispatch(e, kEffSetChunk, 1, size, const_cast<std::uint8_t*>(chunk.data()));
    }
  };
  std::thread first(host, 1u), second(host, 2u);
  audio.WaitBlocks(300);
  quit = true;
  first.join();
  second.join();
  audio.WaitBlocks(3);
  audio.Stop();
  plugin_test::TStereoBuffers out(64);
  p->ProcessReplacing(nullptr, out.Pointers, 64);
  TFxOrderValues stored{};
  for (int k = 0; k < 7; ++k) stored[static_cast<std::size_t>(k)] = RoundF(p->GetFx(order[k]));
  EXPECT_EQ(p->CurrentChain(), ReplayFxOrder(stored));
  EXPECT_TRUE(audio.AllFinite());
}

}  // namespace
