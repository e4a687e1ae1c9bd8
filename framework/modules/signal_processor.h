// A module that owns one per-sample component per voice: the building block
// of modular designs. Its outputs are its components' outputs; a consumer
// reads them per sample (PullInputs), per block (GetOutputBlock) or, after
// command 34, straight from the component's output buffer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "framework/modules/dsp_control.h"
#include "framework/modules/sp_base.h"

// A run of consecutive components handed to QueryFusion (as its chain
// argument): the component asked may answer how many of the components after
// it it runs in one call (count) and, unless QueryOnly, the fused method.
struct TFusionRun {
  TDSPControl* const* Components = nullptr;  // Components[0] is the one asked
  std::int32_t Length = 0;
  bool QueryOnly = true;
};

class TSignalProcessor : public TSPBAse {
 public:
  TSignalProcessor();
  // Frees the voice components first, after telling the modules that read
  // their buffers.
  ~TSignalProcessor() override;

  // Passes the record on to every voice component.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  void ReallocBuffers() override;
  void ReleaseBuffers() override;

  // Voice components.
  // The component of a voice, or null for a voice outside 0..10 or an empty
  // slot.
  TDSPControl* VoiceControl(std::int32_t voice) const;
  // voice when VoiceIndexing and voice < VoiceCount, else 0.
  std::int32_t ClampVoiceIndex(std::int32_t voice) const;
  // Frees every component (after unbinding the inputs that read them).
  void FreeVoiceObjects() override;
  // At most kSPVoiceSlots voices; with voices enabled makes a component for
  // each, without them the plain output buffers.
  void SetVoiceCount(std::uint8_t n) override;
  void ConfigureVoices() override;
  virtual void AfterConfigure() {}
  // Hands Settings to every present component.
  virtual void SetVoiceSettings();
  void ResetVoiceCounters() override;
  bool FirstVoiceSingleConsumer() override;
  bool NoVoiceShared() override;
  bool FirstVoiceShared() override;
  bool AnyVoiceShared() override;
  bool OnlyFirstVoiceInUse() override;

  // Signal requests.
  void GetOutputSample(TSPSampleRequest& request) override;
  // One sample of the voice, computed once for every CounterBLimit reads.
  void PullInputs(TSPSampleRequest& request) override;
  // One block of the voice with the block links evaluated once, computed
  // once for every CounterBLimit reads.
  void GetOutputBlock(TSPBlockRequest& request) override;
  // The same with the loop links evaluated every sample.
  void GetOutputBlock2(TSPBlockRequest& request) override;
  bool GetVoiceOutputBuffer(const float*& buffer, std::int32_t output, std::int32_t voice) override;
  void SetVoiceControlInput(const float* buffer, std::int32_t index, std::int32_t voice) override;
  bool GetVoiceBlockMethod(TMethod<void()>& method, std::int32_t voice) override;
  bool GetVoiceSampleMethod(TMethod<void()>& method, std::int32_t voice) override;

  // Graph.
  // StateFlags of every component: input 0 and input 1 resolved off the
  // loop paths, output 0 resolved with one loop path.
  void PrepareProcessing() override;
  // Unless InLoop: every component's block runner, then its value to the
  // output links.
  void ProcessVoices() override;
  // Unless InLoop, when Enabled: the voice component's Update and block
  // runner, then its value to the output links (the value is not stored).
  void SetInputValue(TSPSampleRequest& request) override;
  void UpdateLinkTargets(std::int32_t pin, std::int32_t sourceOutput, TSPBAse* module) override;
  // Sets Feedback of the input; an index out of range is reported.
  void MarkFeedbackInput(std::int32_t input) override;
  // Fuses runs of components that offer it into one call (Fused entries);
  // with final every one-sample delay entry takes its loop runner.
  void FuseChain(std::vector<TSPProcessEntry>& list, std::int32_t voice, bool final) override;
  std::int32_t HandleCommand(std::int32_t code, std::uint8_t arg = 0, TAudioSettingsRec* settings = nullptr) override;

  std::array<std::unique_ptr<TDSPControl>, kSPVoiceSlots> VoiceControls;

 protected:
  // Points the inputs that were bound to this module's buffers back at
  // ZeroBuffer, before those buffers are freed or re-made.
  void ReleaseBoundOutputs();
  void MakePlainOutputs();

 private:
  void RunBlockLinks(std::int32_t voice);
  // Scratch block for the block links (BufferLength floats).
  std::unique_ptr<float[]> LinkBuffer;
};
