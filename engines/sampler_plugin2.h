// The sampler-synth layer: two sample oscillators per voice. Every voice of
// the instrument (TDSPSamplerInstrVoice2) holds two sample players that play
// patches of the built-in sample bank; this layer owns the 49 oscillator
// parameters (fixed ids, engines/data/osc_parameters.tsv), turns them into
// control values, computes each oscillator's gains and pitch once per
// millisecond for every sounding voice (UpdateVoiceControl) and renders the
// voices into the rack's mix buffers (RenderVoices), then runs the rack.
//
// Render path, per internal block of B samples in sub-blocks of one
// millisecond (m samples), for each voice that is not free:
//   players 1 (and 2 while audible) render the block; per sub-block: a
//   control update when due, envelope 1 (and 2 once its delay has passed)
//   into their buffers, the oscillator mix into the left/right work
//   buffers, shaper (route 0), filter block 1, shaper (route 1), filter
//   block 2, then the amplitude envelopes and the level signal into the
//   mix. A voice whose envelopes both finished is freed.
// Everything a note needs (sample routines, filter and shaper routines) is
// chosen before the block; the per-sample loops are plain multiply-adds
// over the buffers with no virtual call, lock or allocation.
//
// Patches: the patch parameters only mark a patch pending; it reaches the
// voices at the start of the next render (or of the next note-on, so a
// note in the same block is not dropped), after an engine reset when the
// voices already played another patch.
//
// Threads: RenderVoices and UpdateVoiceControl run on the audio thread
// inside the process call, which holds the instance lock; ParameterChanged
// runs under the same lock (host parameter entry, program application,
// editor changes), so the control fields are plain values. The patch
// numbers and pending flags are atomics (SelectPatch may run from a
// message on the editor's thread).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "dsp/voices/sampler_voice.h"
#include "engines/osc_param_table_data.h"
#include "engines/vr_sampler_base.h"
#include "framework/core/param_info.h"

// The oscillator parameter ids the layer reads directly.
namespace osc_param {
// The synthesis layer's "Tune": the voices' pitch target of the sequencers.
inline constexpr std::int32_t kVoiceTune = 11;
inline constexpr std::int32_t kInterpolation = 17;
inline constexpr std::int32_t kOsc1Amount = 30;
inline constexpr std::int32_t kOsc1Pan = 31;
inline constexpr std::int32_t kOsc1Patch = 32;
inline constexpr std::int32_t kOsc1Tune = 33;
inline constexpr std::int32_t kOsc1Fine = 34;
inline constexpr std::int32_t kOsc2Amount = 51;
inline constexpr std::int32_t kOsc2Pan = 52;
inline constexpr std::int32_t kOsc2Patch = 53;
inline constexpr std::int32_t kOsc2Tune = 54;
inline constexpr std::int32_t kOsc2Fine = 55;
inline constexpr std::int32_t kOsc1Scale = 124;
inline constexpr std::int32_t kOsc2Scale = 126;
// Highest id of the table.
inline constexpr std::int32_t kLastId = 127;
}  // namespace osc_param

// The voice modulation targets this layer adds after "---", in the
// matrix's order: an MDst value t selects entry t - 1 here, so the order is
// part of every stored program. 55 targets: both oscillators, both filter
// blocks, the shapers, the LFOs and the sequencers (id, name).
inline constexpr std::pair<std::int32_t, const char*> VoiceModTargetTable[] = {
    {11, "Tune"},        {33, "Osc1Pitch"},   {31, "Osc1Pan"},     {30, "Osc1Amt"},     {124, "Osc1Scale"},
    {54, "Osc2Pitch"},   {52, "Osc2Pan"},     {51, "Osc2Amt"},     {126, "Osc2Scale"},  {64, "Flt1-C"},
    {65, "Flt1-Q"},      {66, "F1t1-B"},      {67, "Flt1-Env1"},   {68, "Flt1-Env2"},   {69, "Flt1-LFO1"},
    {70, "Flt1-LFO2"},   {71, "Flt1-LFO3"},   {146, "RFlt1-C"},    {147, "RFlt1-Q"},    {148, "RF1t1-B"},
    {149, "RFlt1-Env1"}, {150, "RFlt1-Env2"}, {151, "RFlt1-LFO1"}, {152, "RFlt1-LFO2"}, {153, "RFlt1-LFO3"},
    {74, "Flt2-C"},      {75, "Flt2-Q"},      {76, "Flt2-B"},      {77, "Flt2-Env1"},   {78, "Flt2-Env2"},
    {79, "Flt2-LFO1"},   {80, "Flt2-LFO2"},   {81, "Flt2-LFO3"},   {156, "RFlt2-C"},    {157, "RFlt2-Q"},
    {158, "RFlt2-B"},    {159, "RFlt2-Env1"}, {160, "RFlt2-Env2"}, {161, "RFlt2-LFO1"}, {162, "RFlt2-LFO2"},
    {163, "RFlt2-LFO3"}, {95, "ShapeA"},      {165, "RShapeA"},    {82, "LFO1-FRQ"},    {84, "LFO1-Amp"},
    {86, "LFO2-Frq"},    {88, "LFO2-Amp"},    {90, "LFO3-Frq"},    {92, "LFO3-Amp"},    {241, "Seq1Gate"},
    {242, "Seq1Lvl"},    {244, "Seq1Pitch"},  {310, "Seq2Gate"},   {311, "Seq2Lvl"},    {313, "Seq2Pitch"},
};
static_assert(std::size(VoiceModTargetTable) == 55);

// The table row of parameter id, or null when the id is not an oscillator
// parameter.
const TOscParamRow* FindOscParamRow(std::int32_t id);
// Fills a descriptor from a row; guiPanel is the plug-in's panel index of
// the row's panel (-1 without an editor).
void InitOscParamInfo(const TOscParamRow& row, TParamInfoRec& info, std::int32_t guiPanel);

// The panels this layer adds for the editor, in creation order: "Osc2" on
// the voice page (below "Osc1") and its four sub-panels, as the synthesis
// layer's "Osc1" has them.
struct TOscPanelRow {
  TOscPanel Panel;
  const char* Caption;
  TOscPanel Parent;    // None: the body
  std::int32_t Style;  // surface style, as the "Osc1" panels have it (kwp_panels.tsv)
};
inline constexpr TOscPanelRow Osc2PanelTable[] = {
    {TOscPanel::Main, "Osc2", TOscPanel::None, 4},
    {TOscPanel::PMod, "PMod", TOscPanel::Main, 2},
    {TOscPanel::AMod, "AMod", TOscPanel::Main, 2},
    {TOscPanel::PitchAttack, "Pitch Attack", TOscPanel::Main, 2},
    {TOscPanel::PitchRelease, "Pitch Release", TOscPanel::Main, 2},
};

// One oscillator's settings, converted from its parameters.
struct TOscSettings {
  float AmountGain = 1.0f;          // amplitude
  float PanPosition = 0.5f;         // 0 left .. 1 right
  float Env1Gain = 1.0f;            // share of envelope 1 (amplitude)
  float Env2Gain = 0.0f;            // share of envelope 2
  std::array<float, 3> AmpLfo{};    // amplitude per LFO unit
  std::array<float, 3> PitchLfo{};  // semitones per LFO unit (PM METHOD 0: x 164 Hz)
  std::array<float, 2> PitchEnv{};  // semitones per unit of envelope 1, 2
  float AttackStart = 0.0f;         // semitones
  float AttackEnd = 0.0f;           // semitones
  float AttackLength = 0.0f;        // samples
  float AttackRecip = 0.0f;         // 1 / AttackLength, 0 for 0
  float ReleaseEnd = 0.0f;          // semitones
  float ReleaseLength = 0.0f;       // samples
  float ReleaseRecip = 0.0f;
  float ScaleFactor = 1.0f;  // key scaling, 1 = every key at its own pitch
  float RootKey = 64.0f;     // the note key scaling pivots on
};

class TSamplerPlugin2 : public TVRSamplerBase {
 public:
  static constexpr std::int32_t kParamCount = 664;
  static constexpr std::int32_t kMaxVoiceCount = 16;
  // Voice objects at most: the slots' and as many spares (the manager's
  // steal fade), each with its own index for the per-voice scratch.
  static constexpr std::int32_t kMaxVoiceObjects = 2 * kMaxVoiceCount;
  // Osc 2 renders only while |its amount gain| is above this.
  static constexpr float kAudibleGain = 0.002f;
  // Milliseconds over which a voice restarted while sounding fades the step
  // between its old and new output.
  static constexpr std::int32_t kDeclickMs = 2;
  // Milliseconds over which a voice that a new note takes while it sounds
  // fades its own sound out, as a tail beside the new note (a raised
  // cosine: no louder a corner than a note's own start).
  static constexpr std::int32_t kStealFadeMs = 3;
  // The plug-in's panel index of each of osc 2's panels, by TOscPanel.
  using TOscPanelIndexes = std::array<std::int32_t, TOscPanelCount>;

  TSamplerPlugin2();
  ~TSamplerPlugin2() override;

  // ---- plug-in chain
  // Inherited, then the 49 oscillator descriptors.
  void InitParameterInfo() override;
  // ---- editor (set-up, only with an editor)
  // Inherited, then "Osc2" on the body and its four sub-panels in it.
  void CreatePanels() override;
  // Inherited, then the voice page again with both oscillator rows ("Osc2"
  // one pixel below "Osc1", the sub-panels from kAModLeft on) and the page
  // area below them.
  void LayoutPanels() override;
  // Inherited, then the row of page buttons below "Osc2".
  void CreatePageButtons() override;
  static constexpr std::int32_t kAModLeft = 268;
  // Inherited, then the oscillator parameter's action (other ids: nothing).
  void ParameterChanged(std::int32_t i) override;
  // Osc-1 patch := parameter 32, bank 0, pending.
  void SelectPatch() override;
  // Nothing: the sequencers take the tempo through TempoChanged.
  void TimeInfoHook() override {}
  // Osc-2 patch := parameter 53, bank 0, pending.
  virtual void SelectOsc2Patch();
  // Both oscillators' pending patches, for a plug-in without a destination
  // for prepared changes (render loop, lock held); with one, a patch change
  // is asked for when it is selected and runs there.
  virtual void ApplyPendingPatches();
  // The osc-1 part of ApplyPendingPatches.
  void ApplyPendingPatch() override;
  // Applies a pending voice count and pending patches first, then the
  // inherited note-on: a note decoded at the start of a block is not
  // dropped by the reset of that same block.
  void NoteOn(const TMidiEventRec& e) override;
  // Inherited, then the list of instrument voices is refreshed.
  void VoicesInstalled() override;
  // New voices are given the patches that were current when the voice
  // change was taken (without the lock: they are not the voices yet).
  void TakeVoiceSetup() override;
  void PrepareNewVoices(std::vector<std::unique_ptr<TDSPXVoice>>& voices) override;
  void FreeVoices() override;
  void ReallocBuffers() override;
  void ReleaseBuffers() override;
  // Inherited, then the pitch attack and release lengths follow the rate.
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  // ---- rendering (audio thread, instance lock held)
  // One internal block of every sounding voice into the mix, then the rack.
  void RenderVoices() override;
  // kStealFadeMs of samples.
  std::int32_t StealFadeSamples() const override { return kStealFadeMs * Settings->SamplesPerMs; }
  // True: several sounding voices go through a block side by side where
  // that gives the same output (RenderVoicesTogether); false: one voice
  // after another (the tests compare the two).
  bool VoicesSideBySide = true;
  // One amplitude envelope over a sub-block: its output, and its factor
  // 1 - (1 - level) x depth, one for the whole sub-block (Flat) or per
  // sample in the voice's envelope buffer.
  struct TEnvelopeBlock {
    float Output = 0.0f;
    bool Flat = true;
    float Factor = 1.0f;
  };
  // The control update of one voice (once per millisecond).
  virtual void UpdateVoiceControl(TDSPSamplerInstrVoice2& voice);

  // ---- state, for the final class, the editor and tests
  const TOscSettings& Osc(int osc) const { return OscSet[static_cast<std::size_t>(osc & 1)]; }
  bool IsOsc2Audible() const { return Osc2Audible; }
  std::int32_t Osc2Patch() const { return Osc2PatchIndex.load(std::memory_order_relaxed); }
  bool IsOsc2PatchPending() const { return Osc2Pending.load(std::memory_order_acquire); }
  // The voice object with index i (TDSPXVoice::VoiceIndex: the slots' first
  // voices, then the spares) when it is an instrument voice, else null.
  TDSPSamplerInstrVoice2* InstrVoice(std::int32_t i) const {
    return i >= 0 && i < kMaxVoiceObjects ? InstrVoices[static_cast<std::size_t>(i)] : nullptr;
  }
  // The gains the last control update computed for voice object `index`:
  // oscillator osc (0, 1), side (0 left, 1 right).
  float VoiceGain(std::int32_t index, int osc, int side) const;
  // What the plug-in is, for a host or an about box.
  std::string Description;
  // The key signature the tuners receive (sharps, negative flats). The
  // tuners' diatonic mode stays off, so it does not change the pitch.
  std::int8_t KeySignature = 0;
  // The plug-in's panel index of osc 2's panels ("Osc2" and its four
  // sub-panels, Osc2PanelTable); -1 while no editor exists. An editor layer
  // fills it in CreatePanels, before InitParameterInfo. Osc 1's controls sit
  // on the synthesis layer's "Osc1" panels (KwpPanels).
  TOscPanelIndexes Osc2Panels{};

 protected:
  // The plug-in's panel index of the row's control (-1: none).
  std::int32_t OscPanelIndex(const TOscParamRow& row) const;
  // The row's action for the parameter's current value.
  void DispatchOscParameter(const TOscParamRow& row);
  // Retunes every voice's tuner of oscillator osc (0, 1).
  void RetuneOscillator(int osc);
  // One oscillator's gains and pitch for a voice (UpdateVoiceControl).
  void UpdateOscillator(TDSPSamplerInstrVoice2& voice, int osc, float note, float pe1, float pe2);
  // Gives every voice's player of oscillator osc (0, 1) the patch; resets
  // the engine first when the voices held another one.
  void InstallPatch(int osc, std::int32_t bank, std::int32_t patch);
  // One voice's block (RenderVoices).
  void RenderVoice(TDSPSamplerInstrVoice2& voice);
  // Several voices' block, sub-block by sub-block, each filter block of all
  // of them together (ProcessFiltersTogether); the mix adds the voices in
  // the given order.
  void RenderVoicesTogether(TDSPSamplerInstrVoice2* const* voices, std::int32_t count);

  // A voice's progress through a block: its players' output, its scratch
  // (envelope factors unless the envelopes have buffers, left and right
  // signal of a sub-block), its curve laws and envelope sub-blocks.
  struct TVoiceRun {
    const float* S1 = nullptr;
    const float* S2 = nullptr;  // null while osc 2 is silent
    float* E1 = nullptr;
    float* E2 = nullptr;
    float* Left = nullptr;
    float* Right = nullptr;
    TCurveFunction Curve1 = nullptr, Curve2 = nullptr;
    TCurveRun CurveRun1 = nullptr, CurveRun2 = nullptr;  // the same laws over runs
    TEnvelopeBlock Env1, Env2;
    // The sub-block's players and their gains into Left and Right.
    TDSPSamplerInstrVoice2::TPlayerMix Mix;
  };
  // The first control update of a new note and the players' block; work:
  // four buffers of a sub-block.
  void BeginVoiceBlock(TDSPSamplerInstrVoice2& voice, TVoiceRun& run, float* const* work);
  // A sub-block (frames p .. p + n - 1 of the block) of the voices up to
  // the filters: the control update when due, the envelopes, the
  // oscillators into Left and Right, the shaper before the filters.
  void VoiceSubBlockFront(TDSPSamplerInstrVoice2* const* voices, TVoiceRun* runs, std::int32_t count, std::int32_t p,
                          std::int32_t n);
  // The envelopes and the oscillators' gains of one voice's sub-block.
  void VoiceSubBlockGains(TDSPSamplerInstrVoice2& voice, TVoiceRun& run, std::int32_t n);
  // Filter block b (0, 1) of the voices on their Left and Right.
  void FilterBlock(TDSPSamplerInstrVoice2* const* voices, TVoiceRun* runs, std::int32_t count, int b, std::int32_t n);
  // The sub-block's mix at frame p.
  void VoiceSubBlockBack(TDSPSamplerInstrVoice2& voice, TVoiceRun& run, std::int32_t p, std::int32_t n);
  // After a voice's block: a finished steal fade ends (StealFadeEnded), a
  // voice whose envelopes finished is freed.
  void EndVoiceBlock(TDSPSamplerInstrVoice2& voice);
  // VoiceSubBlockBack of the voices in turn, the same sums in one pass.
  void VoicesSubBlockBack(TDSPSamplerInstrVoice2* const* voices, TVoiceRun* runs, std::int32_t count, std::int32_t p,
                          std::int32_t n);

  std::array<TOscSettings, 2> OscSet{};
  bool Osc2Audible = true;
  std::atomic<std::int32_t> Osc2PatchIndex{0};
  std::atomic<bool> Osc2Pending{false};

 private:
  // Per voice object: the oscillators' left and right gains of the last
  // control update.
  struct TVoiceMix {
    std::array<std::array<float, 2>, 2> Gain{};
    // The level signal (the sequencers' gains x the master gain) is this one
    // value for the whole millisecond: no sequencer is on.
    bool LevelFlat = true;
    float FlatLevel = 1.0f;
  };
  std::array<TVoiceMix, kMaxVoiceObjects> VoiceMix{};
  static std::size_t MixSlot(const TDSPXVoice& v) {
    return static_cast<std::size_t>(std::clamp<std::int32_t>(v.VoiceIndex, 0, kMaxVoiceObjects - 1));
  }
  // By voice index.
  std::array<TDSPSamplerInstrVoice2*, kMaxVoiceObjects> InstrVoices{};
  // The patch (bank x 128 + patch) the players of each oscillator were
  // given; -1 while the voices hold none.
  std::array<std::int32_t, 2> InstalledPatch{-1, -1};

  // A patch change of one oscillator as a prepared change: the voices'
  // zones are built outside the lock (with the voices' settings) and
  // installed under it as InstallPatch would.
  class TPatchChange final : public TPreparedChange {
   public:
    TPatchChange(TSamplerPlugin2& owner, int osc) : Owner(owner), Osc(osc) {}
    bool TakeRequest() override;
    void Build() override;
    void Install() override;
    void Release() override;

   private:
    TSamplerPlugin2& Owner;
    int Osc;
    std::int32_t Bank = 0;
    std::int32_t Patch = 0;
    std::uint64_t Generation = 0;
    std::array<TDSPSamplerInstr*, kMaxVoiceObjects> Players{};
    std::array<TDSPSamplerInstr::TPreparedZones, kMaxVoiceObjects> Zones;
  };
  TDSPSamplerInstr& PlayerOf(TDSPSamplerInstrVoice2& voice, int osc) {
    return osc == 0 ? voice.Player1() : voice.Player2();
  }
  std::array<TPatchChange, 2> PatchChanges{TPatchChange{*this, 0}, TPatchChange{*this, 1}};
  // Grows whenever a new voice set is installed (a patch change built for
  // the voices before is dropped).
  std::uint64_t VoiceGeneration = 0;
  // What new voices are given: the bank and both oscillators' patches when
  // the voice change was taken.
  std::int32_t NewVoiceBank = 0;
  std::array<std::int32_t, 2> NewVoicePatch{0, 0};
  // Work buffers of one sub-block: envelope 1, envelope 2 (when the
  // envelopes have none), the voice's left and right signal (RenderVoice),
  // and a left and right signal while a voice changes its players' rate.
  std::array<std::unique_ptr<float[]>, 6> Work;
  // The same four per voice object for RenderVoicesTogether,
  // VoiceWorkStride floats each.
  std::unique_ptr<float[]> VoiceWork;
  std::int32_t VoiceWorkStride = 0;
};
