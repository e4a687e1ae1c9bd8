#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/base/constant_buffers.h"
#include "framework/base/messages.h"
#include "framework/base/streams.h"
#include "framework/modules/one_sample_delay.h"
#include "tests/framework/modules/graph_test_modules.h"

using namespace graph_test;

namespace {

using TRunner = TMethod<void()>;

// source -> A (input 0); delay -> A (input 1); A -> M1 -> ... -> Mk -> delay;
// the last loop module also feeds a sink outside the loop.
struct TLoopGraph {
  TLoopGraph(TAudioSettingsRec* settings, std::int32_t extra, std::uint8_t voices = 1) {
    for (std::int32_t i = 0; i < extra; ++i)
      chain.push_back(std::make_unique<TMixModule>("M" + std::to_string(i + 1), 0.9f, 0.0f, 0.01f, 1));
    Configure(Modules(), settings, voices);
    delay.DelayMode = 0;
    delay.InitialValue = 0.25f;
    delay.ResetVoices();
    a.ConnectInput(0, 0, &source);
    a.ConnectInput(1, 0, &delay);
    TSPBAse* last = &a;
    for (auto& m : chain) {
      m->ConnectInput(0, 0, last);
      last = m.get();
    }
    delay.ConnectInput(0, 0, last);
    sink.ConnectInput(0, 0, last);
    PrepareGraph(Modules(), sink);
  }
  std::vector<TSPBAse*> Modules() {
    std::vector<TSPBAse*> all{&source, &a, &delay, &sink};
    for (auto& m : chain) all.push_back(m.get());
    return all;
  }
  TMixModule& Last() { return chain.empty() ? a : *chain.back(); }
  void RunBlock() {
    source.ProcessVoices();  // outside the loop: block by block
    sink.RunProcessList();
  }

  TSignalModule source;
  TMixModule a{"A", 0.5f, 0.75f, 0.0f};
  std::vector<std::unique_ptr<TMixModule>> chain;
  TSPOneSampleDelay delay;
  TMixModule sink{"Out", 1.0f, 0.0f, 0.0f, 1};
};

// The same loop computed one sample at a time, with the components' own
// float operations in their order.
struct TLoopReference {
  explicit TLoopReference(std::int32_t extra) : Extra(extra) {}
  float Next() {
    const float s = TSignalControl::ValueAt(Time++);
    float y = 0.5f * s + 0.75f * Delayed + 0.0f;
    for (std::int32_t i = 0; i < Extra; ++i) y = 0.9f * y + 0.0f * 0.0f + 0.01f;
    Delayed = y;
    return y;
  }
  std::int32_t Extra;
  std::int64_t Time = 0;
  float Delayed = 0.25f;  // the delay's InitialValue
};

TRunner Runner(TDSPOneSampleDelay* d, std::int32_t unroll) {
  switch (unroll) {
    case 2:
      return TRunner::Bind<&TDSPOneSampleDelay::RunLoop2>(d);
    case 3:
      return TRunner::Bind<&TDSPOneSampleDelay::RunLoop3>(d);
    case 4:
      return TRunner::Bind<&TDSPOneSampleDelay::RunLoop4>(d);
    default:
      return TRunner::Bind<&TDSPOneSampleDelay::ProcessBlockControl>(d);
  }
}

std::vector<float> Block(const float* buffer, const TAudioSettingsRec& s) {
  return std::vector<float>(buffer, buffer + s.BlockSize);
}

}  // namespace

TEST(FeedbackLoop, LoopMembersRunInDelayFirstOrderAndMatchAOneSampleSimulation) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 32);
  TLoopGraph g(&settings, 1);
  TDSPOneSampleDelay* d = g.delay.DelayControl(0);
  ASSERT_NE(d, nullptr);
  // Delay, then the module fed by the delay, then the one feeding the delay.
  ASSERT_EQ(d->LoopMembers.size(), 3u);
  EXPECT_EQ(d->LoopMembers[0].Module, &g.delay);
  EXPECT_EQ(d->LoopMembers[1].Module, &g.a);
  EXPECT_EQ(d->LoopMembers[2].Module, g.chain[0].get());
  EXPECT_EQ(g.delay.LoopIndex, 0);
  EXPECT_EQ(g.a.LoopIndex, 1);
  EXPECT_EQ(g.chain[0]->LoopIndex, 2);
  EXPECT_EQ(d->MemberCount, 3);
  EXPECT_TRUE(d->BlockRunner == Runner(d, 3));
  EXPECT_TRUE(g.a.InLoop && g.chain[0]->InLoop && g.delay.InLoop);
  EXPECT_FALSE(g.source.InLoop);
  // A's source input is resolved off the loop, its delay input on it.
  EXPECT_EQ(g.a.Mix()->StateFlags[0], 1);
  EXPECT_EQ(g.a.Mix()->StateFlags[1], 0);
  // The loop's modules run only inside the loop: the sink's list holds the
  // delay (with the loop runner) and the sink.
  ASSERT_EQ(g.sink.ProcessList.size(), 2u);
  EXPECT_EQ(g.sink.ProcessList[0].Module, &g.delay);
  EXPECT_TRUE(g.sink.ProcessList[0].Method == d->BlockRunner);
  EXPECT_EQ(g.sink.ProcessList[1].Module, &g.sink);

  TLoopReference reference(1);
  for (std::int32_t block = 0; block < 5; ++block) {
    g.RunBlock();
    EXPECT_EQ(d->SamplesDone, settings.BlockSize);
    const std::vector<float> loop = Block(g.Last().Mix()->OutBuffer, settings);
    const std::vector<float> out = Block(g.sink.Mix()->OutBuffer, settings);
    for (std::int32_t n = 0; n < settings.BlockSize; ++n) {
      const float expected = reference.Next();
      ASSERT_EQ(loop[n], expected) << "block " << block << " sample " << n;
      ASSERT_EQ(out[n], expected) << "block " << block << " sample " << n;
    }
  }
}

TEST(FeedbackLoop, RunnerIsUnrolledByTheMemberCountAndComputesTheSame) {
  TAudioSettingsRec settings = MakeAudioSettings(48000, 48);
  // Members: the delay, A and `extra` more modules.
  const std::int32_t unrollFor[] = {2, 3, 4, 1};
  for (std::int32_t extra = 0; extra < 4; ++extra) {
    SCOPED_TRACE("extra modules " + std::to_string(extra));
    TLoopGraph g(&settings, extra);
    TDSPOneSampleDelay* d = g.delay.DelayControl(0);
    ASSERT_EQ(d->MemberCount, extra + 2);
    EXPECT_TRUE(d->BlockRunner == Runner(d, unrollFor[extra]));
    TLoopReference reference(extra);
    for (std::int32_t block = 0; block < 3; ++block) {
      g.RunBlock();
      for (std::int32_t n = 0; n < settings.BlockSize; ++n) ASSERT_EQ(g.Last().Mix()->OutBuffer[n], reference.Next());
    }
  }
}

TEST(FeedbackLoop, DelayOutsideItsLoopRunsAsPlainBlockDelay) {
  // source -> A (input 0), D2 -> A (input 1), A -> D2 (the loop), A -> D.
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  TSignalModule source;
  TMixModule a("A", 1.0f, 0.5f, 0.0f);
  TSPOneSampleDelay loopDelay, tail;
  std::vector<TSPBAse*> modules{&source, &a, &loopDelay, &tail};
  Configure(modules, &settings, 1);
  tail.InitialValue = -1.0f;
  tail.ResetVoices();
  a.ConnectInput(0, 0, &source);
  a.ConnectInput(1, 0, &loopDelay);
  loopDelay.ConnectInput(0, 0, &a);
  tail.ConnectInput(0, 0, &a);
  PrepareGraph(modules, tail);

  TDSPOneSampleDelay* inLoop = loopDelay.DelayControl(0);
  TDSPOneSampleDelay* plain = tail.DelayControl(0);
  EXPECT_EQ(inLoop->MemberCount, 2);
  EXPECT_TRUE(inLoop->BlockRunner == Runner(inLoop, 2));
  EXPECT_TRUE(plain->BlockRunner == TRunner::Bind<&TDSPOneSampleDelay::ProcessBlockDelay>(plain));

  float last = -1.0f;  // the tail's first output is its OutputSample
  for (std::int32_t block = 0; block < 3; ++block) {
    source.ProcessVoices();
    tail.RunProcessList();
    for (std::int32_t n = 0; n < settings.BlockSize; ++n) {
      ASSERT_EQ(plain->OutBuffer[n], last) << n;
      last = a.Mix()->OutBuffer[n];
    }
  }
}

TEST(FeedbackLoop, DelayModesAndInitialValue) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 8);
  const float input[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (std::uint16_t mode : {0, 1, 2, 3, 4, 5}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    TSPOneSampleDelay delay;
    delay.SetAudioSettings(&settings);
    delay.HandleCommand(kSPCmdSetVoiceCount, 1);
    delay.DelayMode = mode;
    delay.InitialValue = 0.5f;
    delay.ResetVoices();
    delay.HandleCommand(kSPCmdPrepare);  // chooses the sample runner
    TDSPOneSampleDelay* d = delay.DelayControl(0);
    d->Inputs[0] = input;
    for (std::int32_t n = 0; n < 4; ++n) {
      CurrentSampleIndex = static_cast<std::int16_t>(n);
      d->SampleRunner();
    }
    const bool offset = mode >= 1 && mode <= 4;
    for (std::int32_t n = 0; n < 4; ++n) {
      const float plain = n == 0 ? 0.5f : input[n - 1];
      EXPECT_EQ(d->OutBuffer[n], offset ? plain + DenormalNoiseBuffer[n] : plain) << n;
    }
    // A zero input shows the offset itself.
    d->Restart(0.0f);
    CurrentSampleIndex = 0;
    d->SampleRunner();
    EXPECT_EQ(d->OutBuffer[0] != 0.0f, offset);
  }
  CurrentSampleIndex = 0;
}

TEST(FeedbackLoop, NoteOnRestartsOnlyWithResetAtNoteOnAndVoiceStates) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 8);
  TSPOneSampleDelay delay;
  delay.SetAudioSettings(&settings);
  delay.HandleCommand(kSPCmdSetVoiceCount, 2);
  delay.InitialValue = 0.5f;
  TSPVoiceStateTable states{};
  states[0] = {144, 0};  // note-on
  states[1] = {128, 0};  // note-off
  const auto setOutputs = [&] {
    delay.DelayControl(0)->OutputSample = 7.0f;
    delay.DelayControl(1)->OutputSample = 7.0f;
  };

  delay.ResetAtNoteOn = true;
  setOutputs();
  delay.HandleCommand(kSPCmdProcessVoices);  // no voice states yet: skipped
  EXPECT_EQ(delay.DelayControl(0)->OutputSample, 7.0f);

  delay.DesignVoiceStates = &states;
  delay.HandleCommand(kSPCmdTakeVoiceStates);
  delay.ResetAtNoteOn = false;
  delay.HandleCommand(kSPCmdProcessVoices);
  EXPECT_EQ(delay.DelayControl(0)->OutputSample, 7.0f);

  delay.ResetAtNoteOn = true;
  delay.HandleCommand(kSPCmdProcessVoices);
  EXPECT_EQ(delay.DelayControl(0)->OutputSample, 0.5f);
  EXPECT_EQ(delay.DelayControl(0)->SamplesDone, -1);
  EXPECT_EQ(delay.DelayControl(1)->OutputSample, 7.0f);
}

TEST(FeedbackLoop, DelaySettingsFromPropertiesAndStreams) {
  TSPOneSampleDelay delay;
  EXPECT_EQ(delay.DelayMode, 2);

  delay.ReadSettings({0.75});  // a short list sets only what it holds
  EXPECT_EQ(delay.InitialValue, 0.75f);
  EXPECT_FALSE(delay.ResetAtNoteOn);
  EXPECT_EQ(delay.DelayMode, 2);
  delay.ReadSettings({-0.5, 1.0, 4.0});
  EXPECT_TRUE(delay.ResetAtNoteOn);
  EXPECT_EQ(delay.DelayMode, 4);

  TMemoryStream stream;
  delay.SaveToStream(stream);
  EXPECT_EQ(stream.Size(), 7);
  const auto reload = [&](const std::string& version, std::int64_t bytes) {
    TSPOneSampleDelay fresh;
    TMemoryStream part;
    std::vector<std::uint8_t> data(static_cast<std::size_t>(bytes));
    stream.Seek(0, TSeekOrigin::Begin);
    stream.Read(data.data(), bytes);
    part.Write(data.data(), bytes);
    part.Seek(0, TSeekOrigin::Begin);
    fresh.LoadFromStream(part, version);
    return std::make_tuple(fresh.InitialValue, fresh.ResetAtNoteOn, fresh.DelayMode);
  };
  EXPECT_EQ(reload("1.63", 7), std::make_tuple(-0.5f, true, std::uint16_t{4}));
  EXPECT_EQ(reload("1.70", 7), std::make_tuple(-0.5f, true, std::uint16_t{4}));
  EXPECT_EQ(reload("1.62", 7), std::make_tuple(0.0f, false, std::uint16_t{2}));
  // A stream that ends early changes nothing.
  EXPECT_EQ(reload("1.63", 6), std::make_tuple(0.0f, false, std::uint16_t{2}));
}

TEST(FeedbackLoop, VoiceCountsBeyondTheSlotsAndOffByOneVoicesAreRejected) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  for (std::uint8_t requested : {std::uint8_t{12}, std::uint8_t{255}}) {
    // The whole loop with every module asked for more voices than exist.
    TLoopGraph g(&settings, 1, requested);
    for (TSPBAse* m : g.Modules()) EXPECT_EQ(m->VoiceCount, kSPVoiceSlots);
    for (std::int32_t v = 0; v < kSPVoiceSlots; ++v) EXPECT_NE(g.a.VoiceControl(v), nullptr);
    EXPECT_EQ(g.a.VoiceControl(kSPVoiceSlots), nullptr);
    TLoopReference reference(1);
    g.RunBlock();
    for (std::int32_t n = 0; n < settings.BlockSize; ++n) ASSERT_EQ(g.chain[0]->Mix()->OutBuffer[n], reference.Next());

    // A voice equal to the count has no visit record.
    std::vector<TSPProcessEntry> list;
    std::int32_t counter = 0;
    EXPECT_FALSE(g.a.BuildNumberedList(&g.a, 0, counter, list, kSPVoiceSlots));
    EXPECT_FALSE(g.delay.BuildProcessList(&g.delay, 0, list, kSPVoiceSlots));
    EXPECT_FALSE(g.delay.BuildProcessList(&g.delay, 1, list, 0));  // no output pin 1
    EXPECT_TRUE(list.empty());
    TMethod<void()> method;
    EXPECT_FALSE(g.a.GetVoiceBlockMethod(method, kSPVoiceSlots));
    EXPECT_FALSE(g.a.GetVoiceSampleMethod(method, -1));
    const float* buffer = nullptr;
    g.a.PerVoiceResolved = true;
    EXPECT_FALSE(g.a.GetVoiceOutputBuffer(buffer, 0, kSPVoiceSlots));
    g.a.SetVoiceControlInput(OneBuffer, 0, kSPVoiceSlots);  // nothing to set
    TSPSampleRequest pull;
    pull.Voice = kSPVoiceSlots;
    g.a.PullInputs(pull);
    EXPECT_EQ(pull.Value, 0.0f);
    // The note-on check reads the state of every voice, and no more.
    TSPVoiceStateTable states{};
    for (auto& s : states) s = {144, 0};
    g.delay.DesignVoiceStates = &states;
    g.delay.HandleCommand(kSPCmdTakeVoiceStates);
    g.delay.ResetAtNoteOn = true;
    g.delay.HandleCommand(kSPCmdProcessVoices);
  }
  TMixModule few("Few", 1, 0, 0);
  few.SetAudioSettings(&settings);
  few.HandleCommand(kSPCmdSetVoiceCount, 2);
  few.HandleCommand(kSPCmdPrepare);
  std::vector<TSPProcessEntry> list;
  std::int32_t counter = 0;
  few.InLoop = true;
  EXPECT_FALSE(few.BuildNumberedList(&few, 0, counter, list, 2));
  EXPECT_FALSE(few.BuildNumberedList(&few, 0, counter, list, 1));  // no inputs on a loop
  EXPECT_EQ(list.size(), 1u);
}

namespace {
std::vector<std::string> gReports;
void CaptureReport(std::string_view text) { gReports.emplace_back(text); }
}  // namespace

TEST(FeedbackLoop, ConnectionWalkMarksTheClosingInputAndNamesTheLoop) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  TLoopGraph g(&settings, 1);
  TLoopGraph other(&settings, 1);
  g.chain[0]->ShortName = "Closer";
  g.chain[0]->CheckConnections();
  EXPECT_EQ(g.chain[0]->LoopModuleName, "Closer");
  // The walk returns to the module it started from through the delay's input.
  EXPECT_TRUE(g.delay.InputPins[0]->Feedback);
  EXPECT_FALSE(g.a.InputPins[0]->Feedback);
  // Another graph's walk leaves this graph's name alone.
  other.chain[0]->CheckConnections();
  EXPECT_EQ(other.chain[0]->LoopModuleName, "M1");
  EXPECT_EQ(g.chain[0]->LoopModuleName, "Closer");

  EXPECT_TRUE(g.a.DetectFeedback());
  EXPECT_TRUE(g.delay.DetectFeedback());
  EXPECT_FALSE(g.sink.DetectFeedback());
  g.delay.Bypassed = true;
  EXPECT_FALSE(g.a.DetectFeedback());

  EXPECT_TRUE(g.sink.ReachesModule(&g.sink));
  EXPECT_TRUE(g.delay.ReachesModule(&g.a));
  EXPECT_FALSE(g.delay.ReachesModule(&g.source));  // ends, though Marked inputs form a loop

  gReports.clear();
  const TErrorReportHook previous = SetErrorReportHook(CaptureReport);
  g.a.Description = "Mixer";
  g.a.MarkFeedbackInput(2);
  SetErrorReportHook(previous);
  ASSERT_EQ(gReports.size(), 1u);
  EXPECT_EQ(gReports[0], "Error marking feedback connection \r\nCaption : A\r\nDescription : Mixer");
}

namespace {

std::vector<TDSPControl*> gPerformed;

// Offers to run the run behind it (up to Reach more components) in one call.
class TFusingControl : public TDSPControl {
 public:
  std::int32_t Reach = 1;
  void Fused() {}
  void QueryFusion(void* chain, std::int32_t& count, TMethod<void()>& method) override {
    const auto* run = static_cast<const TFusionRun*>(chain);
    count = Reach;
    method = {};
    if (run->QueryOnly) return;
    gPerformed.push_back(this);
    method = TMethod<void()>::Bind<&TFusingControl::Fused>(this);
  }
};

class TFusingModule : public TSignalProcessor {
 public:
  explicit TFusingModule(std::int32_t reach) : Reach(reach) { SetPinCounts(1, 1); }
  void CreateVoiceObjects(std::int32_t voice) override {
    auto control = std::make_unique<TFusingControl>();
    control->Reach = Reach;
    VoiceControls[static_cast<std::size_t>(voice)] = std::move(control);
  }
  std::int32_t Reach;
};

}  // namespace

TEST(FeedbackLoop, FusionTakesTheLongestRunAndTheEarlierOfEqualRuns) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  TFusingModule p1(1), p2(1), p3(1), p4(1);
  TSPBAse plain;  // not a signal processor: it splits the runs
  Configure({&p1, &p2, &p3, &p4}, &settings, 1);
  const auto entry = [](TSPBAse* m) {
    TSPProcessEntry e;
    e.Module = m;
    m->GetVoiceBlockMethod(e.Method, 0);
    return e;
  };
  std::vector<TSPProcessEntry> list{entry(&p1), entry(&p2), {{}, &plain}, entry(&p3), entry(&p4)};
  gPerformed.clear();
  p1.FuseChain(list, 0, false);
  // Two runs of two: the earlier is fused first.
  ASSERT_EQ(gPerformed.size(), 2u);
  EXPECT_EQ(gPerformed[0], p1.VoiceControl(0));
  EXPECT_EQ(gPerformed[1], p3.VoiceControl(0));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_TRUE(list[0].Fused && list[2].Fused);
  EXPECT_EQ(list[1].Module, &plain);

  // A component that claims more than its run absorbs only its run.
  TFusingModule greedy(10), next(1);
  Configure({&greedy, &next}, &settings, 1);
  std::vector<TSPProcessEntry> shortList{entry(&greedy), entry(&next), {{}, &plain}};
  greedy.FuseChain(shortList, 0, false);
  ASSERT_EQ(shortList.size(), 2u);
  EXPECT_EQ(shortList[1].Module, &plain);

  // Components that offer nothing keep one entry each.
  TLoopGraph g(&settings, 2);
  EXPECT_EQ(g.delay.DelayControl(0)->LoopMembers.size(), 4u);
}
