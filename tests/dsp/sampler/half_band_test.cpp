// The players' rate halving: what is below the output's audible band passes
// unchanged, what lies above 0.29 of the input rate (the images of the
// sample reads) is gone rather than folded back, and blocks of any length
// join seamlessly.
#include "dsp/sampler/half_band.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

constexpr double kInputRate = 88200.0;

// The output level (dB) of a sine of `hz` at the input rate, both channels,
// measured once the filter has settled.
double GainDb(double hz, std::int32_t block) {
  THalfBandDecimator d;
  d.Allocate(block);
  const std::int32_t blocks = 40;
  std::vector<float> in(static_cast<std::size_t>(4 * block)), out(static_cast<std::size_t>(2 * block));
  double sum = 0;
  std::int32_t counted = 0;
  for (std::int32_t b = 0; b < blocks; ++b) {
    for (std::int32_t i = 0; i < 2 * block; ++i) {
      const double t = static_cast<double>(b * 2 * block + i) / kInputRate;
      const auto v = static_cast<float>(std::sin(2 * std::numbers::pi * hz * t));
      in[static_cast<std::size_t>(2 * i)] = v;
      in[static_cast<std::size_t>(2 * i + 1)] = -v;
    }
    d.Process(in.data(), out.data(), block);
    if (b >= blocks / 2) {
      for (std::int32_t i = 0; i < 2 * block; ++i) sum += static_cast<double>(out[static_cast<std::size_t>(i)]) * out[static_cast<std::size_t>(i)];
      counted += 2 * block;
    }
  }
  return 10 * std::log10(2 * sum / counted + 1e-30);
}

}  // namespace

TEST(HalfBandDecimator, PassesTheAudibleBandAndRemovesWhatWouldFold) {
  for (double hz : {100.0, 1000.0, 10000.0, 18000.0}) EXPECT_NEAR(GainDb(hz, 44), 0.0, 0.05) << hz << " Hz";
  // Above the output's half rate (44.1 kHz out): folded back it would land
  // at 44100 - hz, inside the band.
  for (double hz : {25600.0, 30000.0, 35000.0, 43000.0}) EXPECT_LT(GainDb(hz, 44), -70.0) << hz << " Hz";
}

TEST(HalfBandDecimator, BlocksOfAnyLengthGiveTheSameOutput) {
  std::vector<float> in(2 * 2 * 600);
  std::uint32_t seed = 3;
  for (float& v : in) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
  }
  auto run = [&in](std::int32_t block) {
    THalfBandDecimator d;
    d.Allocate(block);
    std::vector<float> out(in.size() / 2);
    for (std::int32_t done = 0; done < 600; done += block) {
      const std::int32_t n = std::min(block, 600 - done);
      d.Process(in.data() + 4 * done, out.data() + 2 * done, n);
    }
    return out;
  };
  const std::vector<float> whole = run(600);
  for (std::int32_t block : {1, 7, 44, 96}) EXPECT_EQ(run(block), whole) << block;
}
