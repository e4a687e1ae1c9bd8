// The sequencer layer: its parameters reach the right sequencer of every
// voice with the right conversion, its sub-preset groups, and the
// sequencers running in a render.
#include "engines/voicerack_arp_synth.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/engines/voice_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using namespace voice_test;

class SequencerLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin_test::TTestHost::Reset();
    p = MakeVoicePlugin();
    SetReal(*p, kVoicesParam, 3);
    p->ApplyVoiceCount();
    ASSERT_EQ(p->VoiceCount(), 3);
  }
  // Every voice's sequencer s.
  std::vector<TDSPSequencer*> Sequencers(int s) {
    std::vector<TDSPSequencer*> all;
    p->ForEachVoice<TDSPSynthVoice>([&](TDSPSynthVoice& v) { all.push_back(&v.Sequencer(s)); });
    return all;
  }
  std::unique_ptr<TVoiceTestPlugin> p;
};

TEST_F(SequencerLayer, ParametersMapToTheirIdsBothWays) {
  EXPECT_TRUE(p->IsSeqDispatchEnabled());
  for (std::int32_t l = 0; l < kSeqParamCount; ++l) {
    EXPECT_EQ(p->SeqParamIndex(l), kSeqFirstParamId + l);
    EXPECT_EQ(p->SeqLocalOfParam(kSeqFirstParamId + l), l);
  }
  EXPECT_EQ(p->SeqParamIndex(kSeqParamCount), -1);
  EXPECT_EQ(p->SeqLocalOfParam(kSeqFirstParamId - 1), -1);
  EXPECT_EQ(p->SeqLocalOfParam(kSeqFirstParamId + kSeqParamCount), -1);
  EXPECT_EQ(p->SeqLocalOfParam(-5), -1);
  EXPECT_EQ(p->SeqLocalOfParam(100000), -1);
  // The descriptors of both sequencers (names and defaults per sequencer).
  EXPECT_EQ(p->ParamInfo[kSeq1Swing].Name, "Seq1Swing");
  EXPECT_EQ(p->ParamInfo[kSeq2Swing].Name, "Seq2Swing");
  EXPECT_EQ(p->ParamInfo[kSeq1Step1 + 31].Name, "Seq1Step32");
  EXPECT_EQ(p->ParamInfo[kSeq2Step1].Name, "Seq2Step1");
  EXPECT_EQ(p->ParamInfo[kSeqFirstParamId + 69 + 11].Name, "Sq1PtchM");
  EXPECT_FLOAT_EQ(p->ParamInfo[kSeqFirstParamId + 26].RealFromNorm(p->ParamInfo[kSeqFirstParamId + 26].DefaultValue),
                  0.0f);
  EXPECT_FLOAT_EQ(p->ParamInfo[kSeqFirstParamId + 95].RealFromNorm(p->ParamInfo[kSeqFirstParamId + 95].DefaultValue),
                  100.0f);
  EXPECT_FLOAT_EQ(p->ParamInfo[kSeq1Len].Step, 0.1f);
}

TEST_F(SequencerLayer, SwingReachesOnlyItsOwnSequencerInEveryVoice) {
  SetReal(*p, kSeq1Len, 30);
  SetReal(*p, kSeq1Swing, 50);
  SetReal(*p, kSeq2Swing, 50);
  for (int s = 0; s < 2; ++s)
    for (TDSPSequencer* seq : Sequencers(s)) {
      EXPECT_FLOAT_EQ(static_cast<float>(seq->Step(0).Duration), 30.0f);
      EXPECT_FLOAT_EQ(static_cast<float>(seq->Step(1).Duration), 30.0f);
    }
  SetReal(*p, kSeq1Swing, 75);
  for (TDSPSequencer* seq : Sequencers(0)) {
    EXPECT_FLOAT_EQ(static_cast<float>(seq->Step(0).Duration), 45.0f);
    EXPECT_FLOAT_EQ(static_cast<float>(seq->Step(1).Duration), 15.0f);
  }
  for (TDSPSequencer* seq : Sequencers(1)) {
    EXPECT_FLOAT_EQ(static_cast<float>(seq->Step(0).Duration), 30.0f);
    EXPECT_FLOAT_EQ(static_cast<float>(seq->Step(1).Duration), 30.0f);
  }
}

TEST_F(SequencerLayer, PercentValuesAreScaledAndTheStepLengthIsNot) {
  SetReal(*p, kSeq1Swing, 50);
  SetReal(*p, kSeq1Len, 40);
  SetReal(*p, kSeq1LenF, 75);
  for (TDSPSequencer* seq : Sequencers(0)) {
    EXPECT_FLOAT_EQ(seq->StepLength(), 40.0f);
    // Gate time = length x 0.75 x (0.5 + swing 0.5).
    EXPECT_FLOAT_EQ(static_cast<float>(seq->Step(0).GateTime), 30.0f);
  }
  SetReal(*p, kSeq1Len, 0);  // stored by the sequencer as 0.1
  EXPECT_FLOAT_EQ(Sequencers(0)[0]->StepLength(), 0.1f);
  SetReal(*p, kSeq1Steps, 12);
  SetReal(*p, kSeq1RstNew, 0);
  SetReal(*p, kSeq1Rtrg, 1);
  SetReal(*p, kSeq1, 1);
  for (TDSPSequencer* seq : Sequencers(0)) {
    EXPECT_EQ(seq->StepCount(), 12);
    EXPECT_FALSE(seq->ResetOnNewNote());
    EXPECT_TRUE(seq->AlwaysRetrigger());
    EXPECT_TRUE(seq->Power());
  }
  SetReal(*p, kSeq1ToPitch, 50);
  SetReal(*p, kSeq2ToPitch, -120);
  EXPECT_FLOAT_EQ(p->SeqPitchAmount(0), 0.5f);
  EXPECT_FLOAT_EQ(p->SeqPitchAmount(1), -1.2f);
}

TEST_F(SequencerLayer, StepValuesMakeRestsAndTies) {
  SetReal(*p, kSeq1Swing, 50);
  SetReal(*p, kSeq1Len, 30);
  SetReal(*p, kSeq1LenF, 50);
  SetReal(*p, kSeq1Steps, 8);
  SetReal(*p, kSeq1Step1 + 4, -64);
  for (TDSPSequencer* seq : Sequencers(0)) {
    EXPECT_EQ(seq->Step(4).Note, kSequencerRest);
    EXPECT_TRUE(seq->Step(4).Rest);
  }
  for (TDSPSequencer* seq : Sequencers(1)) EXPECT_FALSE(seq->Step(4).Rest);
  SetReal(*p, kSeq1Step1 + 4, 64);
  SetReal(*p, kSeq1Step1 + 3, 7);
  for (TDSPSequencer* seq : Sequencers(0)) {
    EXPECT_EQ(seq->Step(4).Note, kSequencerTie);
    EXPECT_FALSE(seq->Step(4).Rest);
    // The step before a tie holds its gate for the whole step.
    EXPECT_FLOAT_EQ(static_cast<float>(seq->Step(3).GateTime), 30.0f);
    EXPECT_EQ(seq->Step(3).Note, 7);
  }
}

TEST_F(SequencerLayer, TheOffStepGateIsALevelLikeTheOtherGates) {
  SetReal(*p, kSeq1, 1);
  SetReal(*p, kSeq1Unit, 0);
  SetReal(*p, kSeq1Len, 5);
  SetReal(*p, kSeq1Swing, 50);
  SetReal(*p, kSeq1Step1, -64);
  SetReal(*p, kSeq1StpOffGate, 100);
  TDSPSequencer& seq = *Sequencers(0)[0];
  TPluginLockGuard lock(*p);
  seq.Restart();
  seq.Tick();
  seq.Tick();
  EXPECT_EQ(seq.StepIndex(), 0);
  EXPECT_NEAR(seq.GateLevel(), 1.0f, 1e-6f);
}

TEST_F(SequencerLayer, GroupsHoldEachSequencersParametersInOrder) {
  const TSubPresetGroupRec* one = p->FindSubPresetGroup(kSeq1SubPresetGroup);
  const TSubPresetGroupRec* two = p->FindSubPresetGroup(kSeq2SubPresetGroup);
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(one->Name, "Sequencer1");
  EXPECT_EQ(two->Name, "Sequencer2");
  ASSERT_EQ(one->Params.size(), 69u);
  ASSERT_EQ(two->Params.size(), 69u);
  for (std::int32_t k = 0; k < 69; ++k) {
    EXPECT_EQ(one->Params[static_cast<std::size_t>(k)], 236 + k);
    EXPECT_EQ(two->Params[static_cast<std::size_t>(k)], 305 + k);
  }
  // Built once: a second build adds nothing.
  p->CreatePageButtons();
  EXPECT_EQ(p->FindSubPresetGroup(kSeq2SubPresetGroup)->Params.size(), 69u);
}

TEST_F(SequencerLayer, ASubPresetReachesTheVoices) {
  SetReal(*p, kSeq2Swing, 60);
  ASSERT_GE(p->StoreSubPresetAs(kSeq2SubPresetGroup, "Sixty"), 0);
  SetReal(*p, kSeq2Swing, 50);
  p->ApplySubPreset(kSeq2SubPresetGroup, 0);
  for (TDSPSequencer* seq : Sequencers(1)) EXPECT_FLOAT_EQ(static_cast<float>(seq->Step(0).Duration), 36.0f);
}

// The sequencer gates the rendered sound: steps of 20 ms, the second a rest.
TEST(SequencerRender, ARestStepSilencesTheVoice) {
  plugin_test::TTestHost::Reset();
  auto p = MakeVoicePlugin(true);
  SetReal(*p, kVoicesParam, 1);
  SetReal(*p, kSeq1, 1);
  SetReal(*p, kSeq1Unit, 0);
  SetReal(*p, kSeq1Len, 20);
  SetReal(*p, kSeq1Swing, 50);
  SetReal(*p, kSeq1LenF, 100);
  SetReal(*p, kSeq1Steps, 2);
  SetReal(*p, kSeq1Step1, 0);
  SetReal(*p, kSeq1Step1 + 1, -64);
  SetReal(*p, kSeq1StpOffGate, 0);
  SetReal(*p, voice_test::kSeq1 + 13, 100);  // Sq1GateAmt
  SetReal(*p, voice_test::kSeq1 + 14, 0);    // Sq1LvlAmt
  SetReal(*p, voice_test::kSeq1 + 27, 100);  // Seq1GtEnvBase
  plugin_test::TStereoBuffers out(441);
  p->ProcessReplacing(nullptr, out.Pointers, 441);
  {
    TPluginLockGuard lock(*p);
    p->NoteOn(Note(45));
  }
  std::vector<float> left;
  for (int b = 0; b < 12; ++b) {
    p->ProcessReplacing(nullptr, out.Pointers, 441);
    left.insert(left.end(), out.Left.begin(), out.Left.end());
  }
  // Find where the note begins, then compare the middles of steps.
  std::size_t start = 0;
  while (start < left.size() && std::fabs(left[start]) < 1e-4f) ++start;
  ASSERT_LT(start + 4 * 882, left.size());
  auto rms = [&](std::size_t from) {
    return testing_support::Rms(std::vector<float>(left.begin() + static_cast<std::ptrdiff_t>(from),
                                                   left.begin() + static_cast<std::ptrdiff_t>(from + 441)));
  };
  const float played = rms(start + 220);
  const float rest = rms(start + 882 + 220);
  const float again = rms(start + 2 * 882 + 220);
  EXPECT_GT(played, 0.01f);
  EXPECT_LT(rest, 0.02f * played);
  EXPECT_GT(again, 0.5f * played);
}

}  // namespace
