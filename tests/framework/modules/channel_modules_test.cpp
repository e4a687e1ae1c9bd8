#include "framework/modules/channel_modules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "framework/base/constant_buffers.h"

namespace {

// A source whose block on output pin p is a constant level per pin.
class TLevelSource : public TSPBAse {
 public:
  TLevelSource(float left, float right) : Levels{left, right} { SetPinCounts(0, 2); }
  void GetOutputBlock(TSPBlockRequest& request) override {
    for (std::int32_t i = 0; i <= Settings->LastIndex; ++i) request.Buffer[i] = Levels[request.SourcePin] + i;
  }
  void PullInputs(TSPSampleRequest& request) override { request.Value = Levels[request.SourcePin]; }
  float Levels[2];
};

}  // namespace

TEST(OutputChannel, SilentSourcesAndBuffersBeforeTheSettings) {
  TOutPutChannelSum out;
  EXPECT_EQ(out.LeftSource, ZeroBuffer);
  ASSERT_NE(out.Interleaved, nullptr);  // usable before the settings arrive
}

TEST(OutputChannel, UnconnectedOrNegativeZeroBlocksAreSilent) {
  TOutPutChannelSum out;
  for (std::int32_t i = 0; i < out.Settings->StereoLength; ++i) out.Interleaved[i] = 1.0f;
  EXPECT_FALSE(out.GatherStereo());
  for (std::int32_t i = 0; i < out.Settings->StereoLength; ++i) ASSERT_EQ(out.Interleaved[i], 0.0f);

  class TNegativeZero : public TSPBAse {
   public:
    TNegativeZero() { SetPinCounts(0, 1); }
    void GetOutputBlock(TSPBlockRequest& r) override {
      for (std::int32_t i = 0; i <= Settings->LastIndex; ++i) r.Buffer[i] = -0.0f;
    }
  } source;
  out.ConnectInput(0, 0, &source);
  out.ConnectInput(1, 0, &source);
  EXPECT_FALSE(out.GatherStereo());
  EXPECT_TRUE(std::signbit(out.Interleaved[0]));
}

TEST(OutputChannel, GatherInterleavesBothSides) {
  TOutPutChannelSum out;
  TLevelSource source(100.0f, 200.0f);
  ASSERT_TRUE(out.ConnectInput(0, 0, &source));
  ASSERT_TRUE(out.ConnectInput(1, 1, &source));
  EXPECT_TRUE(out.GatherStereo());
  for (std::int32_t i = 0; i <= out.Settings->LastIndex; ++i) {
    ASSERT_EQ(out.Interleaved[2 * i], 100.0f + i);
    ASSERT_EQ(out.Interleaved[2 * i + 1], 200.0f + i);
  }
  // Only the inputs are cut by the module's disconnect-all.
  out.DisconnectAllPins();
  EXPECT_EQ(source.OutputPins[0]->ConnectionCount(), 0);
  EXPECT_FALSE(out.GatherStereo());
}

TEST(OutputChannel, SourcesGainAndResetCommand) {
  TOutPutChannelSum out;
  std::vector<float> left(static_cast<std::size_t>(out.Settings->BufferLength), 0.25f);
  std::vector<float> right(left.size(), -0.5f);
  out.SetSourceBuffer(left.data(), 0, false);
  out.SetSourceBuffer(right.data(), 1, false);
  out.SetSourceBuffer(nullptr, 0, true);  // flag set: ignored
  TMethod<void()> block;
  out.GetBlockMethod(block);
  block();  // the module's block method interleaves its sources
  EXPECT_EQ(out.Interleaved[0], 0.25f);
  EXPECT_EQ(out.Interleaved[1], -0.5f);

  out.ApplyGainBalance();  // Gain 1, Balance 0.5: unity
  EXPECT_EQ(out.Interleaved[0], 0.25f);
  out.Balance = 0.0f;
  out.ApplyGainBalance();
  EXPECT_EQ(out.Interleaved[0], 0.5f);
  EXPECT_EQ(out.Interleaved[1], 0.0f);

  out.HandleCommand(kSPCmdResetGraph);
  EXPECT_EQ(out.LeftSource, ZeroBuffer);
  EXPECT_EQ(out.RightSource, ZeroBuffer);
  EXPECT_FALSE(out.Enabled);
}

TEST(OutputChannel, BuffersFollowTheAdoptedSettings) {
  TAudioSettingsRec settings = MakeAudioSettings(96000, 96);
  TOutPutChannelSum out;
  out.SetAudioSettings(&settings);
  EXPECT_EQ(out.Settings, &settings);
  TLevelSource source(1.0f, 2.0f);
  source.SetAudioSettings(&settings);
  out.ConnectInput(0, 0, &source);
  EXPECT_TRUE(out.GatherStereo());
  EXPECT_EQ(out.Interleaved[2 * 95], 96.0f);
  std::vector<float> copy(static_cast<std::size_t>(settings.StereoBufferLength) + 4, -1.0f);
  out.CopyOutput(copy.data(), 10);  // bounded by the destination's capacity
  EXPECT_EQ(copy[8], 5.0f);
  EXPECT_EQ(copy[10], -1.0f);
}

TEST(OutputChannel, PullSamplesStoresTheFrameAndMarksSignal) {
  TOutPutChannelSum out;
  TLevelSource source(0.0f, 3.0f);
  out.ConnectInput(0, 0, &source);
  out.ConnectInput(1, 1, &source);
  TSPSampleRequest request;
  request.Index = 5;
  out.PullSamples(request);
  EXPECT_EQ(out.Interleaved[10], 0.0f);
  EXPECT_EQ(out.Interleaved[11], 3.0f);
  EXPECT_TRUE(request.Marked);
  request.Index = 100000;  // outside the block: ignored
  out.PullSamples(request);
}

TEST(InputChannel, ChannelsOutsideTheTwoAreRefused) {
  TInputChannelSum in;
  float* buffer = nullptr;
  EXPECT_TRUE(in.GetChannel(buffer, 1));
  EXPECT_EQ(buffer, in.RightOut.get());
  EXPECT_FALSE(in.GetChannel(buffer, 2));
  EXPECT_EQ(buffer, nullptr);
}

TEST(InputChannel, SumsSourcesWithGainsAndSplits) {
  TInputChannelSum in;
  in.ClearSum();
  in.SplitStereo();  // no sources: stays zero
  EXPECT_EQ(in.LeftOut[0], 0.0f);

  TOutPutChannelSum a, b;
  TLevelSource levels(1.0f, 2.0f);
  a.ConnectInput(0, 0, &levels);
  a.ConnectInput(1, 1, &levels);
  b.ConnectInput(0, 1, &levels);
  a.GatherStereo();
  b.GatherStereo();
  const float gainA = 0.5f, gainB = 2.0f;
  EXPECT_TRUE(in.AddSource(&a, &gainA));
  EXPECT_TRUE(in.AddSource(&b, &gainB));
  EXPECT_EQ(in.SourceCount, 2);
  in.ClearSum();
  for (std::int32_t i = 0; i < in.SourceCount; ++i) in.MixSource(i);
  in.SplitStereo();
  for (std::int32_t i = 0; i <= in.Settings->LastIndex; ++i) {
    ASSERT_FLOAT_EQ(in.LeftOut[i], (1.0f + i) * 0.5f + (2.0f + i) * 2.0f);
    ASSERT_FLOAT_EQ(in.RightOut[i], (2.0f + i) * 0.5f);
  }
}

TEST(InputChannel, FeedsDownstreamModulesByBlockAndBySample) {
  TInputChannelSum in;
  for (std::int32_t i = 0; i <= in.Settings->LastIndex; ++i) {
    in.SumBuffer[2 * i] = static_cast<float>(i);
    in.SumBuffer[2 * i + 1] = -static_cast<float>(i);
  }
  TOutPutChannelSum out;
  out.ConnectInput(0, 0, &in);
  out.ConnectInput(1, 1, &in);
  EXPECT_TRUE(out.GatherStereo());
  for (std::int32_t i = 0; i < in.Settings->StereoLength; ++i) ASSERT_EQ(out.Interleaved[i], in.SumBuffer[i]);

  // By sample: each read moves the read position one frame on, wrapping.
  TSPSampleRequest request;
  for (std::int32_t n = 0; n < in.Settings->BlockSize + 2; ++n) {
    request.Index = 0;
    out.PullSamples(request);
    ASSERT_EQ(out.Interleaved[0], static_cast<float>(n % in.Settings->BlockSize));
  }
  // The input module's disconnect-all cuts only its outputs.
  in.DisconnectAllPins();
  EXPECT_EQ(out.InputPins[0]->ConnectionCount(), 0);
}

TEST(ChannelRecords, ClearingKeepsTheRecordsAndTheirModules) {
  std::vector<TIOChannelRec> records(2);
  records[0].OutputSum = std::make_unique<TOutPutChannelSum>();
  records[0].Active = true;
  records[0].Connections.push_back({nullptr, 1, 0.5f, 0});
  records[1].Connections.resize(3);
  ClearChannelRecords(records);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].Connections.empty());
  EXPECT_TRUE(records[1].Connections.empty());
  EXPECT_NE(records[0].OutputSum, nullptr);
  EXPECT_TRUE(records[0].Active);
}
