#include "dsp/filters/direct_form_lanes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "dsp/filters/multi_filter.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

namespace {

// Direct-form types of several designs: Butterworth low/high/band-pass and
// cookbook peaking and shelving sections.
constexpr int kTypes[4] = {0, 3, 26, 27};

std::unique_ptr<TDSPFilter> Section(int lane, float cutoff) {
  auto f = CreateFilter(kTypes[lane % 4]);
  f->SetCutoff(cutoff * static_cast<float>(lane + 1));
  f->SetResonance(0.3f + 0.15f * static_cast<float>(lane));
  f->SetParam3(0.4f);
  return f;
}

using testing_support::SameBits;

}  // namespace

// The lanes must give exactly the outputs and histories of the sections
// stepped one by one, for every lane count and with one or two banks; a
// reordered or contracted operation shows as a differing bit.
TEST(DirectFormLanes, MatchTheSectionsSteppedOneByOneBitForBit) {
  for (int banks = 1; banks <= 2; ++banks) {
    for (int count = 1; count <= 4; ++count) {
      std::vector<std::unique_ptr<TDSPFilter>> lanesOwn, oneByOne;
      TDirectFormLanes lanes[2];
      for (int b = 0; b < banks; ++b) {
        TDSPDirectFormFilter* sections[4] = {};
        for (int l = 0; l < count; ++l) {
          lanesOwn.push_back(Section(l, 300.0f + 500.0f * static_cast<float>(b)));
          oneByOne.push_back(Section(l, 300.0f + 500.0f * static_cast<float>(b)));
          sections[l] = lanesOwn.back()->AsDirectForm();
          ASSERT_NE(sections[l], nullptr);
        }
        lanes[b].Load(sections, count);
      }
      const std::int32_t n = 44;
      for (int block = 0; block < 30; ++block) {
        std::vector<float> x[2] = {testing_support::Noise(n, 11 + block), testing_support::Noise(n, 97 + block)};
        x[1][5] = 1e-39f;  // a denormal input
        alignas(16) float out[2][4 * n];
        TDirectFormLanes* bankPtr[2] = {&lanes[0], &lanes[1]};
        const float* xs[2] = {x[0].data(), x[1].data()};
        float* outs[2] = {out[0], out[1]};
        for (int b = 0; b < banks; ++b) {
          TDSPDirectFormFilter* sections[4] = {};
          for (int l = 0; l < count; ++l)
            sections[l] = lanesOwn[static_cast<std::size_t>(b * count + l)]->AsDirectForm();
          lanes[b].Load(sections, count);  // as an owner does before each sub-block
        }
        ASSERT_TRUE(RunDirectFormLanes(bankPtr, banks, xs, outs, n));
        for (int b = 0; b < banks; ++b) {
          for (int l = 0; l < count; ++l) {
            std::vector<float> y = x[b];
            TDSPFilter& f = *oneByOne[static_cast<std::size_t>(b * count + l)];
            f.ProcessSamples(y.data(), n);
            for (std::int32_t i = 0; i < n; ++i)
              ASSERT_TRUE(SameBits(out[b][4 * i + l], y[static_cast<std::size_t>(i)]))
                  << "bank " << b << " lane " << l << " of " << count << " sample " << i;
            const TDSPDirectFormFilter& a = *lanesOwn[static_cast<std::size_t>(b * count + l)]->AsDirectForm();
            const TDSPDirectFormFilter& e = *f.AsDirectForm();
            EXPECT_TRUE(SameBits(a.Y1, e.Y1) && SameBits(a.Y2, e.Y2) && SameBits(a.X1, e.X1) && SameBits(a.X2, e.X2));
          }
        }
      }
    }
  }
}

// A section whose output overflows needs the one-by-one path's recovery:
// the lanes report it and leave every section as it was.
TEST(DirectFormLanes, OverflowLeavesTheSectionsForTheScalarRecovery) {
  auto good = Section(0, 500);
  auto bad = Section(1, 500);
  TDSPDirectFormFilter* sections[2] = {good->AsDirectForm(), bad->AsDirectForm()};
  sections[1]->Y1 = 3e38f;
  sections[1]->Y2 = -3e38f;
  const float goodY1 = sections[0]->Y1;
  TDirectFormLanes lanes;
  lanes.Load(sections, 2);
  TDirectFormLanes* banks[1] = {&lanes};
  const std::vector<float> x(44, 0.5f);
  const float* xs[1] = {x.data()};
  alignas(16) float out[4 * 44];
  float* outs[1] = {out};
  EXPECT_FALSE(RunDirectFormLanes(banks, 1, xs, outs, 44));
  EXPECT_EQ(sections[1]->Y1, 3e38f);
  EXPECT_EQ(sections[0]->Y1, goodY1);
  // The scalar path resets the section and goes on from silence.
  std::vector<float> y = x;
  bad->ProcessSamples(y.data(), 44);
  EXPECT_EQ(y[0], 0.0f);
  EXPECT_TRUE(std::isfinite(y[43]));
}

// Two sections in series in one loop (the reverb's input filters) must give
// what each section's own buffer routine gives, one after the other, bit for
// bit: outputs and histories, a denormal input, and an overflow in either
// section that makes it recover mid-buffer while the other goes on.
TEST(DirectFormFilter, SectionsInSeriesGiveTheBuffersOneAfterTheOther) {
  for (int overflowing = -1; overflowing < 2; ++overflowing) {
    SCOPED_TRACE(testing::Message() << "overflowing section " << overflowing);
    auto a1 = Section(0, 700), b1 = Section(3, 400), a2 = Section(0, 700), b2 = Section(3, 400);
    TDSPDirectFormFilter* series[2] = {a1->AsDirectForm(), b1->AsDirectForm()};
    TDSPDirectFormFilter* alone[2] = {a2->AsDirectForm(), b2->AsDirectForm()};
    for (std::int32_t block = 0; block < 20; ++block) {
      std::vector<float> x = testing_support::Noise(44, 5 + block);
      x[7] = 1e-39f;
      if (block == 3 && overflowing >= 0) {
        for (TDSPDirectFormFilter** s : {series, alone}) {
          s[overflowing]->Y1 = 3e38f;
          s[overflowing]->Y2 = -3e38f;
        }
      }
      std::vector<float> y = x;
      TDSPDirectFormFilter::StepBuffersInSeries(*series[0], *series[1], x.data(), 44);
      a2->ProcessSamples(y.data(), 44);
      b2->ProcessSamples(y.data(), 44);
      for (std::int32_t i = 0; i < 44; ++i)
        ASSERT_TRUE(SameBits(x[static_cast<std::size_t>(i)], y[static_cast<std::size_t>(i)]))
            << "block " << block << " sample " << i;
      for (int k = 0; k < 2; ++k) {
        EXPECT_TRUE(SameBits(series[k]->Y1, alone[k]->Y1) && SameBits(series[k]->Y2, alone[k]->Y2) &&
                    SameBits(series[k]->X1, alone[k]->X1) && SameBits(series[k]->X2, alone[k]->X2));
      }
    }
  }
}
