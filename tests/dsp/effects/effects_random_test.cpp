// Every effect over 10 s of noise with random parameter changes before every
// sub-block, at 22.05, 44.1 and 48 kHz: the output stays finite and bounded
// (the sanitizer builds check every line access on the way). Setters that
// rebuild (reverb size, room and pre-delay, waveforms, filter types, stage
// counts) change less often, as a user turning a knob would.
//
// Also the rebuild stress: a second thread changes the allocating and
// line-moving settings while a render thread processes under the global
// lock, as the plug-in's render loop does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "dsp/effects/chorus.h"
#include "dsp/effects/cross_filter.h"
#include "dsp/effects/delay.h"
#include "dsp/effects/distortion.h"
#include "dsp/effects/eq_effect.h"
#include "dsp/effects/phaser.h"
#include "dsp/effects/reverb.h"
#include "framework/base/base_math.h"
#include "tests/dsp/effects/effect_test_support.h"
#include "tests/dsp/filters/filter_measure.h"
#include "tests/support/owner_lock.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

namespace {

class TRandomParameters {
 public:
  explicit TRandomParameters(std::uint32_t seed) : Generator(seed) {}

  float Uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(Generator); }
  std::int32_t Int(std::int32_t lo, std::int32_t hi) {
    return std::uniform_int_distribution<std::int32_t>(lo, hi)(Generator);
  }
  bool Chance(float p) { return Uniform(0, 1) < p; }
  // A rack gain: NormToAmp60 of -1.502..1.502, the extremes included now and then.
  float Gain() {
    if (Chance(0.05f)) return Chance(0.5f) ? 32.0f : -32.0f;
    return NormToAmp60(Uniform(-1.502f, 1.502f));
  }

  void Base(TDSPStereoEffect& fx) {
    fx.SetMix(Uniform(0, 1));
    fx.SetPan(Uniform(0, 1));
    fx.SetWetGain(Gain());
    fx.SetDryGain(Gain());
    fx.SetInvertLeft(Chance(0.5f));
    fx.SetInvertRight(Chance(0.5f));
  }
  void Filter(TDSPMultiFilter& filter, bool rebuild) {
    if (rebuild) filter.SetFilterType(static_cast<float>(Int(0, 50)));
    filter.SetCutoff(Uniform(10, 16384));
    filter.SetResonance(Uniform(0.001f, 1));
    filter.SetParam3(Uniform(0.001f, 1));
  }
  void Lfo(TDSPOscillator& lfo, bool rebuild) {
    if (rebuild) lfo.SetWaveform(static_cast<float>(Int(0, 127)));
    lfo.SetFrequency(TDSPBaseControl::PitchToFreq(Uniform(-128, 60)) * 10);
    lfo.SetGain(Gain());
  }
  void Tempo(TDSPStereoEffect& fx) {
    fx.SetTempo(Uniform(20, 300));
    fx.SetLengthUnit(static_cast<std::uint8_t>(Int(0, 1)));
  }

  void Randomise(TDSPReverbX& fx, bool rebuild) {
    Base(fx);
    fx.SetPreDelayFeedback(Uniform(-1, 1));
    fx.SetDamping(Uniform(0, 127));
    fx.SetTime(Uniform(0, 127));
    fx.SetFilter1On(Chance(0.3f));
    fx.SetFilter2On(Chance(0.3f));
    Filter(fx.ToneFilter1(), rebuild);
    Filter(fx.ToneFilter2(), rebuild);
    if (rebuild) {
      fx.SetSize(Uniform(0, 128));
      fx.SetRoomType(Int(0, 9));
      fx.SetPreDelay(Uniform(0, 127));
    }
  }
  void Randomise(TDSPXDistortion& fx, bool rebuild) {
    Base(fx);
    fx.SetSurround(Uniform(0, 1));
    fx.SetDriveLeft(Uniform(0, 1));
    fx.SetDriveRight(Uniform(0, 1));
    fx.SetInputAdjust(Chance(0.5f));
    fx.SetPreFilter(Chance(0.5f));
    fx.SetTypeLeft(Int(0, 70));
    fx.SetTypeRight(Int(0, 70));
    fx.SetClipMode(Int(0, 6));
    fx.SetClipThreshold(NormToAmp60(Uniform(0, 1.502f)));
    fx.SetClipLevel(Gain());
    fx.SetFilterL1On(Chance(0.5f));
    fx.SetFilterL2On(Chance(0.5f));
    fx.SetFilterR1On(Chance(0.5f));
    fx.SetFilterR2On(Chance(0.5f));
    for (int k = 0; k < 4; ++k) Filter(fx.ToneFilter(k), rebuild);
  }
  void Randomise(TDSPXChorus& fx, bool rebuild) {
    Base(fx);
    if (rebuild) Tempo(fx);
    // Lengths and sizes over the whole rack range: size >= length is common.
    fx.SetLengthLeft(static_cast<float>(Int(0, 1024)));
    fx.SetLengthRight(static_cast<float>(Int(0, 1024)));
    fx.SetSizeLeft(Uniform(0, 512));
    fx.SetSizeRight(Uniform(0, 512));
    fx.SetFeedbackLeft(Uniform(-1, 1));
    fx.SetFeedbackRight(Uniform(-1, 1));
    fx.SetCrossLeftToRight(Uniform(-1, 1));
    fx.SetCrossRightToLeft(Uniform(-1, 1));
    for (int k = 0; k < 4; ++k) Lfo(fx.Lfo(k), rebuild);
  }
  void Randomise(TDSPXDelay& fx, bool rebuild) {
    Base(fx);
    if (rebuild) Tempo(fx);
    fx.SetLengthLeft(Int(0, 2048));
    fx.SetLengthRight(Int(0, 2048));
    fx.SetCrossLeftToRight(Uniform(-1, 1));
    fx.SetCrossRightToLeft(Uniform(-1, 1));
    fx.SetFeedbackLeft(Uniform(-1, 1));
    fx.SetFeedbackRight(Uniform(-1, 1));
    fx.SetFilterLeftOn(Chance(0.5f));
    fx.SetFilterRightOn(Chance(0.5f));
    Filter(fx.FeedbackFilterLeft(), rebuild);
    Filter(fx.FeedbackFilterRight(), rebuild);
  }
  void Randomise(TDSPXXFilter& fx, bool rebuild) {
    Base(fx);
    fx.SetRightShift(Uniform(-255, 255));
    fx.SetInterpolation(Int(0, 16));
    for (int st = 0; st < 4; ++st) {
      Filter(fx.StageFilter(false, st), rebuild);
      Filter(fx.StageFilter(true, st), rebuild);
    }
    if (rebuild) {
      Tempo(fx);
      fx.SetFilterCount(Int(0, 8));
      for (int st = 0; st < 4; ++st) {
        fx.SetTapLength(false, st, Int(1, 8096));
        fx.SetTapLength(true, st, Int(1, 8096));
      }
    }
  }
  void Randomise(TDSPXPhaser& fx, bool rebuild) {
    Base(fx);
    fx.SetPhaseLeft(Uniform(0, 1));
    fx.SetPhaseRight(Uniform(0, 1));
    fx.SetDepthLeft(Uniform(0, 1));
    fx.SetDepthRight(Uniform(0, 1));
    fx.SetFeedbackLeft(Uniform(-1, 1));
    fx.SetFeedbackRight(Uniform(-1, 1));
    fx.SetCrossLeftToRight(Uniform(-1, 1));
    fx.SetCrossRightToLeft(Uniform(-1, 1));
    fx.SetShift(Uniform(-255, 255));
    Lfo(fx.LfoLeft(), rebuild);
    Lfo(fx.LfoRight(), rebuild);
    if (rebuild) {
      fx.SetStagesLeft(Int(1, 100));
      fx.SetStagesRight(Int(1, 100));
    }
  }
  void Randomise(TDSPXEq& fx, bool /*rebuild*/) {
    Base(fx);
    for (TDSP3BandEQ* eq : {&fx.EqLeft(), &fx.EqRight()}) {
      eq->SetLowGain(Uniform(-1024, 1024) / 68);
      eq->SetMidGain(Uniform(-1024, 1024) / 68);
      eq->SetHighGain(Uniform(-1024, 1024) / 68);
      eq->SetFrequency(Uniform(1, 32767));
      eq->SetQ(Uniform(0.001f, 1));
    }
  }

 private:
  std::mt19937 Generator;
};

// 10 s of noise at each rate; parameters change before every sub-block.
template <class TEffect>
void RunRandomised(std::uint32_t seed) {
  for (std::int32_t rate : {22050, 44100, 48000}) {
    TAudioSettingsRec rec = effect_test::PluginRecord(rate);
    TEffect fx;
    fx.SetAudioSettings(&rec);
    TRandomParameters random(seed + static_cast<std::uint32_t>(rate));
    const auto n = static_cast<std::size_t>(rec.SamplesPerMs);
    const std::vector<float> noise = testing_support::Noise(n * 1000, seed);
    std::vector<float> left(n), right(n);
    float peak = 0;
    bool finite = true;
    for (int block = 0; block < 10000; ++block) {
      random.Randomise(fx, block % 250 == 0);
      const std::size_t at = static_cast<std::size_t>(block % 1000) * n;
      for (std::size_t i = 0; i < n; ++i) {
        left[i] = noise[at + i];
        right[i] = -noise[(at + i + 7) % noise.size()];
      }
      fx.ProcessStereo(left.data(), right.data());
      finite = finite && testing_support::AllFinite(left) && testing_support::AllFinite(right);
      peak = std::max({peak, testing_support::Peak(left), testing_support::Peak(right)});
    }
    EXPECT_TRUE(finite) << rate;
    EXPECT_LT(peak, 1e9f) << rate;
  }
}

}  // namespace

TEST(StereoEffectRandom, Reverb) { RunRandomised<TDSPReverbX>(1); }
TEST(StereoEffectRandom, Distortion) { RunRandomised<TDSPXDistortion>(2); }
TEST(StereoEffectRandom, Chorus) { RunRandomised<TDSPXChorus>(3); }
TEST(StereoEffectRandom, Delay) { RunRandomised<TDSPXDelay>(4); }
TEST(StereoEffectRandom, CrossFilter) { RunRandomised<TDSPXXFilter>(5); }
TEST(StereoEffectRandom, Phaser) { RunRandomised<TDSPXPhaser>(6); }
TEST(StereoEffectRandom, Eq) { RunRandomised<TDSPXEq>(7); }

// The render thread processes reverb, delay, phaser and chorus under the
// owner's lock per block; this thread rebuilds the reverb network and
// pre-delay and moves the delay, chorus and phaser layouts under the same
// lock, as the owner does.
TEST(StereoEffectStress, RebuildWhileProcessing) {
  TAudioSettingsRec rec = effect_test::PluginRecord(44100);
  TDSPReverbX reverb;
  TDSPXDelay delay;
  TDSPXPhaser phaser;
  TDSPXChorus chorus;
  std::vector<TDSPStereoEffect*> chain = {&reverb, &delay, &phaser, &chorus};
  for (TDSPStereoEffect* fx : chain) {
    fx->SetAudioSettings(&rec);
    fx->SetMix(0.5f);
  }
  delay.SetLengthUnit(0);
  std::vector<float> right(44);
  filter_test::ChangeWhileRendering(
      [&](std::vector<float>& block) {
        right.assign(block.begin(), block.end());
        for (TDSPStereoEffect* fx : chain) fx->ProcessStereo(block.data(), right.data());
        for (float& v : block) v = std::clamp(v, -4.0f, 4.0f);
      },
      [&](int i) {
        switch (i % 6) {
          case 0:
            reverb.SetSize(static_cast<float>(40 + i % 30));
            break;
          case 1:
            reverb.SetRoomType(i % 8);
            break;
          case 2:
            reverb.SetPreDelay(static_cast<float>(i % 40));
            break;
          case 3:
            delay.SetLengthLeft(i % 4500);
            break;
          case 4:
            phaser.SetStagesLeft(i % 70);
            break;
          default:
            chorus.SetLengthLeft(static_cast<float>(i % 1100));
            break;
        }
      });
  testing_support::TOwnerLockGuard lock;
  EXPECT_GE(delay.GetLineLength(0), 1);
  EXPECT_LT(delay.GetLineLength(0), delay.GetCapacity());
}
