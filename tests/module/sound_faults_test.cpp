// Faults a musician hears, each played through the built module the way a
// host plays it: repeated notes, note starts, program changes, renders that
// must repeat bit for bit, programs that must sound as named, the low end in
// mono.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/module/module_render.h"

namespace {

using namespace module_render;

// Both channels of s over from..to, one after the other.
std::vector<float> Both(const TStereo& s, double from, double to) {
  std::vector<float> x(s.LeftPart(from, to).begin(), s.LeftPart(from, to).end());
  x.insert(x.end(), s.RightPart(from, to).begin(), s.RightPart(from, to).end());
  return x;
}

TStereo MustPlay(const TPlaySettings& settings, const TScript& script) {
  TStereo out;
  std::string error;
  EXPECT_TRUE(Play(settings, script, out, error)) << error;
  return out;
}

int MustFindProgram(const std::string& name) {
  const int p = FindProgram(name);
  EXPECT_GE(p, 0) << "no program named " << name;
  return std::max(p, 0);
}

// ---- repeated notes

// A line of one pitch as sequencers and controllers send it: each note-on
// arrives before the previous note's note-off at the same moment. Each note
// must sound: a note-off ends only the note it belongs to.
TEST(SoundFaults, EveryNoteOfARepeatedPitchSounds) {
  for (const char* name :
       {"Acid Line", "Rumbleon Deluxe", "Glide Sub", "Mono Glide Saw", "Synth Pluck", "Sine Pluck", "Tine Pluck"}) {
    SCOPED_TRACE(name);
    TPlaySettings s;
    s.Program = MustFindProgram(name);
    s.Seconds = 2.4;
    const double start = 0.1, step = 0.125;  // sixteenths at 120 BPM
    TScript script;
    for (int k = 0; k < 16; ++k) {
      script.NoteOn(start + k * step, 40);
      if (k > 0) script.NoteOff(start + k * step, 40);
    }
    script.NoteOff(start + 16 * step, 40);
    const TStereo out = MustPlay(s, script);
    std::vector<double> levels;
    for (int k = 0; k < 16; ++k) levels.push_back(RmsDb(Both(out, start + k * step + 0.03, start + k * step + 0.11)));
    const double loudest = *std::max_element(levels.begin(), levels.end());
    EXPECT_GT(loudest, -40.0);
    int silent = 0;
    for (double level : levels) silent += level < loudest - 20.0 ? 1 : 0;
    EXPECT_EQ(silent, 0) << "notes more than 20 dB below the loudest";
  }
}

// ---- renders that repeat

// A program's state with the reverb on in its random room ("Big1").
std::vector<std::uint8_t> RandomRoomState(const std::string& program) {
  std::string error;
  std::unique_ptr<TVstPlugin> source = OpenInstance(44100, 512, error);
  EXPECT_NE(source, nullptr) << error;
  if (source == nullptr) return {};
  source->SetProgram(MustFindProgram(program));
  source->SetParameter(ParamIndex("FxOn"), 1.0f);
  source->SetParameter(ParamIndex("RvbOn"), 1.0f);
  source->SetParameter(ParamIndex("RvbMode"), 0.0f);
  EXPECT_EQ(source->ParamDisplay(ParamIndex("RvbMode")), "Big1");
  return source->GetChunk(true);
}

// Every random source of an instance starts from a fixed seed: two
// instances given the same state render the same bits, whatever the
// process made before them; within a render the randomness stays (the
// random octaves still change from step to step).
TEST(SoundFaults, TwoInstancesFromTheSameStateRenderTheSameBits) {
  for (const char* name : {"Random Octaves", "Space Bass"}) {
    SCOPED_TRACE(name);
    const std::vector<std::uint8_t> state = RandomRoomState(name);
    ASSERT_FALSE(state.empty());
    TScript script;
    for (int k = 0; k < 4; ++k) script.Note(0.1 + 0.6 * k, 0.5, 40 + 5 * k);
    std::vector<TStereo> renders;
    for (int instance = 0; instance < 2; ++instance) {
      std::string error;
      std::unique_ptr<TVstPlugin> plugin = OpenInstance(44100, 512, error);
      ASSERT_NE(plugin, nullptr) << error;
      plugin->SetChunk(state, true);
      TPlaySettings s;
      s.Seconds = 3.0;
      TStereo out;
      ASSERT_TRUE(PlayOn(*plugin, s, script, out, error)) << error;
      renders.push_back(std::move(out));
    }
    EXPECT_GT(RmsDb(Both(renders[0], 0.1, 2.6)), -40.0);
    EXPECT_TRUE(renders[0].Left == renders[1].Left && renders[0].Right == renders[1].Right)
        << "the two renders differ";
  }
  // The octave drawn at each step of a held note still varies.
  TPlaySettings s;
  s.Program = MustFindProgram("Random Octaves");
  s.Seconds = 2.2;
  TScript script;
  script.Note(0.1, 2.0, 40);
  const TStereo out = MustPlay(s, script);
  int octaves[3] = {0, 0, 0};
  for (int k = 0; k < 16; ++k) {
    const double from = 0.1 + 0.125 * k + 0.02, to = from + 0.08;
    const double f = PeakFrequency(out, from, to, 30, 800);
    const double octave = std::log2(f / NoteHz(40));
    for (int o = 0; o < 3; ++o) octaves[o] += std::fabs(octave - o) < 0.1 ? 1 : 0;
  }
  EXPECT_GE((octaves[0] > 0) + (octaves[1] > 0) + (octaves[2] > 0), 2)
      << octaves[0] << " steps at the note, " << octaves[1] << " an octave up, " << octaves[2] << " two up";
}

// ---- the silence gate

// A note held at volume 0 through the effects: the output is silence, so
// after about two seconds the instrument must stop rendering (the gated
// calls cost a small part of what rendering does). Raising the volume brings
// the held note back.
TEST(SoundFaults, TheSilenceGateClosesOnANoteHeldAtVolumeZeroThroughTheEffects) {
  for (const char* name : {"Rumbleon Deluxe", "Space Bass", "Pure Sine Sub"}) {
    SCOPED_TRACE(name);
    TPlaySettings s;
    s.Program = MustFindProgram(name);
    s.Seconds = 5.0;
    TScript script;
    script.NoteOn(0.1, 40).Parameter(0.3, 0, 0.0f).Parameter(4.4, 0, 0.5f).NoteOff(4.9, 40);
    const TStereo out = MustPlay(s, script);
    EXPECT_LT(RmsDb(Both(out, 0.4, 4.3)), -100.0) << "silent at volume 0";
    const double rendering = out.CpuSeconds(0.4, 1.8);
    const double gated = out.CpuSeconds(2.8, 4.2);
    EXPECT_LT(gated, 0.25 * rendering) << "still rendering: " << gated << " s of CPU against " << rendering;
    EXPECT_GT(RmsDb(Both(out, 4.5, 4.9)), -40.0) << "the held note back with the volume";
  }
}

}  // namespace
