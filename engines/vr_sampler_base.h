// The sampler base layer: links the instrument to the process-wide sample
// store (GlobalSampler, the built-in bank in slot 0), keeps the bank and the
// oscillator-1 patch the voices play, appends the "smpB" block (the
// sample-bank flag) to the plug-in state, answers the bank and patch
// messages of the editor and shows bank, patch and sample names as value
// texts. The patch selection itself is done by the layer above
// (SelectPatch); the voices switch patch only inside the render loop.
//
// For the layers above:
//   - SampleBank() is the store every voice's sample players read; the final
//     class gives it to each new voice's players (SetStore).
//   - SelectPatch() stores the new patch and marks it pending; the render
//     loop applies it (ApplyPendingPatch here, or the layer's own form).
//   - Messages (HandlePluginMessage, p1 = a, p2 = b, p3 = c):
//       8021 re-applies zone setting p1 of bank p3, patch p2 to every voice's
//            first sample player (when they are the current ones);
//       8022 SelectPatch, then message 8010 goes to the message sink;
//       8042..8045 with the sample-bank flag set: bank name (p3), patch name
//            (bank p3, patch p2), the bank list, the patch list of bank p3.
//
// Threads: messages come from the editor's thread; 8021 takes the global
// lock while it walks the voices (a zone setting may rebuild zone objects).
// The patch numbers and pending flags are atomics: SelectPatch may run on
// any thread, the render loop reads them. State reading runs on the
// caller's thread, applying it under the instance lock (the core's protocol).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "dsp/sampler/sampler.h"
#include "engines/voicerack_kwp_synth.h"
#include "framework/core/value_text.h"

class TVRSamplerBase : public TVoicerackKWPSynth {
 public:
  // Display kinds whose value texts come from the sample store.
  enum : std::uint16_t {
    kKindSampleBank = kDisplaySampleBank,
    kKindSamplePatch = kDisplaySamplePatch,
    kKindSampleName = kDisplaySampleName
  };
  // Messages of this layer, and the one it sends after a patch selection.
  enum : std::int32_t { kMsgApplyZoneSetting = 8021, kMsgSelectPatch = 8022, kMsgPatchSelected = 8010 };
  // The state block: magic, version, one byte (the sample-bank flag).
  static constexpr std::string_view kStateBlockMagic = "smpB";
  static constexpr std::int16_t kStateBlockVersion = 1;

  TVRSamplerBase();
  ~TVRSamplerBase() override;

  // Inherited build, then the display store := the sample store.
  void BuildPlugin() override;
  // Inherited state, then the "smpB" block.
  void SaveState(TStream& stream) override;
  // Inherited, then the optional "smpB" block: a state without it loads as
  // it is and leaves the stream where the inherited state ended; a block
  // cut short fails the whole state.
  bool ReadState(TStream& stream, TStateImage& image, std::string& error) override;
  // Inherited; the flag is taken from the block when the state had one.
  void ApplyState(const TStateImage& image) override;
  // True exactly while the sample-bank flag is clear.
  bool AcceptsProgramChange() override;
  std::intptr_t HandlePluginMessage(std::int32_t code, void* ptr, float a, float b, float c) override;
  // Bank, patch and sample names for kinds 42, 43 and 58; the rest as the
  // layers below show it.
  void FormatParamValue(std::int32_t param, std::string& text, float real) override;
  // "Unknown" for a query that names no parameter.
  std::string GetParamDisplayText(std::int32_t kind, std::int32_t number, float value) override;

  // When bank and patch are the current bank and osc-1 patch: every voice's
  // first sample player re-applies zone setting `value` (53..249). Takes the
  // instance lock.
  virtual void ApplyZoneSettingsToVoices(std::int32_t bank, std::int32_t patch, std::int32_t value);
  // Reads the patch parameter and marks it pending (the layer above).
  virtual void SelectPatch() {}
  // Render loop, instance lock held: a pending osc-1 patch resets the engine
  // and goes to every voice's first sample player.
  virtual void ApplyPendingPatch();

  // ---- state for the layers above, the editor and tests
  TSampler& SampleBank() const { return *Bank; }
  TSampler* DisplayBank() const { return DisplayStore; }
  std::int32_t CurrentBank() const { return BankIndex.load(std::memory_order_relaxed); }
  std::int32_t Osc1Patch() const { return Osc1PatchIndex.load(std::memory_order_relaxed); }
  bool IsOsc1PatchPending() const { return Osc1Pending.load(std::memory_order_acquire); }
  bool SampleBankFlag() const { return BankFlag.load(std::memory_order_relaxed) != 0; }
  void SetSampleBankFlag(bool on) { BankFlag.store(on ? 1 : 0, std::memory_order_relaxed); }

 protected:
  // A message argument as an index: rounded, INT32_MIN when not finite or
  // out of range (the store's lookups refuse it).
  static std::int32_t MessageIndex(float value) { return RoundF(value); }

  TSampler* Bank = nullptr;          // the store the voices play (not owned)
  TSampler* DisplayStore = nullptr;  // the store the texts and messages read
  std::atomic<std::int32_t> BankIndex{0};
  std::atomic<std::int32_t> Osc1PatchIndex{0};
  std::atomic<bool> Osc1Pending{false};

 private:
  std::atomic<std::uint8_t> BankFlag{0};
};
