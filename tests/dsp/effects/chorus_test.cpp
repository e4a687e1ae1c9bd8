#include "dsp/effects/chorus.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "dsp/effects/effect_lfo.h"

#include "tests/dsp/effects/effect_test_support.h"
#include "tests/dsp/filters/filter_measure.h"
#include "tests/support/test_support.h"

using effect_test::FirstAbove;

namespace {
// LFOs silent (gain 0): the taps sit at the base delay.
void StillTaps(TDSPXChorus& fx) {
  for (int k = 0; k < 4; ++k) fx.Lfo(k).SetGain(0);
  fx.SetFeedbackLeft(0);
  fx.SetFeedbackRight(0);
  fx.SetCrossLeftToRight(0);
  fx.SetCrossRightToLeft(0);
}
}  // namespace

TEST(Chorus, LengthsAndBaseDelaysStayInsideTheLine) {
  effect_test::TEffectAt<TDSPXChorus> at(44100);
  TDSPXChorus& fx = at.Fx;
  EXPECT_EQ(fx.GetCapacity(), 1050 * 44);
  fx.SetLengthLeft(2000);  // cut to the capacity
  EXPECT_EQ(fx.GetLineLength(0), 1050 * 44);
  fx.SetLengthLeft(10);
  fx.SetSizeLeft(10);  // size at the length: base delay = length - 1
  EXPECT_EQ(fx.GetLineLength(0), 440);
  EXPECT_EQ(fx.GetBaseDelay(0), 439.0f);
  fx.SetSizeLeft(3);
  EXPECT_EQ(fx.GetBaseDelay(0), 132.0f);
  fx.SetLengthRight(0);  // never shorter than two samples
  EXPECT_EQ(fx.GetLineLength(1), 2);
  fx.SetLengthUnit(1);  // ticks at 120 BPM: 4.1667 ms each
  EXPECT_EQ(fx.GetLineLength(0), 1833);
  fx.SetFeedbackLeft(-3);
  fx.SetCrossRightToLeft(3);
  EXPECT_EQ(fx.GetFeedbackLeft(), -1.0f);
  EXPECT_EQ(fx.GetCrossRightToLeft(), 1.0f);
}

TEST(Chorus, StillTapsDelayByTheBaseDelay) {
  effect_test::TEffectAt<TDSPXChorus> at(44100);
  TDSPXChorus& fx = at.Fx;
  effect_test::AllWet(fx);
  StillTaps(fx);
  fx.SetLengthLeft(20);
  fx.SetLengthRight(20);
  fx.SetSizeLeft(5);   // 220 samples
  fx.SetSizeRight(2);  // 88 samples
  const auto out = effect_test::RunImpulse(fx, 880);
  EXPECT_EQ(FirstAbove(out.Left, 1e-6f), 220u);
  EXPECT_NEAR(out.Left[220], 1.0f, 1e-6f);
  EXPECT_EQ(FirstAbove(out.Right, 1e-6f), 88u);
  EXPECT_NEAR(out.Right[88], 1.0f, 1e-6f);
}

// The modulation moves the taps by gain + 0.25 x (LFO output) ms: an LFO
// of gain 2 that hardly moves (output within +-2) puts them 1.5..2.5 ms
// further out.
TEST(Chorus, LfoGainMovesTheTaps) {
  effect_test::TEffectAt<TDSPXChorus> at(44100);
  TDSPXChorus& fx = at.Fx;
  effect_test::AllWet(fx);
  StillTaps(fx);
  for (int k = 0; k < 4; ++k) {
    fx.Lfo(k).SetFrequency(1e-6f);
    fx.Lfo(k).SetGain(2.0f);
  }
  fx.SetLengthLeft(20);
  fx.SetSizeLeft(5);
  const auto out = effect_test::RunImpulse(fx, 880, true, false);
  const std::size_t first = FirstAbove(out.Left, 1e-6f);
  EXPECT_GE(first, 220u + 66u - 1u);
  EXPECT_LE(first, 220u + 110u + 1u);
}

// Sizes at or beyond the length, and the largest LFO gain, move the taps far
// beyond the line: every read stays inside it (checked by the sanitizers)
// and the output stays finite and bounded.
TEST(Chorus, ExtremeTapsStayInsideTheLine) {
  for (std::int32_t rate : {22050, 44100, 48000}) {
    effect_test::TEffectAt<TDSPXChorus> at(rate);
    TDSPXChorus& fx = at.Fx;
    effect_test::AllWet(fx);
    fx.SetLengthLeft(1);
    fx.SetSizeLeft(5);
    fx.SetLengthRight(0);
    fx.SetSizeRight(1000);
    for (int k = 0; k < 4; ++k) {
      fx.Lfo(k).SetWaveform(k * 7);
      fx.Lfo(k).SetFrequency(3000.0f + 500.0f * static_cast<float>(k));
      fx.Lfo(k).SetGain(k % 2 == 0 ? 32.0f : -32.0f);
    }
    fx.SetFeedbackLeft(1);
    fx.SetFeedbackRight(-1);
    fx.SetCrossLeftToRight(1);
    fx.SetCrossRightToLeft(1);
    const auto noise = filter_test::Noise(static_cast<std::size_t>(rate), 4);
    const auto out = effect_test::Run(fx, noise, noise);
    EXPECT_TRUE(testing_support::AllFinite(out.Left)) << rate;
    EXPECT_TRUE(testing_support::AllFinite(out.Right)) << rate;
    EXPECT_LT(testing_support::Peak(out.Left), 1e7f) << rate;
  }
}

// The taps are computed four per register without a division for positions
// within one line length of the write position; the result must be exactly
// the per-sample form with its bounded modulo. Three cases: taps a hair
// behind the write position (p + length rounds up to the length, which
// reads sample 0), ordinary modulated taps, and taps far beyond the line.
TEST(Chorus, TapsGiveExactlyThePerSampleForm) {
  const float gains[3] = {1e-7f, 3.0f, 32.0f};
  for (float gain : gains) {
    effect_test::TEffectAt<TDSPXChorus> at(44100);
    TDSPXChorus& fx = at.Fx;
    fx.SetMix(0.7f);
    fx.SetLengthLeft(10);
    fx.SetLengthRight(7);
    fx.SetSizeLeft(0);
    fx.SetSizeRight(gain > 1e-6f ? 2.0f : 0.0f);
    fx.SetFeedbackLeft(0.4f);
    fx.SetFeedbackRight(-0.3f);
    fx.SetCrossLeftToRight(0.2f);
    fx.SetCrossRightToLeft(-0.25f);
    std::vector<std::unique_ptr<TDSPOscillator>> lfos;
    for (int k = 0; k < 4; ++k) {
      lfos.push_back(CreateEffectLfo());
      for (TDSPOscillator* lfo : {&fx.Lfo(k), lfos.back().get()}) {
        lfo->SetFrequency(gain > 1e-6f ? 300.0f * static_cast<float>(k + 1) : 1e-6f);
        lfo->SetGain(k % 2 == 0 ? gain : -gain);
      }
    }
    const std::int32_t n = at.Record.SamplesPerMs;
    const auto left = filter_test::Noise(200 * static_cast<std::size_t>(n), 21);
    const auto right = filter_test::Noise(left.size(), 22);
    // The per-sample form (the anti-denormal noise adds nothing to inputs of
    // this size).
    const std::int32_t len[2] = {fx.GetLineLength(0), fx.GetLineLength(1)};
    const float baseDelay[2] = {fx.GetBaseDelay(0), fx.GetBaseDelay(1)};
    std::vector<float> line[2] = {std::vector<float>(static_cast<std::size_t>(len[0])),
                                  std::vector<float>(static_cast<std::size_t>(len[1]))};
    auto readTap = [](const std::vector<float>& l, std::int32_t length, float p) {
      const auto lenF = static_cast<float>(length);
      p -= lenF * std::floor(p / lenF);
      if (!(p >= 0.0f) || p >= lenF) p = 0.0f;
      const auto i0 = static_cast<std::int32_t>(p);
      const float frac = p - static_cast<float>(i0);
      const std::int32_t i1 = i0 + 1 >= length ? 0 : i0 + 1;
      return l[static_cast<std::size_t>(i0)] + (l[static_cast<std::size_t>(i1)] - l[static_cast<std::size_t>(i0)]) * frac;
    };
    std::array<float, 4> target{}, previous{};
    for (int k = 0; k < 4; ++k) target[static_cast<std::size_t>(k)] = TickModulation(*lfos[static_cast<std::size_t>(k)], 2000.0f);
    std::int32_t w[2] = {0, 0};
    std::vector<float> expected[2] = {left, right};
    const float lw = fx.GetLeftWetOut(), ld = fx.GetLeftDryOut(), rw = fx.GetRightWetOut(), rd = fx.GetRightDryOut();
    for (std::size_t pos = 0; pos < left.size(); pos += static_cast<std::size_t>(n)) {
      previous = target;
      std::array<float, 4> step{};
      for (std::size_t k = 0; k < 4; ++k) {
        target[k] = TickModulation(*lfos[k], 2000.0f);
        step[k] = (target[k] - previous[k]) / static_cast<float>(n);
      }
      for (std::int32_t i = 0; i < n; ++i) {
        float tap[4];
        for (std::size_t k = 0; k < 4; ++k) {
          const std::size_t side = k / 2;
          const float m = previous[k] + step[k] * static_cast<float>(i);
          tap[k] = readTap(line[side], len[side],
                           static_cast<float>(w[side]) - (static_cast<float>(n) * m + baseDelay[side]));
        }
        const float a = (tap[0] + tap[1]) * 0.5f, b = (tap[2] + tap[3]) * 0.5f;
        float& l = expected[0][pos + static_cast<std::size_t>(i)];
        float& r = expected[1][pos + static_cast<std::size_t>(i)];
        const float writeL = a * fx.GetFeedbackLeft() + l, writeR = b * fx.GetFeedbackRight() + r;
        l = a * lw + l * ld;
        r = b * rw + r * rd;
        line[0][static_cast<std::size_t>(w[0])] = writeL + writeR * fx.GetCrossRightToLeft();
        line[1][static_cast<std::size_t>(w[1])] = writeR + writeL * fx.GetCrossLeftToRight();
        for (int s = 0; s < 2; ++s)
          if (++w[s] >= len[s]) w[s] = 0;
      }
    }
    const auto got = effect_test::Run(fx, left, right);
    for (std::size_t i = 0; i < got.Left.size(); ++i) {
      ASSERT_EQ(got.Left[i], expected[0][i]) << "gain " << gain << " sample " << i;
      ASSERT_EQ(got.Right[i], expected[1][i]) << "gain " << gain << " sample " << i;
    }
  }
}

// The two-pass form against every sample in turn, bit for bit: taps far
// behind the writes (two passes), taps that sweep through the current
// sub-block and the line's end (runs fall back), taps beyond the line's
// length that wrap into what the sub-block writes, a line shorter than a
// sub-block, feedback with cross-feed, and a runaway loop.
TEST(Chorus, TwoPassFormMatchesOneByOne) {
  struct TCase {
    float Length, SizeLeft, SizeRight, Gain, Feedback, Cross;
  };
  const auto noise = filter_test::Noise(48000, 11);
  for (const TCase& c : {TCase{30, 10, 12, 2.0f, 0.4f, 0.3f}, TCase{5, 0, 0.5f, 0.8f, -0.5f, 0.2f},
                         TCase{3, 2.5f, 1.0f, 1.5f, 0.3f, -0.3f}, TCase{0.04f, 0, 0, 0.5f, 0.2f, 0.1f},
                         TCase{100, 7, 11, 1.2f, 1.0f, 1.0f}, TCase{3, 3, 3, 1.0f, 0.3f, 0.2f}}) {
    for (std::int32_t rate : {44100, 48000, 22050}) {
      effect_test::TEffectAt<TDSPXChorus> a(rate), b(rate);
      for (TDSPXChorus* fx : {&a.Fx, &b.Fx}) {
        fx->SetMix(0.6f);
        fx->SetLengthLeft(c.Length);
        fx->SetLengthRight(c.Length * 0.9f);
        fx->SetSizeLeft(c.SizeLeft);
        fx->SetSizeRight(c.SizeRight);
        fx->SetFeedbackLeft(c.Feedback);
        fx->SetFeedbackRight(-c.Feedback);
        fx->SetCrossLeftToRight(c.Cross);
        fx->SetCrossRightToLeft(c.Cross);
        for (int k = 0; k < 4; ++k) {
          fx->Lfo(k).SetFrequency(40.0f + 13.0f * static_cast<float>(k));
          fx->Lfo(k).SetGain(c.Gain * (k % 2 == 0 ? 1.0f : 0.5f));
        }
      }
      std::vector<float> l1 = noise, r1 = noise, l2 = noise, r2 = noise;
      for (std::size_t i = 0; i < noise.size(); ++i) r1[i] = r2[i] = 0.5f * noise[(i * 7) % noise.size()];
      const auto n = static_cast<std::size_t>(a.Record.SamplesPerMs);
      for (std::size_t pos = 0; pos + n <= noise.size(); pos += n) {
        a.Fx.ProcessStereo(l1.data() + pos, r1.data() + pos);
        b.Fx.ProcessStereoOneByOne(l2.data() + pos, r2.data() + pos);
      }
      std::size_t firstDiff = noise.size();
      for (std::size_t i = 0; i < noise.size() && firstDiff == noise.size(); ++i)
        if (std::memcmp(&l1[i], &l2[i], sizeof(float)) != 0 || std::memcmp(&r1[i], &r2[i], sizeof(float)) != 0)
          firstDiff = i;
      EXPECT_EQ(firstDiff, noise.size()) << c.Length << " ms at " << rate;
      EXPECT_GT(testing_support::Peak(l2), 0.1f);
    }
  }
}
