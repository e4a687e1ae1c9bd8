// Two-channel distortion: per side a drive gain, one of sixteen curves (and
// a logistic curve for higher type numbers), optional clipping before or
// after the curve, two tone filters before or after it, and a surround
// control that blends each wet side with the other.
//
// Every setter is a plain store; drive gains, curve constants and clipping
// are derived at the start of each sub-block.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "dsp/effects/stereo_effect.h"
#include "dsp/filters/multi_filter.h"

// The distortion curves by type number. Programs store the number, so a
// curve never changes its number; types above 16 play the logistic curve
// (the setters raise a type below 1 to 1).
enum TDistortionCurve : std::int32_t {
  kDistortionOldValves = 1,
  kDistortionTubeScream1 = 2,
  kDistortionSynthValve = 3,
  kDistortionGrunge = 4,
  kDistortionFbkValve = 5,
  kDistortionTubeScream2 = 6,
  kDistortionFbkScream = 7,
  kDistortionBass1 = 8,
  kDistortionRain = 9,
  kDistortionBass2 = 10,
  kDistortionBass3 = 11,
  kDistortionRock = 12,
  kDistortionSynDist = 13,
  kDistortionSynDist2 = 14,
  kDistortionSynDist3 = 15,
  kDistortionCubicWindow = 16,  // a cubic inside a window, silent outside; no name
};

// Display names of the distortion curves by type; index 0 and every type
// above 15 have no name (type 0 plays curve 1, types 17 and above the
// logistic curve).
inline constexpr std::int32_t kDistortionCurveNameCount = 16;
extern const std::array<std::string_view, kDistortionCurveNameCount> DistortionCurveName;
// The name of a curve type; empty for a type without one.
std::string_view GetDistortionCurveName(std::int32_t type);

class TDSPXDistortion : public TDSPStereoEffect {
 public:
  // Clip modes.
  static constexpr std::uint8_t kClipNone = 0;
  static constexpr std::uint8_t kClipBeforeCurve = 1;
  static constexpr std::uint8_t kClipAfterCurve = 2;

  TDSPXDistortion();
  ~TDSPXDistortion() override;

  void ProcessStereo(float* left, float* right) override;
  // Applies curve `type` (1..16, anything else the logistic curve) with drive
  // d (0..1) to n samples in place.
  static void ApplyCurve(float* buffer, std::int32_t n, std::int32_t type, float d);
  // The four tone filters follow the record.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // The tone filters' states.
  void ClearSmallState() override;

  // Non-finite values are ignored.
  void SetSurround(float value);                      // 0..1: share of the other side in each wet side
  void SetDriveLeft(float value);                     // 0..1: gain 5^((127 d - 32) / 127), about 0.667..3.33
  void SetDriveRight(float value);                    // 0..1
  void SetInputAdjust(bool on) { InputAdjust = on; }  // negates both drive gains
  void SetPreFilter(bool on) { PreFilter = on; }      // tone filters before the curve
  void SetTypeLeft(std::int32_t type);                // 1..16 curves, above: logistic; 0 (or less) is 1
  void SetTypeRight(std::int32_t type);
  void SetClipThreshold(float value);   // magnitude at which clipping starts
  void SetClipLevel(float value);       // the value a clipped sample takes (any sign)
  void SetClipMode(std::int32_t mode);  // 0 none, 1 before the curve, 2 after it, others none
  // Stored only (0 "Linear" is the one type).
  void SetClipType(std::int32_t type) { ClipType = type >= 0 && type <= 255 ? static_cast<std::uint8_t>(type) : 0; }
  void SetFilterL1On(bool on) { FilterOn[0] = on; }
  void SetFilterL2On(bool on) { FilterOn[1] = on; }
  void SetFilterR1On(bool on) { FilterOn[2] = on; }
  void SetFilterR2On(bool on) { FilterOn[3] = on; }

  // Tone filters: 0 L1, 1 L2, 2 R1, 3 R2. The rack sets their type,
  // cutoff, resonance and param3 directly.
  TDSPMultiFilter& ToneFilter(int index) { return Filters[static_cast<std::size_t>(index & 3)]; }

  float GetSurround() const { return Surround; }
  float GetDriveLeft() const { return DriveLeft; }
  float GetDriveRight() const { return DriveRight; }
  std::int32_t GetTypeLeft() const { return TypeLeft; }
  std::int32_t GetTypeRight() const { return TypeRight; }
  float GetClipThreshold() const { return ClipThreshold; }
  float GetClipLevel() const { return ClipLevel; }
  std::uint8_t GetClipMode() const { return ClipMode; }
  std::uint8_t GetClipType() const { return ClipType; }

 private:
  void ApplyToneFilters(float* wetLeft, float* wetRight, std::int32_t n);
  void Clip(float* buffer, std::int32_t n) const;

  float Surround = 0.4f;
  float DriveLeft = 0.0001223f;
  float DriveRight = 0.06f;
  // 5^((127 drive - 32) / 127) of each side, kept with the drive.
  float GainLeft = 0;
  float GainRight = 0;
  std::int32_t TypeLeft = 1;
  std::int32_t TypeRight = 1;
  bool InputAdjust = false;
  bool PreFilter = false;
  float ClipLevel = 0.5f;
  float ClipThreshold = 10.0f;
  std::uint8_t ClipMode = kClipNone;
  std::uint8_t ClipType = 0;
  std::array<bool, 4> FilterOn{};
  std::array<TDSPMultiFilter, 4> Filters;
};
