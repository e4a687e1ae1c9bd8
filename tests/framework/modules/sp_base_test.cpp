#include "framework/modules/sp_base.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// A source whose output pin p gives the value 10 * (p + 1) per sample and a
// ramp per block.
class TTestSource : public TSPBAse {
 public:
  explicit TTestSource(std::uint16_t outputs = 3) { SetPinCounts(0, outputs); }
  void PullInputs(TSPSampleRequest& request) override { request.Value = 10.0f * (request.SourcePin + 1); }
  void GetOutputBlock(TSPBlockRequest& request) override {
    for (std::int32_t i = 0; i <= Settings->LastIndex; ++i) request.Buffer[i] = 100.0f * request.SourcePin + i;
  }
};

class TTestSink : public TSPBAse {
 public:
  explicit TTestSink(std::uint16_t inputs = 2) { SetPinCounts(inputs, 1); }
};

}  // namespace

TEST(SPBase, ActiveInputsAreCountedAndAnUnconnectedOneReadsSilence) {
  TTestSink sink(2);
  EXPECT_EQ(sink.CountActiveInputs(), 2);
  sink.InputPins[1]->Active = false;
  EXPECT_EQ(sink.CountActiveInputs(), 1);
  std::vector<float> block(static_cast<std::size_t>(sink.Settings->BufferLength), 7.0f);
  TSPBlockRequest request{block.data(), 0, 0};
  sink.InputPins[0]->SourceMethod(request);
  for (float v : block) ASSERT_EQ(v, 0.0f);
}

TEST(SPBase, ConnectingReplacesTheOldConnectionOnBothEnds) {
  TTestSource a, b;
  TTestSink sink;
  ASSERT_TRUE(sink.ConnectInput(0, 1, &a));
  ASSERT_TRUE(sink.ConnectInput(0, 2, &b));
  EXPECT_EQ(sink.InputPins[0]->ConnectionCount(), 1);
  EXPECT_EQ(sink.InputPins[0]->Connections[0].Module, &b);
  EXPECT_EQ(sink.InputPins[0]->Connections[0].OtherPin, 2);
  EXPECT_EQ(a.OutputPins[1]->ConnectionCount(), 0);
  ASSERT_EQ(b.OutputPins[2]->ConnectionCount(), 1);
  EXPECT_EQ(b.OutputPins[2]->Connections[0].Module, &sink);
  EXPECT_EQ(b.OutputPins[2]->Connections[0].OtherPin, 0);
  // The input now pulls from b's pin 2.
  TSPSampleRequest pull;
  sink.PullInputs(pull);
  EXPECT_EQ(sink.InputPins[0]->Value, 30.0f);
  EXPECT_EQ(sink.InputPins[1]->Value, 0.0f);
}

TEST(SPBase, OneOutputFeedsSeveralInputs) {
  TTestSource source;
  TTestSink first, second;
  ASSERT_TRUE(first.ConnectInput(0, 0, &source));
  ASSERT_TRUE(second.ConnectInput(1, 0, &source));
  EXPECT_EQ(source.OutputPins[0]->ConnectionCount(), 2);
  second.DisconnectInputPin(1);
  EXPECT_EQ(second.InputPins[1]->ConnectionCount(), 0);
  ASSERT_EQ(source.OutputPins[0]->ConnectionCount(), 1);
  EXPECT_EQ(source.OutputPins[0]->Connections[0].Module, &first);
}

TEST(SPBase, OutOfRangeConnectionsChangeNothing) {
  TTestSource source(1);
  TTestSink sink(2);
  ASSERT_TRUE(sink.ConnectInput(0, 0, &source));
  EXPECT_FALSE(sink.ConnectInput(2, 0, &source));
  EXPECT_FALSE(sink.ConnectInput(-1, 0, &source));
  EXPECT_FALSE(sink.ConnectInput(0, 1, &source));  // the source has one output
  EXPECT_FALSE(sink.ConnectInput(0, 0, nullptr));
  EXPECT_FALSE(source.AddOutputConnection(0, 5, &sink));
  EXPECT_EQ(sink.InputPins[0]->ConnectionCount(), 1);  // the old connection stands
  EXPECT_EQ(source.OutputPins[0]->ConnectionCount(), 1);
}

TEST(SPBase, DisconnectingRemovesBothEndsAndRestoresTheDefaults) {
  TTestSource source;
  TTestSink sink;
  sink.ConnectInput(0, 0, &source);
  sink.ConnectInput(1, 1, &source);
  sink.DisconnectInputs();
  EXPECT_EQ(sink.InputPins[0]->ConnectionCount(), 0);
  EXPECT_EQ(sink.InputPins[1]->ConnectionCount(), 0);
  EXPECT_EQ(source.OutputPins[0]->ConnectionCount(), 0);
  EXPECT_EQ(source.OutputPins[1]->ConnectionCount(), 0);
  TSPBlockMethod own;
  own = TSPBlockMethod::Bind<&TSPBAse::GetInputBlock>(static_cast<TSPBAse*>(&sink));
  EXPECT_TRUE(sink.InputPins[0]->SourceMethod == own);

  sink.ConnectInput(0, 0, &source);
  source.DisconnectOutputs();
  EXPECT_EQ(sink.InputPins[0]->ConnectionCount(), 0);
  EXPECT_EQ(source.OutputPins[0]->ConnectionCount(), 0);
}

TEST(SPBase, FreedModuleLeavesNoRecordAtItsPeers) {
  TTestSink sink;
  auto source = std::make_unique<TTestSource>();
  auto downstream = std::make_unique<TTestSink>();
  sink.ConnectInput(0, 0, source.get());
  downstream->ConnectInput(0, 0, &sink);
  source.reset();
  EXPECT_EQ(sink.InputPins[0]->ConnectionCount(), 0);
  TSPSampleRequest pull;
  sink.PullInputs(pull);  // must not reach the freed source
  EXPECT_EQ(sink.InputPins[0]->Value, 0.0f);
  downstream.reset();
  EXPECT_EQ(sink.OutputPins[0]->ConnectionCount(), 0);
  // New pin counts drop the old pins' connections on both ends too.
  TTestSource other;
  sink.ConnectInput(1, 0, &other);
  sink.SetPinCounts(1, 1);
  EXPECT_EQ(other.OutputPins[0]->ConnectionCount(), 0);
}

TEST(SPBase, ResetCommandClearsGraphStateAndDisablesTheModule) {
  TTestSource source;
  TTestSink sink;
  sink.ConnectInput(0, 0, &source);
  sink.ModuleNumber = 4;
  sink.LoopIndex = 2;
  sink.Visiting = sink.FeedbackFound = sink.StopAtVisit = true;
  sink.ResolveCount = 3;
  sink.LinkCount = 2;
  sink.InputPins[0]->OnPath = sink.InputPins[0]->Marked = true;
  sink.InputPins[0]->PathCount = 5;
  sink.ProcessList.push_back({});
  sink.ProcessVisits.assign(1, std::vector<TSPVisitRec>(2));
  EXPECT_EQ(sink.HandleCommand(kSPCmdResetGraph), 1);
  EXPECT_FALSE(sink.Enabled);
  EXPECT_EQ(sink.ModuleNumber, -1);
  EXPECT_EQ(sink.LoopIndex, -1);
  EXPECT_FALSE(sink.Visiting || sink.FeedbackFound || sink.StopAtVisit);
  EXPECT_EQ(sink.ResolveCount, 0);
  EXPECT_EQ(sink.LinkCount, 0);
  EXPECT_FALSE(sink.InputPins[0]->OnPath || sink.InputPins[0]->Marked);
  EXPECT_EQ(sink.InputPins[0]->PathCount, 0);
  EXPECT_TRUE(sink.ProcessList.empty());
  EXPECT_TRUE(sink.ProcessVisits.empty());
  EXPECT_EQ(sink.InputPins[0]->ConnectionCount(), 1);  // connections are not graph state
  EXPECT_EQ(sink.HandleCommand(kSPCmdSetVoiceCount, 4), 1);
  EXPECT_EQ(sink.VoiceCount, 4);
  EXPECT_EQ(sink.HandleCommand(kSPCmdDisconnectAll), 1);
  EXPECT_EQ(source.OutputPins[0]->ConnectionCount(), 0);
  EXPECT_EQ(sink.HandleCommand(999), 1);
}

TEST(SPBase, GraphHooksGiveTheirDefaultAnswers) {
  TTestSink sink(1);
  TSPBAse& base = sink;
  EXPECT_EQ(base.SelfReference(), &sink);
  EXPECT_EQ(base.GetVoiceExtra(), 0);
  TSPBAse* found = nullptr;
  EXPECT_TRUE(base.GetIfEnabled2(found));
  EXPECT_EQ(found, &sink);
  // A disabled module answers false through both slots and hands nothing out.
  sink.Enabled = false;
  found = nullptr;
  EXPECT_FALSE(base.GetIfEnabled(found));
  EXPECT_FALSE(base.GetIfEnabled2(found));
  EXPECT_EQ(found, nullptr);
}
