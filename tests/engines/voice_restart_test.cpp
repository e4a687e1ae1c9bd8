// A voice restarted while it still sounds (the one voice of a mono program
// claimed in its release, a retriggered note) starts its sound sources from
// the top: the renderer must not let that restart reach the output as a step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "framework/base/streams.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using sampler_test::TInstrument;

// The largest sample-to-sample change in x[from, to).
float LargestStep(const std::vector<float>& x, std::size_t from, std::size_t to) {
  float step = 0.0f;
  for (std::size_t i = std::max<std::size_t>(from, 1); i < std::min(to, x.size()); ++i)
    step = std::max(step, std::fabs(x[i] - x[i - 1]));
  return step;
}

struct VoiceRestart : ::testing::TestWithParam<int> {
  void SetUp() override {
    TMemoryStream s(sampler_test::FactoryBank());
    ASSERT_TRUE(Inst.P().LoadBankFromStream(s));
    Inst.P().SelectProgram(GetParam());
    Inst.Render(64);
    Inst.Set(sampler_test::kFxOn, 0);  // the voice as it leaves the mix
    Inst.Render(64);
  }
  TInstrument Inst;
};

TEST_P(VoiceRestart, ANoteClaimingASoundingVoiceStartsWithoutAStep) {
  constexpr std::int32_t kHeld = 4410;
  std::vector<float> left, right;
  std::vector<std::size_t> onsets;
  // Each note released as the next starts: with one voice, each new note
  // claims the voice while its release sounds.
  const int keys[] = {45, 45, 57, 40, 45, 52, 45};
  for (std::size_t k = 0; k < std::size(keys); ++k) {
    if (k > 0) Inst.NoteOff(keys[k - 1]);
    onsets.push_back(left.size());
    Inst.NoteOn(keys[k]);
    Inst.RenderInto(kHeld, left, right);
  }
  ASSERT_GT(testing_support::Rms(left), 0.01);
  // The bound: the sound's own steepest change while a note is held, away
  // from its onset (times 1.6: a note's first milliseconds are a little
  // brighter, its filter envelope not yet on its way down).
  float natural = 0.0f;
  for (const std::size_t at : onsets) natural = std::max(natural, LargestStep(left, at + 441, at + kHeld));
  for (std::size_t k = 1; k < onsets.size(); ++k) {
    const std::size_t at = onsets[k];
    // The note starts in the output within the internal blocks' latency.
    EXPECT_LE(LargestStep(left, at - 2, at + 441), 1.6f * natural) << "note " << k << " at frame " << at;
    EXPECT_LE(LargestStep(right, at - 2, at + 441), 1.6f * natural) << "note " << k << " at frame " << at;
  }
}

INSTANTIATE_TEST_SUITE_P(FactoryPrograms, VoiceRestart, ::testing::Values(0, 13, 27));

}  // namespace
