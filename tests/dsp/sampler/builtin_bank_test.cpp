// The built-in bass bank as the instrument will find it: complete, tiling
// the keyboard, looped seamlessly, in tune and band-limited.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <set>
#include <thread>
#include <vector>

#include "dsp/sampler/bank_messages.h"
#include "dsp/sampler/sample_interpolation.h"
#include "dsp/sampler/sampler.h"
#include "framework/base/streams.h"
#include "platform/resources.h"
#include "tests/dsp/sampler/pitch_measure.h"
#include "tools/samplebank/bank_layout.h"

namespace {

constexpr double kHostRate = 44100.0;

using sampler_test::KeyHz;

class BuiltinBank : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Store = new TSampler;
    std::unique_ptr<TMemoryStream> stream = LoadResourceStream("SAMPLERBANKFX");
    ASSERT_NE(stream, nullptr);
    Store->NewBank(0);
    ASSERT_TRUE(Store->LoadBankFromStream(*stream, 0, ""));
    ConsumedAll = stream->Position() == stream->Size();
  }
  static void TearDownTestSuite() {
    delete Store;
    Store = nullptr;
  }
  static const TSampleBankRec& Bank() { return *Store->Bank(0); }

  static TSampler* Store;
  static bool ConsumedAll;
};
TSampler* BuiltinBank::Store = nullptr;
bool BuiltinBank::ConsumedAll = false;

// Plays a zone's sample at its root from the loop start, as the instrument
// does (2-point interpolation, rate ratio from the header), for n frames at
// 44.1 kHz.
std::vector<float> PlayLoopAtRoot(const TSampleRec& s, std::size_t n) {
  std::vector<float> out(n);
  const double increment = s.SampleRate() / kHostRate;
  const double start = s.Header.LoopStart, end = s.Header.LoopEnd, loop = end - start;
  double position = start;
  const float scale = s.Header.SampleScale;
  for (float& y : out) {
    float right;
    Interpolate2PointMono(s.Data, position, scale, y, right);
    position += increment;
    if (position >= end) position -= loop;
  }
  return out;
}

TEST_F(BuiltinBank, LoadsWholeWithTheGeneratorsCounts) {
  EXPECT_TRUE(ConsumedAll) << "every byte consumed";
  EXPECT_LT(FindResourceBytes("SAMPLERBANKFX").size(), 8u << 20) << "embedded bank under 8 MB";
  EXPECT_EQ(std::string(Bank().Header.Version, 4), "1.68");
  EXPECT_FALSE(Bank().Modified);
  ASSERT_EQ(static_cast<std::int32_t>(Bank().Samples.size()), kBankSampleCount);
  for (std::size_t i = 1; i < Bank().Samples.size(); ++i) {
    EXPECT_LE(Bank().Samples[i - 1]->Name(), Bank().Samples[i]->Name()) << "samples sorted by name";
  }
  std::set<std::uint16_t> ids;
  std::set<std::string> names;
  for (const auto& s : Bank().Samples) {
    EXPECT_TRUE(ids.insert(s->ID()).second) << "duplicate id " << s->ID();
    EXPECT_TRUE(names.insert(s->Name()).second) << "duplicate name " << s->Name();
    EXPECT_LE(s->Name().size(), 20u) << s->Name();
  }
  for (std::int32_t p = 0; p < kSampleBankPrograms; ++p) {
    const TSamplerProgramRec* program = Store->Program(0, p);
    if (p >= kBankProgramCount) {
      EXPECT_EQ(program, nullptr) << p;
      continue;
    }
    ASSERT_NE(program, nullptr) << p;
    EXPECT_EQ(program->Name, kBankPrograms[p].Name);
    EXPECT_FALSE(program->HasTemplate);
    ASSERT_EQ(static_cast<std::int32_t>(program->Zones.size()), kBankZoneCount) << p;
    for (const TSampleZone& zone : program->Zones) EXPECT_NE(zone.Sample, nullptr) << "zone resolved";
  }
}

TEST_F(BuiltinBank, ZonesTileTheKeyboardWithExplicitPlaySettings) {
  for (std::int32_t p = 0; p < kBankProgramCount; ++p) {
    const TSamplerProgramRec& program = *Store->Program(0, p);
    std::int32_t nextKey = 0;
    for (std::int32_t i = 0; i < kBankZoneCount; ++i) {
      const TSampleZone& zone = program.Zones[i];
      const TSampleZoneRec& z = zone.Rec;
      SCOPED_TRACE(zone.Sample->Name());
      EXPECT_EQ(z.LowKey, nextKey) << "no gap, no overlap";
      EXPECT_GE(z.HighKey, z.LowKey);
      nextKey = z.HighKey + 1;
      const std::int32_t root = ResolveZoneRootKey(z, *zone.Sample);
      EXPECT_EQ(root, kBankZoneRoots[i]);
      EXPECT_TRUE(root >= z.LowKey && root <= z.HighKey);
      EXPECT_LE(z.HighKey - root, 7) << "band-limited for at most this shift";
      // Settings the instrument relies on: envelope 1 on, holding until the
      // release and fading slowly; no stage that costs time; full tracking.
      EXPECT_EQ(z.Env1On, 1);
      EXPECT_EQ(z.Env1SustainOn, 1);
      EXPECT_GE(z.Env1ReleaseMs, 1000);
      EXPECT_EQ(z.Env2On, 0);
      EXPECT_EQ(z.Filter1On | z.Filter2On | z.DistOn | z.Shaper[0].On | z.Shaper[1].On | z.ModEnvOn, 0);
      EXPECT_EQ(z.PitchTracking, 100);
      EXPECT_EQ(z.Gain, 1.0f);
      EXPECT_EQ(z.Pan, 0.5f);
      EXPECT_EQ(z.Param548, 1.0f);
      EXPECT_EQ(z.Transpose, 0);
      EXPECT_EQ(ResolveZoneSampleScale(z, *zone.Sample), 1.0f / 32767.0f);
    }
    EXPECT_EQ(nextKey, 128) << kBankPrograms[p].Name;
  }
}

TEST_F(BuiltinBank, SamplesAreNormalisedMonoWithSeamlessLoops) {
  for (const auto& sp : Bank().Samples) {
    const TSampleRec& s = *sp;
    SCOPED_TRACE(s.Name());
    EXPECT_EQ(s.Channels(), 1);
    EXPECT_EQ(s.Riff.BitsPerSample, 16);
    const TZoneLoop loop = ResolveZoneLoop(TSampleZoneRec{}, s);
    ASSERT_EQ(loop.Mode, kLoopForward);
    ASSERT_EQ(loop.Start, s.Header.LoopStart);
    ASSERT_EQ(loop.End, s.Header.LoopEnd);
    ASSERT_GE(s.Frames() - loop.End, 3) << "three frames after the loop end";
    for (std::int32_t j = 0; j < 3; ++j) EXPECT_EQ(s.Data[loop.End + j], s.Data[loop.Start + j]);
    std::int32_t peak = 0;
    for (std::int32_t k = 0; k < s.Frames(); ++k) peak = std::max(peak, std::abs(static_cast<std::int32_t>(s.Data[k])));
    EXPECT_NEAR(peak, 29490, 1) << "normalised to 90 % of full scale";
    // The seam, from the last loop frame back to the first, steps no more
    // than the waveform does anywhere inside the loop.
    std::int32_t largest = 0;
    for (std::int32_t k = loop.Start; k + 1 < loop.End; ++k)
      largest = std::max(largest, std::abs(s.Data[k + 1] - s.Data[k]));
    EXPECT_LE(std::abs(s.Data[loop.Start] - s.Data[loop.End - 1]), largest);
  }
}

TEST_F(BuiltinBank, EveryRootPlaysAtItsPitch) {
  for (std::int32_t p = 0; p < kBankProgramCount; ++p) {
    for (const TSampleZone& zone : Store->Program(0, p)->Zones) {
      const TSampleRec& s = *zone.Sample;
      SCOPED_TRACE(s.Name());
      const double expected = KeyHz(ResolveZoneRootKey(zone.Rec, s));
      // Whole loops, at least four and at least a quarter second.
      const double loopFrames = (s.Header.LoopEnd - s.Header.LoopStart) * kHostRate / s.SampleRate();
      const double loops = std::max(4.0, std::ceil(0.25 * kHostRate / loopFrames));
      const std::vector<float> y = PlayLoopAtRoot(s, static_cast<std::size_t>(std::lrint(loops * loopFrames)));
      const double measured = sampler_test::MeasureFrequency(y, expected, kHostRate);
      EXPECT_NEAR(measured / expected, 1.0, 0.001) << "measured " << measured << " Hz, expected " << expected;
    }
  }
}

// No content above the host's Nyquist frequency at the highest key each
// zone is played at (44.1 kHz): the loop's DFT above that frequency.
TEST_F(BuiltinBank, LoopsAreBandLimitedForTheirHighestKey) {
  for (std::int32_t p = 0; p < kBankProgramCount; ++p) {
    for (const TSampleZone& zone : Store->Program(0, p)->Zones) {
      const TSampleRec& s = *zone.Sample;
      SCOPED_TRACE(s.Name());
      const std::int32_t start = s.Header.LoopStart, length = s.Header.LoopEnd - start;
      const double shift = std::pow(2.0, (zone.Rec.HighKey - ResolveZoneRootKey(zone.Rec, s)) / 12.0);
      const double limitHz = 0.5 * kHostRate / shift;
      const auto firstBin = static_cast<std::int32_t>(std::ceil(limitHz * length / s.SampleRate()));
      double total = 0, above = 0;
      for (std::int32_t k = 0; k < length; ++k) total += double(s.Data[start + k]) * s.Data[start + k];
      for (std::int32_t bin = firstBin; bin <= length / 2; ++bin) {
        const std::complex<double> step = std::polar(1.0, -2 * std::numbers::pi * bin / length);
        std::complex<double> phasor = 1.0, sum = 0.0;
        for (std::int32_t k = 0; k < length; ++k) {
          sum += double(s.Data[start + k]) * phasor;
          phasor *= step;
        }
        // Parseval: a bin's power is |X|^2 / N, counted twice (its mirror).
        above += 2 * std::norm(sum) / length;
      }
      EXPECT_LT(above / total, 1e-6) << "content above " << limitHz << " Hz";
    }
  }
}

TEST(GlobalSampler, IsCreatedOnceWithTheBuiltinBank) {
  std::vector<TSampler*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &GlobalSampler(); });
  for (std::thread& t : threads) t.join();
  for (TSampler* s : seen) EXPECT_EQ(s, seen[0]);
  ASSERT_NE(GlobalSampler().Bank(0), nullptr);
  EXPECT_EQ(GlobalSampler().GetProgramShortName(0, 9), kBankPrograms[9].Name);
  EXPECT_EQ(GlobalSampler().GetProgramShortName(0, 100), "Empty");
}

}  // namespace
