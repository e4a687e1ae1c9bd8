// Reading 16-bit sample data at a fractional frame position. Five modes;
// the sampler picks one routine per note and zone by the mode and the
// sample's channel count, so the per-sample path has no branch on either.
//
// Positions are doubles: a float position loses the fraction's low bits
// beyond 32768 frames, which detunes long samples played at small
// increments; the fraction itself is a float, as the modes compute it.
//
// Frame k of a stereo sample is the value pair 2k (left), 2k + 1 (right).
// i = floor(position), computed as round-to-nearest-even of position - 0.5
// (so an odd whole position p gives i = p - 1 and f = 1, with the same
// result), except in "None" stereo, which takes the frame at or below the
// position; frame i - 1 below 0 reads frame 0. The routines read up to frame
// i + 2: the store keeps spare zeroed values after every sample's data.
// The result is multiplied by the zone's sample scale.
#pragma once

#include <emmintrin.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

enum TInterpolationMode : std::int32_t {
  kInterpolationNone = 0,    // one stored value
  kInterpolation2Point = 1,  // linear between frames i and i + 1
  kInterpolation4Point = 2,  // four-point smoothing over frames i - 1 .. i + 2
  kInterpolationLinear = 3,  // linear, difference form
  kInterpolationCubic = 4,   // four-point cubic Hermite; every other value too
};

// Display names of the modes, by mode index.
inline constexpr std::array<std::string_view, 5> kInterpolationModeNames = {"None", "2 Point", "4 Point", "Linear",
                                                                            "Cubic"};
// The interpolation name list: any index without a name shows "2 Point".
std::string GetInterpolationName(std::int32_t mode);

using TSampleInterpolator = void (*)(const std::int16_t* data, double position, float scale, float& left, float& right);

// The routine for a mode and a channel count (2 = stereo, anything else mono).
TSampleInterpolator SelectInterpolator(std::int32_t mode, std::int32_t channels);

// Round to nearest even under the processor's default mode, inline.
inline std::int32_t RoundToInt(double x) { return _mm_cvtsd_si32(_mm_set_sd(x)); }
// floor as the sampler computes it: round(position - 0.5).
inline std::int32_t SampleFloor(double position) { return RoundToInt(position - 0.5); }

// The individual routines, for callers that interpolate in place.
void InterpolateNoneMono(const std::int16_t* data, double position, float scale, float& left, float& right);
void InterpolateNoneStereo(const std::int16_t* data, double position, float scale, float& left, float& right);
void Interpolate2PointMono(const std::int16_t* data, double position, float scale, float& left, float& right);
void Interpolate2PointStereo(const std::int16_t* data, double position, float scale, float& left, float& right);
void Interpolate4PointMono(const std::int16_t* data, double position, float scale, float& left, float& right);
void Interpolate4PointStereo(const std::int16_t* data, double position, float scale, float& left, float& right);
void InterpolateLinearMono(const std::int16_t* data, double position, float scale, float& left, float& right);
void InterpolateLinearStereo(const std::int16_t* data, double position, float scale, float& left, float& right);
void InterpolateCubicMono(const std::int16_t* data, double position, float scale, float& left, float& right);
void InterpolateCubicStereo(const std::int16_t* data, double position, float scale, float& left, float& right);

// Four-point cubic Hermite through x1 (f = 0) and x2 (f = 1).
inline float CubicHermite(float x0, float x1, float x2, float x3, float f) {
  const float a = (3.0f * (x1 - x2) - x0 + x3) * 0.5f;
  const float b = 2.0f * x2 + x0 - (5.0f * x1 + x3) * 0.5f;
  const float c = (x2 - x0) * 0.5f;
  const float f2 = f * f;
  return a * f2 * f + b * f2 + c * f + x1;
}

// The mono "2 Point" and "Cubic" values, inline for the zone renderers that
// interpolate in place; the routines above are these same computations.
inline float Mono2PointAt(const std::int16_t* data, double position, float scale) {
  const std::int32_t i = SampleFloor(position);
  const auto f = static_cast<float>(position - i);
  return ((1.0f - f) * data[i] + f * data[i + 1]) * scale;
}
inline float MonoCubicAt(const std::int16_t* data, double position, float scale) {
  const std::int32_t i = SampleFloor(position);
  const auto f = static_cast<float>(position - i);
  return CubicHermite(data[i > 0 ? i - 1 : 0], data[i], data[i + 1], data[i + 2], f) * scale;
}
