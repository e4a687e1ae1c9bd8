#include "dsp/effects/shift_lines.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/signal_measure.h"

// A run through ExchangeBlock must equal the same samples through Exchange
// one at a time: lines shorter than, as long as and longer than a run, a
// line of one sample (no shift), the output written over the input or
// elsewhere, runs of changing lengths.
TEST(ShiftLines, BlockExchangeEqualsOneSampleAtATime) {
  const std::int32_t samplesPerMs = 44;
  for (float ms : {0.0f, -0.06f, 0.5f, 0.98f, 1.0f, 1.03f, -7.3f, 254.0f}) {
    for (bool inPlace : {true, false}) {
      TShiftLines block, single;
      block.Allocate(samplesPerMs, 0);
      single.Allocate(samplesPerMs, 0);
      block.SetShift(ms, samplesPerMs);
      single.SetShift(ms, samplesPerMs);
      const std::int32_t runs[] = {44, 44, 7, 44, 1, 300, 44, 43, 45};
      std::uint32_t seed = 5;
      for (int round = 0; round < 30; ++round) {
        const std::int32_t n = runs[round % 9];
        for (int side = 0; side < 2; ++side) {
          const std::vector<float> in = testing_support::Noise(static_cast<std::size_t>(n), seed++);
          std::vector<float> got = in, other(in.size());
          if (inPlace) block.ExchangeBlock(side, got.data(), got.data(), n);
          else block.ExchangeBlock(side, in.data(), other.data(), n);
          const std::vector<float>& out = inPlace ? got : other;
          for (std::int32_t i = 0; i < n; ++i)
            ASSERT_EQ(out[static_cast<std::size_t>(i)], single.Exchange(side, in[static_cast<std::size_t>(i)]))
                << "shift " << ms << " round " << round << " side " << side << " sample " << i;
        }
      }
    }
  }
}
