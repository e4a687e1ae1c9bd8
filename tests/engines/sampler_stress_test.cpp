// The sampler layers under threads: the host's audio thread renders sixteen
// voices while the host's parameter thread changes patches, the voice count
// and the oscillator parameters, and the editor's thread sends zone-setting
// and patch messages. Meant for the thread and address sanitizers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "dsp/sampler/sampler.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using namespace sampler_test;
using plugin_test::Dispatch;

TEST(SamplerStress, RenderSixteenVoicesWhilePatchesVoiceCountAndOscillatorsChange) {
  plugin_test::TTestHost::Reset();
  TInstrument inst;
  TRumbleon2& p = inst.P();
  TVstEffect* e = inst.Effect();
  inst.Set(kVoices, 16);
  std::int32_t patches = 0;
  while (patches < 127 && GlobalSampler().Program(0, patches) != nullptr) ++patches;
  patches = std::max(patches, 1);

  plugin_test::TRenderThread audio(e, 256, [](int k, plugin_test::TEventList& events) {
    for (int n = 0; n < (k == 0 ? 16 : 1); ++n)
      events.Add((k * 37 + n) % 256, 0x90, static_cast<std::uint8_t>(28 + (k + 5 * n) % 40), 100);
    if (k % 2 == 0) events.Add(0, 0x80, static_cast<std::uint8_t>(28 + (k + 17) % 40), 0);
  });
  std::thread editor([&] {
    std::mt19937 rng(7);
    while (audio.Running()) {
      const auto setting = static_cast<float>(53 + rng() % 197);
      p.HandlePluginMessage(8021, nullptr, setting, static_cast<float>(rng() % 2), 0);
      if (rng() % 8 == 0) p.HandlePluginMessage(8022, nullptr, 0, 0, 0);
      std::string name;
      p.HandlePluginMessage(8043, &name, 0, static_cast<float>(rng() % 128), 0);
      (void)p.GetParameterDisplay(kOsc1Patch);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  std::mt19937 rng(11);
  auto set = [&](std::int32_t id, float real) {
    e->setParameter(e, id, p.ParamInfo[static_cast<std::size_t>(id)].NormFromReal(real));
  };
  for (int i = 0; i < 300; ++i) {
    switch (rng() % 10) {
      case 0:
        set(kOsc1Patch, static_cast<float>(rng() % static_cast<unsigned>(patches)));
        break;
      case 1:
        set(kOsc2Patch, static_cast<float>(rng() % static_cast<unsigned>(patches)));
        break;
      case 2:
        set(kVoices, static_cast<float>(1 + rng() % 16));
        break;
      case 3:
        set(kOsc2Amount, static_cast<float>(static_cast<int>(rng() % 400) - 200));
        break;
      case 4:
        set(kOsc1Pan, static_cast<float>(rng() % 128));
        break;
      case 5:
        set(kOsc1Tune, static_cast<float>(static_cast<int>(rng() % 73) - 36));
        break;
      case 6:
        set(kInterpolation, static_cast<float>(rng() % 5));
        break;
      case 7:
        set(kOsc1ScaleTune, static_cast<float>(static_cast<int>(rng() % 2401) - 1200));
        break;
      case 8:
        set(kOsc1PattTime, static_cast<float>(static_cast<int>(rng() % 25160) - 13160));
        break;
      default:
        set(kOsc1PitchLfo1, static_cast<float>(static_cast<int>(rng() % 3004) - 1502));
        break;
    }
    if (i % 50 == 0) set(kVoices, 16);
    // Every other change waits for a block, so changes and blocks interleave.
    if (i % 2 == 0) audio.WaitBlocks(1);
  }
  // Let the audio thread see the last changes.
  audio.WaitBlocks(20);
  audio.Stop();
  editor.join();
  EXPECT_TRUE(audio.AllFinite());
  EXPECT_GT(audio.Blocks(), 20);
}

}  // namespace
