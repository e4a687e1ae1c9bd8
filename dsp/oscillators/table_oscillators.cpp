#include "dsp/oscillators/table_oscillators.h"

#include <array>
#include <memory>

#include "dsp/oscillators/curves.h"
#include "dsp/oscillators/formula_oscillators.h"
#include "framework/base/shared_data.h"

namespace {

// Waveform indexes 0..92; the table waveforms use 33..92.
constexpr std::int32_t kWaveformCount = 93;
constexpr std::int32_t kSlack = 10;

// The curve laws the table shapes are made of.
using TLaw = TCurveLaw;

enum class TFill : std::uint8_t {
  Impulse20,
  Impulse10,
  HalfSine,
  Sine,
  HalfWave,
  MixSum,
  OrganSum,
  ThreeSines,
  Noise,
  Mirrored,
  BassA,
  BassB,
  HarmSaw1,
  HarmSaw2,
  HarmSaw3,
  HarmSaw4,
  Square
};

struct TTableRecipe {
  std::int32_t Index;
  TFill Fill;
  std::int32_t Passes = 0;  // smoothing passes
  float Multiplier = 0;     // 0: none
  float C = 0;              // shape offset, or the noise start entry
  TLaw F = kLawPlusCurve3;  // mirrored shapes: the falling half
  TLaw G = kLawPlusCurve3;  // mirrored shapes: the rising half
  std::int16_t Length = 256;
};

constexpr TTableRecipe kRecipes[] = {
    {33, TFill::Impulse20},
    {34, TFill::Impulse10},
    {35, TFill::HalfSine},
    {36, TFill::Sine},
    {37, TFill::HalfWave},
    {39, TFill::MixSum},
    {40, TFill::OrganSum, 4},
    {41, TFill::ThreeSines},
    {42, TFill::Noise, 0, 0, 52, kLawPlusCurve3, kLawPlusCurve3, 512},
    {49, TFill::HarmSaw1, 8, 0, 0.502f},
    {50, TFill::HarmSaw2, 64, 0, 0.64f},
    {51, TFill::HarmSaw3, 32, 0, 0.6265f},
    {52, TFill::HarmSaw4, 4, 0, 0.803f},
    {53, TFill::Mirrored, 64, 0, 0.502f, kLawThreePhase1, kLawRipple2},
    {54, TFill::Mirrored, 8, 0, 0.216f, kLawPlusRipple, kLawPlusRipple},
    {55, TFill::Mirrored, 8, 0, 0.628f, kLawMinusRipple, kLawRipple6},
    {56, TFill::Mirrored, 8, 0, 0.596f, kLawThreePhase1, kLawThreePhase3},
    {57, TFill::Mirrored, 8, 0, 0.502f, kLawRipple5, kLawRipple3},
    {58, TFill::Mirrored, 8, 0, 0.5802f, kLawRipple3, kLawThreePhase2},
    {59, TFill::Mirrored, 2, 0, 0.335f, kLawPlusGrad, kLawPlusGrad},
    {60, TFill::Mirrored, 2, 0, 0.745f, kLawMinusGrad, kLawMinusGrad},
    {61, TFill::Mirrored, 128, 0, 0.205f, kLawPlusCurve3, kLawPlusCurve3},
    {62, TFill::Mirrored, 256, 0, 0.79305f, kLawMinusCurve3, kLawMinusCurve3},
    {63, TFill::Mirrored, 2, 0, 0.891f, kLawMinusCurve5, kLawMinusCurve6},
    {64, TFill::Mirrored, 32, 0, 0.605f, kLawRipple5, kLawRipple5},
    {65, TFill::BassA, 256, 1.5f, 0.502f},
    {66, TFill::BassB, 512, 2.0f, 0.785f},
    {67, TFill::BassB, 1024, 2.5f, 0.785f},
    {68, TFill::BassA, 128, 1.25f, 0.502f},
    {69, TFill::BassB, 768, 2.2f, 0.785f},
    {70, TFill::BassB, 1700, 2.9f, 0.785f},
    {71, TFill::BassB, 2048, 3.1f, 0.785f},
    {72, TFill::BassB, 3000, 4.0f, 0.785f},
    {73, TFill::Square, 16},
    {74, TFill::Square, 32},
    {75, TFill::Square, 64},
    {76, TFill::Square, 64},
    {77, TFill::Square, 128},
    {78, TFill::Square, 256},
    {79, TFill::Square, 512},
    {80, TFill::Square, 1024},
    {81, TFill::OrganSum, 32},
    {82, TFill::OrganSum, 64},
    {83, TFill::OrganSum, 128},
    {84, TFill::OrganSum, 256},
    {85, TFill::Noise, 2, 1.0f, 0},
    {86, TFill::Noise, 6, 1.0f, 2048},
    {87, TFill::Noise, 12, 1.3f, 1024},
    {88, TFill::Noise, 32, 1.8f, 512},
    {89, TFill::Noise, 64, 2.0f, 4096},
    {90, TFill::Noise, 128, 2.3f, 3098},
    {91, TFill::Noise, 256, 2.6f, 1600},
    {92, TFill::Noise, 512, 3.0f, 5012},
};

long double Law(TLaw law, float y) { return CurveLaw(law, y); }

// A saw from the fractional part: 2 FracTrunc(q) - 1.
long double SawOf(float q) { return 2.0L * TDSPBaseControl::FracTrunc(q) - 1.0L; }

long double SineTerm(long double i, long double length) {
  return std::sin(static_cast<long double>(kTwoPiF) * i / length);
}

// y := p + c as a float, wrapped once into (0, 1].
float SingleWrap(float p, float c) {
  float y = p + c;
  if (y > 1.0f) y -= 1.0f;
  return y;
}

long double FillValue(const TTableRecipe& r, std::int32_t i) {
  const std::int32_t n = r.Length;
  const long double L = n;
  const long double li = i;
  const float p = static_cast<float>(i) / static_cast<float>(n);
  switch (r.Fill) {
    case TFill::Impulse20:
    case TFill::Impulse10: {
      const bool twenty = r.Fill == TFill::Impulse20;
      const int count = twenty ? 20 : 10;
      const long double a = twenty ? 1638.35L : 3276.7L;
      long double sum = 0;
      for (int k = 1; k <= count; ++k) {
        const long double angle = twenty ? static_cast<long double>(kPiF) * (2.0L * li * k) / L
                                         : static_cast<long double>(kTwoPiF) * li * k / L;
        sum += std::cos(angle) / 16383.0L;
      }
      return a * sum;
    }
    case TFill::Sine:
      return SineTerm(li, L) * 32767.0L / 16383.0L;
    case TFill::HalfSine:
      return i < n / 2 ? SineTerm(li, L) * 32767.0L / 16383.0L : 0.0L;
    case TFill::ThreeSines:
      return (SineTerm(li, L) * 32767.0L / 16383.0L + 1.35L * SineTerm(2 * li, L) +
              2.0L * SineTerm(4 * li, L + 0.01L)) *
             0.333L;
    case TFill::MixSum: {
      long double v =
          SineTerm(li, L) * 32767.0L / 16383.0L + 9.0L * SineTerm(2 * li, L) + 6.0L * SineTerm(4 * li, L + 0.01L);
      v += i < n / 2 ? 1.0L : -1.0L;
      const std::int32_t quarter = i / (n / 4);
      v += (quarter == 0 || quarter == 2) ? 1.0L : -1.0L;
      v += (i / (n / 8)) % 2 == 0 ? 2.0L : -2.0L;
      v += 2.0L * SawOf(static_cast<float>(li / (L - 0.5L)));
      v += SawOf(static_cast<float>(i) / static_cast<float>(n / 2));
      v += 0.75L * SawOf(static_cast<float>(i) / static_cast<float>(n / 4));
      return 0.1L * v;
    }
    case TFill::OrganSum:
      return (SawOf(static_cast<float>(i) / static_cast<float>(n)) +
              1.1L * SawOf(static_cast<float>(i) / static_cast<float>(n / 2)) +
              1.2L * SawOf(static_cast<float>(i) / static_cast<float>(n / 4)) +
              1.4L * SawOf(static_cast<float>(i) / static_cast<float>(n / 8))) *
             0.235L;
    case TFill::Noise:
      return NoiseBuffer[static_cast<std::int32_t>(r.C) + i];
    case TFill::Square:
      return p < 0.5f ? 1.0L : -1.0L;
    case TFill::Mirrored: {
      float y = 2.0f * p + r.C;
      if (y > 2.0f) y -= 2.0f;
      if (y < 1.0f) return 2.0L * Law(r.G, y) - 1.0L;
      return 2.0L * (1.0L - Law(r.F, y - 1.0f)) - 1.0L;
    }
    case TFill::BassA: {
      const float y = SingleWrap(p, r.C);
      const long double a = (Law(kLawRipple2, y) + Law(kLawRipple5, y)) * 0.5L * y;
      return ((Law(kLawMinusRipple, y) + Law(kLawRipple3, y)) * 0.5L * (1.0L - y) + a) * 2.0L - 1.0L;
    }
    case TFill::BassB:
      return 2.0L * Law(kLawMinusRipple, SingleWrap(p, r.C)) - 1.0L;
    case TFill::HarmSaw1: {
      const float y = SingleWrap(p, r.C);
      return (Law(kLawRipple2, y) + Law(kLawRipple4, y)) * 0.5L * 2.0L - 1.0L;
    }
    case TFill::HarmSaw2: {
      const float y = SingleWrap(p, r.C);
      return (Law(kLawRipple2, y) + Law(kLawMinusRipple, y)) * 0.5L * 2.0L - 1.0L;
    }
    case TFill::HarmSaw3: {
      const float y = SingleWrap(p, r.C);
      const long double v =
          (Law(kLawMinusRipple, y) + Law(kLawRipple2, y) + Law(kLawRipple5, y) + Law(kLawRipple6, y)) * 0.25L * 2.0L -
          1.0L;
      if (!(y > 0.2f && y < 0.4f)) return v;
      // A grain of noise on the stretch 0.2..0.4, rising and falling.
      const float d = y - 0.2f;
      const float w = d < 0.1f ? d : 0.2f - d;
      return v + 0.5L * w * NoiseBuffer[RoundF(p * 2056.0f)];
    }
    case TFill::HarmSaw4: {
      const long double r6 = Law(kLawRipple6, SingleWrap(p, r.C));
      return 2.0L * r6 * r6 - 1.0L;
    }
    case TFill::HalfWave:
      break;  // filled as a whole, see FillTable
  }
  return 0.0L;
}

// One full sine cycle in the first quarter-pair, its positive half repeated
// in the second quarter, silence in the second half.
void FillHalfWave(float* t, std::int32_t n) {
  for (std::int32_t i = 0; i < n; ++i) t[i] = static_cast<float>(SineTerm(i, n) * 32767.0L);
  for (std::int32_t j = 0; j < n / 2; ++j) t[j] = t[2 * j];
  for (std::int32_t j = n / 2; j < n; ++j) t[j] = 0.0f;
  for (std::int32_t j = 0; j < n / 4; ++j) t[n / 4 + j] = t[j];
  for (std::int32_t i = 0; i < n; ++i) t[i] = static_cast<float>(t[i] / 16383.0L);
}

void FillTable(const TTableRecipe& r, float* t) {
  if (r.Fill == TFill::HalfWave) {
    FillHalfWave(t, r.Length);
  } else {
    for (std::int32_t i = 0; i < r.Length; ++i) t[i] = static_cast<float>(FillValue(r, i));
  }
  if (r.Passes > 0) SmoothWaveTable(t, r.Length, r.Passes);
  if (r.Multiplier != 0.0f)
    for (std::int32_t i = 0; i < r.Length; ++i) t[i] *= r.Multiplier;
}

struct TWaveTableSet {
  std::array<std::unique_ptr<float[]>, kWaveformCount> Tables;
  std::array<std::int16_t, kWaveformCount> Lengths{};

  TWaveTableSet() {
    for (const TTableRecipe& r : kRecipes) {
      auto table = std::make_unique<float[]>(static_cast<std::size_t>(r.Length + kSlack));  // zeroed
      FillTable(r, table.get());
      Tables[static_cast<std::size_t>(r.Index)] = std::move(table);
      Lengths[static_cast<std::size_t>(r.Index)] = r.Length;
    }
  }
};

const TWaveTableSet& WaveTables() {
  // Built once, on first use, thread-safe.
  static const TWaveTableSet* const tables = SharedByInstances(new const TWaveTableSet);
  return *tables;
}

}  // namespace

void PrepareWaveTables() { (void)WaveTables(); }

const float* SharedWaveTable(std::int32_t index) {
  if (index < 0 || index >= kWaveformCount) return nullptr;
  return WaveTables().Tables[static_cast<std::size_t>(index)].get();
}

std::int16_t WaveTableLength(std::int32_t index) {
  if (index < 0 || index >= kWaveformCount) return 0;
  return WaveTables().Lengths[static_cast<std::size_t>(index)];
}

void SmoothWaveTable(float* table, std::int32_t length, std::int32_t passes) {
  if (length <= 0) return;
  for (std::int32_t pass = 0; pass < passes; ++pass) {
    for (std::int32_t k = 0; k < length; ++k) {
      const std::int32_t j = k + 1 == length ? 0 : k + 1;
      const long double a = table[k];
      const long double b = table[j];
      table[k] = static_cast<float>(0.9L * a + 0.1L * b);
      table[j] = static_cast<float>(0.1L * a + 0.9L * b);
    }
  }
}

TDSPTableOscillator::TDSPTableOscillator(std::int32_t waveformIndex) : TableIndex(waveformIndex) {
  PhaseMin = 0.0f;
  PitchOffset = 0.03f;
  TDSPTableOscillator::InitTable(256);
}

void TDSPTableOscillator::InitTable(std::int16_t /*length*/) {
  Table = SharedWaveTable(TableIndex);
  TableLength = WaveTableLength(TableIndex);
  if (!Table) {  // not a table waveform index: one silent table
    static const float kSilence[256 + kSlack] = {};
    Table = kSilence;
    TableLength = 256;
  }
  PhaseWrap = static_cast<float>(TableLength);
  PhaseLimit = static_cast<float>(TableLength);
}

void TDSPTableOscillator::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPBaseOscillator::SetAudioSettings(rec);
  TableRate = static_cast<float>(TableLength) * Settings->InvSampleRate;
}

void TDSPTableOscillator::ProcessBuffer(float* buffer) {
  const std::int32_t n = Settings->SamplesPerMs;
  for (std::int32_t i = 0; i < n; ++i) buffer[i] = ReadTable() * Gain;
}

namespace {
void ClampTableFrequency(float& f) {
  if (f < 1e-7f) f = 1e-7f;
  if (f > 600000.0f) f = 600000.0f;
}
}  // namespace

void TDSPTableOscillator::SetFrequency(float hz) {
  if (hz == Frequency || std::isnan(hz)) return;
  Frequency = hz;
  ClampTableFrequency(Frequency);
  Increment = Frequency * TableRate;
  EffectivePitch = FreqToPitch(Frequency);
}

void TDSPTableOscillator::SetPitch(float pitch) {
  if (std::isnan(pitch)) return;
  Pitch = pitch;
  EffectivePitch = pitch;
  float x = pitch + PitchOffset;
  ClampFloat(x, -128.0f, 256.0f);
  Frequency = PitchToFreq(x);
  ClampTableFrequency(Frequency);
  Increment = Frequency * TableRate;
}

void TDSPTableOscillator::AddPhase(float fraction) {
  Phase = WrapPosition(Phase + static_cast<float>(TableLength) * fraction);
}

float TDSPTableOscillator::WrapPosition(float p) const {
  const float length = static_cast<float>(TableLength);
  if (p >= 0.0f && p < length) return p;
  if (!std::isfinite(p)) return 0.0f;
  p = std::fmod(p, length);
  if (p < 0.0f) p += length;
  if (!(p < length)) p = 0.0f;  // a tiny negative plus the length rounds up to it
  return p;
}
