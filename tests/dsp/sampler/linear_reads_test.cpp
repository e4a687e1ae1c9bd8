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

// Reads `reads` samples from start along the serial chain (next: one step
// of it) and by the form's runs with single serial steps where a run stops
// (as the zone renderer does); both must agree bit for bit, positions
// included. Answers the samples the runs read.
template <class Next>
std::int32_t CompareRuns(const TForm& form, const std::vector<std::int16_t>& data, double start, double increment,
                         double limit, double loopLength, float scale, int reads, Next next) {
  std::vector<float> expected;
  std::vector<double> positions;
  double p = start;
  for (int k = 0; k < reads; ++k) {
    expected.push_back(form.Serial(data.data(), p, scale));
    positions.push_back(p);
    next(p);
  }
  positions.push_back(p);
  std::vector<float> got(expected.size());
  double q = start;
  std::size_t k = 0;
  std::int32_t fast = 0;
  while (k < expected.size()) {
    const auto rest = static_cast<std::int32_t>(expected.size() - k);
    const std::int32_t done = form.Run(data.data(), scale, q, increment, limit, loopLength, got.data() + k, rest & ~3);
    EXPECT_EQ(done % 4, 0);
    EXPECT_LE(done, rest & ~3);
    if (done % 4 != 0 || done > (rest & ~3)) return fast;
    fast += done;
    k += static_cast<std::size_t>(done);
    if (!SameBits(q, positions[k])) {
      ADD_FAILURE() << "position after the run at " << k;
      return fast;
    }
    if (k < expected.size()) {
      got[k] = form.Serial(data.data(), q, scale);
      next(q);
      ++k;
    }
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (!SameBits(got[i], expected[i])) {
      ADD_FAILURE() << "read " << i;
      break;
    }
  }
  return fast;
}

}  // namespace

TEST(LinearReads, RunsGiveTheSerialChainBitForBit) {
  constexpr std::int32_t kFrames = 5000;
  std::vector<std::int16_t> data = RandomFrames(kFrames + kReadableBeyond, 7);  // (a window may reach past the limit)
  const double u1024 = std::ldexp(1.0, 10 - 52);                                // the unit of [1024, 2048)
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
    for (double start : starts) {
      for (double increment : increments) {
        for (double limit : {static_cast<double>(kFrames - 2), start + 37.0}) {
          SCOPED_TRACE(testing::Message() << "start " << start << " increment " << increment << " limit " << limit);
          // The serial chain while its next position stays below the limit.
          int reads = 0;
          for (double p = start; reads < 400 && p + increment < limit; p += increment) ++reads;
          const std::int32_t fast = CompareRuns(form, data, start, increment, limit, 0.0, 0.25f, reads,
                                                [increment](double& x) { x += increment; });
          // Inside one binade the runs do the work, away from ties and at a
          // tie from an even multiple of the unit (1024).
          if (((start == 3000.123456789 && increment == 1.0) || (start == 1024.0 && increment == 1.0 + u1024 / 2)) &&
              limit > 4000.0) {
            EXPECT_GE(fast, 360);
          }
        }
      }
    }
  }
}

// Through a forward loop the runs give the serial chain with its wraps
// (WrapForward: back by the loop's length at its end) bit for bit: loops
// shorter and longer than a group, across binades, a loop start below frame
// 1.5 and increments longer than the loop (which the caller folds).
TEST(LinearReads, RunsThroughAForwardLoopGiveTheSerialChainBitForBit) {
  constexpr std::int32_t kFrames = 3000;
  std::vector<std::int16_t> data = RandomFrames(kFrames + kReadableBeyond, 5);
  const std::int32_t loops[][2] = {{1000, 1100}, {100, 140}, {500, 1500}, {2, 9}, {0, 60}, {1, 2999}, {120, 136}};
  const double increments[] = {1.0, 0.70710678118654757, 1.2345678901234567, 1.9999, 2.7, 7.5, 23.3};
  for (const TForm& form : Forms()) {
    SCOPED_TRACE(form.Name);
    for (const auto& loop : loops) {
      const double start = loop[0], end = loop[1], length = end - start;
      for (double increment : increments) {
        SCOPED_TRACE(testing::Message() << "loop " << start << ".." << end << " increment " << increment);
        auto step = [&](double& x) {
          x += increment;
          if (x >= end) {
            x -= length;
            if (x >= end) x = start + std::fmod(x - start, length);
          }
        };
        const std::int32_t fast = CompareRuns(form, data, start + 0.37, increment, end, length, 0.5f, 700, step);
        // A loop longer than a group and above frame 1.5, no fold: the AVX2
        // forms read on across the wraps.
        if (form.Run != LinearMonoRunSse2() && form.Run != CubicMonoRunSse2() && start >= 100.0 && increment < 3.0) {
          EXPECT_GE(fast, 690);
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
