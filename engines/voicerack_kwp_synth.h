// The synthesis layer: the voice-shaping parameters every voice shares
// (master gain, tune, pitch bend, voice count, glide, two envelopes, two
// dual filter blocks, three LFOs, a left/right shaper pair) and the 22-slot
// voice modulation matrix "VMod". It owns 167 parameters (locals 0..166,
// ids per engines/data/kwp_parameters.tsv), converts their values into the
// fields of TKwpValues and into the voices' DSP objects, and evaluates the
// LFOs and the matrix of one voice per control period.
//
// For the layers above:
//   - Parameter ids: AssignParameterIds maps the sections once (a layer
//     above that overrides it calls the inherited one); KwpParamIndex(local)
//     and KwpLocalOfParam(id) translate. ParameterChanged acts only after
//     the map is assigned.
//   - Construction: set MaxVoices (the display maximum of "Voices"),
//     SeqPitchTargetId (the target the sequencers' pitch goes to) and add the
//     matrix targets with AddVoiceModTarget, all in the constructor, before
//     the plug-in is built.
//   - Per-voice control, once per control period (one millisecond of
//     samples), on the audio thread, for a voice that is not free, in this
//     order:
//       UpdateVoiceLevels(voice)   LFOs step, both sequencers Tick, the matrix
//                                  sums into the accumulators, the shaper
//                                  amounts, LFO gains/frequencies and the
//                                  sequencer factors are set;
//       (the oscillator control reads LfoValue(k), ModAccum(id)/ModFactor(id)
//        and ModulatedPitch);
//       UpdateVoiceFilters(voice)  cutoff, Q and bandwidth of both filter
//                                  blocks from their bases, the envelopes,
//                                  the LFO values and the accumulators.
//     The accumulators and LfoValue are valid only until the next voice's
//     UpdateVoiceLevels. None of these allocates, locks or makes a virtual
//     call per sample.
//   - Rendering reads Kwp() (gain, tune offset, glide, amp-to-envelope
//     depths, envelope 2's delay, filter and shaper switches, routes and
//     channel modes, PM METHOD) and the voice manager's Env1CurveLaw /
//     Env2CurveLaw.
//
// Threads: ParameterChanged runs under the instance lock (the host's
// parameter entry, program application, sub-presets and editor changes take
// it), as does rendering, so the fields of TKwpValues are plain. Per-voice
// setters go to the voice objects at once; the filter-type, shaper-type and
// LFO-waveform exchanges build outside the lock where their classes allow
// it. The matrix rereads its 67 parameters at the first update after one of
// them changed.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dsp/voices/step_sequencer.h"
#include "engines/kwp_param_table.h"
#include "engines/voicerack_arp_synth.h"

class TDSPSynthVoice;
class TDSPMultiFilter;

// One side of a filter block as its parameters set it.
struct TKwpFilterSide {
  float Cutoff = 4096.0f;  // Hz
  float Q = 0.001f;        // 0.001..1
  float Bandwidth = 0.001f;
  std::array<float, 2> DepthEnv{};             // cutoff depth of envelope 1, 2 (amplitude)
  std::array<float, kKwpLfoCount> DepthLfo{};  // Hz per unit of LFO 1..3
};

// One LFO's settings. Stage lengths in samples; 0 is none.
struct TKwpLfoSettings {
  float BaseFrequency = 0.0f;  // Hz at the control rate (ten times the LFO's cycles per second)
  float BaseAmplitude = 1.0f;
  std::int32_t Delay = 0;
  std::int32_t Attack = 0;
  std::int32_t Hold = 0;
  std::int32_t Release = 0;
  std::int32_t Cycles = 0;  // cycles before the LFO falls silent, 0 unlimited
};

// The converted values of the layer's parameters (instrument fields).
struct TKwpValues {
  float GainLevel = 1.0f;   // master gain as an amplitude (1000 -> 1.0)
  float TuneOffset = 0.0f;  // Tune + Fine in semitones
  float GlideSamples = 0.0f;
  float GlideReciprocal = 0.0f;                     // 0 when there is no glide
  std::array<float, 2> AmpToEnv{1.0f, 0.0f};        // Amp->Env1, Amp->Env2 depths (-1..1)
  std::array<std::int32_t, 2> EnvScaleType{};       // stored only
  std::array<float, 2> EnvScaleTarget{1.0f, 1.0f};  // stored only
  // Age in samples from which envelope 2 runs; 0: from the note's start.
  std::int32_t Env2DelaySamples = 0;
  std::array<bool, 2> FilterOn{};
  // [block][side]: block 0 is "Filter1"; side 0 left, 1 right.
  std::array<std::array<TKwpFilterSide, 2>, 2> Filter{};
  // 0: each side its own parameters; any other: the left ones drive both.
  std::array<std::int32_t, 2> FilterChannelMode{1, 1};
  bool ShaperOn = false;
  std::array<float, 2> ShaperAmount{0.5f, 0.5f};  // left, right, 0..1
  std::array<std::int32_t, 2> ShaperRoute{};      // 0 before the filters, 1 after
  std::int32_t ShaperChannelMode = 1;
  std::int32_t PmMethod = 1;  // 1: pitch LFOs add semitones; 0: they add Hz
  std::array<TKwpLfoSettings, kKwpLfoCount> Lfo{};
  bool ModOn = true;
};

class TVoicerackKWPSynth : public TVoicerackArpSynth {
 public:
  // MSrc values.
  enum TVModSource : std::int32_t {
    kSrcNone = 0,
    kSrcLfo1 = 1,
    kSrcLfo2 = 2,
    kSrcLfo3 = 3,
    kSrcSeq1Level = 4,
    kSrcSeq1Gate = 5,
    kSrcSeq1Pitch = 6,
    kSrcSeq1Env = 7,
    kSrcSeq2Level = 8,
    kSrcSeq2Gate = 9,
    kSrcSeq2Pitch = 10,
    kSrcSeq2Env = 11,
    kSrcEnv1 = 12,
    kSrcEnv2 = 13,
    kSrcPitch = 14,
    kSrcRandom = 15,
  };
  // A modulated voice pitch stays within these semitones, and a frequency
  // modulated below kMinModulatedHz (PM METHOD 0) is held there: the
  // sample players never see a NaN or an infinite rate.
  static constexpr float kMinModulatedHz = 0.01f;
  static constexpr float kMinVoicePitch = -120.0f;
  static constexpr float kMaxVoicePitch = 200.0f;
  // Hz added per unit of a pitch LFO sum with PM METHOD 0.
  static constexpr float kFrequencyModHz = 164.0f;

  TVoicerackKWPSynth();
  ~TVoicerackKWPSynth() override;

  // ---- plug-in chain
  // Inherited, then the sections' maps (once each), the reverse map and the
  // accumulator ids; the layer is ready afterwards.
  void AssignParameterIds() override;
  // Inherited, then the accumulators are sized to the parameter count and
  // zeroed, then the descriptors of every mapped section.
  void InitParameterInfo() override;
  // Inherited, then the action of this layer's parameter (nothing for other
  // ids, for the matrix slots but a reread at the next update, and before
  // the layer is ready).
  void ParameterChanged(std::int32_t i) override;
  // Channel modes and matrix sources and targets show their names; the rest
  // the inherited text.
  void FormatParamValue(std::int32_t param, std::string& text, float real) override;
  // Inherited, then the values counted in samples follow the new rate.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Inherited, then the matrix's "RND" source.
  void ReseedRandomSources() override;

  // ---- editor (set-up, only with an editor)
  // The voice page, in body pixels from the main panel: the rows of Master,
  // Env1 and Env2, then LFO1..LFO3, then the oscillator rows, each row one
  // pixel below the one above; the page area kPageAreaGap below the last
  // oscillator row, the row of page buttons kPageButtonGap below it.
  static constexpr std::int32_t kVoiceRowHeight = 62;
  static constexpr std::int32_t kMasterWidth = 310;
  static constexpr std::int32_t kEnv1Width = 202;
  static constexpr std::int32_t kOscRowHeight = 80;
  // An oscillator panel's sub-panels: "AMod" from the panel's left edge
  // (kSynthAModLeft while no sampler layer adds a second row), "PMod" right
  // of it, "Pitch Attack" and "Pitch Release" right of that.
  static constexpr std::int32_t kSynthAModLeft = 184;
  static constexpr std::int32_t kModPanelWidth = 154;
  static constexpr std::int32_t kModPanelHeight = 76;
  static constexpr std::int32_t kPitchPanelWidth = 90;
  static constexpr std::int32_t kPageAreaGap = 21;
  static constexpr std::int32_t kPageButtonGap = 2;
  static constexpr std::int32_t kPageButtonPitch = 64;
  // Inherited, then this layer's panels (kwp_panels.tsv) in table order.
  void CreatePanels() override;
  // Inherited, then the voice page with one oscillator row and the page
  // area below it.
  void LayoutPanels() override;
  // Inherited, then the page buttons "VFX" and "VMod", and every page of
  // the switch renumbered and its button re-placed (kwp_pages.tsv), in a
  // row below the oscillator row.
  void CreatePageButtons() override;
  // The panel and the page button of a row of the page switch (null when
  // the row names none, or without an editor).
  TSPThemeGUIControl* PagePanel(const TKwpPageRow& page) const;
  TSPThemeGUINoteBookButton* PageButton(const TKwpPageRow& page) const;
  // This layer's page buttons, by TKwpPanel (null where the panel has none).
  std::array<TSPThemeGUINoteBookButton*, TKwpPanelCount> KwpPageButtons{};

  // ---- id map
  bool IsKwpReady() const { return Ready; }
  // Parameter id of local l; -1 before its section is mapped or outside 0..166.
  std::int32_t KwpParamIndex(std::int32_t local) const;
  // Local of a parameter id; -1 for other layers' ids.
  std::int32_t KwpLocalOfParam(std::int32_t id) const;
  // The action of every mapped local lo..hi again, in order.
  void ReapplyRange(std::int32_t lo, std::int32_t hi);

  // ---- modulation targets (construction only)
  // Appends a target: an MDst value t selects entry t. The name is cut to
  // 24 characters. Entry 0 is ("---", -1) and selects nothing.
  void AddVoiceModTarget(std::int32_t id, std::string_view name);
  std::int32_t VoiceModTargetCount() const { return static_cast<std::int32_t>(TargetIds.size()); }
  // Id of entry t; -1 for entry 0 and outside the list.
  std::int32_t VoiceModTargetId(std::int32_t t) const;
  // Name of entry t; empty outside the list.
  std::string_view VoiceModTargetName(std::int32_t t) const;

  // ---- per-voice control (audio thread, inside the render loop)
  // What the control updates of one block need to compute: work whose
  // result reaches nothing is left out. Outside a planned block everything
  // is computed.
  struct TVoiceControlPlan {
    // LFO k's value is read: by the layers above, a filter block that is on,
    // or a matrix slot. Otherwise a waveform whose tick only reads its phase
    // has only the phase stepped (where its tick would have left it) and
    // LfoValue(k) is 0; the delay, fades and cycle count run on as ever.
    std::array<bool, kKwpLfoCount> LfoRead{true, true, true};
    // Sequencer s's outputs are read: by a matrix slot or, through its pitch
    // amount, by the sequencer pitch target. A sequencer that is off and not
    // read is not ticked once it rests (its ticks while off change nothing
    // after the first, until a parameter changes or a note starts); one
    // that is on drives the voice's gain and always ticks.
    std::array<bool, 2> SeqRead{true, true};
    // A planned block: the shaper amounts are set only while the shapers
    // are on (outside one they always are, for callers that read them).
    bool Planned = false;
    // An accumulator the levels stage (shaper amounts, LFO gains and rates,
    // sequencer factors) or the filter blocks read may be fed: by an active
    // slot or as the sequencer pitch target. Otherwise those stages depend
    // on the parameters and (the filters) on the voice's envelopes and LFO
    // values only, and an update whose inputs are those of the voice's last
    // one keeps what that one set (TDSPSynthVoice::Settled...).
    bool LevelIdsFed = true;
    bool FilterIdsFed = true;
  };
  // Plans the block's control updates: lfoReadAbove[k] says whether the
  // layers above read LfoValue(k). Decodes a changed matrix first. Until
  // EndVoiceControlPlan, UpdateVoiceLevels follows the plan.
  void PlanVoiceControl(const std::array<bool, kKwpLfoCount>& lfoReadAbove);
  void EndVoiceControlPlan() { Plan = TVoiceControlPlan{}; }
  const TVoiceControlPlan& VoiceControlPlan() const { return Plan; }
  // The LFO and matrix stage of the voice's control update (see above).
  void UpdateVoiceLevels(TDSPSynthVoice& voice);
  // Both filter blocks of the voice (each only while it is on).
  void UpdateVoiceFilters(TDSPSynthVoice& voice);
  // Whether settled control results (TDSPSynthVoice::Settled..., and the
  // layers above theirs) may be kept where the inputs repeat: the renders
  // are the same either way (the tests compare the two).
  bool KeepSettledControl = true;
  // The control generation: grows whenever a parameter, the settings, the
  // matrix or a per-voice setting the control updates read changes. Never 0.
  std::uint32_t ControlGeneration() const { return Generation; }
  // A change the control updates read that is not a parameter change.
  void ControlInputsChanged() { Generation = Generation == 0xFFFFFFFFu ? 1u : Generation + 1u; }
  // True when an active slot of the matrix reads the random source, whose
  // draws are shared by the voices (so they depend on the order of their
  // control updates). Decodes a changed matrix first, as the next control
  // update would.
  bool MatrixDrawsRandom();
  // The sample player's pitch from the voice's pitch and its pitch LFO sum m
  // by PM METHOD: 1 adds m semitones; 0 adds m x 164 Hz to the pitch's
  // frequency (held at kMinModulatedHz and above). The result lies in
  // kMinVoicePitch..kMaxVoicePitch; NaN gives the lowest pitch the method
  // allows.
  float ModulatedPitch(float pitch, float m) const {
    const float p = Values.PmMethod == 0 ? FrequencyModulatedPitch(pitch, m) : pitch + m;
    if (!(p >= kMinVoicePitch)) return kMinVoicePitch;
    return p > kMaxVoicePitch ? kMaxVoicePitch : p;
  }
  // The summed modulation of a parameter id in the last UpdateVoiceLevels
  // (0 for ids that are no target or outside the parameters).
  float ModAccum(std::int32_t id) const {
    // One unsigned comparison rejects both negative ids and those past the end.
    return static_cast<std::uint32_t>(id) < AccumCount ? AccumData[id] : 0.0f;
  }
  // 1 + ModAccum(id): the factor a modulated base value is multiplied by.
  float ModFactor(std::int32_t id) const { return 1.0f + ModAccum(id); }
  // LFO k's (0..2) value of the voice in the last UpdateVoiceLevels.
  float LfoValue(int k) const { return LfoValues[static_cast<std::size_t>(k)]; }
  // Source s's value in the last UpdateVoiceLevels ("RND": its last draw);
  // in a planned block only the sources the matrix or the sequencer pitch
  // target read are kept.
  float VModSourceValue(std::int32_t s) const {
    return s >= 0 && s < kVModSourceCount ? Sources[static_cast<std::size_t>(s)] : 0.0f;
  }

  // ---- converted values (read by the renderer under the instance lock)
  const TKwpValues& Kwp() const { return Values; }

  // The display maximum of "Voices"; -1 until a layer above sets it.
  std::int32_t MaxVoices = -1;
  // The parameter id whose accumulator takes the sequencers' pitch x their
  // pitch amounts; -1 for none.
  std::int32_t SeqPitchTargetId = -1;
  // The plug-in's panel index of each panel of this layer; -1 while no
  // editor exists. An editor layer fills it in CreatePanels, before
  // InitParameterInfo writes the descriptors' panel fields from it.
  TKwpPanelIndexes KwpPanels{};

 protected:
  // The action of local l for its parameter's current value.
  void DispatchKwpParameter(std::int32_t local);
  // Rereads the matrix slots into their decoded form (audio thread).
  void DecodeMatrix();
  // ModulatedPitch's pitch by PM METHOD 0, before the limits.
  float FrequencyModulatedPitch(float pitch, float m) const;
  // Cutoff, Q and bandwidth of one side of block b for the voice.
  void ComputeFilterSide(const TDSPSynthVoice& voice, int block, int side, float& cutoff, float& q,
                         float& bandwidth) const;

  TKwpValues Values;

  // An oscillator row: the panel at top, as wide as the main panel, its
  // sub-panels from aModLeft on.
  void PlaceOscRow(TSPThemeGUIControl* osc, TSPThemeGUIControl* pMod, TSPThemeGUIControl* aMod,
                   TSPThemeGUIControl* pitchAttack, TSPThemeGUIControl* pitchRelease, std::int32_t top,
                   std::int32_t aModLeft);
  // Every page of the switch at top, as wide as the main panel.
  void PlacePageArea(std::int32_t top);
  // The page buttons in page order, the first at top, left.
  void PlacePageButtons(std::int32_t top, std::int32_t left);
  // The panel index and page button of a row of the page switch (-1 and
  // null where the row names none).
  void FindPage(const TKwpPageRow& page, std::int32_t& panel, TSPThemeGUINoteBookButton*& button) const;
  TSPThemeGUIControl* KwpGuiPanel(TKwpPanel panel) const {
    return GuiPanel(KwpPanels[static_cast<std::size_t>(panel)]);
  }

 private:
  // One matrix slot as the matrix uses it: inactive when Accum < 0.
  struct TVModSlot {
    std::int32_t Source = 0;
    std::int32_t Accum = -1;
    float Amount = 0.0f;
  };
  // The accumulator ids one filter side reads.
  struct TFilterSideIds {
    std::int32_t Cutoff = -1, Q = -1, Bandwidth = -1;
    std::array<std::int32_t, 2> Env{-1, -1};
    std::array<std::int32_t, kKwpLfoCount> Lfo{-1, -1, -1};
  };

  void MapSection(TKwpSection section);
  void BuildKwpReverseMap();
  float RealOf(std::int32_t local);
  std::int32_t IntOf(std::int32_t local);
  // Per-voice parts of the dispatch.
  void SetFilterTypes(int block, int side, float type);
  void SetShapeTypes(int side, float type);
  void StepLfo(TDSPSynthVoice& voice, int k);
  void PassLfo(TDSPSynthVoice& voice, int k);
  // Sequencer s of the voice: ticks it unless it rests unread (see
  // TVoiceControlPlan).
  void TickSequencer(TDSPSynthVoice& voice, int s);

  std::array<std::int16_t, kKwpParamCount> Map{};
  std::vector<std::int16_t> ReverseMap;
  std::array<bool, TKwpSectionCount> SectionMapped{};
  bool Ready = false;

  // The matrix target list: entry t's id and name.
  std::vector<std::int32_t> TargetIds;
  std::vector<std::string> TargetNames;

  // One float per parameter id (its data and size for ModAccum).
  std::vector<float> Accum;
  float* AccumData = nullptr;
  std::uint32_t AccumCount = 0;
  std::array<TVModSlot, kVModSlotCount> Slots{};
  // The active slots in slot order (the first ActiveSlotCount).
  std::array<TVModSlot, kVModSlotCount> ActiveSlots{};
  std::int32_t ActiveSlotCount = 0;
  // The distinct accumulator ids of the active slots (the first FedCount).
  std::array<std::int32_t, kVModSlotCount> FedIds{};
  std::int32_t FedCount = 0;
  // Whether an accumulator the levels stage or the filter blocks read may
  // be fed (TVoiceControlPlan), as of the last decode.
  bool LevelIdsFed = true;
  bool FilterIdsFed = true;
  std::atomic<bool> MatrixDirty{true};
  std::array<float, kKwpLfoCount> LfoValues{};
  std::array<float, kVModSourceCount> Sources{};
  // The draws of the "RND" source.
  TSequencerRandom Random;
  static std::uint64_t MatrixSeed();

  // Accumulator ids read by the levels and filter stages.
  std::array<std::array<TFilterSideIds, 2>, 2> FilterIds{};
  std::array<std::int32_t, 2> ShapeAmountIds{-1, -1};
  std::array<std::int32_t, kKwpLfoCount> LfoAmpIds{-1, -1, -1};
  std::array<std::int32_t, kKwpLfoCount> LfoFrequencyIds{-1, -1, -1};
  // Per sequencer: the ids of its level, gate and pitch factors.
  std::array<std::array<std::int32_t, 3>, 2> SeqFactorIds{};

  TVoiceControlPlan Plan;
  std::uint32_t Generation = 1;
  // Grows with every parameter change (a sequencer at rest may have other
  // settings now).
  std::uint32_t ParamChanges = 0;
  // Per voice object (by index: the slots' and the spares') and sequencer:
  // ParamChanges + 1 when its last tick found it off (and left its outputs
  // alone: no gains while off), 0 otherwise.
  static constexpr std::int32_t kRestSlots = 2 * kMaxVoices;
  std::array<std::array<std::uint32_t, 2>, kRestSlots> SeqRestStamp{};
};
