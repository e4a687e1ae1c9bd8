// WAV files: a streaming writer (16- or 24-bit integer PCM, or 32-bit float)
// and a reader for the same formats.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

enum class TWavFormat { Pcm16, Pcm24, Float32 };

// Parses "16", "24" or "float".
bool ParseWavFormat(const std::string& text, TWavFormat& format);

// The most frames a WAV file of this layout holds: its sizes are 32-bit, so
// the whole file stays below 4 GiB.
std::int64_t WavFrameLimit(int channels, TWavFormat format);

// Writes the header first and patches the sizes on Close. Samples are
// clipped to [-1, 1] for the integer formats and rounded to nearest.
class TWavWriter {
 public:
  TWavWriter() = default;
  ~TWavWriter();
  TWavWriter(const TWavWriter&) = delete;
  TWavWriter& operator=(const TWavWriter&) = delete;

  bool Open(const std::string& path, int channels, int sampleRate, TWavFormat format, std::string& error);
  // channelData[c][i] for i < frames; false after a write error.
  bool Write(const float* const* channelData, int frames);
  // Patches the header; false when anything failed to reach the file.
  bool Close(std::string& error);
  std::int64_t FramesWritten() const { return Frames; }

 private:
  std::FILE* File = nullptr;
  int Channels = 0;
  TWavFormat Format = TWavFormat::Pcm16;
  std::int64_t Frames = 0;
  bool Failed = false;
  std::vector<std::uint8_t> Scratch;
};

struct TWavData {
  int Channels = 0;
  int SampleRate = 0;
  TWavFormat Format = TWavFormat::Pcm16;
  std::vector<std::vector<float>> Samples;  // per channel
};

// Reads PCM 16/24-bit and float 32-bit files; bounded by the bytes present.
bool ReadWav(std::span<const std::uint8_t> bytes, TWavData& wav, std::string& error);
bool LoadWav(const std::string& path, TWavData& wav, std::string& error);
