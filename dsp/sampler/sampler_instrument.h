// The sampler instrument: the sound source of a voice (each voice owns two).
// It plays one program of one bank of the sample store: every zone of the
// program whose key range holds the note sounds at once, each with its own
// play state (position, loop, two zone envelopes, two filters per channel,
// distortion, two shaper stages, three LFOs and position modulation).
//
// Use by a voice, on the audio thread, holding the owner's plug-in lock (the
// render loop holds it for the whole process call):
//   sampler.SetStore(&GlobalSampler());          // once
//   sampler.SetAudioSettings(&voiceSettings);    // block = one millisecond
//   sampler.SetProgram(bank, program);           // any thread; builds now
//   note on:  sampler.Start(); sampler.Level = velocity x voice level;
//             sampler.SetNote(note); sampler.PrepareNote();
//   legato:   sampler.LegatoStart(previousVoiceSampler); ... PrepareNote();
//   each block (one millisecond): sampler.SetPitch(pitch);
//             sampler.RenderBlock(); read sampler.Output() (interleaved
//             left/right, BlockSize frames); sampler.State == 2: finished
//   note off: sampler.Release();  voice reset: sampler.State = 2.
//
// Per-note decisions (loop, interpolation, stages, envelope curves, render
// routine) are made in PrepareNote and kept as routine pointers per zone;
// the per-sample loops call them without branching on a mode, allocating or
// locking. Zone objects are built when a program is set, never per note.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>

#include "dsp/oscillators/random_source.h"
#include "dsp/sampler/sample_interpolation.h"
#include "dsp/sampler/sampler.h"
#include "dsp/sampler/zone_envelope.h"
#include "framework/modules/dsp_control.h"

class TDSPDistortion1;
class TDSPMultiFilter;
class TDSPMultiShaper1;
class TDSPOscillator;
class TDSPSamplerInstr;
struct TZonePlayState;

// The zone-setting ids the editor names when it asks the voices to re-apply
// one setting of the zone record (ApplyZoneSettings). The editor sends them
// as numbers, so they never change; a number not listed does nothing.
enum TZoneSettingId : std::int32_t {
  kZoneSettingFirst = 53,
  kZoneTranspose = 53,  // with kZoneFineTune: the pitch offset
  kZoneEnv1Attack = 54,
  kZoneEnv1Decay = 55,
  kZoneEnv1Release = 57,
  kZoneFilter1Cutoff = 90,
  kZoneFilter1Resonance = 91,
  kZoneFilter1Type = 92,
  kZoneFilter1LfoAmount1 = 93,  // the four filter-1 LFO ids re-apply all three amounts and their range
  kZoneFilter1LfoAmount2 = 94,
  kZoneLfo1Waveform = 100,
  kZoneLfo1Rate = 101,
  kZoneLfo2Waveform = 115,
  kZoneLfo2Rate = 116,
  kZoneFilter2Cutoff = 120,
  kZoneFilter2Resonance = 121,
  kZoneFilter2LfoAmount1 = 122,  // as filter 1's
  kZoneFilter2LfoAmount2 = 123,
  kZoneDistortionMix = 124,
  kZoneDistortionHighThreshold = 125,
  kZoneDistortionLowThreshold = 126,
  kZoneDistortionHighLevel = 127,
  kZoneDistortionLowLevel = 128,
  kZoneShaper1Amount = 129,
  kZoneShaper2Amount = 130,
  kZoneShaper2Type = 131,
  kZoneLfo3Waveform = 135,
  kZoneLfo3Rate = 136,
  kZoneFilter1LfoAmount3 = 140,
  kZoneFilter2LfoAmount3 = 141,
  kZoneFilter1Param3 = 155,
  kZoneFilter2Param3 = 156,
  kZoneFilter2Type = 157,
  kZoneShaper1Type = 158,
  kZoneFineTune = 160,
  kZonePositionWaveform = 173,
  kZonePitchSweep = 182,
  kZonePitchRelease = 185,
  kZoneLegatoAttack = 187,
  kZoneLfo1Amount = 188,
  kZoneLfo2Amount = 189,
  kZoneLfo3Amount = 190,
  kZoneEnv2Attack = 197,
  kZoneEnv2Decay = 198,
  kZoneEnv2Release = 199,
  kZoneEnv1Sustain1 = 204,
  kZoneEnv1Sustain2 = 205,
  kZoneEnv1Rise = 206,
  kZoneEnv1Fall = 207,
  kZoneEnv2Sustain1 = 208,
  kZoneEnv2Sustain2 = 209,
  kZoneEnv2Rise = 210,
  kZoneEnv2Fall = 211,
  kZoneEnv1Delay = 220,
  kZoneEnv2Delay = 221,
  kZoneEnv1Hold = 222,
  kZoneEnv2Hold = 223,
  kZoneLfo1Delay = 230,
  kZoneLfo2Delay = 231,
  kZoneLfo3Delay = 232,
  kZoneFilter1LfoRange = 236,
  kZoneFilter2LfoRange = 237,
  kZoneEnv1PitchSemis = 238,  // with the cents: envelope 1's pitch amount
  kZoneEnv1PitchCents = 239,
  kZoneEnv2PitchSemis = 240,
  kZoneEnv2PitchCents = 241,
  kZonePitchTracking = 249,
  kZoneSettingLast = 249,
};

// A zone's block renderer: adds one block of the zone into the sampler's
// output.
using TZoneRender = void (*)(TDSPSamplerInstr& sampler, TZonePlayState& zone);
// A stage on the zone's working samples (filter, shaper or distortion).
using TZoneStage = void (*)(TZonePlayState& zone);
// Moves the zone's position by the position modulation.
using TZonePositionMove = void (*)(TZonePlayState& zone, const float depth[3]);

// The play state of one zone of the current program: its copy of the zone
// record, the sample it plays, what PrepareNote chose for the note, and the
// DSP objects its settings need (an object whose stage or LFO is off in the
// zone is not built).
struct TZonePlayState {
  TZonePlayState();
  ~TZonePlayState();
  TZonePlayState(const TZonePlayState&) = delete;
  TZonePlayState& operator=(const TZonePlayState&) = delete;

  enum : std::uint8_t { kPlaying = 0, kReleasing = 1, kFinished = 2 };

  TSampleZoneRec Zone{};
  const TSampleRec* Sample = nullptr;  // null: the zone never renders
  std::int32_t SampleRate = 0;         // Hz at which the root key plays
  std::int32_t Channels = 1;
  const std::int16_t* Data = nullptr;
  std::int32_t Frames = 0;

  // Chosen per note.
  TZoneRender Render;  // a renderer that only finishes the zone until then
  // Render takes a frame stride (every other frame at 2); without it the
  // sampler renders the zone in full and keeps every other frame.
  bool Strides = false;
  // The reads are cubic (their images are the weakest of the modes).
  bool CubicReads = false;
  TSampleInterpolator Interpolate = nullptr;
  // Filter 1, shaper stage 1, distortion, filter 2, shaper stage 2.
  TZoneStage Stages[5];
  TZonePositionMove PositionMove;
  std::uint8_t LoopMode = kLoopNone;  // 0..3, as resolved
  std::int32_t LoopStart = 0;         // frames
  std::int32_t LoopEnd = 0;           // frames, > LoopStart when looping
  double LoopLength = 0;              // LoopEnd - LoopStart (the frames without loop)
  std::int32_t RootKey = 60;
  double Ratio = 1.0;  // sample rate / host rate
  float Scale = 0;     // sample scale
  float LevelKeyTrack = 0;

  // Running.
  double Position = 0;   // frames
  double Increment = 0;  // frames per sample, finite and >= 0
  // The control update's pitch factor 2^(Semitones / 12), kept while the
  // pitch (semitones from the root) holds (NaN: none yet).
  float Semitones = std::numeric_limits<float>::quiet_NaN();
  double PitchFactor = 1.0;
  double Direction = 1;  // +1 or -1 (loop modes 2 and 3)
  std::uint8_t State = kFinished;
  std::int32_t ControlCounter = -1;  // samples since the control update; -1: due at once
  float GainL = 0, GainR = 0;        // zone level with pan, x the sampler's level
  float WorkL = 0, WorkR = 0;        // working samples
  float LfoValue[3] = {0, 0, 0};
  TZoneEnvelope Env1, Env2;
  // The inputs of the last control update when its results hold as long as
  // they do (no LFO or filter, no timed pitch stage under way, no release
  // to start): the sampler's pitch, the envelopes' pitch outputs, its
  // level and states; Settled[0] 0 for none. Every change of the zone's
  // settings, a start and a release forget them (Unsettle).
  std::array<std::uint32_t, 5> Settled{};
  void Unsettle() { Settled[0] = 0; }

  // Modulation envelope (position modulation), on envelope 1's counter.
  std::uint8_t ModState = 0;  // 0 running, 1 releasing, 2 done
  float ModValue = 0;
  float ModReleaseLevel = 0;
  std::int32_t ModAttack = 0, ModDecay = 0, ModRelease = 0;  // samples
  float ModAttackSlope = 0, ModDecaySlope = 0, ModReleaseSlope = 0;

  // Derived from the zone settings (ApplyZoneSettings).
  float PitchOffset = 0;  // semitones
  float PitchTracking = 1.0f;
  float Env1PitchAmount = 0, Env2PitchAmount = 0;                                // semitones at full level
  std::int32_t SweepLength = 0, PitchReleaseLength = 0, LegatoAttackLength = 0;  // samples
  float SweepRecip = 0, PitchReleaseRecip = 0, LegatoAttackRecip = 0;
  std::int32_t LfoDelay[3] = {0, 0, 0};  // samples
  float FilterLfoAmount[2][3] = {{0, 0, 0}, {0, 0, 0}};

  std::unique_ptr<TDSPMultiFilter> Filter1[2], Filter2[2];  // left, right
  std::unique_ptr<TDSPDistortion1> Distortion[2];
  std::unique_ptr<TDSPMultiShaper1> Shaper1[2], Shaper2[2];
  std::unique_ptr<TDSPOscillator> Lfo[3];
  std::unique_ptr<TDSPOscillator> PositionOsc;
};

class TDSPSamplerControl : public TDSPControl {
 public:
  enum : std::uint8_t { kPlaying = 0, kReleased = 1, kFinished = 2 };

  TDSPSamplerControl();
  ~TDSPSamplerControl() override;

  // Frees the note's zone play states (nothing here).
  virtual void ResetNote() {}
  // Stores the bank and program (0..127 each) to play. Any thread.
  virtual void SetProgram(std::int32_t bank, std::int32_t program);
  // Builds the play states of a program (nothing here).
  virtual void LoadProgram(std::int32_t /*bank*/, std::int32_t /*program*/) {}
  // One block (Settings->BlockSize frames) into Output() (nothing here).
  virtual void RenderBlock() {}
  // A legato note: continues the previous voice's sampler's phrase.
  virtual void LegatoStart(TDSPSamplerControl& previous);
  // A new note: phrase time 0, zones to be started, state playing.
  virtual void Start();
  // At each note start, after SetNote: time since start 0, note offset.
  virtual void PrepareNote();
  // Re-applies the zone setting `id` (a TZoneSettingId) to every zone play state.
  virtual void ApplyZoneSettings(std::int32_t /*id*/) {}
  // The seed the zones' noise LFOs draw from (each zone and LFO at its own
  // place), kept for programs loaded later. Any thread; the zones of the
  // current program restart their draws only on the audio thread or under
  // its owner's lock.
  virtual void SetRandomSeed(std::uint64_t seed) { RandomSeed.store(seed, std::memory_order_relaxed); }

  // The voice's note-off: release time 0, release flag clear, released.
  void Release();
  void SetInterpolation(std::int32_t mode) { Interpolation.store(mode, std::memory_order_relaxed); }
  std::int32_t GetInterpolation() const { return Interpolation.load(std::memory_order_relaxed); }
  void SetNote(std::int32_t note) { Note = note; }
  void SetPitch(float pitch) { Pitch = pitch; }
  void SetStore(TSampler* store) { Store.store(store, std::memory_order_release); }
  TSampler* GetStore() const { return Store.load(std::memory_order_acquire); }
  std::int32_t GetBank() const { return Bank.load(std::memory_order_relaxed); }
  std::int32_t GetProgram() const { return Program.load(std::memory_order_relaxed); }

  // The output buffer: interleaved left/right, BlockSize frames of the last
  // RenderBlock (16 spare frames after them).
  const float* Output() const { return OutputBuffer.get(); }

  // The buffer follows the block size.
  void ReallocBuffers() override;
  void ReleaseBuffers() override;

  // Fields the voice reads and writes on the audio thread.
  float Pitch = 60.0f;              // semitones, from the voice's control update
  std::int32_t Note = 60;           // MIDI note
  std::int32_t TimeSinceStart = 0;  // samples
  std::int32_t PhraseTime = 0;      // samples since the legato phrase began
  std::int32_t ReleaseTime = 0;     // samples since the release
  bool Playing = false;             // the program has zones
  std::uint8_t State = kFinished;
  bool Started = false;         // the zones were started for this note
  float Level = 1.0f;           // velocity x voice level
  std::int32_t NoteOffset = 0;  // note - 60
  bool ReleaseFlag = false;     // the zones took the release
  // The pitch the legato pitch attack glides from: the previous voice's
  // sampler pitch at a legato start; 0 otherwise (no glide).
  float LegatoStartPitch = 0;
  bool LegatoGlide = false;

 protected:
  // Block counters grow by `frames` and stop short of overflowing.
  void AdvanceTimes(std::int32_t frames);

  std::atomic<std::int32_t> Interpolation{1};
  std::atomic<std::int32_t> Bank{0};
  std::atomic<std::int32_t> Program{0};
  std::atomic<TSampler*> Store{nullptr};
  std::atomic<std::uint64_t> RandomSeed{TRandomSource::kDefaultSeed};
  std::unique_ptr<float[]> OutputBuffer;
};

class TDSPSamplerInstr : public TDSPSamplerControl {
  struct TZoneSet;

 public:
  // A program's play states made ahead of their use (PrepareZones).
  struct TZoneSetDeleter {
    void operator()(TZoneSet* set) const;
  };
  using TPreparedZones = std::unique_ptr<TZoneSet, TZoneSetDeleter>;

  TDSPSamplerInstr();
  ~TDSPSamplerInstr() override;

  // The two halves of SetProgram for an owner that builds outside its lock:
  // PrepareZones makes the play states of (bank, program) for this
  // sampler's settings without the owner's lock (it reads the store under
  // the store's own lock), null when the sampler holds them already;
  // InstallZones (owner's lock) makes them the sampler's program, as
  // SetProgram would, and answers the ones they replaced, to be freed
  // outside the lock.
  TPreparedZones PrepareZones(std::int32_t bank, std::int32_t program);
  TPreparedZones InstallZones(std::int32_t bank, std::int32_t program, TPreparedZones zones);

  // Builds the play states of the program from the store (outside the
  // owner's lock, reading the store under it) and installs them under the
  // lock; a sounding note moves to the new zones at the next block. Any
  // thread; the same program of an unchanged bank keeps its play states.
  void SetProgram(std::int32_t bank, std::int32_t program) override;
  // The same build and installation (SetProgram's work).
  void LoadProgram(std::int32_t bank, std::int32_t program) override;
  // Frees the play states (the program then has no zones). Global lock.
  void ResetNote() override;
  // The audio thread, under its owner's lock.
  void RenderBlock() override;
  // The start of RenderBlock without the rendering: the zones of a new
  // program or note are prepared and started and take their first control
  // update, so ImagePitch speaks for this block. RenderBlock calls it when
  // the owner has not.
  void BeginBlock();
  // The highest pitch (semitones, a MIDI note number) a sounding zone played
  // at its last control update: what decides whether the images its reads
  // leave are strong enough to matter where they fold. +infinity when a
  // sounding zone renders per-sample stages or reads other than cubically
  // (images fold at every pitch), -infinity when no zone sounds.
  float ImagePitch() const;
  // Frames per output frame of the next RenderBlocks: 1, or 2 for every
  // other frame (BlockSize / 2 frames into Output(), each zone's timing,
  // envelopes and control updates unchanged; BlockSize must be even). A
  // stride of 2 is plain decimation: the owner chooses it only where the
  // images of the reads do not fold audibly.
  void SetFrameStride(std::int32_t stride) { Stride = stride == 2 && Settings->BlockSize % 2 == 0 ? 2 : 1; }
  std::int32_t FrameStride() const { return RenderStride; }
  void LegatoStart(TDSPSamplerControl& previous) override;
  void PrepareNote() override;
  // Under its owner's lock (a type change rebuilds a filter, shaper or LFO).
  void ApplyZoneSettings(std::int32_t id) override;
  void SetRandomSeed(std::uint64_t seed) override;
  // Filters, distortions and shapers follow the settings; the LFOs run at
  // the control rate. Under its owner's lock.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  void ReallocBuffers() override;
  void ReleaseBuffers() override;

  // The zone control update (once per millisecond of samples): pitch and
  // playback increment, level and pan, LFOs, the release of the zones and
  // the filter cutoffs. Called by the zone renderers. The same inputs as a
  // last update whose results hold: those results.
  void UpdateZoneControl(TZonePlayState& zone) {
    const TZoneControlInputs inputs = ZoneControlInputs(zone);
    if (inputs == zone.Settled && KeepSettledZones) {
      zone.ControlCounter = 0;
      return;
    }
    UpdateZoneControl(zone, inputs);
  }
  // Whether an update whose inputs are those of a zone's last one whose
  // results hold (TZonePlayState::Settled) keeps those results: the same
  // output either way (the tests compare the two).
  bool KeepSettledZones = true;
  // Where the zone being rendered adds its frames (its stride is
  // FrameStride), cleared first where no zone of the block wrote yet.
  float* MutableOutput() {
    if (TargetFresh) ClearTarget();
    return RenderTarget;
  }
  // The same for a renderer that writes every frame of the block: fresh
  // tells whether no zone wrote yet (then it stores instead of adding, and
  // clears what it leaves).
  float* MutableOutput(bool& fresh) {
    fresh = TargetFresh;
    TargetFresh = false;
    return RenderTarget;
  }

  // The current program's play states (tests and the voice's display).
  std::int32_t ZoneCount() const;
  TZonePlayState& Zone(std::int32_t index);

 private:
  // The store's program as play states with their objects (allocates;
  // reads the store under its owner's lock).
  TPreparedZones BuildZoneSet(std::int32_t bank, std::int32_t program, std::uint64_t ticket);
  // True when the sampler plays (bank, program) of its store as it is now.
  bool HoldsProgram(std::int32_t bank, std::int32_t program) const;
  // Under the lock: settings and stage lengths for this sampler's record.
  void AdoptZoneSet(TZoneSet& set);
  // Under the lock: rebuilds stale play states (the bank changed in the
  // store) and prepares newly installed ones for a sounding note.
  void RefreshZones();
  void PrepareZone(TZonePlayState& zone);
  void StartZones();
  void ReleaseZones();
  void ApplyTimeSettings(TZonePlayState& zone);

  using TZoneControlInputs = std::array<std::uint32_t, 5>;
  // What a zone's control update reads that may change while its results
  // hold: the states, the pitch, the envelopes' pitch outputs and the level.
  TZoneControlInputs ZoneControlInputs(const TZonePlayState& z) const {
    return {1u | static_cast<std::uint32_t>(State) << 1 | static_cast<std::uint32_t>(ReleaseFlag) << 9 |
                static_cast<std::uint32_t>(z.State) << 10,
            std::bit_cast<std::uint32_t>(Pitch), std::bit_cast<std::uint32_t>(z.Env1.Linear),
            std::bit_cast<std::uint32_t>(z.Env2.Linear), std::bit_cast<std::uint32_t>(Level)};
  }
  void UpdateZoneControl(TZonePlayState& zone, const TZoneControlInputs& inputs);
  // RenderBlock of a zone whose renderer has no stride, at stride 2: the
  // zone in full into FullBuffer, then every other frame into the output.
  void RenderEveryOther(TZonePlayState& zone);
  void ClearTarget();

  TPreparedZones Zones;
  bool ZonesNeedPrepare = false;
  bool NotePrepared = false;
  bool BlockBegun = false;
  std::int32_t Stride = 1;
  // The zone renderers' target and stride.
  float* RenderTarget = nullptr;
  // Whether RenderTarget holds nothing of this block yet (RenderBlock
  // clears it only where no zone wrote), and its floats.
  bool TargetFresh = false;
  std::int32_t TargetFloats = 0;
  std::int32_t RenderStride = 1;
  std::unique_ptr<float[]> FullBuffer;  // a block at stride 1 (RenderEveryOther)
  std::atomic<std::uint64_t> NextTicket{1};
};

// The zone renderers and their choice (the render routines of a zone).
void RenderZoneLoop(TDSPSamplerInstr& sampler, TZonePlayState& zone);
void RenderZoneLoopLinearMono(TDSPSamplerInstr& sampler, TZonePlayState& zone);
void RenderZoneLoopCubicMono(TDSPSamplerInstr& sampler, TZonePlayState& zone);
void RenderZoneLoopLinearMonoEnv2(TDSPSamplerInstr& sampler, TZonePlayState& zone);
void RenderZoneOneShot(TDSPSamplerInstr& sampler, TZonePlayState& zone);
void RenderZoneOneShotLinearMono(TDSPSamplerInstr& sampler, TZonePlayState& zone);
void RenderZoneOneShotCubicMono(TDSPSamplerInstr& sampler, TZonePlayState& zone);
// The general renderer for the zone's loop mode (0..3) and modulation
// envelope: serves every zone.
TZoneRender RenderZoneGeneral(std::uint8_t loopMode, bool modulationEnvelope);
// The position move of a position-modulation mode (0..3; others: none).
TZonePositionMove SelectPositionMove(std::uint8_t mode);
// The renderer PrepareNote gives a zone whose loop mode, sample and stage
// routines are set, for the interpolation mode.
TZoneRender SelectZoneRender(const TZonePlayState& zone, std::int32_t interpolation);
// True for the renderers that take the sampler's frame stride.
bool RenderTakesStride(TZoneRender render);
