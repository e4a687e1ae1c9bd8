// The effects rack: the first instrument layer on the plug-in core (with
// its editor, gui/controls/plugin_gui.h). The summed voices pass seven
// stereo effects in a per-program order, framed by
// a pre-shift and a post-shift stage that delay one channel against the
// other; six FX LFOs and a 16-slot modulation matrix move the effects'
// continuous settings. The layer owns the 290 FX parameters (FX index i is
// plug-in parameter kFxFirstParamId + i = 374 + i) and the sub-preset
// groups 10 to 17.
//
// For the layers above:
//   - Parameter ids: the instrument has kRackParamCount (664) parameters;
//     ids 0..9 are the core's, 10..373 belong to the layers above, 374..663
//     to the rack. AssignParameterIds fills the rack's map (once); a layer
//     above that overrides it calls the inherited one. FxParamIndex(fx) and
//     FxIndexOfParam(id) translate.
//   - Rendering: a layer's RenderVoices writes the block's voice sum into
//     MixLeft() and MixRight() (Settings->BlockSize samples each; they are
//     processed in place, so every block overwrites them), sets
//     BlockHasSignal when the voices produced signal, and calls ProcessFX(),
//     which leaves the interleaved result in GetOutputBuffer() and sets
//     BlockHasSignal from it. Scratch1() and Scratch2() are two more work
//     buffers of the same size for that layer.
//   - Overrides: InitParameterInfo, ParameterChanged, CreatePageButtons,
//     FormatParamValue, AssignParameterIds, SetAudioSettings, ReallocBuffers,
//     ReleaseBuffers, TempoChanged and the batch entries (ApplyProgram,
//     ApplySubPreset, LoadParamSnapshot, ParamBatchDone): a layer above that
//     overrides one calls the inherited operation (ParameterChanged: it
//     handles the rack's ids and ignores the others).
//   - Passing every parameter through ParameterChanged again (a voice-count
//     rebuild) is done in a batch (ResendParameters, or BeginParamBatch /
//     EndParamBatch around the loop). An order parameter's ParameterChanged
//     only rebuilds the chain from the stored values (at once, or at the
//     batch's end), so it may come late, twice or in any order.
//
// Threads: ProcessFX runs on the audio thread under the instance lock.
// ParameterChanged and UpdateShifts run under the same lock: the host's
// parameter entry, program application, sub-presets and editor changes all
// take it (or hand the change to the audio thread). An order value set
// outside a batch is an edit that moves its effect: the seven values are
// rewritten by the thread that writes it, holding the values right
// (dsp_base_plugin.h), into the program current when the call was made.
// Setters that rebuild effect memory build outside the lock and swap under
// it themselves (dsp/effects); so does a rack that stops for the fresh lines
// it starts again from (RackLinesToClear).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dsp/effects/chorus.h"
#include "dsp/effects/cross_filter.h"
#include "dsp/effects/delay.h"
#include "dsp/effects/distortion.h"
#include "dsp/effects/eq_effect.h"
#include "dsp/effects/phaser.h"
#include "dsp/effects/reverb.h"
#include "dsp/effects/shift_lines.h"
#include "dsp/oscillators/oscillator.h"
#include "engines/fx_param_table.h"
#include "framework/core/param_change_queue.h"
#include "framework/modules/prepared_change.h"
#include "gui/controls/plugin_gui.h"

class TVoicerackGFXSynth : public TDSPPluginGui {
 public:
  // Every parameter of the instrument: the core's, the layers' above and the rack's.
  static constexpr std::int32_t kRackParamCount = kFxFirstParamId + kFxParamCount;
  static constexpr int kFxLfoCount = 6;
  // FX index of the modulation matrix's master switch.
  static constexpr int kFxModOnIndex = 223;
  // The shift stages.
  enum TShiftStage : int { kPreShift = 0, kPostShift = 1 };
  // Output magnitude that counts as signal for the rack's idle counter.
  static constexpr float kRackSignalLevel = 1e-5f;
  // Silence the rack runs on after the longest line it holds has played out.
  static constexpr std::int32_t kIdleMarginMs = 500;

  TVoicerackGFXSynth();
  ~TVoicerackGFXSynth() override;

  // ---- plug-in chain
  // Inherited, then the FX LFOs get the control-rate record, each effect the
  // plug-in's record, the tempo, and both shift stages are recomputed for
  // the new rate.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // The mix and scratch buffers and the shift rings for the current settings.
  void ReallocBuffers() override;
  void ReleaseBuffers() override;
  void TempoChanged() override;
  // Fills the FX map (FX index k -> kFxFirstParamId + k) once, then the
  // reverse map and the modulation targets.
  void AssignParameterIds() override;
  // Inherited, then the 290 FX descriptors (with their editor fields).
  void InitParameterInfo() override;
  // Inherited, then the FX parameter's action (nothing for other ids).
  void ParameterChanged(std::int32_t i) override;
  // Inherited, except for the seven order parameters: an order value set
  // outside a batch moves its effect to chain position 0..6 (the effect
  // there takes the moved one's old place; other values leave the chain),
  // and the seven values of the program are rewritten to values that
  // rebuild the new chain (fx_chain_order.h), all under the values right:
  // the edit is whole, in the program that was current, before the call
  // returns (on the audio thread, when another thread holds the right,
  // before that thread lets it go). Then the set parameter's
  // ParameterChanged as for any value, and the editor's controls of the
  // values rewritten. Inside a batch the value is stored as it comes. Any
  // thread.
  void SetParameterValue(std::int32_t i, float v) override;
  void SetParameterReal(std::int32_t i, float x) override;
  bool ValueWritesWaiting() const override;
  void RunWaitingValueWrites() override;
  // Inherited, then the sub-preset groups 10..17 (they exist with or without
  // an editor), and with an editor the eight page buttons, a "Preset" button
  // on each page and the pages' notebook membership (group 10, pages 5..12).
  void CreatePageButtons() override;

  // ---- editor (set-up, only with an editor)
  // The notebook group of the instrument's page switch, the height of a
  // page and where a page's "Preset" button sits on it.
  static constexpr std::int32_t kPageGroup = 10;
  static constexpr std::int32_t kPageHeight = 150;
  static constexpr std::int32_t kPresetTop = 128;
  static constexpr std::int32_t kPresetLeft = 2;
  // Inherited, then the eight effects pages on the body, in the order of
  // fx_panels.tsv.
  void CreatePanels() override;
  // Inherited, then every effects page 20 pixels below the main panel, as
  // wide as it and kPageHeight high: the pages lie on top of one another.
  void LayoutPanels() override;
  // A page button on the body with that caption that shows page `page` of
  // notebook group `group`, at top, left; null without an editor.
  TSPThemeGUINoteBookButton* AddPageButton(std::string_view caption, std::int32_t group, std::int32_t page,
                                           std::int32_t top, std::int32_t left);
  // Gives an existing page button another page and place (null: nothing).
  static void SetButtonGeometry(TSPThemeGUINoteBookButton* button, std::int32_t group, std::int32_t page,
                                std::int32_t top, std::int32_t left);
  // Puts the panel with that index on page `page` of notebook group `group`
  // (showing page 0 first).
  void SetPanelPage(std::int32_t panel, std::int32_t group, std::int32_t page);
  // The main panel (the header) the layers place their panels from; null
  // without an editor.
  TSPThemeGUIControl* MainPanel() const { return GuiPanel(kHeaderPanel); }
  // Each effects page's page button and "Preset" button, by TFxPanel (null
  // without an editor).
  std::array<TSPThemeGUINoteBookButton*, TFxPanelCount> FxPageButtons{};
  std::array<TSPThemeGUISubPresetsButton*, TFxPanelCount> FxPresetButtons{};
  // The rack's own texts (order, clip mode and type, channel modes,
  // modulation sources and targets), else the inherited text.
  void FormatParamValue(std::int32_t param, std::string& text, float real) override;
  // "---" for a query that names no parameter.
  std::string GetParamDisplayText(std::int32_t kind, std::int32_t number, float value) override;

  // Batches: inside BeginParamBatch/EndParamBatch (a program, a
  // sub-preset, a snapshot, ResendParameters) the chain is rebuilt from the
  // stored order values once the batch is done, whatever chain was in force
  // before; a program and a sub-preset take their own channel modes first.
  // A layer that passes every parameter through again does so in a batch.
  void ApplyProgram() override;
  // Inherited, then every effect's lines and the shift stages are emptied.
  void ResetSound() override;
  void ApplySubPreset(std::int32_t groupId, std::int32_t index) override;
  bool LoadParamSnapshot(TStream& stream) override;
  void ParamBatchDone() override;

  // ---- random sources
  // Every random source of the instance starts again from its own seed,
  // derived from kRandomSeed and its place (an effect, an LFO, a voice):
  // the same program and notes render the same bits in every instance,
  // whatever it played before. Each layer seeds its own sources and calls
  // the inherited operation first. At construction and at every program
  // application; the instance lock held.
  virtual void ReseedRandomSources();
  static constexpr std::uint64_t kRandomSeed = 0x52554D424C45304Eull;

  // ---- rendering (audio thread, instance lock held)
  float* MixLeft() const { return MixBuffers[0].get(); }
  float* MixRight() const { return MixBuffers[1].get(); }
  float* Scratch1() const { return MixBuffers[2].get(); }
  float* Scratch2() const { return MixBuffers[3].get(); }
  // One block of the mix buffers through the rack (when it is on and not
  // idle) into the output module's buffer, interleaved.
  virtual void ProcessFX();

  // ---- chain (instance lock held)
  // Both shift stages from FXPreShft and FXPostShft.
  void UpdateShifts();
  // The host tempo to every effect.
  void PropagateTempo();
  // The modulation targets whose FX index lies in lo..hi, re-applied from
  // their parameters (in target order).
  void ReapplyGroupTargets(int lo, int hi);
  // Puts the parameters of FX indexes lo..hi into sub-preset group `group`,
  // in FX order.
  void AssignGroupRange(std::int32_t group, int lo, int hi);

  // ---- modulation
  // The reverse map and the bases of the modulation targets.
  void BuildModTargets();
  // Target `target` (1..kFxModTargetCount - 1) of FxModTargetTable, which
  // gives its FX index, name and apply rule, joins the matrix: inactive, its
  // base that of its parameter's default.
  void AddModTarget(int target);
  // One step of the FX LFOs and the matrix (ProcessFX, once per millisecond).
  void UpdateFXModulation();

  // ---- id map
  bool IsFxMapAssigned() const { return FxMapAssigned; }
  // Parameter id of FX index fx; -1 before the map is assigned or for an
  // index outside 0..289.
  std::int32_t FxParamIndex(int fx) const;
  // FX index of a parameter id; -1 for ids of other layers.
  int FxIndexOfParam(std::int32_t id) const;

  // ---- state, for the layers above, the editor and tests
  // unit is one of the seven effects (not Rack).
  TDSPStereoEffect& Effect(TFxUnit unit) { return *Effects[EffectSlot(unit)]; }
  TDSPReverbX& Reverb() { return *ReverbFx; }
  TDSPXDistortion& Distortion() { return *DistortionFx; }
  TDSPXChorus& Chorus() { return *ChorusFx; }
  TDSPXXFilter& XFilter() { return *XFilterFx; }
  TDSPXDelay& Delay() { return *DelayFx; }
  TDSPXPhaser& Phaser() { return *PhaserFx; }
  TDSPXEq& Eq() { return *EqFx; }
  TDSPOscillator& FxLfo(int k) { return *FxLfos[static_cast<std::size_t>(k)]; }
  // The effect at chain position 0..6 (0 is processed first).
  TFxUnit ChainAt(int position) const { return Chain[static_cast<std::size_t>(position)]; }
  bool IsFxOn() const { return FxOn.load(std::memory_order_relaxed); }
  // Channel mode of an effect with two sides (0 for Reverb and Rack).
  std::int32_t ChannelMode(TFxUnit unit) const { return ChannelModes[static_cast<std::size_t>(unit)]; }
  // Ring length of a shift stage's side (0 left, 1 right) in samples.
  std::int32_t ShiftLength(TShiftStage stage, int side) const { return Shifts[stage].GetLength(side); }
  std::int32_t ShiftCapacity() const { return Shifts[0].GetCapacity(); }
  // A modulation target's base value (what its parameter set).
  float TargetBase(int target) const { return Base[static_cast<std::size_t>(target)]; }
  // Blocks the rack has seen without signal, in samples.
  std::int64_t IdleSamples() const { return IdleCount; }
  // True while the rack processes (on and not idle).
  bool IsRackRunning() const { return RackRunning; }
  // Every run of line memory of the effects and the shift stages, to the
  // visitor (under the lock or on the audio thread).
  void VisitRackLines(TLineVisitor& visitor) const;
  // A rack that stops keeps what its lines held (megabytes) out of its
  // next start: its small states are zeroed at once, and fresh zeroed lines
  // of the same sizes are asked for as a prepared change (built on the
  // module's worker when the audio thread asked, swapped in at the end of
  // one of its calls, the old ones freed by the worker): the audio thread
  // zeroes no line memory. A rack that starts again before they came zeroes
  // its lines in place first.
  // Runs of line memory the fresh lines can replace: more than the effects
  // and stages keep (a rack with more zeroes them in place when it starts).
  static constexpr std::size_t kMaxLineRuns = 32;
  // True until the lines of a stopped rack are all zero.
  bool RackLinesToClear() const { return LinesToClear; }
  // Line floats zeroed in place by the rack's own processing since it was
  // made (a rack started again before its fresh lines came); under the lock.
  std::uint64_t LineFloatsZeroedInPlace() const { return ZeroedInPlace; }

 protected:
  // Index of an effect in the fixed references (Reverb 0 ... EQ 6).
  static std::size_t EffectSlot(TFxUnit unit) { return static_cast<std::size_t>(unit) - 1; }
  // FX map for id first + k (AssignParameterIds uses kFxFirstParamId).
  void AssignFxParameterIds(std::int32_t first);
  // The action of FX row fx for its current value.
  void DispatchFxParameter(int fx);
  // Converted value of a row for a real parameter value.
  static float ConvertFxValue(const TFxParamRow& row, float real);
  // Calls the row's setter on the part it addresses with x.
  void ApplyFxSetter(const TFxParamRow& row, float x);
  // Target t's setting := base x (1 + m), following its channel link.
  void ApplyModTarget(int target, float m);
  // Samples of silence after which the rack stops: kIdleMarginMs plus every
  // enabled line the signal may still be travelling through.
  std::int64_t IdleThreshold();
  // Zeroes every effect's lines and both shift stages.
  void ClearRackState();
  // The rack stops: the effects' small states are zeroed at once, fresh
  // lines are asked for.
  void BeginRackClear();
  // Every run VisitRackLines gives, in its order, to the exchange.
  void ExchangeRackLines(TLineExchange& exchange);

  // The plug-in's panel index of each effects page, by TFxPanel; -1 while
  // no editor exists. An editor layer fills it in CreatePanels, before
  // InitParameterInfo writes the descriptors' panel fields from it.
  TFxPanelIndexes FxPanels{};

 private:
  void RunShiftStage(TShiftStage stage, float* left, float* right, std::int32_t n);
  void PreloadChannelMode(std::int32_t param, float normalised);
  // The chain := the replay of the current program's order values. The
  // audio thread, finding the values right taken, leaves it for a later
  // block (ChainStale).
  void RebuildChain();
  // Audio thread, instance lock held: the chain and the editor's controls
  // after order values another thread wrote for it.
  void CatchUpOrder();
  // The order turn of a parameter id; -1 for the others.
  int OrderTurnOfParam(std::int32_t id) const;
  // An order value set: program, turn, normalised value, and whether it is
  // stored as it comes (a batch) rather than moving its effect.
  struct TOrderWrite {
    std::int32_t Program = 0;
    std::int32_t Turn = 0;
    float Value = 0.0f;
    bool Raw = false;
  };
  // Order parameter `id` (turn `turn`) set to v in the current program.
  void SetOrderValue(std::int32_t id, int turn, float v);
  // fn() holding the values right: a thread that may wait takes it, the
  // audio thread only tries (false: taken elsewhere, fn not run).
  template <class TFn>
  bool UnderValueRight(TFn&& fn);
  // The position an order value stored in `slot` names (id: its parameter).
  int StoredOrderValue(std::int32_t id, const float& slot) const;
  // The write's values stored (values right held); answers the turns whose
  // value it wrote, one bit each.
  std::uint32_t WriteOrderValues(const TOrderWrite& write);
  void SlotChanged(int slot);

  // Mix left, mix right, scratch 1, scratch 2: (BlockSize + 16) floats each.
  std::array<std::unique_ptr<float[]>, 4> MixBuffers;
  std::int32_t MixFloats = 0;
  std::array<TShiftLines, 2> Shifts;

  std::unique_ptr<TDSPReverbX> ReverbFx;
  std::unique_ptr<TDSPXDistortion> DistortionFx;
  std::unique_ptr<TDSPXChorus> ChorusFx;
  std::unique_ptr<TDSPXXFilter> XFilterFx;
  std::unique_ptr<TDSPXDelay> DelayFx;
  std::unique_ptr<TDSPXPhaser> PhaserFx;
  std::unique_ptr<TDSPXEq> EqFx;
  std::array<TDSPStereoEffect*, kFxEffectCount> Effects{};
  std::array<TFxUnit, kFxEffectCount> Chain{};
  std::array<std::unique_ptr<TDSPOscillator>, kFxLfoCount> FxLfos;

  std::atomic<bool> FxOn{true};
  // Indexed by TFxUnit; only the six two-sided effects use theirs.
  std::array<std::int32_t, 8> ChannelModes{};
  // An order parameter changed inside the running batch.
  bool OrderDirty = false;
  // Order values the audio thread set while another thread held the values
  // right: written by that thread before it lets the right go. A flood
  // beyond the capacity within one hold is lost.
  static constexpr std::size_t kOrderWritesLeftCapacity = 256;
  TBoundedQueue<TOrderWrite> OrderWritesLeft{kOrderWritesLeftCapacity};
  std::atomic<bool> OrderWritesWaiting{false};
  // Left for the audio thread's next block (CatchUpOrder): the chain to
  // rebuild, and the turns whose editor control shows an old value.
  std::atomic<bool> ChainStale{false};
  std::atomic<std::uint32_t> OrderControlsStale{0};

  // FX map (FX index -> id) and reverse map (id -> FX index).
  std::array<std::int16_t, kFxParamCount> FxMap{};
  std::vector<std::int16_t> ReverseMap;
  bool FxMapAssigned = false;

  // Modulation, per target: base, accumulated modulation, active now, active
  // at the last update.
  std::array<float, kFxModTargetCount> Base{};
  std::array<float, kFxModTargetCount> Accum{};
  std::array<bool, kFxModTargetCount> Active{};
  std::array<bool, kFxModTargetCount> WasActive{};
  // The target each slot fed when its source or target last changed (0: none).
  std::array<std::int32_t, kFxModSlotCount + 1> SlotTarget{};
  bool ModWasOn = false;
  // The matrix switch and the slots that feed a target, in slot order, as
  // their parameters last set them: reread at the first update after one of
  // them changed or another program became current.
  struct TFxModSlot {
    std::int32_t Source = 0;  // 1..
    std::int32_t Target = 0;  // 1..kFxModTargetCount - 1
    float Amount = 0.0f;      // amplitude
  };
  void DecodeFxMatrix();
  std::array<TFxModSlot, kFxModSlotCount> FeedingSlots{};
  std::int32_t FeedingSlotCount = 0;
  // Their distinct targets in ascending order; settled once an update has
  // applied them and returned every other target to its base.
  std::array<std::int32_t, kFxModSlotCount> FedTargets{};
  std::int32_t FedTargetCount = 0;
  bool FedTargetsSettled = false;
  bool MatrixOn = false;
  std::int32_t MatrixProgram = -1;
  std::atomic<bool> FxMatrixDirty{true};

  // Samples since the last block with signal; the rack stops past IdleThreshold.
  std::int64_t IdleCount = 0;
  bool RackRunning = false;

  // Zeroed lines of the sizes the stopped rack's lines have, built where
  // prepared changes are, swapped in for them. Stale when the rack ran or
  // stopped again meanwhile; built for lines that changed size meanwhile
  // (a new reverb network), it asks again.
  class TFreshLinesChange final : public TPreparedChange {
   public:
    explicit TFreshLinesChange(TVoicerackGFXSynth& rack) : Rack(rack) {}
    bool TakeRequest() override;
    void Build() override;
    void Install() override;
    void Release() override;

   private:
    TVoicerackGFXSynth& Rack;
    std::uint64_t Wanted = 0;  // the rack's ClearWanted when taken
    std::size_t RunCount = 0;
    std::array<std::size_t, kMaxLineRuns> RunFloats{};
    // The fresh lines, then the ones they replaced.
    std::array<std::unique_ptr<float[]>, kMaxLineRuns> Built;
  };
  TFreshLinesChange FreshLines{*this};
  // The lines may hold what was played before the rack stopped.
  bool LinesToClear = false;
  // Grows at every stop (and when fresh lines came for sizes the lines no
  // longer have); ClearAsked is the value fresh lines were last asked for.
  std::uint64_t ClearWanted = 0;
  std::uint64_t ClearAsked = 0;
  std::uint64_t ZeroedInPlace = 0;
};
