// Per-voice 32-step control sequencer. Every synth voice owns two. Once per
// control block (one millisecond of samples, rate div 1000) the owner calls
// Tick: the sequencer advances its step clock in the host's tempo (or in
// milliseconds), by the block's true length in ticks at the sample rate, and
// carries the time run past a step's or a cycle's end into the next one, so
// the steps keep to the host's grid (each step change falls on the block
// whose start lies nearest its time); it leaves pitch, level, gate and
// cycle-envelope values for the voice's modulation matrix in its output
// fields, and fills OutBuffer with one gain value per sample for the voice's
// master gain:
//   gain = (level x level amount + 1) x (1 - (1 - gate) x gate amount),
// with gate and level ramped linearly across the block from the previous
// block's values and each weighted by (envelope amount x env + base), where env
// is the curved cycle envelope (delay, attack, peak, release, space). The owner
// may overwrite OutBuffer in place; the next Tick rewrites it.
//
// Threads: every setter, Update and the seed injection may be called from any
// thread; their caller holds its plug-in's lock, so a rebuild of the step records
// or the octave pattern never overlaps a Tick. Tick and Restart run on the
// audio thread inside the render loop, which holds its owner's lock; they take
// no lock themselves. Tick allocates nothing, and its per-sample loop makes no
// virtual call and no branch on a mode (the curve routine is a plain function
// pointer chosen when the curve index is set).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dsp/oscillators/curves.h"
#include "dsp/oscillators/random_source.h"
#include "framework/modules/dsp_control.h"

inline constexpr std::int32_t kSequencerSteps = 32;
// Step values with a meaning of their own: a rest plays no note, a tie holds
// the previous step's pitch and level.
inline constexpr std::int32_t kSequencerRest = -64;
inline constexpr std::int32_t kSequencerTie = 64;
// The longest octave pattern ("Up+Down+" and "Down+Up+" at the widest range
// have 4R + 2 entries) and the widest range that fits it.
inline constexpr std::int32_t kOctavePatternCapacity = 53;
inline constexpr std::int32_t kMaxOctaveRange = 12;
// The octave modes by number (programs store it, so none changes); the
// comments give OctaveModeNames. kOctaveModeRandom draws the octave at random
// at every step; modes above it play a flat pattern.
enum TOctaveMode : std::int32_t {
  kOctaveModeUp = 0,
  kOctaveModeDown = 1,
  kOctaveModeUpDown = 2,
  kOctaveModeDownUp = 3,
  kOctaveModeUpDownUp = 4,
  kOctaveModeDownUpDown = 5,      // "DwnUpDwn"
  kOctaveModeUpDownPlus = 6,      // "UpDown+"
  kOctaveModeDownUpPlus = 7,      // "DownUp+"
  kOctaveModeUpPlusDownPlus = 8,  // "Up+Down+"
  kOctaveModeDownPlusUpPlus = 9,  // "Down+Up+"
  kOctaveModeRandom = 10,         // "RND"
};
inline constexpr std::int32_t kMaxOctaveMode = 128;
// There are 120 ticks per quarter note: a 30-tick step is a sixteenth.
inline constexpr double kTicksPerQuarter = 120.0;

// Display names of the octave modes 0..10, for the mode parameter's value text.
extern const std::array<std::string_view, 11> OctaveModeNames;
// The octave-mode name list: OctaveModeNames[mode]; empty outside 0..10.
std::string GetOctaveModeName(std::int32_t mode);
// The pitch and level sources by number (stored in programs: none changes).
enum TSequencerSource : std::int32_t {
  kSeqSourceStepValue = 0,       // "Lvl"
  kSeqSourceOctaveOffset = 1,    // "Oct"
  kSeqSourceStepPlusOctave = 2,  // "Lvl+Oct"
  kSeqSourceNone = 3,            // "None"
};
// The names of the pitch and level sources: "Lvl", "Oct", "Lvl+Oct", "None";
// empty outside 0..3.
std::string GetLevelOctaveName(std::int32_t source);

// Uniform numbers for the random spacing and the "RND" octave mode (SplitMix64).
// Each sequencer has its own: voices never share generator state.
class TSequencerRandom {
 public:
  void Seed(std::uint64_t seed) { State = seed; }
  // Uniform in [0, 1), 24 random bits.
  float Next();

 private:
  std::uint64_t State = 0;
};

// One step. Times are in the sequencer's time unit (ticks or milliseconds).
struct TSeqStepRec {
  std::int32_t Note = 0;      // -64 rest, 64 tie, else the step's value (semitones)
  float GateOnLevel = 1.0f;   // gate level while the gate is open
  float GateOffLevel = 0.0f;  // after the gate closed (the on level before a tie)
  bool GateOpen = false;
  bool Rest = false;
  double GateTime = 0.0;   // how long the gate stays open
  double Duration = 30.0;  // the swung step length
  double GlideTime = 0.0;  // glide factor x duration
};

class TDSPSequencer : public TDSPControl {
 public:
  TDSPSequencer();

  // One control block: SamplesPerMs gain values into OutBuffer (when the
  // owner switched the work buffers on) and the per-block outputs below.
  void Tick() override;
  // Recomputes the tick length and every played step record and rebuilds the
  // octave pattern. The caller holds its plug-in's lock.
  void Update() override;
  // Starts the sequence again from step 0 (note starts). A fresh note (its
  // voice starts from silence) also starts its first block at step 0's gate
  // and level; a legato restart ramps there from the running values.
  // Audio thread.
  void Restart(bool freshNote = false);
  // Back where a new sequencer stands: step 0, clocks, cycle and values 0
  // (a sequencer that does not restart at note starts begins its pattern
  // anew). Settings and random stream stay. Audio thread.
  void Rest();
  // Goes on where `other` (a sequencer with the same settings) is: its
  // step, clocks, cycle, values and random draws. Audio thread.
  void ContinueFrom(const TDSPSequencer& other);
  void ReallocBuffers() override;

  // --- Setters that recompute (Update); each ignores an unchanged value
  // except SetStepNote.
  void SetGateOffLevel(float level);        // gate level after the gate closed, about -2..2
  void SetGateOnLevel(float level);         // gate level while open, about -2..2
  void SetGlideFactor(float factor);        // glide time as a fraction of the step, 0..1
  void SetStepCount(std::int32_t count);    // played steps, clamped to 1..32
  void SetOctaveRange(std::int32_t range);  // octaves, clamped to 0..12
  void SetOctaveMode(std::int32_t mode);    // 0..10 (OctaveModeNames), above: flat; clamped to 0..128
  void SetStepLength(float length);         // ticks or ms; 0.1 or less (and NaN) is stored as 0.1
  void SetGateLength(float fraction);       // gate time as a fraction of the step; 0.999 or more: whole step
  void SetStepNote(std::int32_t step, std::int32_t note);  // step 0..31 (others ignored), note clamped to -64..64
  void SetSwing(float swing);                              // 0..1 (clamped); 0.5 is straight
  void SetTempo(double bpm);                               // beats per minute; 0 or less: 0.001 ms per tick
  void SetTimeUnit(std::int32_t unit);                     // 1: ticks, anything else: milliseconds

  // --- Setters that only store.
  void SetPower(std::int32_t on);            // 0 off, else on
  void SetPitchSource(std::int32_t source);  // 0 step value, 1 octave, 2 both, else none
  void SetLevelSource(std::int32_t source);  // as SetPitchSource
  void SetResetOnNewNote(std::int32_t on);   // the voice restarts the sequence at note starts
  void SetAlwaysRetrigger(std::int32_t on);  // ... also on legato notes
  void SetStartDelay(float length);          // cycle envelope lengths, ticks or ms, >= 0
  void SetAttack(float length);
  void SetPeak(float length);  // the envelope holds 1 and cycles only when above 0.005
  void SetRelease(float length);
  void SetSpace(float length);
  void SetRandomSpacing(std::int32_t on);     // space x (random + 0.25) per cycle
  void SetCycles(float cycles);               // envelope cycles before the sequencer stops; 0 unlimited
  void SetOffStepGate(float level);           // gate level during a rest step
  void SetEnvelopeCurve(std::int32_t index);  // curve law applied to the cycle envelope, 0 linear
  void SetGateEnvAmount(float amount);        // -4..4
  void SetLevelEnvAmount(float amount);       // -4..4
  void SetPitchEnvAmount(float amount);       // -4..4
  void SetGateEnvBase(float base);            // -2..2
  void SetLevelEnvBase(float base);           // -2..2
  void SetPitchEnvBase(float base);           // -2..2
  void SetGateAmount(float amount);           // gate's share of the output gain
  void SetLevelAmount(float amount);          // level's share of the output gain
  // Accepted for the step-envelope parameters, which have no effect.
  void SetStepAttack(float) {}
  void SetStepDecay(float) {}
  void SetStepEnvMode(std::int32_t) {}
  void SetStepEnvType(std::int32_t) {}

  // Random source: each Restart reseeds from the next seed of a stream that
  // SetRandomSeed starts (and the first draws of the new stream follow at
  // once), so every note draws new numbers and the same notes from the same
  // seed draw the same ones. With a fixed seed every Restart draws the same
  // sequence (tests). Audio thread, or under its owner's lock.
  void SetRandomSeed(std::uint64_t seed);
  void SetFixedSeed(std::uint64_t seed);
  void ClearFixedSeed();

  // False: while the sequencer is switched off, Tick leaves OutBuffer as it
  // is (the ramp's state still follows), for an owner that reads the gains
  // only while the sequencer is on. True by default. Set before rendering.
  bool GainsWhileOff = true;

  // --- Reading the settings and the running state (audio thread or tests).
  bool Power() const { return PowerOn; }
  bool ResetOnNewNote() const { return ResetOnNew; }
  bool AlwaysRetrigger() const { return AlwaysRetrig; }
  double Tempo() const { return TempoBpm; }
  double MsPerTick() const { return MsPerTickValue; }
  // Clock units per millisecond: ticks per millisecond, or 1 in milliseconds.
  double TickFactor() const { return TickFactorValue; }
  // Clock units per control block: the block's length in ticks at the
  // sample rate (the host's tempo in real time), or 1 in milliseconds (a
  // millisecond is one control block).
  double UnitsPerBlock() const;
  std::int32_t StepCount() const { return Count; }
  float StepLength() const { return StepLengthValue; }
  std::int32_t StepIndex() const { return Index; }
  const TSeqStepRec& Step(std::int32_t k) const { return Steps[static_cast<std::size_t>(k & 31)]; }
  std::span<const std::int8_t> OctavePattern() const {
    return {Pattern.data(), static_cast<std::size_t>(PatternLength)};
  }
  std::int32_t OctavePatternPosition() const { return PatternPos; }
  float OctaveOffset() const { return OctaveOffsetValue; }  // semitones (octave x 12)
  float PitchValue() const { return Pitch; }
  float LevelValue() const { return Level; }
  float GateLevel() const { return Gate; }
  std::int32_t CycleCount() const { return CycleCountValue; }

  // --- Per-block outputs, rewritten by every Tick.
  float EnvOutput = 0.0f;                 // curved cycle envelope at the block's first sample
  float GateOutput = 0.0f;                // (gate env amount x env + base) x gate level
  float PitchOutput = 0.0f;               // (pitch env amount x env + base) x pitch value
  float LevelOutput = 0.0f;               // level value x (level env amount x env + base)
  float LevelScaledOutput = 0.0f;         // x = level / 63, times the level envelope factor
  float LevelScaledPlusOneOutput = 0.0f;  // (x + 1) times the factor
  float LevelScaledDoubleOutput = 0.0f;   // 2x times the factor
  // Modulation factors the voice control writes and applies to the outputs
  // it reads (level, gate, pitch); the sequencer only keeps them.
  float LevelFactor = 1.0f;
  float GateFactor = 1.0f;
  float PitchFactor = 1.0f;

 private:
  void Rebuild();
  // advance: clock units per block.
  void AdvanceStep(double advance);
  double SamplesPerUnit() const;
  void NewCycleSpace();
  // Step 0 with only its gate open, clocks, cycle count and pattern
  // position 0.
  void BackToStepZero();
  void StartCycleIfComplete();
  float NextOctaveOffset();
  float SourceValue(std::int32_t source, std::int32_t note) const;
  void EvaluateSources(const TSeqStepRec& step);
  void TickStopped(float* out, std::int32_t n);
  std::uint64_t NextSeed();
  // Under its owner's lock: store; or store a changed value and rebuild.
  template <typename T>
  void Store(T& field, T value);
  template <typename T>
  void StoreAndRebuild(T& field, T value);

  // Settings.
  bool PowerOn = true;
  std::int32_t TimeUnit = 1;
  double TempoBpm = 2.0;
  std::int32_t Count = 8;
  float StepLengthValue = 30.0f;
  float GateLength = 0.75f;
  float Swing = 0.0f;
  float GlideFactor = 0.01f;
  float GateOnLevel = 1.0f;
  float GateOffLevel = 0.0f;
  std::int32_t OctaveMode = 0;
  std::int32_t OctaveRange = 1;
  std::int32_t PitchSource = 0;
  std::int32_t LevelSource = 0;
  bool ResetOnNew = true;
  bool AlwaysRetrig = false;
  float StartDelay = 0.0f;
  float Attack = 0.0f;
  float Peak = 0.0f;
  float Release = 0.0f;
  float Space = 0.0f;
  bool RandomSpacing = false;
  float Cycles = 0.0f;
  float OffStepGate = 0.0f;
  TCurveFunction Curve = NullProc;
  float GateEnvAmount = 0.0f;
  float GateEnvBase = 0.0f;
  float LevelEnvAmount = 0.0f;
  float LevelEnvBase = 0.0f;
  float PitchEnvAmount = 0.0f;
  float PitchEnvBase = 0.0f;
  float GateAmount = 0.0f;
  float LevelAmount = 0.0f;
  bool HasFixedSeed = false;
  std::uint64_t FixedSeed = 0;
  std::uint64_t StreamSeed = TRandomSource::kDefaultSeed;
  std::uint64_t RestartCount = 0;  // seeds taken from the stream

  // Derived.
  double MsPerTickValue = 60000.0 / 2.0 / kTicksPerQuarter;
  double TickFactorValue = 1.0 / MsPerTickValue;
  std::array<TSeqStepRec, kSequencerSteps> Steps{};
  std::array<std::int8_t, kOctavePatternCapacity> Pattern{};
  std::int32_t PatternLength = 1;

  // Running state.
  std::int32_t Index = 0;
  double StepTime = 0.0;  // clock units since the current step started (below 0: it starts within half a block)
  double CycleClock = 0.0;
  double CycleSpace = 0.0;  // the space of the running cycle
  std::int32_t CycleCountValue = 0;
  std::int32_t PatternPos = 0;
  float OctaveOffsetValue = 0.0f;
  float Pitch = 0.0f, Level = 0.0f, Gate = 0.0f;
  float PrevPitch = 0.0f, PrevLevel = 0.0f;   // at the previous step (glide start)
  float BlockGate = 0.0f, BlockLevel = 0.0f;  // at the previous block (per-sample ramps)
  float LastGain = 1.0f;                      // the last sample written
  float LastEnv = 0.0f;                       // the raw envelope at the last sample
  std::int32_t BufferFloats = 0;              // length of OutBuffer as allocated
  TSequencerRandom Random;
};
