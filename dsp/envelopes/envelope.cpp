#include "dsp/envelopes/envelope.h"

#include <emmintrin.h>

#include <algorithm>
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

void TDSPADSR::ProcessBuffer(float* buffer) { Run(buffer, Settings->SamplesPerMs); }

namespace {

// Counters from here on may not convert to float exactly: the runs leave
// such samples to Step.
constexpr std::int32_t kExactCounter = 1 << 24;

// How many of the counters c, c + 1, ... (at most n) lie below limit as
// Step compares them (float(c) < limit); c + n at most kExactCounter.
std::int32_t CountBelow(std::int32_t c, float limit, std::int32_t n) {
  const double end = std::ceil(static_cast<double>(limit));
  if (!(end > c)) return 0;  // NaN too
  return end - c >= n ? n : static_cast<std::int32_t>(end) - c;
}

// float(c + j) for the four j of a register from j = k.
inline __m128 CounterFloats(std::int32_t c, std::int32_t k) {
  return _mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(c + k), _mm_setr_epi32(0, 1, 2, 3)));
}

}  // namespace

void TDSPADSR::Run(float* buffer, std::int32_t n) {
  std::int32_t k = 0;
  while (k < n) {
    if (!(Gate > 0)) {
      k += RunRelease(buffer + k, n - k);
    } else if (FadeActive || RampActive || Counter > kExactCounter - (n - k)) {
      buffer[k++] = Step();
    } else {
      k += RunGateOn(buffer + k, n - k);
    }
  }
}

std::int32_t TDSPADSR::RunRelease(float* out, std::int32_t n) {
  if (Counter > kExactCounter - n) {
    out[0] = Step();
    return 1;
  }
  // Linear from the held level while the counter is below the release's
  // length, 0 from there on (and finished).
  const std::int32_t c = Counter;
  const std::int32_t falling = CountBelow(c, ReleaseSamples, n);
  const __m128 recip = _mm_set1_ps(ReciprocalRelease), held = _mm_set1_ps(HeldLevel);
  const __m128 one = _mm_set1_ps(1.0f), scale = _mm_set1_ps(OutputScale);
  std::int32_t k = 0;
  for (; k + 4 <= falling; k += 4) {
    const __m128 level = _mm_mul_ps(_mm_sub_ps(one, _mm_mul_ps(CounterFloats(c, k), recip)), held);
    _mm_storeu_ps(out + k, _mm_mul_ps(level, scale));
  }
  for (; k < falling; ++k) out[k] = (1 - static_cast<float>(c + k) * ReciprocalRelease) * HeldLevel * OutputScale;
  if (falling > 0) Level = (1 - static_cast<float>(c + falling - 1) * ReciprocalRelease) * HeldLevel;
  if (falling < n) {
    Level = 0;
    HeldLevel = 0;
    Finished = true;
    std::fill(out + falling, out + n, 0.0f * OutputScale);
  }
  Counter = c + n;
  OutputSample = Level * OutputScale;
  return n;
}

std::int32_t TDSPADSR::RunGateOn(float* out, std::int32_t n) {
  // The attack (linear, or through the attack shape), the decay, then the
  // sustain level; the counter moves through attack and decay only.
  const std::int32_t c = Counter;
  const float attackEnd = AttackSamples;
  const float decayEnd = AttackSamples + DecaySamples;
  const std::int32_t rising = CountBelow(c, attackEnd, n);
  const std::int32_t moving = rising + CountBelow(c + rising, decayEnd, n - rising);
  const __m128 scale = _mm_set1_ps(OutputScale);
  std::int32_t k = 0;
  float level = Level;
  if (rising > 0) {
    const __m128 recip = _mm_set1_ps(ReciprocalAttack);
    if (AttackShape != nullptr) {
      const __m128 points = _mm_set1_ps(static_cast<float>(kCurvePoints));
      alignas(16) std::int32_t at[4];
      for (; k + 4 <= rising; k += 4) {
        // (The conversion rounds as lrint does, in the current mode.)
        _mm_store_si128(reinterpret_cast<__m128i*>(at),
                        _mm_cvtps_epi32(_mm_mul_ps(_mm_mul_ps(CounterFloats(c, k), recip), points)));
        const __m128 v = _mm_setr_ps(AttackShape[at[0]], AttackShape[at[1]], AttackShape[at[2]], AttackShape[at[3]]);
        _mm_storeu_ps(out + k, _mm_mul_ps(v, scale));
      }
      for (; k < rising; ++k) {
        const float t = static_cast<float>(c + k) * ReciprocalAttack;
        out[k] = AttackShape[std::lrint(t * static_cast<float>(kCurvePoints))] * OutputScale;
      }
      level = AttackShape[std::lrint(static_cast<float>(c + rising - 1) * ReciprocalAttack *
                                     static_cast<float>(kCurvePoints))];
    } else {
      for (; k + 4 <= rising; k += 4) _mm_storeu_ps(out + k, _mm_mul_ps(_mm_mul_ps(CounterFloats(c, k), recip), scale));
      for (; k < rising; ++k) out[k] = static_cast<float>(c + k) * ReciprocalAttack * OutputScale;
      level = static_cast<float>(c + rising - 1) * ReciprocalAttack;
    }
  }
  if (moving > rising) {
    const float fall = 1 - Sustain;
    const __m128 recip = _mm_set1_ps(ReciprocalDecay), depth = _mm_set1_ps(fall), one = _mm_set1_ps(1.0f);
    const __m128 start = _mm_set1_ps(AttackSamples);
    for (; k + 4 <= moving; k += 4) {
      const __m128 v = _mm_sub_ps(one, _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(CounterFloats(c, k), start), recip), depth));
      _mm_storeu_ps(out + k, _mm_mul_ps(v, scale));
    }
    for (; k < moving; ++k)
      out[k] = (1 - (static_cast<float>(c + k) - AttackSamples) * ReciprocalDecay * fall) * OutputScale;
    level = 1 - (static_cast<float>(c + moving - 1) - AttackSamples) * ReciprocalDecay * fall;
  }
  if (moving < n) {
    level = Sustain;
    std::fill(out + moving, out + n, Sustain * OutputScale);
  }
  Counter = c + moving;
  Level = level;
  HeldLevel = level;
  OutputSample = level * OutputScale;
  return n;
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
