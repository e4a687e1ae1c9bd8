// No factory program puts a denormal number into the host's buffers, at any
// rate: every program plays a note and its release (where envelopes, filter
// states and effect tails decay towards zero), rendered through the module.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/module/module_render.h"

namespace {

using module_render::RenderProgram;

// E2 held for a quarter second; the release tails of every program fade past
// the smallest normal float within the second that follows.
constexpr double kTailSeconds = 1.0;

std::int64_t CountDenormals(const std::vector<std::vector<float>>& channels) {
  std::int64_t n = 0;
  for (const std::vector<float>& c : channels)
    for (float v : c) n += std::fpclassify(v) == FP_SUBNORMAL ? 1 : 0;
  return n;
}

class DenormalOutput : public ::testing::TestWithParam<double> {};

TEST_P(DenormalOutput, NoProgramOutputsADenormalDuringNoteTails) {
  const double rate = GetParam();
  const TMidiSong song = module_render::Song({{40, 0.0, 0.25}});
  std::int64_t total = 0;
  for (int program = 0; program < 128; ++program) {
    std::string error;
    const std::vector<std::vector<float>> out = RenderProgram(program, song, rate, kTailSeconds, error);
    ASSERT_FALSE(out.empty()) << error;
    const std::int64_t n = CountDenormals(out);
    EXPECT_EQ(n, 0) << "program " << program;
    total += n;
  }
  EXPECT_EQ(total, 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, DenormalOutput, ::testing::Values(22050.0, 44100.0, 48000.0, 96000.0, 192000.0),
                         [](const ::testing::TestParamInfo<double>& info) {
                           return std::to_string(static_cast<int>(info.param)) + "Hz";
                         });

}  // namespace
