#include "framework/modules/dsp_control.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(AudioSettings, DerivedFieldsAt44100Block44) {
  const TAudioSettingsRec r = MakeAudioSettings(44100, 44);
  EXPECT_EQ(r.SamplesPerMs, 44);
  EXPECT_EQ(r.MsPerBlock, 1);
  EXPECT_FLOAT_EQ(r.MsPerBlockF, 1.0f);
  EXPECT_EQ(r.BufferLength, 60);
  EXPECT_EQ(r.BufferBytes, 240);
  EXPECT_EQ(r.StereoBufferBytes, 480);
  EXPECT_EQ(r.MsOctetsLast, 4);
  EXPECT_EQ(r.MsOctetRest, 4);
  EXPECT_EQ(r.HalfRate, 22050);
  EXPECT_EQ(r.LastIndex, 43);
  EXPECT_EQ(r.StereoLastIndex, 87);
  EXPECT_FLOAT_EQ(r.RateFactor, 1.0f);
  EXPECT_EQ(MakeAudioSettings(44100, 0).BlockSize, 1);
  EXPECT_EQ(MakeAudioSettings(44100, -7).LastIndex, 0);
}

TEST(AudioSettings, RateAndBlockSizeWithOneMillisecondBlock) {
  TDSPBaseControl object;
  object.CreateOwnSettings();
  object.SetRateAndBlockSize(48000, -1);
  EXPECT_EQ(object.Settings->BlockSize, 48);
  EXPECT_EQ(object.Settings->SamplesPerMs, 48);
  EXPECT_EQ(object.Settings->MsOctetsLast, 5);
  EXPECT_EQ(object.Settings->MsOctetRest, 0);
  object.SetRateAndBlockSize(500, -1);  // below 1000 Hz: the previous settings stay
  EXPECT_EQ(object.Settings->SampleRate, 48000);
}

TEST(AudioSettings, TwoObjectsWithOwnRecordsNeverShareARate) {
  TDSPBaseControl a, b;
  a.SetRateAndBlockSize(44100, -1);
  b.SetRateAndBlockSize(96000, -1);
  EXPECT_EQ(a.Settings->BufferLength, 60);
  EXPECT_EQ(b.Settings->BufferLength, 112);
  EXPECT_EQ(DefaultAudioSettings.SampleRate, 44100);
}

TEST(AudioSettings, SetAudioSettingsCopiesAdoptsOrOnlyFollowsTheRate) {
  TAudioSettingsRec r48 = MakeAudioSettings(48000, 48);

  TDSPBaseControl owner;
  owner.CreateOwnSettings();
  TAudioSettingsRec* own = owner.Settings;
  owner.SetAudioSettings(own);  // its own record: nothing copied
  EXPECT_EQ(owner.Settings, own);
  owner.SetAudioSettings(&r48);
  EXPECT_EQ(owner.Settings, own);
  EXPECT_EQ(own->SamplesPerMs, 48);
  EXPECT_FLOAT_EQ(own->InvSampleRate, 1.0f / 48000);

  TDSPControl adopter;
  adopter.SetAudioSettings(&r48);
  EXPECT_EQ(adopter.Settings, &r48);

  TDSPBaseControl plain;
  plain.SetAudioSettings(&r48);
  EXPECT_EQ(plain.Settings->SampleRate, 48000);
  EXPECT_FLOAT_EQ(plain.Settings->InvSampleRate, 1.0f / 44100);
  EXPECT_EQ(DefaultAudioSettings.SampleRate, 44100);  // the shared record is untouched
}

TEST(DSPBaseControl, HelpersAtTheirEdges) {
  EXPECT_EQ(TDSPBaseControl::SignOf(0), -1);
  EXPECT_EQ(TDSPBaseControl::Hypot(0, 0), 0);
  EXPECT_FLOAT_EQ(TDSPBaseControl::Hypot(3, -4), 5);
  EXPECT_FLOAT_EQ(TDSPBaseControl::PitchToFreq(69), 440);
  EXPECT_NEAR(TDSPBaseControl::FreqToPitch(440), 69, 1e-4);
  EXPECT_NEAR(TDSPBaseControl::PitchOffsetToRatio(44100, 69, 100), 440.0 / 441.0, 1e-5);
  std::int32_t whole = 9;
  EXPECT_EQ(TDSPBaseControl::SplitIntFrac(0, whole), 0);
  EXPECT_EQ(whole, 0);
  EXPECT_FLOAT_EQ(TDSPBaseControl::SplitIntFrac(2.25f, whole), 0.25f);
  EXPECT_EQ(whole, 2);
  float v = 7;
  TDSPBaseControl::ClampFloat(v, 0, 5);
  EXPECT_EQ(v, 5);
}

TEST(DSPControl, WorkBuffersAreAlignedZeroedAndSizedFromTheSettings) {
  TAudioSettingsRec r = MakeAudioSettings(44100, 44);
  TDSPControl c;
  c.SetUsesBuffers(true);
  c.SetAudioSettings(&r);
  ASSERT_NE(c.InBuffer, nullptr);
  ASSERT_NE(c.OutBuffer, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(c.InBuffer) % 16, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(c.OutBuffer) % 16, 0u);
  for (int i = 0; i < r.BufferLength + 4; ++i) EXPECT_EQ(c.InBuffer[i], 0.0f);

  c.FillBuffer(c.OutBuffer, 3.0f);
  c.ProcessBlockControl();  // unconnected input: a block of zeros
  for (int i = 0; i < r.BlockSize; ++i) EXPECT_EQ(c.OutBuffer[i], 0.0f);
  EXPECT_EQ(c.OutBuffer[r.BlockSize], 3.0f);

  c.FillBuffer(c.InBuffer, 2.0f);
  c.ProcessBuffer(c.InBuffer);  // touches exactly one millisecond
  EXPECT_EQ(c.InBuffer[r.SamplesPerMs - 1], 0.0f);
  EXPECT_EQ(c.InBuffer[r.SamplesPerMs], 2.0f);
  std::int32_t at = 50;
  c.ProcessAt(at);
  EXPECT_EQ(c.InBuffer[50], 0.0f);
}

TEST(DSPControl, CountersWrapAtTheirLimit) {
  TDSPControl c;
  c.CounterALimit = 4;
  std::vector<int> seen;
  for (int i = 0; i < 5; ++i) {
    c.AdvanceCounterA();
    seen.push_back(c.CounterA);
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 0, 1}));
  c.CounterBLimit = 0;
  c.AdvanceCounterB();
  EXPECT_EQ(c.CounterB, 0);
  c.AdvanceCounter(3);  // no such counter: nothing happens
}

namespace {
struct TDoubler : TDSPControl {
  void Tick() override { OutputSample = 2 * InputSample; }
  int BlockCalls = 0;
  void ProcessBlockControl() override {
    ++BlockCalls;
    TDSPControl::ProcessBlockControl();
  }
};
}  // namespace

TEST(DSPControl, RunnersReachTheOverridesOfTheirObject) {
  TAudioSettingsRec r = MakeAudioSettings(44100, 44);
  TDoubler d;
  d.SetUsesBuffers(true);
  d.SetAudioSettings(&r);
  d.Inputs[0] = OneBuffer;
  d.BlockRunner();
  EXPECT_EQ(d.BlockCalls, 1);
  EXPECT_EQ(d.OutBuffer[10], 2.0f);
  CurrentSampleIndex = 5;
  d.Inputs[0] = ThreeBuffer;
  d.SampleRunner();
  EXPECT_EQ(d.OutBuffer[5], 6.0f);
  EXPECT_EQ(d.OutBuffer[4], 2.0f);
  CurrentSampleIndex = 0;
}
