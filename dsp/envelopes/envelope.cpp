#include "dsp/envelopes/envelope.h"

#include <array>
#include <cmath>
#include <limits>

namespace {
constexpr std::array<float, kEnvelopeInputLevelLength> MakeInputLevel() {
  std::array<float, kEnvelopeInputLevelLength> level{};
  for (float& v : level) v = 512.0f;
  return level;
}
constexpr std::array<float, kEnvelopeInputLevelLength> kInputLevel = MakeInputLevel();

// Stage length in samples for ms, and its reciprocal (0 for none).
void StageLength(const TAudioSettingsRec& settings, float ms, float& samples, float& reciprocal) {
  samples = static_cast<float>(settings.SamplesPerMs) * ms;
  reciprocal = samples > 0 ? 1 / samples : 0.0f;
}

// The attack, decay or sustain level at the stage counter while the gate is
// on (no fade or ramp); the counter moves on through attack and decay.
inline float GateOnLevel(const TDSPEnvelope& e, std::int32_t& counter) {
  const float c = static_cast<float>(counter);
  if (c < e.AttackSamples) {
    ++counter;
    const float t = c * e.ReciprocalAttack;
    return e.AttackShape != nullptr ? e.AttackShape[std::lrint(t * static_cast<float>(kCurvePoints))] : t;
  }
  if (c < e.AttackSamples + e.DecaySamples) {
    ++counter;
    return 1 - (c - e.AttackSamples) * e.ReciprocalDecay * (1 - e.Sustain);
  }
  return e.Sustain;
}
}  // namespace

const float* const EnvelopeInputLevel = kInputLevel.data();

TDSPEnvelope::TDSPEnvelope() {
  for (int i = 1; i <= 7; ++i) Inputs[i] = EnvelopeInputLevel;
}

void TDSPEnvelope::ApplyGate() {
  if (Gate > 0) {
    Finished = false;
    OutputScale = Gate;
  }
}

void TDSPEnvelope::SetAttack(float ms) {
  if (ms == Attack) return;
  Attack = ms;
  Update();
}

void TDSPEnvelope::SetDecay(float ms) {
  if (ms == Decay) return;
  Decay = ms;
  Update();
}

void TDSPEnvelope::SetSustain(float level) {
  if (level == Sustain) return;
  Sustain = level;
  ClampFloat(Sustain, 0.0f, 1.0f);
  Update();
}

void TDSPEnvelope::SetRelease(float ms) {
  if (ms == Release) return;
  Release = ms;
  Update();
}

void TDSPEnvelope::SetGate(float value) {
  if (value == Gate) return;
  Gate = value;
  ApplyGate();
}

void TDSPEnvelope::Update() {
  StageLength(*Settings, Attack, AttackSamples, ReciprocalAttack);
  StageLength(*Settings, Decay, DecaySamples, ReciprocalDecay);
  StageLength(*Settings, Release, ReleaseSamples, ReciprocalRelease);
}

void TDSPEnvelope::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPControl::SetAudioSettings(rec);
  Update();
}

float TDSPEnvelope::CurvedLevel(float level) {
  const float y = 0.9f * (1 - level) + 0.1f;
  return y > 0 ? -std::log10(y) : 0.0f;
}

void TDSPEnvelope::TickCurved() {
  Tick();
  OutputSample = CurvedLevel(Level) * OutputScale;
}

void TDSPEnvelope::ProcessBlock() {
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) {
    Tick();
    OutBuffer[i] = OutputSample;
  }
}

void TDSPEnvelope::ProcessBlockControl() { ProcessBlock(); }

void TDSPEnvelope::ProcessOneSample() {
  Tick();
  OutBuffer[CurrentSampleIndex] = OutputSample;
}

void TDSPEnvelope::ProcessBlockCurved() {
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) {
    TickCurved();
    OutBuffer[i] = OutputSample;
  }
}

void TDSPEnvelope::ProcessOneSampleCurved() {
  TickCurved();
  OutBuffer[CurrentSampleIndex] = OutputSample;
}

void TDSPEnvelope::StartFade() {
  FadeActive = true;
  FadeCounter = 0;
  FadeLength = 2 * static_cast<std::uint32_t>(Settings->SamplesPerMs);
}

void TDSPEnvelope::SetGateEdge(float value) {
  if (SignOf(value) == SignOf(Gate)) return;
  Gate = value;
  if (Gate > 0) {
    Finished = false;
    OutputScale = Gate;
  }
  Counter = 0;
  if (value > 0) {
    HeldLevel = Level;
    if (!FadeDisabled) {
      StartFade();
    } else {
      FadeActive = false;
      FadeCounter = 0;
      FadeLength = 0;
    }
  }
}

void TDSPEnvelope::Retrigger(std::int32_t position) {
  if (position == NotePosition) return;
  NotePosition = position;
  if (position != 0) return;
  Counter = 0;
  if (Gate > 0) {
    StartFade();
    HeldLevel = Level;
  }
}

void TDSPEnvelope::SetVelocity(float value) { OutputScale = Gate = ChosenVelocity(value); }

void TDSPEnvelope::NoteOn(float value) {
  const float velocity = ChosenVelocity(value);
  OutputScale = velocity;
  SetGate(velocity);
}

float TDSPADSR::Step() {
  if (!(Gate > 0)) {
    // Release: linear from the held level over the release time.
    if (static_cast<float>(Counter) >= ReleaseSamples) {
      Level = 0;
      HeldLevel = 0;
      Finished = true;
    } else {
      Level = (1 - static_cast<float>(Counter) * ReciprocalRelease) * HeldLevel;
    }
    if (Counter < std::numeric_limits<std::int32_t>::max()) ++Counter;
  } else if (FadeActive) {
    // Retrigger fade; the stage counter waits, so the attack starts from 0.
    if (FadeCounter == 0) FadeStart = Level;
    if (HeldLevel == 0 || FadeLength == 0) {
      Level = 0;
      FadeActive = false;
      FadeCounter = 0;
    } else {
      Level = (1 - static_cast<float>(FadeCounter) / static_cast<float>(FadeLength)) * FadeStart;
      if (++FadeCounter >= FadeLength) {
        FadeCounter = 0;
        FadeActive = false;
      }
    }
  } else if (RampActive) {
    // Legato gain ramp towards the previous voice's level.
    Level =
        RampLength == 0 ? RampTarget : static_cast<float>(RampCounter) / static_cast<float>(RampLength) * RampTarget;
    if (++RampCounter >= RampLength) {
      RampCounter = 0;
      RampActive = false;
    }
  } else {
    Level = GateOnLevel(*this, Counter);
    HeldLevel = Level;
  }
  OutputSample = Level * OutputScale;
  return OutputSample;
}

void TDSPADSR::ProcessBuffer(float* buffer) {
  const std::int32_t n = Settings->SamplesPerMs;
  if (!(Gate > 0) || FadeActive || RampActive) {
    for (std::int32_t i = 0; i < n; ++i) buffer[i] = Step();
    return;
  }
  // Gate on without fade or ramp, Step's last branch: nothing in it changes
  // the gate, the fade or the ramp, so the whole millisecond stays there,
  // with the counter and level held in locals.
  std::int32_t counter = Counter;
  float level = Level;
  const float scale = OutputScale;
  for (std::int32_t i = 0; i < n; ++i) {
    level = GateOnLevel(*this, counter);
    buffer[i] = level * scale;
  }
  if (n > 0) {
    Counter = counter;
    Level = level;
    HeldLevel = level;
    OutputSample = level * scale;
  }
}

void TDSPADSR::TakeInputs() {
  SetGateEdge(Inputs[0][0]);
  SetAttack(Inputs[1][0]);
  SetDecay(Inputs[2][0]);
  SetSustain(Inputs[3][0]);
  SetRelease(Inputs[4][0]);
}

void TDSPADSR::ProcessBlockInputs() {
  TakeInputs();
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) OutBuffer[i] = Step();
}

void TDSPADSR::ProcessOneSampleInputs() {
  if (CurrentSampleIndex == 0) TakeInputs();
  OutBuffer[CurrentSampleIndex] = Step();
}

void TDSPADSR::ProcessBlockInputsCurved() {
  TakeInputs();
  ProcessBlockCurved();
}

void TDSPADSR::ProcessOneSampleInputsCurved() {
  if (CurrentSampleIndex == 0) TakeInputs();
  ProcessOneSampleCurved();
}
