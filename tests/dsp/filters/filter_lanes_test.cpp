#include "dsp/filters/filter_lanes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "dsp/filters/multi_filter.h"
#include "dsp/filters/resonant_filters.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

namespace {

// Filters of mixed types, each twice (one for the lanes, one stepped alone)
// with the same settings.
struct TPairs {
  std::vector<std::unique_ptr<TDSPFilter>> Together, Alone;
  void Add(int type, float cutoff, float resonance) {
    for (auto* list : {&Together, &Alone}) {
      list->push_back(CreateFilter(type));
      list->back()->SetCutoff(cutoff);
      list->back()->SetResonance(resonance);
      list->back()->SetParam3(0.3f);
    }
  }
};

using testing_support::SameBits;

// The vector widths this processor has (the test runs each), the widest put
// back in place when done.
std::vector<TLaneWidth> WidthsHere() {
  std::vector<TLaneWidth> widths;
  for (TLaneWidth w : {TLaneWidth::kSse, TLaneWidth::kAvx2, TLaneWidth::kAvx512})
    if (SelectLaneWidth(w)) widths.push_back(w);
  SelectLaneWidth(WidestLaneWidthHere());
  return widths;
}
struct TWidthGuard {
  ~TWidthGuard() { SelectLaneWidth(WidestLaneWidthHere()); }
};

}  // namespace

// Every count of filters (a partly filled register, one and two registers,
// several groups), direct-form, ladder and other types mixed, each with its
// own signal and its settings moving between sub-blocks: the outputs must be
// exactly those of each filter stepped alone, in every vector width (so the
// widths also equal each other).
TEST(FilterLanes, TogetherGivesExactlyEachFilterAlone) {
  const int types[] = {9, 0, 10, 21, 11, 3, 13, 9, 26, 9, 1, 27, 5, 9, 10, 20, 7};
  const TWidthGuard guard;
  const std::vector<TLaneWidth> widths = WidthsHere();
  ASSERT_FALSE(widths.empty());
  for (std::int32_t count : {1, 2, 3, 5, 8, 11, 17, 33, 40}) {
    for (TLaneWidth width : widths) {
      ASSERT_TRUE(SelectLaneWidth(width));
      TPairs pairs;
      // Past the list of types: ladders of all three outputs, as many as a
      // voice rack's filters.
      for (std::int32_t j = 0; j < count; ++j)
        pairs.Add(j < 17 ? types[j] : 9 + j % 3, 200.0f + 350.0f * static_cast<float>(j % 20),
                  0.2f + 0.04f * static_cast<float>(j % 20));
      for (std::int32_t n : {44, 47, 3}) {
        // Signal, then silence long enough for the recursions to decay into
        // zeros and denormals (which the flushes must catch as they do alone).
        for (int block = 0; block < 220; ++block) {
          std::vector<std::vector<float>> a, b;
          std::vector<TDSPFilter*> filters;
          std::vector<float*> buffers;
          for (std::int32_t j = 0; j < count; ++j) {
            a.push_back(
                testing_support::Noise(static_cast<std::size_t>(n), static_cast<std::uint32_t>(100 * j + block)));
            // Loud enough for the ladder's soft clip to matter (its input is
            // scaled by 0.001).
            for (float& x : a.back()) x *= block < 20 ? 900.0f : 0.0f;
            b.push_back(a.back());
            // Cutoff moves every sub-block, as a voice's filters do.
            const float cutoff = 300.0f + 40.0f * static_cast<float>((block * 7 + j) % 30);
            pairs.Together[static_cast<std::size_t>(j)]->SetCutoff(cutoff);
            pairs.Alone[static_cast<std::size_t>(j)]->SetCutoff(cutoff);
          }
          for (std::int32_t j = 0; j < count; ++j) {
            filters.push_back(pairs.Together[static_cast<std::size_t>(j)].get());
            buffers.push_back(a[static_cast<std::size_t>(j)].data());
          }
          ProcessFiltersTogether(filters.data(), buffers.data(), count, n);
          for (std::int32_t j = 0; j < count; ++j) {
            pairs.Alone[static_cast<std::size_t>(j)]->ProcessSamples(b[static_cast<std::size_t>(j)].data(), n);
            for (std::int32_t i = 0; i < n; ++i)
              ASSERT_TRUE(SameBits(a[static_cast<std::size_t>(j)][static_cast<std::size_t>(i)],
                                   b[static_cast<std::size_t>(j)][static_cast<std::size_t>(i)]))
                  << "count " << count << " width " << static_cast<int>(width) << " filter " << j << " n " << n
                  << " sample " << i;
          }
        }
      }
    }
  }
}

// A ladder driven past the float range must recover as it does alone (reset
// and silence), and the other filters of its group must not notice.
TEST(FilterLanes, OverflowRecoversAsAlone) {
  const TWidthGuard guard;
  for (TLaneWidth width : WidthsHere()) {
    ASSERT_TRUE(SelectLaneWidth(width));
    TPairs pairs;
    for (int j = 0; j < 4; ++j) pairs.Add(9, 800.0f, 0.9f);
    std::vector<std::vector<float>> a(4, std::vector<float>(44, 0.5f)), b = a;
    a[2].assign(44, 3e38f);
    b[2] = a[2];
    std::vector<TDSPFilter*> filters;
    std::vector<float*> buffers;
    for (int j = 0; j < 4; ++j) {
      filters.push_back(pairs.Together[static_cast<std::size_t>(j)].get());
      buffers.push_back(a[static_cast<std::size_t>(j)].data());
      pairs.Alone[static_cast<std::size_t>(j)]->ProcessSamples(b[static_cast<std::size_t>(j)].data(), 44);
    }
    ProcessFiltersTogether(filters.data(), buffers.data(), 4, 44);
    EXPECT_EQ(a, b);
    bool silenced = false;
    for (float y : a[2]) silenced |= y == 0.0f;
    EXPECT_TRUE(silenced);
  }
}
