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

using testing_support::LargestStep;

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

// Each note released as the next starts: with one voice, each new note
// claims the voice while its release sounds. Then, on each side: the sound's
// own steepest change while a note is held, away from its onset (times 1.6:
// a note's first milliseconds are a little brighter, its filter envelope not
// yet on its way down), bounds every step where a note starts (in the
// output within the internal blocks' latency).
void ExpectRestartsWithoutASteps(TInstrument& inst) {
  constexpr std::int32_t kHeld = 4410;
  std::vector<float> left, right;
  std::vector<std::size_t> onsets;
  const int keys[] = {45, 45, 57, 40, 45, 52, 45};
  for (std::size_t k = 0; k < std::size(keys); ++k) {
    if (k > 0) inst.NoteOff(keys[k - 1]);
    onsets.push_back(left.size());
    inst.NoteOn(keys[k]);
    inst.RenderInto(kHeld, left, right);
  }
  for (const std::vector<float>* side : {&left, &right}) {
    const char* name = side == &left ? "left" : "right";
    ASSERT_GT(testing_support::Rms(*side), 0.003) << name;
    float natural = 0.0f;
    for (const std::size_t at : onsets) natural = std::max(natural, LargestStep(*side, at + 441, at + kHeld));
    for (std::size_t k = 1; k < onsets.size(); ++k) {
      const std::size_t at = onsets[k];
      EXPECT_LE(LargestStep(*side, at - 2, at + 441), 1.6f * natural) << name << " note " << k << " at frame " << at;
    }
  }
}

TEST_P(VoiceRestart, ANoteClaimingASoundingVoiceStartsWithoutAStep) { ExpectRestartsWithoutASteps(Inst); }

// The same with the voice panned to one side (both oscillators, so each side
// holds the same sound at another level): each side hides its own step (a
// side that took the other's offset would leave a step in the output).
TEST_P(VoiceRestart, APannedVoiceStartsWithoutAStepOnEitherSide) {
  Inst.Set(sampler_test::kOsc1Pan, 30);
  Inst.Set(sampler_test::kOsc2Pan, 30);
  Inst.Render(64);
  ExpectRestartsWithoutASteps(Inst);
}

INSTANTIATE_TEST_SUITE_P(FactoryPrograms, VoiceRestart, ::testing::Values(0, 13, 27));

}  // namespace
