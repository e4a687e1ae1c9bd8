// The one-sample delay that breaks a feedback loop of a module graph. Its
// per-voice component outputs its input of the previous sample and, when
// the graph has found the loop behind it, runs the loop's modules one sample
// at a time: at each sample the delay first, then the module it feeds, and
// so on round the loop to the module that feeds it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/modules/signal_processor.h"

class TDSPOneSampleDelay : public TDSPControl {
 public:
  TDSPOneSampleDelay();

  // Restarts the delay: the next output is OutputSample.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // The loop runner (one member call at a time): every member of
  // LoopMembers, in order, for each sample of the block. Without members it
  // runs the plain block delay.
  void ProcessBlockControl() override;
  // The plain delay at CurrentSampleIndex n: OutBuffer[n] := the value
  // DelayedPtr points at, then DelayedPtr := &Inputs[0][n], so the members
  // after the delay may still write input n.
  void ProcessOneSample() override;
  // The same with DenormalNoiseBuffer[n] added to the output.
  void ProcessOneSampleAntiDenormal();
  // Without a loop: OutBuffer is Inputs[0] shifted by one sample, the first
  // output being OutputSample.
  void ProcessBlockDelay();
  // The loop runner with two, three or four member calls per inner step.
  void RunLoop2();
  void RunLoop3();
  void RunLoop4();
  // Takes the first n entries of LoopMembers (at most all of them) as the
  // loop and chooses the runner unrolled by 4, 3 or 2 when n divides by it.
  void SetLoopMembers(std::int32_t n);
  // Output value := value, DelayedPtr := &OutputSample, SamplesDone := -1,
  // OutBuffer zeroed.
  void Restart(float value);

  const float* DelayedPtr;        // the value the next output takes
  std::int32_t SamplesDone = -1;  // block size after a loop run, -1 after a restart
  std::vector<TSPProcessEntry> LoopMembers;
  std::int16_t MemberCount = 0;

 private:
  template <std::int32_t Unroll>
  void RunLoop();
};

class TSPOneSampleDelay : public TSignalProcessor {
 public:
  static constexpr std::int32_t kTypeId = 1148;

  TSPOneSampleDelay();

  // After the inherited settings: the note-on check of ProcessVoices.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Chooses each component's sample runner by DelayMode.
  void PrepareProcessing() override;
  // With ResetAtNoteOn: restarts every voice whose state shows a note-on
  // (last status 144) with flag 0. A design without voice states restarts
  // nothing.
  void ProcessVoices() override;
  void ResetVoices() override;
  void CreateVoiceObjects(std::int32_t voice) override;
  // Keeps the delayed value when the input it points into is re-bound.
  void SetVoiceControlInput(const float* buffer, std::int32_t index, std::int32_t voice) override;
  // properties[0] InitialValue, [1] ResetAtNoteOn, [2] DelayMode, each only
  // when the list is that long.
  void ReadSettings(const TSPPropertyList& properties) override;
  // InitialValue (f32), ResetAtNoteOn (u8), DelayMode (u16), little-endian;
  // read only for version texts from "1.63" on (first four characters).
  void LoadFromStream(TStream& stream, const std::string& version) override;
  void SaveToStream(TStream& stream) override;
  void ApplyVoiceSettings() { SetVoiceSettings(); }

  TDSPOneSampleDelay* DelayControl(std::int32_t voice) const;

  float InitialValue = 0.0f;  // the output after a restart
  bool ResetAtNoteOn = false;
  // 1..4: the delay with anti-denormal offset; anything else: the plain delay.
  std::uint16_t DelayMode = 2;
};
