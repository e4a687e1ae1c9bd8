// The two envelopes of a sampler zone: timed stages (delay, attack, hold,
// decay, first sustain, rise, fall, second sustain) that end in a final hold
// at the sustain level, and a linear release from wherever the envelope was.
// Each stage is a routine; when the sample counter reaches the stage's end
// the routine installs the next stage and runs it in the same sample, so a
// stage of length 0 costs nothing. The stage routines come in sets chosen
// once per note by whether the curve table and the power curve are in use,
// so neither costs a call when it is off.
//
// The owner advances Counter by one after each sample. Threads: the audio
// thread only.
#pragma once

#include <cstdint>

#include "dsp/oscillators/curves.h"

struct TZoneEnvelope {
  using TRoutine = void (*)(TZoneEnvelope&);
  struct TStageSet {
    TRoutine Delay, Attack, Hold, Decay, Sustain1, Rise, Fall, Sustain2, Final, Release;
    // The final stage holds its value (no auto-release).
    bool FinalHolds;
  };
  enum : std::uint8_t { kRunning = 0, kReleasing = 1, kDone = 2 };

  // Runs the current stage for the sample at Counter.
  void Run() { Stage(*this); }
  // count samples as the owner runs them one by one (Run, read Value,
  // advance Counter by stride), the values into levels (the same bits): a
  // stage's run of samples at once, four at a time, then the table and the
  // curve over the run. The final hold (without auto-release) is taken in
  // one step: its value does not change.
  void RunSpan(float* levels, std::int32_t count, std::int32_t stride = 1);
  // RunSpan, except that a span wholly in a holding final stage leaves
  // levels alone and answers true: every level of it is Value.
  bool RunSpanOrHold(float* levels, std::int32_t count, std::int32_t stride = 1);
  // Chooses the stage routines: tableOn passes the linear value through
  // curve table 1, curve 1..8 raises it to the power curve + 1 (any other
  // value: no curve), autoRelease starts the release after the second
  // sustain instead of holding.
  void SelectStages(bool tableOn, std::int32_t curve, bool autoRelease);
  // Back to the first stage at the counter's position (the delay stage
  // hands over at once to the stage the counter lies in).
  void Restart() { Stage = Stages->Delay; }
  // Stage ends from the stage lengths; the hold and decay lengths are scaled
  // by 1 + keyOffset x the tracking amounts (a negative result counts as 0).
  void ComputeStageEnds(std::int32_t keyOffset, float holdTracking, float decayTracking);
  // From the running state only: the release falls linearly from the last
  // linear value over ReleaseLength samples.
  void StartRelease();
  // Finished: state done, no stage runs, the value keeps its last result.
  void End();

  TRoutine Stage;
  const TStageSet* Stages;
  TCurveFunction Table = NullProc;  // curve table 1 lookup (clamped)
  TCurveFunction Curve = NullProc;  // power curve
  TCurveRun TableRun = nullptr;     // the same over runs (null: none)
  TCurveRun CurveRun = nullptr;

  std::uint8_t State = kDone;
  std::int32_t Counter = 0;  // samples since the note start or the release
  float Value = 0;           // after table and curve: the level
  float Linear = 0;          // before them: the pitch modulation
  float ReleaseLevel = 0;    // the linear value the release starts from

  // Stage lengths in samples (>= 0) and their reciprocals (0 for length 0).
  std::int32_t DelayLength = 0, AttackLength = 0, HoldLength = 0, DecayLength = 0, Sustain1Length = 0, RiseLength = 0,
               FallLength = 0, Sustain2Length = 0, ReleaseLength = 0;
  float AttackSlope = 0, DecaySlope = 0, RiseSlope = 0, FallSlope = 0, ReleaseSlope = 0;
  // Stage ends (counter values), set per note.
  std::int32_t DelayEnd = 0, AttackEnd = 0, HoldEnd = 0, DecayEnd = 0, Sustain1End = 0, RiseEnd = 0, FallEnd = 0,
               Sustain2End = 0;
  float Sustain = 1.0f;  // 0..1 as stored
  float OneMinusSustain = 0.0f;

  TZoneEnvelope();
};

// A length in samples from milliseconds (negative: 0) and its reciprocal.
void SetStageLength(std::int32_t ms, std::int32_t samplesPerMs, std::int32_t& length, float* slope = nullptr);
