#include "dsp/effects/distortion.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <numbers>

const std::array<std::string_view, kDistortionCurveNameCount> DistortionCurveName = {
    "",      "OldValves", "TubeScream1", "SynthValve", "Grunge", "FbkValve", "TubeScream2", "FbkScream",
    "Bass1", "Rain",      "Bass2",       "Bass3",      "Rock",   "SynDist",  "SynDist2",    "SynDist3"};

std::string_view GetDistortionCurveName(std::int32_t type) {
  if (type < 0 || type >= kDistortionCurveNameCount) return {};
  return DistortionCurveName[static_cast<std::size_t>(type)];
}

namespace {
// x / n, or 0 when the normaliser is exactly 0.
inline float Over(float x, float n) { return n == 0 ? 0.0f : x / n; }

template <class F>
inline void ForEach(float* buffer, std::int32_t n, F curve) {
  for (std::int32_t i = 0; i < n; ++i) buffer[i] = curve(buffer[i]);
}
}  // namespace

namespace {
float DriveGain(float drive) { return std::pow(5.0f, (127.0f * drive - 32.0f) / 127.0f); }

// The curve kDistortionOldValves four per register, as the scalar form:
// |x| > t ? sign x : x / t, with t > 0.
void HardLimit(float* b, std::int32_t n, float t) {
  const __m128 vt = _mm_set1_ps(t), one = _mm_set1_ps(1.0f), minusOne = _mm_set1_ps(-1.0f);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 x = _mm_loadu_ps(b + i);
    const __m128 over = _mm_cmpgt_ps(_mm_and_ps(x, magnitude), vt);
    const __m128 positive = _mm_cmpge_ps(x, _mm_setzero_ps());
    const __m128 sign = _mm_or_ps(_mm_and_ps(positive, one), _mm_andnot_ps(positive, minusOne));
    _mm_storeu_ps(b + i, _mm_or_ps(_mm_and_ps(over, sign), _mm_andnot_ps(over, _mm_div_ps(x, vt))));
  }
  for (; i < n; ++i) b[i] = std::fabs(b[i]) > t ? (b[i] >= 0 ? 1.0f : -1.0f) : b[i] / t;
}
}  // namespace

void TDSPXDistortion::ApplyCurve(float* b, std::int32_t n, std::int32_t type, float d) {
  switch (type) {
    case kDistortionOldValves: {  // hard limit at T, scaled so T maps to 1
      const float t = std::exp2(-8.0f * d * d);
      if (t > 0) {
        HardLimit(b, n, t);
        break;
      }
      ForEach(b, n, [t](float x) { return std::fabs(x) > t ? (x >= 0 ? 1.0f : -1.0f) : Over(x, t); });
      break;
    }
    case kDistortionTubeScream1: {
      const float k = 32.0f * d * d * d + 0.0001f;
      const float norm = k < 1.57f ? std::sin(k) : 1.0f;
      ForEach(b, n, [k, norm](float x) { return Over(std::sin(k * x), norm); });
      break;
    }
    case kDistortionSynthValve: {
      const float k = 32.0f * d * d + 0.0001f;
      const float norm = k < 1.0f ? std::sin(k) + 0.1f : 1.1f;
      ForEach(b, n, [k, norm](float x) { return Over(std::sin((0.1f + k - k * x) * x), norm); });
      break;
    }
    case kDistortionGrunge: {  // quantised to steps of q
      const float q = d * d + 0.000001f;
      ForEach(b, n, [q](float x) { return std::floor(Over(x, q) + 0.5f) * q; });
      break;
    }
    case kDistortionFbkValve: {
      const float k = std::pow(10.0f, 3.0f * d * d) - 1.0f + 0.001f;
      const float scale = std::atan(k);
      ForEach(b, n, [k, scale](float x) { return scale == 0 ? 0.0f : std::atan(k * x) * scale; });
      break;
    }
    case kDistortionTubeScream2: {
      const float k = 32.0f * d * d * d + 0.0001f;
      const float norm = k < 1.0f ? std::sin(k) : 1.0f;
      ForEach(b, n, [k, norm](float x) { return Over(std::asin(std::sin(k * x)), norm); });
      break;
    }
    case kDistortionFbkScream: {  // a folded sawtooth of the scaled input
      const float a = std::pow(5.0f, d * d) - 0.5f;
      ForEach(b, n, [a](float x) {
        const float u = a * x * 0.9999f;
        return (u - std::floor(u + 0.5f)) * 1.6f;
      });
      break;
    }
    case kDistortionBass1: {
      const float t = std::exp2(-8.0f * d * d);
      ForEach(b, n, [t](float x) { return x >= -t ? 2.0f * x : -t; });
      break;
    }
    case kDistortionRain: {
      const float t = std::exp2(-8.0f * d * d);
      ForEach(b, n, [t](float x) { return 2.0f * std::min(x, t); });
      break;
    }
    case kDistortionBass2: {
      const float k = 30.0f * d * d * d + 0.001f;
      const float norm = k < 0.3f ? k : 1.0f;
      ForEach(b, n, [k, norm](float x) {
        const float u = k * x;
        return u > -2.0f && u < 1.0f ? (1.0f - u) * u * (u + 2.0f) / norm : 0.0f;
      });
      break;
    }
    case kDistortionBass3: {
      const float k = 32.0f * d * d * d + 0.0001f;
      const float norm = k < 1.0f ? (1.0f + k) * k / 2.0f : 1.0f;
      ForEach(b, n, [k, norm](float x) {
        const float u = k * x;
        if (u <= -1.0f) return -2.0f;
        if (u >= 1.618034f) return -1.0f;
        return (1.0f - u) * u / norm;
      });
      break;
    }
    case kDistortionRock: {  // a dead zone of width T around zero
      const float t = (std::exp2(6.0f * d) - 1.0f) / 64.0f;
      ForEach(b, n, [t](float x) { return std::fabs(x) > t ? (x >= 0 ? x - t : x + t) : 0.0f; });
      break;
    }
    case kDistortionSynDist:
      ForEach(b, n, [d](float x) { return (1.0f - d >= std::fabs(x) ? x * d : 4.0f * x * x) * d; });
      break;
    case kDistortionSynDist2:
      ForEach(b, n, [d](float x) {
        const float s = 1.2f * x;
        const float y = s >= d ? 2.0f * d * s : -d * s;
        return y < -1.5f ? -2.0f : y;
      });
      break;
    case kDistortionSynDist3:
      ForEach(b, n, [d](float x) {
        const float t = 1.0f - d >= std::fabs(x) ? x * x : std::fabs(x) * d;
        const float y = t * x;
        return std::fabs(y) > 3.0f * d ? 0.1f * y : y;
      });
      break;
    case kDistortionCubicWindow: {  // a cubic inside |k x| < 1, silent outside
      const float k = 20.0f * d * d * d + 0.0001f;
      ForEach(b, n, [k](float x) {
        const float u = k * x;
        if (std::fabs(u) >= 1.0f) return 0.0f;
        float y = 3.0f * (u - u * u * u);
        if (k < 1.0f) y = Over(y, k);
        return y > 10.0f ? 10.0f : y;
      });
      break;
    }
    default: {  // logistic: (0.5 - 1 / (e^u + 1)) / norm, written as 0.5 tanh(u / 2)
      const float k = 80.0f * d * d * d * d * d + 0.0001f;
      const float norm = k < 10.0f ? 0.5f * std::tanh(0.5f * k) : 0.5f;
      ForEach(b, n, [k, norm](float x) {
        const float u = std::clamp(k * x, -10.0f, 10.0f);
        return Over(0.5f * std::tanh(0.5f * u), norm);
      });
      break;
    }
  }
}

namespace {
// wet[i] := (x[i] + noise[i]) gain, or 0 when that is not finite.
void DriveInput(const float* x, const float* noise, float gain, float* wet, std::int32_t n) {
  const __m128 g = _mm_set1_ps(gain);
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 y = _mm_mul_ps(_mm_add_ps(_mm_loadu_ps(x + i), _mm_loadu_ps(noise + i)), g);
    _mm_storeu_ps(wet + i, _mm_and_ps(_mm_cmpeq_ps(_mm_sub_ps(y, y), _mm_setzero_ps()), y));
  }
  for (; i < n; ++i) wet[i] = FiniteOrZero((x[i] + noise[i]) * gain);
}

// left := (own wetL + s wetR) lw + ld left, right likewise (own = 1 - s).
void MixSurround(float* left, float* right, const float* wetL, const float* wetR, float s, float lw, float ld, float rw,
                 float rd, std::int32_t n) {
  const float own = 1.0f - s;
  const __m128 vs = _mm_set1_ps(s), vown = _mm_set1_ps(own);
  const __m128 vlw = _mm_set1_ps(lw), vld = _mm_set1_ps(ld), vrw = _mm_set1_ps(rw), vrd = _mm_set1_ps(rd);
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 wl = _mm_loadu_ps(wetL + i), wr = _mm_loadu_ps(wetR + i);
    const __m128 l = _mm_loadu_ps(left + i), r = _mm_loadu_ps(right + i);
    _mm_storeu_ps(left + i, _mm_add_ps(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(vown, wl), _mm_mul_ps(vs, wr)), vlw),
                                       _mm_mul_ps(vld, l)));
    _mm_storeu_ps(right + i, _mm_add_ps(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(vown, wr), _mm_mul_ps(vs, wl)), vrw),
                                        _mm_mul_ps(vrd, r)));
  }
  for (; i < n; ++i) {
    const float l = left[i], r = right[i];
    left[i] = (own * wetL[i] + s * wetR[i]) * lw + ld * l;
    right[i] = (own * wetR[i] + s * wetL[i]) * rw + rd * r;
  }
}
}  // namespace

TDSPXDistortion::TDSPXDistortion() {
  GainLeft = DriveGain(DriveLeft);
  GainRight = DriveGain(DriveRight);
}

TDSPXDistortion::~TDSPXDistortion() = default;

void TDSPXDistortion::ClearSmallState() {
  for (TDSPMultiFilter& f : Filters) f.Filter().Reset();
}

void TDSPXDistortion::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  for (auto& filter : Filters) filter.SetAudioSettings(Settings);
}

void TDSPXDistortion::SetSurround(float value) {
  if (std::isfinite(value)) Surround = std::clamp(value, 0.0f, 1.0f);
}

void TDSPXDistortion::SetDriveLeft(float value) {
  if (!std::isfinite(value)) return;
  DriveLeft = std::clamp(value, 0.0f, 1.0f);
  GainLeft = DriveGain(DriveLeft);
}

void TDSPXDistortion::SetDriveRight(float value) {
  if (!std::isfinite(value)) return;
  DriveRight = std::clamp(value, 0.0f, 1.0f);
  GainRight = DriveGain(DriveRight);
}

void TDSPXDistortion::SetTypeLeft(std::int32_t type) { TypeLeft = std::max(type, 1); }

void TDSPXDistortion::SetTypeRight(std::int32_t type) { TypeRight = std::max(type, 1); }

void TDSPXDistortion::SetClipThreshold(float value) {
  if (std::isfinite(value)) ClipThreshold = value;
}

void TDSPXDistortion::SetClipLevel(float value) {
  if (std::isfinite(value)) ClipLevel = value;
}

void TDSPXDistortion::SetClipMode(std::int32_t mode) {
  ClipMode = mode >= 0 && mode <= 255 ? static_cast<std::uint8_t>(mode) : kClipNone;
}

void TDSPXDistortion::Clip(float* buffer, std::int32_t n) const {
  const float threshold = ClipThreshold, level = ClipLevel;
  for (std::int32_t i = 0; i < n; ++i)
    if (std::fabs(buffer[i]) >= threshold) buffer[i] = level;
}

void TDSPXDistortion::ApplyToneFilters(float* wetLeft, float* wetRight, std::int32_t n) {
  if (FilterOn[0]) Filters[0].ProcessSamples(wetLeft, n);
  if (FilterOn[1]) Filters[1].ProcessSamples(wetLeft, n);
  if (FilterOn[2]) Filters[2].ProcessSamples(wetRight, n);
  if (FilterOn[3]) Filters[3].ProcessSamples(wetRight, n);
}

void TDSPXDistortion::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (n <= 0) return;
  const float* noise = NextDenormalNoise(n);
  float gainL = GainLeft;
  float gainR = GainRight;
  if (InputAdjust) {
    gainL = -gainL;
    gainR = -gainR;
  }
  float* wetL = WetBufferLeft();
  float* wetR = WetBufferRight();
  DriveInput(left, noise, gainL, wetL, n);
  DriveInput(right, noise, gainR, wetR, n);
  if (PreFilter) ApplyToneFilters(wetL, wetR, n);
  if (ClipMode == kClipBeforeCurve) {
    Clip(wetL, n);
    Clip(wetR, n);
  }
  ApplyCurve(wetL, n, TypeLeft, DriveLeft);
  ApplyCurve(wetR, n, TypeRight, DriveRight);
  if (ClipMode == kClipAfterCurve) {
    Clip(wetL, n);
    Clip(wetR, n);
  }
  if (!PreFilter) ApplyToneFilters(wetL, wetR, n);
  const bool runawayL = SilenceRunaway(wetL, n);
  const bool runawayR = SilenceRunaway(wetR, n);
  if (runawayL) {
    Filters[0].Filter().Reset();
    Filters[1].Filter().Reset();
  }
  if (runawayR) {
    Filters[2].Filter().Reset();
    Filters[3].Filter().Reset();
  }

  MixSurround(left, right, wetL, wetR, Surround, LeftWetOut, LeftDryOut, RightWetOut, RightDryOut, n);
}
