#include "framework/base/constant_buffers.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "framework/base/base_math.h"
#include "platform/resources.h"

namespace {

alignas(16) float gZero[kConstantBufferLength];
alignas(16) float gOne[kConstantBufferLength];
alignas(16) float gHalf[kConstantBufferLength];
alignas(16) float gThree[kConstantBufferLength];
alignas(16) float gTwo[kConstantBufferLength];
alignas(16) float gHundred[kConstantBufferLength];
alignas(16) float gSixtyFour[kConstantBufferLength];
alignas(16) float gFortyEight[kConstantBufferLength];
alignas(16) float gNoise[kConstantBufferLength];
alignas(16) float gDenormalNoise[kConstantBufferLength];

void Fill(float* buffer, float value) {
  for (int i = 0; i < kConstantBufferLength; ++i) buffer[i] = value;
}

// Runs when the binary is loaded, before any DSP object can exist.
[[gnu::constructor]] void InitConstantBuffers() {
  Fill(gOne, 1.0f);
  Fill(gHalf, 0.5f);
  Fill(gThree, 3.0f);
  Fill(gTwo, 2.0f);
  Fill(gHundred, 100.0f);
  Fill(gSixtyFour, 64.0f);
  Fill(gFortyEight, 48.0f);
  const auto bytes = FindResourceBytes("XWAVE_NOISE");
  const std::size_t count = std::min<std::size_t>(bytes.size() / 4, kConstantBufferLength);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t bits = 0;
    for (int b = 0; b < 4; ++b) bits |= std::uint32_t{bytes[i * 4 + b]} << (8 * b);
    gNoise[i] = __builtin_bit_cast(float, bits);
  }
  for (int i = 0; i < kConstantBufferLength; ++i) {
    const float n = gNoise[i];
    const float magnitude = (std::fabs(n) * 0.5f + 0.5f) * 1e-20f;
    gDenormalNoise[i] = n < 0 ? -magnitude : magnitude;
  }
}

}  // namespace

const float* const ZeroBuffer = gZero;
const float* const OneBuffer = gOne;
const float* const HalfBuffer = gHalf;
const float* const ThreeBuffer = gThree;
const float* const TwoBuffer = gTwo;
const float* const HundredBuffer = gHundred;
const float* const SixtyFourBuffer = gSixtyFour;
const float* const FortyEightBuffer = gFortyEight;
const float* const NoiseBuffer = gNoise;
const float* const DenormalNoiseBuffer = gDenormalNoise;

namespace {
std::string Clip255(std::string s) {
  if (s.size() > 255) s.resize(255);
  return s;
}
}  // namespace

const std::string& WaveFolder() {
  static const std::string folder = Clip255(ProgramFolder() + "Work/Wave/");
  return folder;
}

const std::string& TempFolder() {
  static const std::string folder = Clip255(WaveFolder() + "Temp/");
  return folder;
}

const std::string& ClipboardWaveFile() {
  static const std::string file = Clip255(WaveFolder() + "clipbfile.wav");
  return file;
}
