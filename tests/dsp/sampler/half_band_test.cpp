// The players' rate halving: what is below the output's audible band passes
// unchanged, what lies above 0.27 of the input rate (the images of the
// sample reads) is gone rather than folded back, the two players' mix is
// the mix of their halvings, blocks of any length join seamlessly, and a
// silenced filter comes to rest at exactly zero.
#include "dsp/sampler/half_band.h"

#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

constexpr double kInputRate = 88200.0;

// The output level (dB) of a sine of `hz` at the input rate, both channels,
// measured once the filter has settled.
double GainDb(double hz) {
  THalfBandDecimator d;
  constexpr std::int32_t kBlock = 44, kBlocks = 200;
  std::vector<float> in(4 * kBlock), left(kBlock), right(kBlock);
  double sum = 0;
  std::int32_t counted = 0;
  for (std::int32_t b = 0; b < kBlocks; ++b) {
    for (std::int32_t i = 0; i < 2 * kBlock; ++i) {
      const double t = static_cast<double>(b * 2 * kBlock + i) / kInputRate;
      const auto v = static_cast<float>(std::sin(2 * std::numbers::pi * hz * t));
      in[static_cast<std::size_t>(2 * i)] = v;
      in[static_cast<std::size_t>(2 * i + 1)] = -v;
    }
    d.Process(in.data(), left.data(), right.data(), kBlock);
    if (b >= kBlocks / 2) {
      for (std::int32_t i = 0; i < kBlock; ++i)
        sum += static_cast<double>(left[static_cast<std::size_t>(i)]) * left[static_cast<std::size_t>(i)] +
               static_cast<double>(right[static_cast<std::size_t>(i)]) * right[static_cast<std::size_t>(i)];
      counted += 2 * kBlock;
    }
  }
  return 10 * std::log10(2 * sum / counted + 1e-30);
}

std::vector<float> Noise(std::size_t n, std::uint32_t seed) {
  std::vector<float> v(n);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
  }
  return v;
}

}  // namespace

TEST(HalfBandDecimator, PassesTheAudibleBandAndRemovesWhatWouldFold) {
  for (double hz : {100.0, 1000.0, 10000.0, 18000.0, 20000.0}) EXPECT_NEAR(GainDb(hz), 0.0, 0.01) << hz << " Hz";
  // Above the output's half rate (44.1 kHz out): folded back it would land
  // at 44100 - hz, inside the band (from 24 kHz: below 20.1 kHz).
  for (double hz : {24000.0, 25600.0, 30000.0, 35000.0, 43000.0}) EXPECT_LT(GainDb(hz), -72.0) << hz << " Hz";
  // The design: rising coefficients inside the unit circle (stable allpasses).
  const double* a = THalfBandDecimator::Coefficients();
  for (int i = 0; i < 2 * THalfBandDecimator::kSections; ++i) {
    EXPECT_GT(a[i], i == 0 ? 0.0 : a[i - 1]) << i;
    EXPECT_LT(a[i], 1.0) << i;
  }
}

// The voice halves the two players' mix at once: that must be the halving of
// the mix, each player with its own gain on each side (and, while envelopes
// move, a factor per output frame); two voices side by side, and the SSE
// and AVX forms, give the same bits as one voice alone.
TEST(HalfBandDecimator, MixingTwoSignalsIsTheHalvingOfTheirMix) {
  constexpr std::int32_t kFrames = 301;
  const std::vector<float> a = Noise(4 * kFrames, 5), b = Noise(4 * kFrames, 9);
  std::vector<float> ga = Noise(kFrames, 13), gb = Noise(kFrames, 17);  // factors per output frame
  const float g[4] = {0.8f, 0.3f, -1.7f, 0.05f};                        // a left, a right, b left, b right
  using TOut = std::vector<float>;
  const bool avx = THalfBandDecimator::SetAvx(true);
  for (bool two : {true, false}) {
    for (bool varying : {false, true}) {
      SCOPED_TRACE(testing::Message() << (two ? "two signals" : "one signal") << (varying ? ", varying" : ""));
      // The mix, made first.
      std::vector<float> mixed(4 * kFrames);
      for (std::size_t i = 0; i < mixed.size(); i += 2) {
        const std::size_t m = i / 4;
        const float fa = varying ? ga[m] : 1.0f, fb = varying ? gb[m] : 1.0f;
        mixed[i] = (fa * g[0]) * a[i] + (two ? (fb * g[2]) * b[i] : 0.0f);
        mixed[i + 1] = (fa * g[1]) * a[i + 1] + (two ? (fb * g[3]) * b[i + 1] : 0.0f);
      }
      TOut l1(kFrames), r1(kFrames);
      THalfBandDecimator one;
      one.Process(mixed.data(), l1.data(), r1.data(), kFrames);
      // In sections of 44 frames, as the voices call it; the per-frame
      // factors in the output buffers, as the voices pass them.
      auto mix = [&](TOut& l, TOut& r) {
        THalfBandDecimator::TMix m;
        m.A = a.data();
        m.ALeft = g[0];
        m.ARight = g[1];
        m.B = two ? b.data() : nullptr;
        m.BLeft = g[2];
        m.BRight = g[3];
        l = ga;
        r = gb;
        m.Left = l.data();
        m.Right = r.data();
        if (varying) {
          m.AGain = l.data();
          m.BGain = r.data();
        }
        return m;
      };
      TOut l2, r2, l3, r3, l4, r4;
      THalfBandDecimator::TMix m2 = mix(l2, r2), m3 = mix(l3, r3), m4 = mix(l4, r4);
      THalfBandDecimator alone, x, y;
      for (std::int32_t done = 0; done < kFrames; done += 44) {
        const std::int32_t n = std::min(44, kFrames - done);
        alone.MixProcess(m2, n);
        THalfBandDecimator::MixProcessPair(x, m3, y, m4, n);
        for (THalfBandDecimator::TMix* m : {&m2, &m3, &m4}) {
          m->A += 4 * n;
          if (m->B) m->B += 4 * n;
          m->Left += n;
          m->Right += n;
          if (m->AGain) m->AGain += n;
          if (m->BGain) m->BGain += n;
        }
      }
      EXPECT_EQ(l1, l2);
      EXPECT_EQ(r1, r2);
      EXPECT_EQ(l2, l3);
      EXPECT_EQ(r2, r3);
      EXPECT_EQ(l2, l4);
      EXPECT_EQ(r2, r4);
      if (avx) {
        THalfBandDecimator::SetAvx(false);
        TOut l5, r5;
        THalfBandDecimator sse;
        sse.MixProcess(mix(l5, r5), kFrames);
        THalfBandDecimator::SetAvx(true);
        EXPECT_EQ(l1, l5);
        EXPECT_EQ(r1, r5);
      }
    }
  }
}

TEST(HalfBandDecimator, BlocksOfAnyLengthGiveTheSameOutput) {
  constexpr std::int32_t kFrames = 600;
  const std::vector<float> in = Noise(4 * kFrames, 3);
  auto run = [&in](std::int32_t block) {
    THalfBandDecimator d;
    std::vector<float> out(2 * kFrames);
    for (std::int32_t done = 0; done < kFrames; done += block) {
      const std::int32_t n = std::min(block, kFrames - done);
      d.Process(in.data() + 4 * done, out.data() + done, out.data() + kFrames + done, n);
    }
    return out;
  };
  const std::vector<float> whole = run(kFrames);
  for (std::int32_t block : {1, 3, 7, 44, 96}) EXPECT_EQ(run(block), whole) << block;
  // Cleared, it starts as a new one.
  THalfBandDecimator d;
  std::vector<float> out(2 * kFrames);
  d.Process(in.data() + 4, out.data(), out.data() + kFrames, kFrames - 1);
  d.Clear();
  d.Process(in.data(), out.data(), out.data() + kFrames, kFrames);
  EXPECT_EQ(out, whole);
}

// Outside the host's flush-to-zero (tests, tools) a decaying recursion
// would pass through denormal numbers into its output; the filter's state
// stops at zero instead.
TEST(HalfBandDecimator, SilenceAfterASignalComesToRestAtZeroWithoutDenormals) {
  const unsigned mxcsr = _mm_getcsr();
  _mm_setcsr(mxcsr & ~0x8040u);  // gradual underflow: no FTZ, no DAZ
  THalfBandDecimator d;
  constexpr std::int32_t kBlock = 44;
  std::vector<float> in = Noise(4 * kBlock, 21), left(kBlock), right(kBlock);
  d.Process(in.data(), left.data(), right.data(), kBlock);
  std::fill(in.begin(), in.end(), 0.0f);
  int denormals = 0;
  bool silent = false;
  for (int b = 0; b < 2000 && !silent; ++b) {
    d.Process(in.data(), left.data(), right.data(), kBlock);
    silent = true;
    for (std::int32_t i = 0; i < kBlock; ++i) {
      for (float v : {left[static_cast<std::size_t>(i)], right[static_cast<std::size_t>(i)]}) {
        if (std::fpclassify(v) == FP_SUBNORMAL) ++denormals;
        if (v != 0.0f) silent = false;
      }
    }
  }
  _mm_setcsr(mxcsr);
  EXPECT_TRUE(silent);
  EXPECT_EQ(denormals, 0);
}
