// The synthesis layer's dispatch: what each parameter sets in the
// instrument's fields and in every voice, channel linking of the filter
// blocks and the shapers, the voice-count request, and the value texts.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "framework/base/base_math.h"
#include "tests/engines/kwp_test_plugin.h"

namespace {

using namespace kwp_test;

class KwpSynth : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin_test::TTestHost::Reset();
    p = MakeKwpPlugin();
    ASSERT_TRUE(p->IsKwpReady());
    ASSERT_EQ(p->VoiceCount(), 3);  // the "Voices" default
  }
  // Each voice's filter type index of block b, side s.
  std::vector<int> FilterTypes(int block, int side) {
    std::vector<int> types;
    for (std::int32_t i = 0; i < p->VoiceCount(); ++i) {
      auto& f = block == 1 ? p->SynthVoice(i).Filter1 : p->SynthVoice(i).Filter2;
      types.push_back(f[static_cast<std::size_t>(side)].GetFilterIndex());
    }
    return types;
  }
  std::vector<int> ShapeTypes(int side) {
    std::vector<int> types;
    for (std::int32_t i = 0; i < p->VoiceCount(); ++i)
      types.push_back(p->SynthVoice(i).Shaper[static_cast<std::size_t>(side)].ShapeIndex);
    return types;
  }
  std::unique_ptr<TKwpTestPlugin> p;
};

TEST_F(KwpSynth, MasterValuesConvert) {
  const TKwpValues& k = p->Kwp();
  EXPECT_FLOAT_EQ(k.GainLevel, 1.0f);  // default 1000
  SetReal(*p, kGain, 0);
  EXPECT_EQ(k.GainLevel, 0.0f);
  SetReal(*p, kGain, 500);
  EXPECT_NEAR(k.GainLevel, DbToAmp(-30.0f), 1e-6);

  SetReal(*p, kTune, -12);
  SetReal(*p, kFine, 50);
  EXPECT_FLOAT_EQ(k.TuneOffset, -11.5f);

  // Glide: 100 ms by default, in samples at 44.1 kHz; the floor is none.
  EXPECT_NEAR(k.GlideSamples, 100.0f * 44.0f, 1.0f);
  EXPECT_FLOAT_EQ(k.GlideReciprocal, 1.0f / k.GlideSamples);
  SetReal(*p, kGlide, -13160);
  EXPECT_EQ(k.GlideSamples, 0.0f);
  EXPECT_EQ(k.GlideReciprocal, 0.0f);

  SetReal(*p, kEnv1DB, 3);
  EXPECT_EQ(p->Env1CurveLaw(), GetCurveFunction(3));
}

TEST_F(KwpSynth, AVoiceCountFromTheHostIsInPlaceWhenItsCallReturnsAndOtherwiseAtTheNextRender) {
  SetReal(*p, kVoices, 6);
  EXPECT_EQ(p->VoiceCount(), 6) << "made on the host's thread, swapped in before the call returned";
  EXPECT_FALSE(p->IsVoiceCountRequested());
  // The new voices got the layer's per-voice settings again.
  SetReal(*p, kFlt1LType, 5);
  SetReal(*p, kVoices, 8);
  EXPECT_EQ(FilterTypes(1, 0), std::vector<int>(8, 5));
  // "Voices" is the core's selector parameter: message 8051 requests it
  // again; called directly (no host call around it) the request waits for
  // the next render.
  EXPECT_EQ(p->ProgramSelectorParam, kVoices);
  p->SetParameterReal(kVoices, 4);
  EXPECT_TRUE(p->IsVoiceCountRequested());
  EXPECT_EQ(p->RequestedVoiceCount(), 4);
  EXPECT_EQ(p->VoiceCount(), 8);
  RenderBlock(*p);
  EXPECT_EQ(p->VoiceCount(), 4);
  RenderBlock(*p);  // the rebuild's own pass requested the same count once more
  EXPECT_FALSE(p->IsVoiceCountRequested());
  p->HandlePluginMessage(TDSPPluginX::kMsgProgramSelector, nullptr, 0, 0, 0);
  EXPECT_TRUE(p->IsVoiceCountRequested());
  EXPECT_EQ(p->RequestedVoiceCount(), 4);
}

TEST_F(KwpSynth, EnvelopeSettingsReachEveryVoice) {
  SetReal(*p, kEnv1Attack, static_cast<float>(LinToCents1000(250)));
  SetReal(*p, kEnv1Sustain, 127);
  SetReal(*p, kEnv2Release, static_cast<float>(LinToCents1000(1000)));
  SetReal(*p, kAmpEnv1, 50);
  for (std::int32_t i = 0; i < p->VoiceCount(); ++i) {
    EXPECT_NEAR(p->SynthVoice(i).Env1.Attack, 250.0f, 0.1f);
    EXPECT_FLOAT_EQ(p->SynthVoice(i).Env1.Sustain, 1.0f);
    EXPECT_NEAR(p->SynthVoice(i).Env2.Release, 1000.0f, 0.1f);
  }
  EXPECT_FLOAT_EQ(p->Kwp().AmpToEnv[0], 0.5f);
}

TEST_F(KwpSynth, Env2DelayFloorMeansNoDelay) {
  const TKwpValues& k = p->Kwp();
  EXPECT_EQ(k.Env2DelaySamples, 0);  // the default is the floor
  SetReal(*p, kEnv2Delay, static_cast<float>(LinToCents1000(10)));
  EXPECT_EQ(k.Env2DelaySamples, 440);  // 9.9986 ms x 44
  SetReal(*p, kEnv2Delay, -13160);
  EXPECT_EQ(k.Env2DelaySamples, 0);
  // A rate change recomputes it.
  SetReal(*p, kEnv2Delay, static_cast<float>(LinToCents1000(10)));
  plugin_test::Dispatch(p->GetEffect(), kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
  EXPECT_EQ(k.Env2DelaySamples, 480);
}

TEST_F(KwpSynth, LfoStageLengthsAreWholeMillisecondsAndTheFloorIsNone) {
  const TKwpLfoSettings& lfo = p->Kwp().Lfo[0];
  EXPECT_EQ(lfo.Delay, 0);
  EXPECT_EQ(lfo.Attack, 0);
  EXPECT_EQ(lfo.Hold, 0);
  EXPECT_EQ(lfo.Release, 0);
  SetReal(*p, kLfo1Dly, static_cast<float>(LinToCents1000(5)));
  SetReal(*p, kLfo1Hold, static_cast<float>(LinToCents1000(2.4f)));
  SetReal(*p, kLfo1Cyc, 2);
  EXPECT_EQ(lfo.Delay, 5 * 44);
  EXPECT_EQ(lfo.Hold, 2 * 44);
  EXPECT_EQ(lfo.Cycles, 2);
  SetReal(*p, kLfo1Freq, 0);
  SetReal(*p, kLfo1Amp, 500);
  EXPECT_NEAR(lfo.BaseFrequency, TDSPBaseControl::PitchToFreq(0) * 10.0f, 1e-4);
  EXPECT_NEAR(lfo.BaseAmplitude, DbToAmp(-30.0f), 1e-6);
  SetReal(*p, kLfo1Wave, 30);
  SetReal(*p, kLfo1Reset, 1);
  for (std::int32_t i = 0; i < p->VoiceCount(); ++i) {
    EXPECT_EQ(p->SynthVoice(i).Lfo[0].GetWaveformIndex(), 30);
    EXPECT_TRUE(p->SynthVoice(i).LfoReset[0]);
    EXPECT_FALSE(p->SynthVoice(i).LfoReset[1]);
  }
}

TEST_F(KwpSynth, FilterChannelModeOneLinksTheRightFilterToTheLeft) {
  ASSERT_EQ(p->Kwp().FilterChannelMode[0], 1);  // the default
  SetReal(*p, kFlt1LType, 4);
  EXPECT_EQ(FilterTypes(1, 0), std::vector<int>(3, 4));
  EXPECT_EQ(FilterTypes(1, 1), std::vector<int>(3, 4));
  // The right type alone does nothing while linked...
  SetReal(*p, kFlt1RType, 9);
  EXPECT_EQ(FilterTypes(1, 1), std::vector<int>(3, 4));
  // ... and takes effect when the mode unlinks the sides, which re-applies
  // every row of the block.
  SetReal(*p, kFlt1Chn, 0);
  EXPECT_EQ(FilterTypes(1, 0), std::vector<int>(3, 4));
  EXPECT_EQ(FilterTypes(1, 1), std::vector<int>(3, 9));
  SetReal(*p, kFlt1LType, 2);
  EXPECT_EQ(FilterTypes(1, 1), std::vector<int>(3, 9));
  // Back to linked: the left type drives both again.
  SetReal(*p, kFlt1Chn, 1);
  EXPECT_EQ(FilterTypes(1, 1), std::vector<int>(3, 2));
  // Block 2 has its own mode.
  SetReal(*p, kFlt2Chn, 0);
  SetReal(*p, kFlt2LType, 6);
  SetReal(*p, kFlt2RType, 7);
  EXPECT_EQ(FilterTypes(2, 0), std::vector<int>(3, 6));
  EXPECT_EQ(FilterTypes(2, 1), std::vector<int>(3, 7));
  EXPECT_EQ(FilterTypes(1, 1), std::vector<int>(3, 2));
}

TEST_F(KwpSynth, ShaperChannelModeLinksTypesAndRoutes) {
  const TKwpValues& k = p->Kwp();
  SetReal(*p, kShapeTypeL, 3);
  SetReal(*p, kShapeRouteL, 1);
  SetReal(*p, kShapeTypeR, 8);
  SetReal(*p, kShapeRouteR, 0);
  // Linked (mode 1): the right side takes the left parameters.
  EXPECT_EQ(ShapeTypes(0), std::vector<int>(3, 3));
  EXPECT_EQ(ShapeTypes(1), std::vector<int>(3, 3));
  EXPECT_EQ(k.ShaperRoute[1], 1);
  SetReal(*p, kShpChnMode, 0);
  EXPECT_EQ(ShapeTypes(1), std::vector<int>(3, 8));
  EXPECT_EQ(k.ShaperRoute[0], 1);
  EXPECT_EQ(k.ShaperRoute[1], 0);
  SetReal(*p, kShapeAmtL, 250);
  SetReal(*p, kShapeAmtR, 750);
  EXPECT_FLOAT_EQ(k.ShaperAmount[0], 0.25f);
  EXPECT_FLOAT_EQ(k.ShaperAmount[1], 0.75f);
}

TEST_F(KwpSynth, ValueTextsOfSourcesTargetsAndChannelModes) {
  const char* sources[] = {"---",     "LFO1",     "LFO2",      "LFO3",    "Seq1Lvl", "Seq1Gate", "Seq1Pitch", "Seq1Env",
                           "Seq2Lvl", "Seq2Gate", "Seq2Pitch", "Seq2Env", "Env1",    "Env2",     "Pitch",     "RND"};
  for (int s = 0; s < 16; ++s) {
    SetReal(*p, MSrc(1), static_cast<float>(s));
    EXPECT_EQ(p->GetParameterDisplay(MSrc(1)), sources[s]);
  }
  SetReal(*p, MSrc(1), 16);
  EXPECT_EQ(p->GetParameterDisplay(MSrc(1)), "");
  SetReal(*p, MDst(3), 0);
  EXPECT_EQ(p->GetParameterDisplay(MDst(3)), "---");
  SetReal(*p, MDst(3), 2);
  EXPECT_EQ(p->GetParameterDisplay(MDst(3)), "Osc1Pitch");
  SetReal(*p, MDst(3), 55);
  EXPECT_EQ(p->GetParameterDisplay(MDst(3)), "Seq2Pitch");
  SetReal(*p, MDst(3), 56);  // past the end of the list
  EXPECT_EQ(p->GetParameterDisplay(MDst(3)), "");
  SetReal(*p, kFlt1Chn, 0);
  EXPECT_EQ(p->GetParameterDisplay(kFlt1Chn), "LR");
  SetReal(*p, kShpChnMode, 1);
  EXPECT_EQ(p->GetParameterDisplay(kShpChnMode), "Left");
  SetReal(*p, kFlt2Chn, 3);
  EXPECT_EQ(p->GetParameterDisplay(kFlt2Chn), "");
  // The DSP lists this layer's parameters show.
  SetReal(*p, kFlt1LType, 0);
  EXPECT_EQ(p->GetParameterDisplay(kFlt1LType), std::string(FilterTypeName(0)));
  SetReal(*p, kShapeTypeL, 1);
  EXPECT_EQ(p->GetParameterDisplay(kShapeTypeL), std::string(ShaperTypeName(1)));
  EXPECT_EQ(p->GetParameterDisplay(kGain), "1.000");
}

TEST_F(KwpSynth, TargetNamesAreCutToTwentyFourCharacters) {
  p->AddVoiceModTarget(3, "A name much longer than twenty-four");
  EXPECT_EQ(p->VoiceModTargetName(56), "A name much longer than ");
  EXPECT_EQ(p->VoiceModTargetId(0), -1);
  EXPECT_EQ(p->VoiceModTargetId(57), -1);
}

// A layer above that never sets the maximum voice count: the user is told
// once, with the plug-in's name, and the build goes on ("Voices" keeps its
// own display range).
TEST(KwpSynthMap, AnUnsetMaximumVoiceCountIsReportedAndTheBuildGoesOn) {
  struct TNoMaximum : TKwpTestPlugin {
    TNoMaximum() { MaxVoices = -1; }
    void ShowMessageText(std::string_view text) override { Messages.emplace_back(text); }
    std::vector<std::string> Messages;
  };
  plugin_test::TTestHost::Reset();
  auto p = plugin_test::MakePlugin<TNoMaximum>();
  EXPECT_EQ(p->Messages, std::vector<std::string>{"Bad old max voices in KwpTest"});
  EXPECT_TRUE(p->IsKwpReady());
  EXPECT_EQ(p->ParamInfo[kVoices].Name, "Voices");
  // Its range is the row's own, 1 to 32 voices.
  EXPECT_EQ(p->ParamInfo[kVoices].Max, 32.0f);
}

TEST(KwpSynthMap, NothingActsBeforeTheMapIsAssigned) {
  TKwpTestPlugin p;
  EXPECT_FALSE(p.IsKwpReady());
  EXPECT_EQ(p.KwpParamIndex(0), -1);
  EXPECT_EQ(p.KwpLocalOfParam(10), -1);
  p.ParameterChanged(kGain);  // no descriptors, no map: ignored
  EXPECT_EQ(p.Kwp().GainLevel, 1.0f);
}

}  // namespace
