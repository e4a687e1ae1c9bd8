// Root class of every signal-processing object and of the plug-in class
// chain: a pointer to the audio settings in use, an optional pair of
// 16-byte-aligned work buffers sized from them, and the float helpers every
// DSP class calls on itself.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>

#include "framework/base/base_math.h"
#include "framework/modules/audio_settings.h"

class TDSPBaseControl {
 public:
  TDSPBaseControl();
  virtual ~TDSPBaseControl();
  TDSPBaseControl(const TDSPBaseControl&) = delete;
  TDSPBaseControl& operator=(const TDSPBaseControl&) = delete;

  virtual void SetUsesBuffers(bool flag) { UsesBuffers = flag; }
  // Only when UsesBuffers: two zero-filled work buffers of BufferLength
  // floats (+16 spare floats each side) aligned to 16 bytes. Frees earlier ones.
  virtual void AllocBuffers();
  virtual void FreeBuffers();

  // The one way an owner passes its settings down. An object with its own
  // copy copies rec into it; an adopting object points at rec; any other
  // object only sees the rate change (in a private copy: the process-wide
  // records are never written through an object).
  virtual void SetAudioSettings(TAudioSettingsRec* rec);
  virtual void ReallocBuffers() {}
  virtual void ReleaseBuffers() {}
  virtual void ClearBufferPointers();
  // Refills the record in use for rate and block (block -1: one millisecond)
  // and passes it on through SetAudioSettings.
  virtual void SetRateAndBlockSize(std::int32_t rate, std::int32_t block);

  // Frees an existing own copy and makes a new one at 44100 Hz, block 44.
  void CreateOwnSettings();
  void SetAdoptsSettings() { AdoptsSettings = true; }

  // Float helpers (round to nearest even under the plug-in's FP environment).
  static float CeilInt(float x) { return x >= 0 ? std::nearbyint(x + 0.5f) : std::nearbyint(x - 0.5f); }
  static float LnXP1(float x) { return std::log1p(x); }
  static float Log2(float x) { return std::log2(x); }
  static float LogN(float base, float x) { return std::log2(x) / std::log2(base); }
  static float Tan(float x) { return std::tan(x); }
  static float Hypot(float x, float y) {
    float a = std::fabs(x), b = std::fabs(y);
    if (b > a) std::swap(a, b);
    if (b == 0) return a;
    const float r = b / a;
    return a * std::sqrt(1 + r * r);
  }
  static float ArcTan2(float y, float x) { return std::atan2(y, x); }
  static float ArcCos(float x) { return ArcTan2(std::sqrt(1 - x * x), x); }
  static float ArcSin(float x) { return ArcTan2(x, std::sqrt(1 - x * x)); }
  static void ClampInt16(std::int16_t& v, std::int16_t min, std::int16_t max) {
    if (v < min) v = min;
    else if (v > max) v = max;
  }
  static void ClampInt(std::int32_t& v, std::int32_t min, std::int32_t max) {
    if (v < min) v = min;
    else if (v > max) v = max;
  }
  // The minimum test comes first (NaN stays NaN).
  static void ClampFloat(float& v, float min, float max) {
    if (v < min) v = min;
    else if (v > max) v = max;
  }
  static float SignOf(float x) { return x > 0 ? 1.0f : -1.0f; }
  static float Sinh(float x) {
    const float h = 0.5f * std::exp(x);
    return h == 0 ? 0.0f : h - 0.25f / h;
  }
  static float RoundInt(float x) { return std::nearbyint(x); }
  static float FracTrunc(float x) { return x >= 0 ? x - std::nearbyint(x - 0.5f) : x - std::nearbyint(x + 0.5f); }
  static float FracFloor(float x) { return x - std::nearbyint(x - 0.5f); }
  static std::int32_t TruncInt(float x) { return TruncF(x); }
  static std::int32_t TruncDouble(double x) { return TruncF(x); }
  static std::int32_t FloorInt(float x) { return FloorF(x); }
  // x = 0 gives intPart 0 and 0; otherwise the truncated part and the rest.
  static float SplitIntFrac(float x, std::int32_t& intPart) {
    if (x == 0) {
      intPart = 0;
      return 0;
    }
    intPart = TruncInt(x);
    return FracTrunc(x);
  }
  // 6.875 * exp((pitch + 3) * ln2 / 12): 69 gives 440 Hz.
  static float PitchToFreq(float pitch) {
    return 6.875f * std::exp((pitch + 3.0f) * (std::numbers::ln2_v<float> / 12.0f));
  }
  static float FreqToPitch(float freq) { return LogN(std::exp2(1.0f / 12.0f), freq * (1.0f / 6.875f)) - 3.0f; }
  // The factor that brings a period of `length` samples at `n` samples per
  // second to `pitch`.
  static float PitchOffsetToRatio(float n, float pitch, float length) {
    return std::exp((pitch - FreqToPitch(n / length)) * (std::numbers::ln2_v<float> / 12.0f));
  }

  TAudioSettingsRec* Settings;  // the record in use; never null
  float* InBuffer = nullptr;    // work buffers, 16-byte aligned
  float* OutBuffer = nullptr;
  std::int32_t Id = -1;
  bool UsesBuffers = false;
  bool AdoptsSettings = false;

 protected:
  std::unique_ptr<TAudioSettingsRec> OwnSettings;

 private:
  std::unique_ptr<float[]> RawInBuffer;
  std::unique_ptr<float[]> RawOutBuffer;
  // Set for an object that neither owns nor adopts: its private record only
  // follows the rate field, as the shared default would have.
  bool RateOnlyCopy = false;
};
