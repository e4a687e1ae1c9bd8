// Linear attack-decay-sustain-release envelope counted in samples, with a
// short fade when a running envelope is restarted, a gain ramp used by the
// voices' legato hand-over, and an optional logarithmic ("curved") output.
// The voices own two per voice; everything runs on the audio thread.
//
// A note starts when the gate turns positive (NoteOn or SetGate, which also
// set the output scale to the velocity) and the owner restarts the stage
// counter with Retrigger(0) after a non-zero position: a running envelope
// then fades from its level to 0 over 2 ms and attacks from 0. A gate of 0
// followed by Retrigger(0) releases: the level falls linearly from where the
// gate-off found it, over the release time, and Finished is set after.
#pragma once

#include <cstdint>

#include "dsp/oscillators/curves.h"
#include "framework/modules/dsp_control.h"

// 30000 floats of 512: what an unconnected time or sustain input reads
// (512 ms; a sustain of 512 is clamped to 1).
inline constexpr std::int32_t kEnvelopeInputLevelLength = 30000;
extern const float* const EnvelopeInputLevel;

class TDSPEnvelope : public TDSPControl {
 public:
  TDSPEnvelope();

  // gate > 0: clears Finished and takes the gate as output scale.
  virtual void ApplyGate();
  // Times in milliseconds (not clamped; 0 or less skips the stage), sustain
  // 0..1. Each stores and recomputes only when the value differs.
  virtual void SetAttack(float ms);
  virtual void SetDecay(float ms);
  virtual void SetSustain(float level);
  virtual void SetRelease(float ms);
  // Stores a different gate and applies it; does not restart the counter.
  virtual void SetGate(float value);
  void SetAttackRef(const float& ms) { SetAttack(ms); }
  void SetDecayRef(const float& ms) { SetDecay(ms); }
  void SetSustainRef(const float& level) { SetSustain(level); }
  void SetReleaseRef(const float& ms) { SetRelease(ms); }
  void SetGateRef(const float& value) { SetGate(value); }

  // TickCurved over the block into the output buffer.
  virtual void ProcessBlockCurved();
  // TickCurved, stored at CurrentSampleIndex.
  virtual void ProcessOneSampleCurved();
  // Input-reading runners (see TDSPADSR); nothing here.
  virtual void ProcessBlockInputs() {}
  virtual void ProcessOneSampleInputs() {}
  virtual void ProcessBlockInputsCurved() {}
  virtual void ProcessOneSampleInputsCurved() {}
  // Tick, then the output follows the curved law.
  virtual void TickCurved();

  // Tick per sample of the block into the output buffer; no input is read.
  void ProcessBlock() override;
  void ProcessBlockControl() override;
  // Tick, stored at CurrentSampleIndex.
  void ProcessOneSample() override;
  // Stage lengths in samples and their reciprocals.
  void Update() override;
  // A rate change rescales the stage lengths at once.
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  // Gate from a signal: acts only when the sign (above 0 or not) changes.
  // Restarts the counter; a rising gate starts the retrigger fade unless
  // FadeDisabled.
  void SetGateEdge(float value);
  // position: the note's age in samples. A change to 0 restarts the counter
  // and, with the gate on, starts the retrigger fade.
  void Retrigger(std::int32_t position);
  // Output scale and gate := the velocity (or the fixed one); no gate logic.
  void SetVelocity(float value);
  // Output scale := the velocity (or the fixed one), then SetGate with it.
  void NoteOn(float value);

  // -log10(0.9 (1 - level) + 0.1): 0 at level 0, 1 at level 1; 0 when the
  // argument is not above 0.
  static float CurvedLevel(float level);

  float FixedVelocity = 0;
  bool UseFixedVelocity = false;
  float ReciprocalAttack = 0;
  float ReciprocalDecay = 0;
  float ReciprocalRelease = 0;
  float Attack = 0;   // ms
  float Decay = 0;    // ms
  float Sustain = 0;  // 0..1
  float Release = 0;  // ms
  float Gate = 0;     // on above 0; its value is the velocity
  bool FadeActive = false;
  bool FadeDisabled = false;
  std::uint32_t FadeCounter = 0;
  std::uint32_t FadeLength = 0;
  float FadeStart = 0;
  bool RampActive = false;  // set only by the voices' legato hand-over
  std::uint32_t RampCounter = 0;
  std::uint32_t RampLength = 0;
  float AttackSamples = 0;
  float ReleaseSamples = 0;
  float DecaySamples = 0;
  float Level = 0;      // 0..1
  float HeldLevel = 0;  // last attack/decay/sustain level; release and fade start from it
  std::int32_t NotePosition = 0;
  std::int32_t Counter = 0;  // samples since the current stage sequence began
  bool Finished = false;
  float OutputScale = 0;
  float RampTarget = 0;
  // The attack's course: null rises linearly; otherwise the level at
  // attack fraction t (0..1) is AttackShape[round(t x kCurvePoints)] (see
  // CurveAttackShape: the owner's output law then gives an amplitude that
  // rises smoothly and never jumps its last decibels in a few samples).
  // Decay, sustain and release do not use it.
  const float* AttackShape = nullptr;

 protected:
  void StartFade();
  float ChosenVelocity(float value) const { return UseFixedVelocity ? FixedVelocity : value; }
};

class TDSPADSR final : public TDSPEnvelope {
 public:
  // One sample: the level, and the output := level * output scale.
  float Step();
  void Tick() override { Step(); }
  // One millisecond of outputs into buffer.
  void ProcessBuffer(float* buffer) override;
  // n outputs into buffer, as n Steps give them, each stage's run of
  // samples computed at once (four at a time, no call per sample); the
  // fade and the ramp of a restart go sample by sample.
  void Run(float* buffer, std::int32_t n);
  // The block forms first take gate (edge), attack, decay, sustain and
  // release from the first samples of inputs 0..4, then tick the block into
  // the output buffer; the one-sample forms take them only at sample index 0.
  void ProcessBlockInputs() override;
  void ProcessOneSampleInputs() override;
  void ProcessBlockInputsCurved() override;
  void ProcessOneSampleInputsCurved() override;

 private:
  void TakeInputs();
  // The runs of Run: the release, and the attack, decay and sustain of an
  // open gate without fade or ramp; each writes at most n outputs and
  // answers how many it wrote (at least one).
  std::int32_t RunRelease(float* out, std::int32_t n);
  std::int32_t RunGateOn(float* out, std::int32_t n);
};
