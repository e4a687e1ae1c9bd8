#include "framework/modules/signal_processor.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "framework/base/constant_buffers.h"
#include "framework/modules/one_sample_delay.h"
#include "tests/framework/modules/graph_test_modules.h"

using namespace graph_test;

namespace {

// Records what link setters and value deliveries hand it.
class TRecorder : public TSPBAse {
 public:
  TRecorder() { SetPinCounts(2, 1); }
  void Record(TSPSampleRequest& r) { Values.push_back({r.Voice, r.SourcePin, r.Value}); }
  void RecordBlock(TSPBlockRequest& r) { Blocks.push_back({r.Voice, r.SourcePin, r.Buffer[0]}); }
  struct TSeen {
    std::int32_t Voice, Pin;
    float Value;
  };
  std::vector<TSeen> Values, Blocks;
};

}  // namespace

TEST(SignalProcessor, SharedOutputIsComputedOncePerCounterLimitReads) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  TMixModule m("M", 2.0f, 0.0f, 1.0f, 1);
  Configure({&m}, &settings, 1);
  TMixControl* c = m.Mix();
  c->CounterBLimit = 2;  // two consumers read every sample
  c->InputSample = 3.0f;
  TSPSampleRequest first, second;
  m.PullInputs(first);
  m.PullInputs(second);
  EXPECT_EQ(c->Ticks, 1);
  EXPECT_EQ(first.Value, 7.0f);
  EXPECT_EQ(second.Value, 7.0f);
  EXPECT_EQ(m.CurrentControl, c);
  m.PullInputs(first);
  EXPECT_EQ(c->Ticks, 2);

  // Block pulls: one block computed for two reads.
  c->CounterB = 0;
  c->Ticks = 0;
  std::vector<float> a(static_cast<std::size_t>(settings.BufferLength)), b(a.size());
  TSPBlockRequest ra{a.data(), 0, 0}, rb{b.data(), 0, 0};
  m.GetOutputBlock(ra);
  m.GetOutputBlock(rb);
  EXPECT_EQ(c->Ticks, settings.BlockSize);
  EXPECT_EQ(a, b);
}

TEST(SignalProcessor, VoiceSlotsAndPlainOutputs) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  TMixModule m("M", 1, 0, 0);
  Configure({&m}, &settings, 4);
  for (std::int32_t v = 0; v < 4; ++v) EXPECT_NE(m.VoiceControl(v), nullptr);
  EXPECT_EQ(m.VoiceControl(4), nullptr);
  EXPECT_EQ(m.ClampVoiceIndex(3), 0);  // without voice indexing
  m.VoiceIndexing = true;
  EXPECT_EQ(m.ClampVoiceIndex(3), 3);
  EXPECT_EQ(m.ClampVoiceIndex(4), 0);
  m.FreeVoiceObjects();
  for (const auto& slot : m.VoiceControls) EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(m.CurrentControl, nullptr);

  TMixModule plain("P", 1, 0, 0);
  plain.SetPinCounts(1, 2);
  plain.VoicesEnabled = false;
  Configure({&plain}, &settings, 3);
  EXPECT_EQ(plain.VoiceControl(0), nullptr);
  const float* out0 = nullptr;
  const float* out1 = nullptr;
  const float* out2 = nullptr;
  EXPECT_TRUE(plain.GetVoiceOutputBuffer(out0, 0, 0));
  EXPECT_TRUE(plain.GetVoiceOutputBuffer(out1, 1, 0));
  EXPECT_FALSE(plain.GetVoiceOutputBuffer(out2, 2, 0));
  EXPECT_NE(out0, out1);
  for (std::int32_t i = 0; i < settings.BufferLength; ++i) ASSERT_EQ(out0[i], 0.0f);
}

TEST(SignalProcessor, ConsumersNeverReadFreedBuffers) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  auto source = std::make_unique<TSignalModule>();
  TMixModule consumer("C", 1.0f, 0.0f, 0.5f, 1);
  Configure({source.get(), &consumer}, &settings, 2);
  consumer.ConnectInput(0, 0, source.get());
  PrepareGraph({source.get(), &consumer}, consumer);
  EXPECT_EQ(consumer.Mix(0)->Inputs[0], source->VoiceControl(0)->OutBuffer);

  // New voices in the source: the consumer reads zeros until prepared again.
  source->HandleCommand(kSPCmdSetVoiceCount, 3);
  EXPECT_EQ(consumer.Mix(0)->Inputs[0], ZeroBuffer);
  PrepareGraph({source.get(), &consumer}, consumer);
  EXPECT_EQ(consumer.Mix(0)->Inputs[0], source->VoiceControl(0)->OutBuffer);
  // New settings re-make the buffers: the same.
  TAudioSettingsRec larger = MakeAudioSettings(44100, 64);
  source->SetAudioSettings(&larger);
  EXPECT_EQ(consumer.Mix(0)->Inputs[0], ZeroBuffer);
  source->SetAudioSettings(&settings);
  PrepareGraph({source.get(), &consumer}, consumer);

  source.reset();
  for (std::int32_t v = 0; v < 2; ++v) EXPECT_EQ(consumer.Mix(v)->Inputs[0], ZeroBuffer);
  consumer.HandleCommand(kSPCmdProcessVoices);
  EXPECT_EQ(consumer.Mix(0)->OutBuffer[settings.LastIndex], 0.5f);

  // A delay whose loop source goes keeps the value it was about to output.
  TSignalModule loopSource;
  auto feeder = std::make_unique<TMixModule>("F", 1.0f, 0.5f, 0.0f);
  TSPOneSampleDelay delay;
  Configure({&loopSource, feeder.get(), &delay}, &settings, 1);
  delay.DelayMode = 0;
  feeder->ConnectInput(0, 0, &loopSource);
  feeder->ConnectInput(1, 0, &delay);
  delay.ConnectInput(0, 0, feeder.get());
  PrepareGraph({&loopSource, feeder.get(), &delay}, delay);
  loopSource.ProcessVoices();
  delay.RunProcessList();
  const float last = feeder->Mix()->OutBuffer[settings.LastIndex];
  feeder.reset();
  EXPECT_EQ(delay.DelayControl(0)->OutputSample, last);
  EXPECT_EQ(delay.DelayControl(0)->DelayedPtr, &delay.DelayControl(0)->OutputSample);
  EXPECT_EQ(delay.DelayControl(0)->Inputs[0], ZeroBuffer);
}

TEST(SignalProcessor, RemovingPinsRenumbersTheOtherEnds) {
  TSPBAse source, dest;
  source.SetPinCounts(0, 3);
  dest.SetPinCounts(3, 1);
  dest.ConnectInput(0, 0, &source);
  dest.ConnectInput(1, 2, &source);
  // Output 1 goes: output 2 becomes output 1.
  source.DisconnectOutputPin(1);
  source.OutputPins.erase(source.OutputPins.begin() + 1);
  source.OutputCount = 2;
  source.RemoveOutputsFrom(1);
  EXPECT_EQ(dest.InputPins[1]->Connections[0].OtherPin, 1);
  EXPECT_EQ(dest.InputPins[0]->Connections[0].OtherPin, 0);
  EXPECT_EQ(source.OutputPins[1]->Connections[0].OtherPin, 1);

  TSPBAse feeder, sink;
  feeder.SetPinCounts(0, 1);
  sink.SetPinCounts(3, 1);
  sink.ConnectInput(0, 0, &feeder);
  sink.ConnectInput(2, 0, &feeder);  // one output feeds inputs 0 and 2
  sink.DisconnectInputPin(1);
  sink.InputPins.erase(sink.InputPins.begin() + 1);
  sink.InputCount = 2;
  sink.RemoveInputsFrom(1);
  const auto& records = feeder.OutputPins[0]->Connections;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].OtherPin, 0);
  EXPECT_EQ(records[1].OtherPin, 1);
  // Both ends agree: disconnecting removes both records.
  sink.DisconnectInputPin(1);
  EXPECT_EQ(records.size(), 1u);
}

TEST(SignalProcessor, ValueLinksDeliverOutputsAndEndInACycle) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  TMixModule source("S", 0.0f, 0.0f, 2.5f, 1);
  TRecorder live, excluded;
  Configure({&source}, &settings, 2);
  live.ConnectInput(1, 0, &source);
  excluded.ConnectInput(0, 0, &source);
  excluded.InputPins[0]->Excluded = true;
  source.HandleCommand(kSPCmdRebuildOutputLinks);
  ASSERT_EQ(source.OutputLinkCount(), 1);
  EXPECT_EQ(source.OutputLinks[0].Destination, &live);

  TSPSampleRequest value;
  value.Value = 4.0f;
  source.PushOutputValue(value, 0);
  EXPECT_EQ(live.InputPins[1]->Value, 4.0f);
  live.InputPins[1]->Value = 0.0f;
  source.HandleCommand(kSPCmdProcessVoices);  // each voice's block, then its value
  EXPECT_EQ(live.InputPins[1]->Value, 2.5f);

  // Value links around a cycle that no resolve has cut.
  TMixModule p("P", 1, 0, 1, 1), q("Q", 1, 0, 1, 1);
  Configure({&p, &q}, &settings, 1);
  q.ConnectInput(0, 0, &p);
  p.ConnectInput(0, 0, &q);
  p.HandleCommand(kSPCmdRebuildOutputLinks);
  q.HandleCommand(kSPCmdRebuildOutputLinks);
  p.ProcessVoices();  // returns
  SUCCEED();

  // A destination that goes takes its value link with it.
  {
    TRecorder temporary;
    temporary.ConnectInput(0, 0, &source);
    source.RebuildOutputLinks();
    EXPECT_EQ(source.OutputLinkCount(), 2);
  }
  EXPECT_EQ(source.OutputLinkCount(), 1);
  source.PushOutputValue(value, 0);
}

TEST(SignalProcessor, ControllerLinksFindAndRewireTheLinkThatClosesALoop) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  // A <-> B is a loop; C reads B.
  TMixModule a("A", 1, 0, 0, 1), b("B", 1, 0, 0, 1), c("C", 1, 0, 0, 1);
  std::vector<TSPBAse*> modules{&a, &b, &c};
  Configure(modules, &settings, 1);
  b.ConnectInput(0, 0, &a);
  a.ConnectInput(0, 0, &b);
  c.ConnectInput(0, 0, &b);
  for (TSPBAse* m : modules) m->HandleCommand(kSPCmdResetGraph);
  c.HandleCommand(kSPCmdBuildControllerLinks);
  ASSERT_EQ(a.LinkCount, 1);
  ASSERT_EQ(b.LinkCount, 1);
  ASSERT_EQ(c.LinkCount, 1);
  EXPECT_EQ(a.ControllerLinks[0].Source, &b);
  EXPECT_TRUE(a.InputPins[0]->OnPath);

  c.CheckLinkFeedback();
  // The walk from C closes the loop at B through A's link.
  EXPECT_TRUE(a.ControllerLinks[0].Marked);
  EXPECT_TRUE(a.ControllerLinks[0].Feedback);
  EXPECT_TRUE(a.InputPins[0]->Feedback);
  EXPECT_TRUE(b.ControllerLinks[0].Feedback);
  EXPECT_FALSE(c.ControllerLinks[0].Feedback);
  TSPSampleMethod lastSample;
  b.GetSampleSourceMethod(lastSample);
  EXPECT_TRUE(a.ControllerLinks[0].ValueGetter == lastSample);
  EXPECT_TRUE(a.InputPins[0]->SampleMethod == lastSample);

  // Split: everything per block unless SplitLinks is cleared.
  a.HandleCommand(kSPCmdSplitLinks);
  EXPECT_EQ(a.BlockLinks.size(), 1u);
  EXPECT_TRUE(a.LoopLinks.empty());
  for (TSPBAse* m : modules) {
    m->HandleCommand(kSPCmdSetSplitLinks, 0);
    m->HandleCommand(kSPCmdSplitLinks);
  }
  EXPECT_EQ(a.LoopLinks.size(), 1u);
  EXPECT_TRUE(a.BlockLinks.empty());
  EXPECT_EQ(c.BlockLinks.size(), 1u);

  // The design fills the setters; pushes and block pulls reach them.
  TRecorder recorder;
  a.ControllerLinks[0].ValueSetters[0] = TSPSampleMethod::Bind<&TRecorder::Record>(&recorder);
  b.Mix()->OutputSample = 3.0f;
  TSPSampleRequest push;
  a.PushControllerValue(push);
  ASSERT_EQ(recorder.Values.size(), 1u);
  EXPECT_EQ(recorder.Values[0].Value, 3.0f);
  EXPECT_EQ(recorder.Values[0].Pin, 0);

  c.BlockLinks[0].BlockSetters[0] = TSPBlockMethod::Bind<&TRecorder::RecordBlock>(&recorder);
  b.Mix()->InBuffer[0] = 6.0f;  // B's block: its input block through gain 1
  std::vector<float> out(static_cast<std::size_t>(settings.BufferLength));
  TSPBlockRequest pull{out.data(), 0, 0};
  c.GetOutputBlock(pull);
  ASSERT_EQ(recorder.Blocks.size(), 1u);
  EXPECT_EQ(recorder.Blocks[0].Value, 6.0f);
  EXPECT_EQ(recorder.Blocks[0].Pin, 0);

  // Disconnecting drops the links that came through the connection.
  a.DisconnectInputPin(0);
  EXPECT_EQ(a.LinkCount, 0);
  EXPECT_TRUE(a.LoopLinks.empty());
}

TEST(SignalProcessor, DeadInputsAreCleared) {
  TSPBAse source, sink;
  source.SetPinCounts(0, 2);
  sink.SetPinCounts(4, 1);
  sink.ConnectInput(0, 0, &source);
  sink.ConnectInput(1, 1, &source);
  for (auto& pin : sink.InputPins) pin->Value = 1.0f;
  source.OutputPins[1]->Excluded = true;
  sink.HandleCommand(kSPCmdClearDeadInputs);
  EXPECT_EQ(sink.InputPins[0]->Value, 1.0f);  // a live source
  EXPECT_EQ(sink.InputPins[1]->Value, 0.0f);  // through an excluded output
  EXPECT_EQ(sink.InputPins[2]->Value, 0.0f);  // unconnected
  sink.InputPins[0]->Value = 1.0f;
  source.Enabled = false;
  sink.ClearDeadInputs();
  EXPECT_EQ(sink.InputPins[0]->Value, 0.0f);
}
