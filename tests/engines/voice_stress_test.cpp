// The voice manager and the sequencer layer under threads: the host's audio
// thread renders notes while another thread changes the voice count, the
// legato switch, the glide and the sequencer parameters through the host's
// parameter entry. Meant for the thread and address sanitizers.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/engines/voice_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using namespace voice_test;
using plugin_test::Dispatch;

TEST(VoiceStress, RenderWhileChangingVoiceCountGlideAndSequencers) {
  plugin_test::TTestHost::Reset();
  auto p = MakeVoicePlugin(true);
  TVstEffect* e = p->GetEffect();
  SetReal(*p, kSeq1, 1);
  SetReal(*p, kSeq2, 1);
  SetReal(*p, kSeq1Unit, 0);
  SetReal(*p, kSeq1Len, 15);

  plugin_test::TRenderThread audio(e, 200, [](int k, plugin_test::TEventList& events) {
    if (k % 3 == 0) events.Add(k % 200, 0x90, static_cast<std::uint8_t>(36 + k % 24), 100);
    if (k % 5 == 0) events.Add(0, 0x80, static_cast<std::uint8_t>(36 + (k + 12) % 24), 0);
  });

  std::mt19937 rng(29);
  auto set = [&](std::int32_t id, float real) {
    e->setParameter(e, id, p->ParamInfo[static_cast<std::size_t>(id)].NormFromReal(real));
  };
  for (int i = 0; i < 600; ++i) {
    switch (rng() % 8) {
      case 0:
        set(kVoicesParam, static_cast<float>(1 + rng() % 16));
        break;
      case 1:
        set(kGlideParam, static_cast<float>(rng() % 800));
        break;
      case 2:
        set(kLegatoParam, static_cast<float>(rng() % 2));
        break;
      case 3:
        set(kSeq1Swing, static_cast<float>(1 + rng() % 99));
        break;
      case 4:
        set(kSeq1Steps, static_cast<float>(1 + rng() % 32));
        break;
      case 5:
        set(kSeq1Step1 + static_cast<std::int32_t>(rng() % 32), static_cast<float>(static_cast<int>(rng() % 129) - 64));
        break;
      case 6:
        set(kSeq1Mode, static_cast<float>(rng() % 12));
        break;
      default:
        set(kSeq2Swing + static_cast<std::int32_t>(rng() % 5), static_cast<float>(rng() % 100));
        break;
    }
    std::this_thread::yield();
  }
  while (audio.Blocks() < 50) std::this_thread::yield();
  audio.Stop();
  EXPECT_TRUE(audio.AllFinite());
  EXPECT_GE(p->VoiceCount(), 1);
  EXPECT_LE(p->VoiceCount(), TVoicerackSynthBase::kMaxVoices);
}

}  // namespace
