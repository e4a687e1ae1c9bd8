#include "dsp/sampler/sample_interpolation.h"

namespace {

inline std::int32_t Before(std::int32_t i) { return i > 0 ? i - 1 : 0; }

}  // namespace

std::string GetInterpolationName(std::int32_t mode) {
  if (mode < 0 || mode >= static_cast<std::int32_t>(kInterpolationModeNames.size())) return "2 Point";
  return std::string(kInterpolationModeNames[static_cast<std::size_t>(mode)]);
}

void InterpolateNoneMono(const std::int16_t* data, double position, float scale, float& left, float& right) {
  // Mono rounds to the nearest frame; stereo truncates downwards.
  const float v = static_cast<float>(data[RoundToInt(position)]) * scale;
  left = v;
  right = v;
}

void InterpolateNoneStereo(const std::int16_t* data, double position, float scale, float& left, float& right) {
  // A true floor (positions are never negative): round(position - 0.5)
  // would play frame k - 1 at every odd whole position k.
  const auto i = static_cast<std::int32_t>(position);
  left = static_cast<float>(data[2 * i]) * scale;
  right = static_cast<float>(data[2 * i + 1]) * scale;
}

void Interpolate2PointMono(const std::int16_t* data, double position, float scale, float& left, float& right) {
  const float v = Mono2PointAt(data, position, scale);
  left = v;
  right = v;
}

void Interpolate2PointStereo(const std::int16_t* data, double position, float scale, float& left, float& right) {
  const std::int32_t i = SampleFloor(position);
  const auto f = static_cast<float>(position - i);
  const float g = 1.0f - f;
  left = (g * data[2 * i] + f * data[2 * i + 2]) * scale;
  right = (g * data[2 * i + 1] + f * data[2 * i + 3]) * scale;
}

void Interpolate4PointMono(const std::int16_t* data, double position, float scale, float& left, float& right) {
  const std::int32_t i = SampleFloor(position);
  const auto f = static_cast<float>(position - i);
  const float g = 1.0f - f;
  const float w0 = g * 0.25f, w1 = g * 0.75f, w2 = f * 0.75f, w3 = f * 0.25f;
  const float v = (data[Before(i)] * w0 + data[i] * w1 + data[i + 1] * w2 + data[i + 2] * w3) * scale;
  left = v;
  right = v;
}

void Interpolate4PointStereo(const std::int16_t* data, double position, float scale, float& left, float& right) {
  const std::int32_t i = SampleFloor(position);
  const auto f = static_cast<float>(position - i);
  const float g = 1.0f - f;
  const float w0 = g * 0.25f, w1 = g * 0.75f, w2 = f * 0.75f, w3 = f * 0.25f;
  const std::int32_t b = 2 * Before(i), k = 2 * i;
  left = (data[b] * w0 + data[k] * w1 + data[k + 2] * w2 + data[k + 4] * w3) * scale;
  right = (data[b + 1] * w0 + data[k + 1] * w1 + data[k + 3] * w2 + data[k + 5] * w3) * scale;
}

void InterpolateLinearMono(const std::int16_t* data, double position, float scale, float& left, float& right) {
  const std::int32_t i = SampleFloor(position);
  const auto f = static_cast<float>(position - i);
  const float s0 = data[i];
  const float v = (s0 + f * (static_cast<float>(data[i + 1]) - s0)) * scale;
  left = v;
  right = v;
}

void InterpolateLinearStereo(const std::int16_t* data, double position, float scale, float& left, float& right) {
  const std::int32_t i = SampleFloor(position);
  const auto f = static_cast<float>(position - i);
  const float l0 = data[2 * i], r0 = data[2 * i + 1];
  left = (l0 + f * (static_cast<float>(data[2 * i + 2]) - l0)) * scale;
  right = (r0 + f * (static_cast<float>(data[2 * i + 3]) - r0)) * scale;
}

void InterpolateCubicMono(const std::int16_t* data, double position, float scale, float& left, float& right) {
  const float v = MonoCubicAt(data, position, scale);
  left = v;
  right = v;
}

void InterpolateCubicStereo(const std::int16_t* data, double position, float scale, float& left, float& right) {
  const std::int32_t i = SampleFloor(position);
  const auto f = static_cast<float>(position - i);
  const std::int32_t b = 2 * Before(i), k = 2 * i;
  left = CubicHermite(data[b], data[k], data[k + 2], data[k + 4], f) * scale;
  right = CubicHermite(data[b + 1], data[k + 1], data[k + 3], data[k + 5], f) * scale;
}

TSampleInterpolator SelectInterpolator(std::int32_t mode, std::int32_t channels) {
  const bool stereo = channels == 2;
  switch (mode) {
    case kInterpolationNone:
      return stereo ? InterpolateNoneStereo : InterpolateNoneMono;
    case kInterpolation2Point:
      return stereo ? Interpolate2PointStereo : Interpolate2PointMono;
    case kInterpolation4Point:
      return stereo ? Interpolate4PointStereo : Interpolate4PointMono;
    case kInterpolationLinear:
      return stereo ? InterpolateLinearStereo : InterpolateLinearMono;
    default:
      return stereo ? InterpolateCubicStereo : InterpolateCubicMono;
  }
}
