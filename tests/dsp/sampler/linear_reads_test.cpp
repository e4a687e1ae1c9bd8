// The runs of mono 2-point and cubic reads without the position chain: each
// form (SSE2, AVX2 and AVX-512 where the processor has them) must give the serial chain's
// reads and positions bit for bit, across binades, ties and the limit.
#include "dsp/sampler/linear_reads.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/sampler/sample_interpolation.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::SameBits;

// A run form and the serial read it must reproduce.
struct TForm {
  const char* Name;
  TLinearMonoRun Run;
  float (*Serial)(const std::int16_t* data, double position, float scale);
};

std::vector<TForm> Forms() {
  std::vector<TForm> forms = {{"2-point SSE2", LinearMonoRunSse2(), &Mono2PointAt},
                              {"cubic SSE2", CubicMonoRunSse2(), &MonoCubicAt}};
  if (LinearMonoRunAvx2() != nullptr) forms.push_back({"2-point AVX2", LinearMonoRunAvx2(), &Mono2PointAt});
  if (CubicMonoRunAvx2() != nullptr) forms.push_back({"cubic AVX2", CubicMonoRunAvx2(), &MonoCubicAt});
  if (CubicMonoRunAvx512() != nullptr) forms.push_back({"cubic AVX-512", CubicMonoRunAvx512(), &MonoCubicAt});
  return forms;
}

// count frames of a fixed pseudo-random 16-bit signal.
std::vector<std::int16_t> RandomFrames(std::size_t count, std::uint32_t seed) {
  std::vector<std::int16_t> data(count);
  for (auto& v : data) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<std::int16_t>(seed >> 16);
  }
  return data;
}

}  // namespace

TEST(LinearReads, RunsGiveTheSerialChainBitForBit) {
  constexpr std::int32_t kFrames = 5000;
  std::vector<std::int16_t> data = RandomFrames(kFrames + 3, 7);
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
  for (const TForm& form : Forms()) {
    SCOPED_TRACE(form.Name);
    const TLinearMonoRun run = form.Run;
    for (double start : starts) {
      for (double increment : increments) {
        for (double limit : {static_cast<double>(kFrames - 2), start + 37.0}) {
          SCOPED_TRACE(testing::Message() << "start " << start << " increment " << increment << " limit " << limit);
          // The serial chain.
          std::vector<float> expected;
          std::vector<double> positions;
          double p = start;
          for (int k = 0; k < 400 && p + increment < limit; ++k) {
            expected.push_back(form.Serial(data.data(), p, 0.25f));
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
              got[k] = form.Serial(data.data(), q, 0.25f);
              q += increment;
              ++k;
            }
          }
          for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_TRUE(SameBits(got[i], expected[i])) << "read " << i;
          // Inside one binade, away from ties, the runs do the work.
          if (start == 3000.123456789 && increment == 1.0 && limit > 4000.0) {
            EXPECT_GE(fast, 360);
          }
        }
      }
    }
  }
}

// The four-wide cubic read gives MonoCubicAt's values bit for bit: the full
// 16-bit range (the Hermite's terms at their largest), fractions from 0 to
// just below 1, and positions from 1.5 (frame i - 1 = 0) to the last frames.
TEST(LinearReads, FourCubicReadsGiveTheSerialReadBitForBit) {
  constexpr std::int32_t kFrames = 4000;
  std::vector<std::int16_t> data = RandomFrames(kFrames + 3, 11);
  data[10] = 32767;
  data[11] = -32768;
  data[12] = 32767;
  data[13] = -32768;
  const float scales[] = {1.0f, 1.0f / 32768.0f, 0.37f};
  int compared = 0;
  for (float scale : scales) {
    for (double p = 1.5; p < kFrames - 8; p += 0.7318) {
      const double q[4] = {p, p + 0.25, std::nextafter(p + 1.0, 0.0), p + 3.999999};
      alignas(16) float four[4];
      _mm_store_ps(four,
                   CubicMonoFour(data.data(), _mm_set1_ps(scale), _mm_setr_pd(q[0], q[1]), _mm_setr_pd(q[2], q[3])));
      for (int k = 0; k < 4; ++k) {
        ASSERT_TRUE(SameBits(four[k], MonoCubicAt(data.data(), q[k], scale))) << q[k] << " scale " << scale;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 10000);
}
