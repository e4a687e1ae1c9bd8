// The runs of mono 2-point reads without the position chain: each form
// (SSE2, AVX2 where the processor has it) must give the serial chain's
// reads and positions bit for bit, across binades, ties and the limit.
#include "dsp/sampler/linear_reads.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/sampler/sample_interpolation.h"

namespace {

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<TLinearMonoRun> Forms() {
  std::vector<TLinearMonoRun> forms = {LinearMonoRunSse2()};
  if (LinearMonoRunAvx2() != nullptr) forms.push_back(LinearMonoRunAvx2());
  return forms;
}

}  // namespace

TEST(LinearReads, RunsGiveTheSerialChainBitForBit) {
  constexpr std::int32_t kFrames = 5000;
  std::vector<std::int16_t> data(kFrames + 2);
  std::uint32_t seed = 7;
  for (auto& v : data) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<std::int16_t>(seed >> 16);
  }
  const double u1024 = std::ldexp(1.0, 10 - 52);  // the unit of [1024, 2048)
  const double starts[] = {0.0, 1e-310, 0.3, 0.999999, 3.75, 511.9, 1023.97, 1024.0, 2047.2, 3000.123456789};
  const double increments[] = {0.0,
                               1e-17,
                               0.5,
                               1.0,
                               1.0 / 3.0,
                               0.70710678118654757,
                               1.2345678901234567,
                               2.0000001,
                               7.5,
                               1.0 + u1024 / 2,  // halfway between units in [1024, 2048): a tie
                               1.0 + u1024 * 1.5,
                               u1024 / 2};
  for (TLinearMonoRun run : Forms()) {
    for (double start : starts) {
      for (double increment : increments) {
        for (double limit : {static_cast<double>(kFrames - 2), start + 37.0}) {
          SCOPED_TRACE(testing::Message() << "start " << start << " increment " << increment << " limit " << limit);
          // The serial chain.
          std::vector<float> expected;
          std::vector<double> positions;
          double p = start;
          for (int k = 0; k < 400 && p + increment < limit; ++k) {
            expected.push_back(Mono2PointAt(data.data(), p, 0.25f));
            positions.push_back(p);
            p += increment;
          }
          positions.push_back(p);
          // Runs, and between them single steps where a run stops (as the
          // zone renderer does).
          std::vector<float> got(expected.size() + 4);
          double q = start;
          std::size_t k = 0;
          std::int32_t fast = 0;
          while (k < expected.size()) {
            const auto rest = static_cast<std::int32_t>(expected.size() - k);
            const std::int32_t done = run(data.data(), 0.25f, q, increment, limit, got.data() + k, rest & ~3);
            ASSERT_EQ(done % 4, 0);
            ASSERT_LE(done, rest & ~3);
            fast += done;
            k += static_cast<std::size_t>(done);
            ASSERT_TRUE(SameBits(q, positions[k])) << "position after the run at " << k;
            if (k < expected.size()) {
              got[k] = Mono2PointAt(data.data(), q, 0.25f);
              q += increment;
              ++k;
            }
          }
          for (std::size_t i = 0; i < expected.size(); ++i)
            ASSERT_TRUE(SameBits(got[i], expected[i])) << "read " << i;
          // Inside one binade, away from ties, the runs do the work.
          if (start == 3000.123456789 && increment == 1.0 && limit > 4000.0) {
            EXPECT_GE(fast, 360);
          }
        }
      }
    }
  }
}
