// Small modules and components for the module graph tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/modules/signal_processor.h"

namespace graph_test {

// out = Gain0 x in0 + Gain1 x in1 + Offset, per block and per sample.
class TMixControl : public TDSPControl {
 public:
  float Gain0 = 1.0f, Gain1 = 0.0f, Offset = 0.0f;
  std::int32_t Ticks = 0;

  float Mix(std::int32_t n) const { return Gain0 * Inputs[0][n] + Gain1 * Inputs[1][n] + Offset; }
  void Tick() override {
    ++Ticks;
    OutputSample = Gain0 * InputSample + Offset;
  }
  // Like a Tick loop, each leaves its last result in OutputSample.
  void ProcessBlockControl() override {
    for (std::int32_t n = 0; n <= Settings->LastIndex; ++n) OutBuffer[n] = OutputSample = Mix(n);
  }
  void ProcessOneSample() override { OutBuffer[CurrentSampleIndex] = OutputSample = Mix(CurrentSampleIndex); }
};

class TMixModule : public TSignalProcessor {
 public:
  TMixModule(std::string name, float gain0, float gain1, float offset, std::uint16_t inputs = 2)
      : Gain0(gain0), Gain1(gain1), Offset(offset) {
    ShortName = std::move(name);
    SetPinCounts(inputs, 1);
  }
  void CreateVoiceObjects(std::int32_t voice) override {
    auto control = std::make_unique<TMixControl>();
    control->Gain0 = Gain0;
    control->Gain1 = Gain1;
    control->Offset = Offset;
    VoiceControls[static_cast<std::size_t>(voice)] = std::move(control);
  }
  TMixControl* Mix(std::int32_t voice = 0) const { return static_cast<TMixControl*>(VoiceControl(voice)); }

  float Gain0, Gain1, Offset;
};

// A deterministic signal, one block per BlockRunner call.
class TSignalControl : public TDSPControl {
 public:
  static float ValueAt(std::int64_t t) { return static_cast<float>((t * 7919) % 2001 - 1000) * 0.00049f; }
  void ProcessBlockControl() override {
    for (std::int32_t n = 0; n <= Settings->LastIndex; ++n) OutBuffer[n] = ValueAt(Time++);
  }
  std::int64_t Time = 0;
};

class TSignalModule : public TSignalProcessor {
 public:
  TSignalModule() {
    ShortName = "Src";
    SetPinCounts(0, 1);
  }
  void CreateVoiceObjects(std::int32_t voice) override {
    VoiceControls[static_cast<std::size_t>(voice)] = std::make_unique<TSignalControl>();
  }
};

// Settings, then voices (the components take the settings when made).
inline void Configure(const std::vector<TSPBAse*>& modules, TAudioSettingsRec* settings, std::uint8_t voices) {
  for (TSPBAse* m : modules) {
    m->SetAudioSettings(settings);
    m->HandleCommand(kSPCmdSetVoiceCount, voices);
  }
}

// The preparation a graph's owner runs: reset, resolve from the sink, bind
// and mark, number from the sink.
inline void PrepareGraph(const std::vector<TSPBAse*>& modules, TSPBAse& sink) {
  for (TSPBAse* m : modules) m->HandleCommand(kSPCmdResetGraph);
  sink.ResolveConnections(0, false);
  for (TSPBAse* m : modules) m->HandleCommand(kSPCmdPrepare);
  sink.NumberModules();
}

}  // namespace graph_test
