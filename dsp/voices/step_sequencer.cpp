#include "dsp/voices/step_sequencer.h"

#include <algorithm>
#include <cmath>

#include "framework/core/name_lists.h"

const std::array<std::string_view, 11> OctaveModeNames = {
    "Up", "Down", "UpDown", "DownUp", "UpDownUp", "DwnUpDwn", "UpDown+", "DownUp+", "Up+Down+", "Down+Up+", "RND"};

std::string GetOctaveModeName(std::int32_t mode) {
  if (mode < 0 || mode >= static_cast<std::int32_t>(OctaveModeNames.size())) return {};
  return std::string(OctaveModeNames[static_cast<std::size_t>(mode)]);
}

std::string GetLevelOctaveName(std::int32_t source) { return GetSequencerTargetModeName(source); }

float TSequencerRandom::Next() {
  State += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = State;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<float>(z >> 40) * 0x1p-24f;
}

namespace {

// Clock comparisons allow for the rounding of a sum of per-block increments:
// 125 blocks of 0.24 ticks must reach a 30-tick step.
constexpr double kClockTolerance = 1e-9;
bool Reached(double time, double target) { return time + kClockTolerance >= target; }

// Clamps with NaN going to the low end.
float ClampOrLow(float v, float lo, float hi) {
  if (!(v >= lo)) return lo;
  return v > hi ? hi : v;
}

// A NaN amount counts as 0, which lies inside every amount's range.
float ClampAmount(float v, float limit) {
  if (std::isnan(v)) return 0.0f;
  return std::clamp(v, -limit, limit);
}

// Fills pattern with the octave numbers of a mode at range r (0..12) and
// answers the count (at most 4r + 2 = 50 entries).
std::int32_t BuildOctavePattern(std::array<std::int8_t, kOctavePatternCapacity>& pattern, std::int32_t mode,
                                std::int32_t r) {
  std::int32_t n = 0;
  auto up = [&](std::int32_t from, std::int32_t to) {
    for (std::int32_t v = from; v <= to; ++v) pattern[static_cast<std::size_t>(n++)] = static_cast<std::int8_t>(v);
  };
  auto down = [&](std::int32_t from, std::int32_t to) {
    for (std::int32_t v = from; v >= to; --v) pattern[static_cast<std::size_t>(n++)] = static_cast<std::int8_t>(v);
  };
  const bool inner = r > 1;  // the turning runs exist only above range 1
  switch (mode) {
    case kOctaveModeUp:
      up(0, r);
      break;
    case kOctaveModeDown:
      down(0, -r);
      break;
    case kOctaveModeUpDown:
      up(0, r);
      if (inner) down(r - 1, 1);
      break;
    case kOctaveModeDownUp:
      down(r, 0);
      if (inner) up(1, r - 1);
      break;
    case kOctaveModeUpDownUp:
      up(0, r);
      if (inner) down(r - 1, 1);
      up(0, r);
      break;
    case kOctaveModeDownUpDown:
      down(r, 0);
      if (inner) up(1, r - 1);
      down(r, 0);
      break;
    case kOctaveModeUpDownPlus:
      up(0, r);
      if (inner) {
        down(r - 1, 0);
        down(r, 0);
      }
      break;
    case kOctaveModeDownUpPlus:
      down(r, 0);
      if (inner) up(1, r - 1);
      up(0, r);
      break;
    case kOctaveModeUpPlusDownPlus:
      // Up twice, then down twice: the mirror image of "Down+Up+", so both
      // stay within 0..r and have the same length.
      up(0, r);
      up(0, r);
      if (inner) down(r - 1, 1);
      down(r, 0);
      break;
    case kOctaveModeDownPlusUpPlus:
      down(r, 0);
      down(r, 0);
      if (inner) up(1, r - 1);
      up(0, r);
      break;
    case kOctaveModeRandom:
      pattern[static_cast<std::size_t>(n++)] = 0;
      break;
    default:
      for (std::int32_t i = 0; i <= r; ++i) pattern[static_cast<std::size_t>(n++)] = 0;
      break;
  }
  return n;
}

float ClampUnit(float x) { return std::min(std::max(x, 0.0f), 1.0f); }

}  // namespace

TDSPSequencer::TDSPSequencer() {
  // Not shared yet: no lock needed.
  Rebuild();
  Random.Seed(NextSeed());
  Steps[0].GateOpen = true;
  OctaveOffsetValue = NextOctaveOffset();
}

void TDSPSequencer::ReallocBuffers() {
  TDSPControl::ReallocBuffers();
  BufferFloats = OutBuffer != nullptr ? Settings->BufferLength : 0;
}

void TDSPSequencer::Update() { Rebuild(); }

void TDSPSequencer::Rebuild() {
  MsPerTickValue = TempoBpm > 0 ? 60000.0 / TempoBpm / kTicksPerQuarter : 0.001;
  TickFactorValue = TimeUnit == 1 ? 1.0 / MsPerTickValue : 1.0;
  const double length = StepLengthValue;
  const double swing = Swing;
  for (std::int32_t k = 0; k < Count; ++k) {
    TSeqStepRec& step = Steps[static_cast<std::size_t>(k)];
    const bool even = (k & 1) == 0;
    step.Rest = step.Note == kSequencerRest;
    step.GateOffLevel = GateOffLevel;
    step.GateOnLevel = GateOnLevel;
    step.GlideTime = GlideFactor * length;
    // Every step follows the step length and swing, rests and steps before a
    // tie included: a duration kept from an earlier setting would put the
    // sequence out of time.
    const double swung = (even ? 2.0 * swing : 2.0 * (1.0 - swing)) * length;
    step.Duration = swung;
    if (step.Rest) {
      step.GateTime = length;
      continue;
    }
    // The next played step, skipping rests; back at k when all others rest.
    std::int32_t next = k;
    do {
      next = next + 1 >= Count ? 0 : next + 1;
    } while (next != k && Steps[static_cast<std::size_t>(next)].Note == kSequencerRest);
    if (Steps[static_cast<std::size_t>(next)].Note == kSequencerTie) {
      // Held into the tie: the gate stays at its on level.
      step.GateTime = length;
      step.GateOffLevel = step.GateOnLevel;
      continue;
    }
    step.GlideTime = GlideFactor * swung;
    if (GateLength >= 0.999f) {
      step.GateTime = swung;
    } else {
      double gate = swung * GateLength * (even ? 0.5 + swing : 1.5 - swing);
      gate = std::min(gate, swung);
      step.GateTime = gate < 0.001 ? 0.001 : gate;
    }
  }
  PatternLength = BuildOctavePattern(Pattern, OctaveMode, OctaveRange);
}

std::uint64_t TDSPSequencer::NextSeed() {
  if (HasFixedSeed) return FixedSeed;
  // Each restart takes the next seed of the sequencer's own stream: every
  // note draws new numbers, and the same notes draw the same ones.
  return MixSeed(StreamSeed, RestartCount++);
}

float TDSPSequencer::NextOctaveOffset() {
  if (OctaveMode == kOctaveModeRandom) {
    if (OctaveRange < 1) return 0.0f;
    const auto octave = static_cast<std::int32_t>(Random.Next() * static_cast<float>(OctaveRange + 1));
    return static_cast<float>(octave * 12);
  }
  return static_cast<float>(Pattern[static_cast<std::size_t>(PatternPos)] * 12);
}

void TDSPSequencer::NewCycleSpace() {
  if (Space > 0.001f) {
    CycleSpace = RandomSpacing ? Space * (Random.Next() + 0.25) : Space;
  } else {
    CycleSpace = 0.0;
  }
}

float TDSPSequencer::SourceValue(std::int32_t source, std::int32_t note) const {
  // The rest and tie markers are no values: they count as 0.
  const float value = note == kSequencerRest || note == kSequencerTie ? 0.0f : static_cast<float>(note);
  switch (source) {
    case kSeqSourceStepValue:
      return value;
    case kSeqSourceOctaveOffset:
      return OctaveOffsetValue;
    case kSeqSourceStepPlusOctave:
      return value + OctaveOffsetValue;
    default:
      return 0.0f;
  }
}

void TDSPSequencer::EvaluateSources(const TSeqStepRec& step) {
  Pitch = SourceValue(PitchSource, step.Note);
  Level = SourceValue(LevelSource, step.Note);
}

void TDSPSequencer::BackToStepZero() {
  CycleClock = StepTime = 0.0;
  CycleCountValue = 0;
  PatternPos = 0;
  Index = 0;
  for (TSeqStepRec& step : Steps) step.GateOpen = false;
  Steps[0].GateOpen = true;
}

void TDSPSequencer::Restart(bool freshNote) {
  Random.Seed(NextSeed());
  NewCycleSpace();
  BackToStepZero();
  OctaveOffsetValue = NextOctaveOffset();
  // The note starts on step 0's values, with no glide into them.
  EvaluateSources(Steps[0]);
  PrevPitch = Pitch;
  PrevLevel = Level;
  if (freshNote) {
    // Nor does its first block ramp from where the previous note left the
    // gate and level: a rest on step 0 would sound for a millisecond.
    BlockGate = Steps[0].Rest ? OffStepGate : Steps[0].GateOnLevel;
    BlockLevel = Level;
  }
}

void TDSPSequencer::Rest() {
  BackToStepZero();
  CycleSpace = 0.0;
  OctaveOffsetValue = static_cast<float>(Pattern[0] * 12);
  Pitch = Level = Gate = PrevPitch = PrevLevel = BlockGate = BlockLevel = LastEnv = 0.0f;
  LastGain = 1.0f;
}

void TDSPSequencer::ContinueFrom(const TDSPSequencer& other) {
  for (std::size_t k = 0; k < Steps.size(); ++k) Steps[k].GateOpen = other.Steps[k].GateOpen;
  StreamSeed = other.StreamSeed;
  RestartCount = other.RestartCount;
  Index = other.Index;
  StepTime = other.StepTime;
  CycleClock = other.CycleClock;
  CycleSpace = other.CycleSpace;
  CycleCountValue = other.CycleCountValue;
  PatternPos = other.PatternPos;
  OctaveOffsetValue = other.OctaveOffsetValue;
  Pitch = other.Pitch;
  Level = other.Level;
  Gate = other.Gate;
  PrevPitch = other.PrevPitch;
  PrevLevel = other.PrevLevel;
  BlockGate = other.BlockGate;
  BlockLevel = other.BlockLevel;
  LastGain = other.LastGain;
  LastEnv = other.LastEnv;
  Random = other.Random;
}

double TDSPSequencer::SamplesPerUnit() const {
  // Ticks follow the host's tempo in real time; a millisecond is one control
  // block, as everything else the voices count in milliseconds.
  if (TimeUnit == 1) return MsPerTickValue * 0.001 * static_cast<double>(Settings->SampleRate);
  return Settings->SamplesPerMs;
}

double TDSPSequencer::UnitsPerBlock() const { return static_cast<double>(Settings->SamplesPerMs) / SamplesPerUnit(); }

void TDSPSequencer::AdvanceStep(double advance) {
  PrevPitch = Pitch;
  PrevLevel = Level;
  const double ended = Steps[static_cast<std::size_t>(Index)].Duration;
  Steps[static_cast<std::size_t>(Index)].GateOpen = false;
  // ">=": a step count lowered while running wraps at once instead of
  // running past the played steps.
  Index = Index + 1 >= Count ? 0 : Index + 1;
  Steps[static_cast<std::size_t>(Index)].GateOpen = true;
  // The time run past the step's end (or still to run, up to half a block)
  // belongs to the next step, so the steps keep to the clock however the
  // blocks fall. A step shorter than what is carried into it still gets its
  // block.
  StepTime = std::clamp(StepTime - ended, -advance, Steps[static_cast<std::size_t>(Index)].Duration);
  PatternPos = PatternPos + 1 >= PatternLength ? 0 : PatternPos + 1;
  OctaveOffsetValue = NextOctaveOffset();
}

void TDSPSequencer::StartCycleIfComplete() {
  if (Peak < 0.005f) return;
  const double cycle = static_cast<double>(StartDelay) + Attack + Peak + Release + CycleSpace;
  if (!Reached(CycleClock, cycle)) return;
  ++CycleCountValue;
  // Carried as the step clock is; a cycle shorter than a block restarts.
  CycleClock -= cycle;
  if (!(CycleClock < cycle)) CycleClock = 0.0;
  NewCycleSpace();
}

void TDSPSequencer::TickStopped(float* out, std::int32_t n) {
  // Ramp to the gain of an open gate at level 0, then rest there.
  const float target = 1.0f - (1.0f - GateOnLevel) * GateAmount;
  const float invN = 1.0f / static_cast<float>(Settings->SamplesPerMs);
  if (!PowerOn && !GainsWhileOff) n = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i) * invN;
    out[i] = (1.0f - t) * LastGain + t * target;
  }
  LastGain = target;
  Gate = GateOnLevel;
  BlockGate = GateOnLevel;
  BlockLevel = 0.0f;
  LastEnv = 0.0f;
  EnvOutput = 0.0f;
  GateOutput = GateEnvBase * GateOnLevel;
  PitchOutput = 0.0f;
  LevelOutput = 0.0f;
  LevelScaledOutput = 0.0f;
  LevelScaledPlusOneOutput = LevelEnvBase;
  LevelScaledDoubleOutput = 0.0f;
}

void TDSPSequencer::Tick() {
  const std::int32_t block = Settings->SamplesPerMs;
  float* out = OutBuffer;
  const std::int32_t n = out != nullptr ? std::min(block, BufferFloats) : 0;
  if (!PowerOn || (Cycles != 0.0f && static_cast<float>(CycleCountValue) >= Cycles)) {
    TickStopped(out, n);
    return;
  }

  // 1. Pitch, level and gate of the current step.
  TSeqStepRec& step = Steps[static_cast<std::size_t>(Index)];
  if (step.Rest) {
    Gate = OffStepGate;
  } else {
    if (step.Note != kSequencerTie) {
      const float pitch = SourceValue(PitchSource, step.Note);
      const float level = SourceValue(LevelSource, step.Note);
      // A step that starts within this block has not started gliding yet.
      const double into = std::max(StepTime, 0.0);
      if (GlideFactor > 0.0f && into < step.GlideTime) {
        const auto f = static_cast<float>(into / step.GlideTime);
        Pitch = PrevPitch + (pitch - PrevPitch) * f;
        Level = PrevLevel + (level - PrevLevel) * f;
      } else {
        Pitch = pitch;
        Level = level;
      }
    }
    Gate = step.GateOpen ? step.GateOnLevel : step.GateOffLevel;
  }

  // 2. The cycle envelope over this block as a straight line env(i) = a + b i,
  // from the cycle clock at the block's start.
  const double unitSamples = SamplesPerUnit();
  const float invBlock = 1.0f / static_cast<float>(block);
  float a = LastEnv, b = 0.0f;  // past the cycle's end: hold
  double p = CycleClock;
  bool zero = false;
  if (p < StartDelay) {
    zero = true;
  } else if ((p -= StartDelay) < Attack) {
    const double length = Attack * unitSamples;
    a = static_cast<float>(p * unitSamples / length);
    b = static_cast<float>(1.0 / length);
  } else if ((p -= Attack) < Peak) {
    if (Peak > 0.005f) a = 1.0f;
  } else if ((p -= Peak) < Release) {
    const double length = Release * unitSamples;
    a = static_cast<float>(1.0 - p * unitSamples / length);
    b = static_cast<float>(-1.0 / length);
  } else if ((p -= Release) < CycleSpace) {
    zero = true;
  }
  if (zero) {
    // Silent stretches (delay, space) fall from the last value to 0 within
    // one block instead of jumping.
    a = LastEnv * (1.0f - invBlock);
    b = -LastEnv * invBlock;
  }
  const float lastEnv = ClampUnit(a + b * static_cast<float>(block - 1));
  LastEnv = zero ? 0.0f : lastEnv;

  // 3. The per-sample gain.
  const TCurveFunction curve = Curve;
  const float g0 = BlockGate, g1 = Gate, l0 = BlockLevel, l1 = Level;
  const float gateEnvAmount = GateEnvAmount, gateEnvBase = GateEnvBase;
  const float levelEnvAmount = LevelEnvAmount, levelEnvBase = LevelEnvBase;
  const float gateAmount = GateAmount, levelAmount = LevelAmount;
  auto gain = [&](std::int32_t i) {
    const float t = static_cast<float>(i) * invBlock;
    float e = ClampUnit(a + b * static_cast<float>(i));
    curve(e);
    const float gate = ((1.0f - t) * g0 + t * g1) * (gateEnvAmount * e + gateEnvBase);
    const float level = ((1.0f - t) * l0 + t * l1) * (levelEnvAmount * e + levelEnvBase);
    return (level * levelAmount + 1.0f) * (1.0f - (1.0f - gate) * gateAmount);
  };
  for (std::int32_t i = 0; i < n; ++i) out[i] = gain(i);
  LastGain = gain(block - 1);
  BlockGate = Gate;
  BlockLevel = Level;

  // 4. The outputs for the modulation matrix.
  float env = ClampUnit(a);
  curve(env);
  EnvOutput = env;
  GateOutput = (GateEnvAmount * env + GateEnvBase) * Gate;
  PitchOutput = (PitchEnvAmount * env + PitchEnvBase) * Pitch;
  const float levelFactor = LevelEnvAmount * env + LevelEnvBase;
  LevelOutput = Level * levelFactor;
  const float scaled = Level * (1.0f / 63.0f);
  LevelScaledOutput = scaled * levelFactor;
  LevelScaledPlusOneOutput = (scaled + 1.0f) * levelFactor;
  LevelScaledDoubleOutput = 2.0f * scaled * levelFactor;

  // 5. The clocks, by the block's length in clock units. A gate closes and a
  // step ends from the block whose start lies nearest their time.
  const double advance = static_cast<double>(block) / unitSamples;
  StepTime += advance;
  const double nearest = StepTime + 0.5 * advance;
  if (Reached(nearest, step.GateTime)) step.GateOpen = false;
  if (Reached(nearest, step.Duration)) AdvanceStep(advance);
  CycleClock += advance;
  StartCycleIfComplete();
}

// --- Setters. The caller holds its plug-in's lock: the audio thread ticks under it.

template <typename T>
void TDSPSequencer::Store(T& field, T value) {
  field = value;
}

template <typename T>
void TDSPSequencer::StoreAndRebuild(T& field, T value) {
  if (field == value) return;
  field = value;
  Rebuild();
}

void TDSPSequencer::SetGateOffLevel(float level) { StoreAndRebuild(GateOffLevel, level); }
void TDSPSequencer::SetGateOnLevel(float level) { StoreAndRebuild(GateOnLevel, level); }
void TDSPSequencer::SetGlideFactor(float factor) { StoreAndRebuild(GlideFactor, factor); }
void TDSPSequencer::SetStepCount(std::int32_t count) { StoreAndRebuild(Count, std::clamp(count, 1, kSequencerSteps)); }
void TDSPSequencer::SetOctaveRange(std::int32_t range) {
  StoreAndRebuild(OctaveRange, std::clamp(range, 0, kMaxOctaveRange));
}
void TDSPSequencer::SetOctaveMode(std::int32_t mode) {
  StoreAndRebuild(OctaveMode, std::clamp(mode, 0, kMaxOctaveMode));
}
void TDSPSequencer::SetStepLength(float length) { StoreAndRebuild(StepLengthValue, length > 0.1f ? length : 0.1f); }
void TDSPSequencer::SetGateLength(float fraction) {
  StoreAndRebuild(GateLength, std::isnan(fraction) ? 0.0f : fraction);
}
void TDSPSequencer::SetSwing(float swing) { StoreAndRebuild(Swing, ClampOrLow(swing, 0.0f, 1.0f)); }
void TDSPSequencer::SetTempo(double bpm) { StoreAndRebuild(TempoBpm, std::isfinite(bpm) ? bpm : 0.0); }
void TDSPSequencer::SetTimeUnit(std::int32_t unit) { StoreAndRebuild(TimeUnit, unit); }

void TDSPSequencer::SetStepNote(std::int32_t step, std::int32_t note) {
  if (step < 0 || step >= kSequencerSteps) return;
  Steps[static_cast<std::size_t>(step)].Note = std::clamp(note, kSequencerRest, kSequencerTie);
  Rebuild();
}

void TDSPSequencer::SetPower(std::int32_t on) { Store(PowerOn, on != 0); }
void TDSPSequencer::SetPitchSource(std::int32_t source) { Store(PitchSource, source); }
void TDSPSequencer::SetLevelSource(std::int32_t source) { Store(LevelSource, source); }
void TDSPSequencer::SetResetOnNewNote(std::int32_t on) { Store(ResetOnNew, on != 0); }
void TDSPSequencer::SetAlwaysRetrigger(std::int32_t on) { Store(AlwaysRetrig, on != 0); }
void TDSPSequencer::SetStartDelay(float length) { Store(StartDelay, ClampOrLow(length, 0.0f, HUGE_VALF)); }
void TDSPSequencer::SetAttack(float length) { Store(Attack, ClampOrLow(length, 0.0f, HUGE_VALF)); }
void TDSPSequencer::SetPeak(float length) { Store(Peak, ClampOrLow(length, 0.0f, HUGE_VALF)); }
void TDSPSequencer::SetRelease(float length) { Store(Release, ClampOrLow(length, 0.0f, HUGE_VALF)); }
void TDSPSequencer::SetSpace(float length) { Store(Space, ClampOrLow(length, 0.0f, HUGE_VALF)); }
void TDSPSequencer::SetRandomSpacing(std::int32_t on) { Store(RandomSpacing, on != 0); }
void TDSPSequencer::SetCycles(float cycles) { Store(Cycles, ClampOrLow(cycles, 0.0f, HUGE_VALF)); }
void TDSPSequencer::SetOffStepGate(float level) { Store(OffStepGate, level); }
void TDSPSequencer::SetEnvelopeCurve(std::int32_t index) { Store(Curve, GetCurveFunction(index)); }
void TDSPSequencer::SetGateEnvAmount(float amount) { Store(GateEnvAmount, ClampAmount(amount, 4.0f)); }
void TDSPSequencer::SetLevelEnvAmount(float amount) { Store(LevelEnvAmount, ClampAmount(amount, 4.0f)); }
void TDSPSequencer::SetPitchEnvAmount(float amount) { Store(PitchEnvAmount, ClampAmount(amount, 4.0f)); }
void TDSPSequencer::SetGateEnvBase(float base) { Store(GateEnvBase, ClampAmount(base, 2.0f)); }
void TDSPSequencer::SetLevelEnvBase(float base) { Store(LevelEnvBase, ClampAmount(base, 2.0f)); }
void TDSPSequencer::SetPitchEnvBase(float base) { Store(PitchEnvBase, ClampAmount(base, 2.0f)); }
void TDSPSequencer::SetGateAmount(float amount) { Store(GateAmount, amount); }
void TDSPSequencer::SetLevelAmount(float amount) { Store(LevelAmount, amount); }

void TDSPSequencer::SetFixedSeed(std::uint64_t seed) {
  HasFixedSeed = true;
  FixedSeed = seed;
}

void TDSPSequencer::ClearFixedSeed() { Store(HasFixedSeed, false); }

void TDSPSequencer::SetRandomSeed(std::uint64_t seed) {
  StreamSeed = seed;
  RestartCount = 0;
  Random.Seed(NextSeed());
}
