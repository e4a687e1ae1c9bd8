// The sample rate and block size as every DSP object sees them, with every
// quantity derived from them precomputed, so no DSP loop divides by the rate
// or multiplies out a byte count. A plain value type: copied whole.
#pragma once

#include <cstdint>

struct TAudioSettingsRec {
  std::int32_t LastIndex;           // BlockSize - 1
  std::uint16_t MsLastIndex16;      // SamplesPerMs - 1 (low 16 bits)
  std::uint16_t SamplesPerMs16;     // SamplesPerMs (low 16 bits)
  std::int32_t BlockSize;           // samples, at least 1
  std::uint8_t MsOctetsLast;        // SamplesPerMs div 8 - 1
  std::uint8_t MsOctetRest;         // SamplesPerMs mod 8
  float RateFactor;                 // SampleRate / 44100
  std::int32_t SampleRate;          // Hz
  std::int32_t BufferLength;        // BlockSize + 16 floats in a work buffer
  std::int32_t BufferBytes;         // BufferLength * 4
  std::int32_t BufferBytesB;        // same value
  std::int32_t StereoLength;        // BlockSize * 2 (interleaved stereo block)
  std::int32_t StereoBufferLength;  // BufferLength * 2
  std::int32_t StereoLastIndex;     // StereoLength - 1
  std::int32_t StereoBufferBytes;   // StereoBufferLength * 4
  std::int32_t StereoBufferBytesB;  // same value
  std::int32_t MsStereoLength;      // SamplesPerMs * 2
  std::int32_t MsBytes;             // SamplesPerMs * 4
  std::int32_t MsBytesLast;         // MsBytes - 1
  std::int32_t MsStereoLastIndex;   // MsStereoLength - 1
  std::int32_t SamplesPerMs;        // SampleRate div 1000
  std::int32_t MsLastIndex;         // SamplesPerMs - 1
  float InvSampleRate;              // 1 / SampleRate
  std::int32_t ControlRate;         // 10000
  float InvControlRate;             // 1 / 10000
  std::int32_t HalfRate;            // SampleRate div 2
  std::int32_t SamplesPerMsB;       // same as SamplesPerMs
  std::int32_t MsPerBlock;          // BlockSize div SamplesPerMs
  float MsPerBlockF;                // BlockSize / SamplesPerMs
};

// The lowest rate the record can describe (one sample per millisecond).
inline constexpr std::int32_t kMinSampleRate = 1000;

// Fills every field. Rates below kMinSampleRate are raised to it (callers
// that take rates from outside reject them first); blocks below 1 become 1.
constexpr void SetupAudioSettings(TAudioSettingsRec& rec, std::int32_t sampleRate, std::int32_t blockSize) {
  if (sampleRate < kMinSampleRate) sampleRate = kMinSampleRate;
  if (blockSize < 1) blockSize = 1;
  rec.SampleRate = sampleRate;
  rec.InvSampleRate = 1.0f / static_cast<float>(sampleRate);
  rec.SamplesPerMs = sampleRate / 1000;
  rec.MsLastIndex = rec.SamplesPerMs - 1;
  rec.MsStereoLength = 2 * rec.SamplesPerMs;
  rec.MsStereoLastIndex = rec.MsStereoLength - 1;
  rec.MsBytes = 4 * rec.SamplesPerMs;
  rec.MsBytesLast = rec.MsBytes - 1;
  rec.RateFactor = static_cast<float>(sampleRate) / 44100.0f;
  rec.MsLastIndex16 = static_cast<std::uint16_t>(rec.MsLastIndex);
  rec.SamplesPerMs16 = static_cast<std::uint16_t>(rec.SamplesPerMs);
  rec.BlockSize = blockSize;
  rec.BufferLength = blockSize + 16;
  rec.LastIndex = blockSize - 1;
  rec.BufferBytes = 4 * rec.BufferLength;
  rec.BufferBytesB = rec.BufferBytes;
  rec.StereoLength = 2 * blockSize;
  rec.StereoBufferLength = 2 * rec.BufferLength;
  rec.StereoLastIndex = rec.StereoLength - 1;
  rec.StereoBufferBytes = 4 * rec.StereoBufferLength;
  rec.StereoBufferBytesB = rec.StereoBufferBytes;
  rec.ControlRate = 10000;
  rec.InvControlRate = 1.0f / 10000.0f;
  rec.HalfRate = sampleRate / 2;
  rec.SamplesPerMsB = sampleRate / 1000;
  rec.MsOctetsLast = static_cast<std::uint8_t>(rec.SamplesPerMs / 8 - 1);
  rec.MsOctetRest = static_cast<std::uint8_t>(rec.SamplesPerMs % 8);
  rec.MsPerBlock = blockSize / rec.SamplesPerMs;
  rec.MsPerBlockF = static_cast<float>(blockSize) / static_cast<float>(rec.SamplesPerMs);
}

constexpr TAudioSettingsRec MakeAudioSettings(std::int32_t sampleRate, std::int32_t blockSize) {
  TAudioSettingsRec rec{};
  SetupAudioSettings(rec, sampleRate, blockSize);
  return rec;
}

// 44100 Hz, block 44: every DSP object points at it after construction.
extern TAudioSettingsRec DefaultAudioSettings;
// 10000 Hz, block 44: given to sub-objects run at the control rate (LFOs).
extern TAudioSettingsRec ControlAudioSettings;
// 44100 Hz, block 44: the template of a plug-in's record. Each plug-in
// instance keeps its own copy, so instances at different rates never share.
extern TAudioSettingsRec PluginAudioSettings;
