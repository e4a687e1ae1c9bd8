#include "tools/host/wav_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

int BytesPerSample(TWavFormat f) { return f == TWavFormat::Pcm16 ? 2 : f == TWavFormat::Pcm24 ? 3 : 4; }

void PutLE(std::uint8_t* p, std::uint32_t v, int count) {
  for (int i = 0; i < count; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t GetLE(const std::uint8_t* p, int count) {
  std::uint32_t v = 0;
  for (int i = count - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Integer PCM code of a float sample: clipped, rounded half to even.
std::int32_t ToPcm(float x, int bits) {
  const double full = static_cast<double>(1 << (bits - 1));
  double v = std::isnan(x) ? 0.0 : static_cast<double>(x);
  v = std::nearbyint(v * full);
  if (v > full - 1) v = full - 1;
  if (v < -full) v = -full;
  return static_cast<std::int32_t>(v);
}

}  // namespace

bool ParseWavFormat(const std::string& text, TWavFormat& format) {
  if (text == "16") format = TWavFormat::Pcm16;
  else if (text == "24") format = TWavFormat::Pcm24;
  else if (text == "float" || text == "32f" || text == "32") format = TWavFormat::Float32;
  else return false;
  return true;
}

namespace {
// The header's bytes before the samples: RIFF and fmt chunks, float's fact
// chunk, the data chunk's head.
std::uint64_t HeaderBytes(TWavFormat format) { return format == TWavFormat::Float32 ? 58 : 44; }
}  // namespace

std::int64_t WavFrameLimit(int channels, TWavFormat format) {
  // The RIFF size counts the file but its first 8 bytes.
  const std::uint64_t room = 0xFFFFFFFFull + 8 - HeaderBytes(format);
  const auto frameBytes = static_cast<std::uint64_t>(std::max(channels, 1) * BytesPerSample(format));
  return static_cast<std::int64_t>(room / frameBytes);
}

TWavWriter::~TWavWriter() {
  std::string ignored;
  Close(ignored);
}

bool TWavWriter::Open(const std::string& path, int channels, int sampleRate, TWavFormat format, std::string& error) {
  if (channels < 1 || channels > 64 || sampleRate < 1) {
    error = "cannot write a WAV file with " + std::to_string(channels) + " channels at " + std::to_string(sampleRate) +
            " Hz";
    return false;
  }
  File = std::fopen(path.c_str(), "wb");
  if (!File) {
    error = "cannot create '" + path + "': " + std::strerror(errno);
    return false;
  }
  Channels = channels;
  Format = format;
  Frames = 0;
  Failed = false;
  // RIFF header, fmt chunk (WAVE_FORMAT_IEEE_FLOAT = 3 carries a fact chunk)
  // and the data chunk header; sizes are patched on Close.
  std::uint8_t header[58] = {};
  const bool isFloat = format == TWavFormat::Float32;
  const int bytes = BytesPerSample(format);
  std::memcpy(header, "RIFF", 4);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  PutLE(header + 16, isFloat ? 18 : 16, 4);
  PutLE(header + 20, isFloat ? 3 : 1, 2);
  PutLE(header + 22, static_cast<std::uint32_t>(channels), 2);
  PutLE(header + 24, static_cast<std::uint32_t>(sampleRate), 4);
  PutLE(header + 28, static_cast<std::uint32_t>(sampleRate * channels * bytes), 4);
  PutLE(header + 32, static_cast<std::uint32_t>(channels * bytes), 2);
  PutLE(header + 34, static_cast<std::uint32_t>(bytes * 8), 2);
  std::size_t size = 36;
  if (isFloat) {
    PutLE(header + 36, 0, 2);  // cbSize
    std::memcpy(header + 38, "fact", 4);
    PutLE(header + 42, 4, 4);
    size = 50;
  }
  std::memcpy(header + size, "data", 4);
  size += 8;
  if (std::fwrite(header, 1, size, File) != size) Failed = true;
  return !Failed;
}

bool TWavWriter::Write(const float* const* channelData, int frames) {
  if (!File || Failed || frames <= 0) return !Failed;
  const int bytes = BytesPerSample(Format);
  Scratch.resize(static_cast<std::size_t>(frames) * Channels * bytes);
  std::uint8_t* p = Scratch.data();
  for (int i = 0; i < frames; ++i) {
    for (int c = 0; c < Channels; ++c) {
      const float x = channelData[c][i];
      if (Format == TWavFormat::Float32) {
        std::uint32_t bits;
        std::memcpy(&bits, &x, 4);
        PutLE(p, bits, 4);
      } else {
        PutLE(p, static_cast<std::uint32_t>(ToPcm(x, bytes * 8)), bytes);
      }
      p += bytes;
    }
  }
  if (std::fwrite(Scratch.data(), 1, Scratch.size(), File) != Scratch.size()) Failed = true;
  Frames += frames;
  return !Failed;
}

bool TWavWriter::Close(std::string& error) {
  if (!File) return !Failed;
  const int bytes = BytesPerSample(Format);
  const std::uint64_t dataBytes = static_cast<std::uint64_t>(Frames) * Channels * bytes;
  const bool isFloat = Format == TWavFormat::Float32;
  const std::uint64_t headerBytes = HeaderBytes(Format);
  if (dataBytes + headerBytes - 8 > 0xFFFFFFFFull) {
    Failed = true;
    error = "the WAV file would exceed 4 GiB";
  }
  std::uint8_t v[4];
  PutLE(v, static_cast<std::uint32_t>(dataBytes + headerBytes - 8), 4);
  if (std::fseek(File, 4, SEEK_SET) != 0 || std::fwrite(v, 1, 4, File) != 4) Failed = true;
  if (isFloat) {
    PutLE(v, static_cast<std::uint32_t>(Frames), 4);
    if (std::fseek(File, 46, SEEK_SET) != 0 || std::fwrite(v, 1, 4, File) != 4) Failed = true;
  }
  PutLE(v, static_cast<std::uint32_t>(dataBytes), 4);
  if (std::fseek(File, static_cast<long>(headerBytes - 4), SEEK_SET) != 0 || std::fwrite(v, 1, 4, File) != 4)
    Failed = true;
  if (std::fclose(File) != 0) Failed = true;
  File = nullptr;
  if (Failed && error.empty()) error = "writing the WAV file failed";
  return !Failed;
}

bool ReadWav(std::span<const std::uint8_t> bytes, TWavData& wav, std::string& error) {
  wav = TWavData{};
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    error = "not a WAV file";
    return false;
  }
  std::size_t pos = 12;
  int formatTag = 0, bits = 0;
  bool haveFormat = false;
  while (pos + 8 <= bytes.size()) {
    const std::uint8_t* chunk = bytes.data() + pos;
    const std::uint64_t length = GetLE(chunk + 4, 4);
    const std::size_t body = pos + 8;
    if (length > bytes.size() - body) {
      error = "truncated WAV chunk";
      return false;
    }
    if (std::memcmp(chunk, "fmt ", 4) == 0 && length >= 16) {
      formatTag = static_cast<int>(GetLE(bytes.data() + body, 2));
      wav.Channels = static_cast<int>(GetLE(bytes.data() + body + 2, 2));
      wav.SampleRate = static_cast<int>(GetLE(bytes.data() + body + 4, 4));
      bits = static_cast<int>(GetLE(bytes.data() + body + 14, 2));
      if (formatTag == 0xFFFE && length >= 40) formatTag = static_cast<int>(GetLE(bytes.data() + body + 24, 2));
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat || wav.Channels < 1) {
        error = "WAV data before its format";
        return false;
      }
      if (formatTag == 1 && bits == 16) wav.Format = TWavFormat::Pcm16;
      else if (formatTag == 1 && bits == 24) wav.Format = TWavFormat::Pcm24;
      else if (formatTag == 3 && bits == 32) wav.Format = TWavFormat::Float32;
      else {
        error = "unsupported WAV sample format";
        return false;
      }
      const int sampleBytes = BytesPerSample(wav.Format);
      const std::size_t frames =
          static_cast<std::size_t>(length) / (static_cast<std::size_t>(sampleBytes) * wav.Channels);
      wav.Samples.assign(static_cast<std::size_t>(wav.Channels), std::vector<float>(frames));
      const std::uint8_t* p = bytes.data() + body;
      for (std::size_t i = 0; i < frames; ++i) {
        for (int c = 0; c < wav.Channels; ++c) {
          float x;
          if (wav.Format == TWavFormat::Float32) {
            const std::uint32_t u = GetLE(p, 4);
            std::memcpy(&x, &u, 4);
          } else {
            const int shift = 32 - sampleBytes * 8;
            const auto code = static_cast<std::int32_t>(GetLE(p, sampleBytes) << shift) >> shift;
            x = static_cast<float>(code / static_cast<double>(1 << (sampleBytes * 8 - 1)));
          }
          wav.Samples[static_cast<std::size_t>(c)][i] = x;
          p += sampleBytes;
        }
      }
      return true;
    }
    pos = body + static_cast<std::size_t>(length) + (length & 1);
  }
  error = "WAV file without data";
  return false;
}

bool LoadWav(const std::string& path, TWavData& wav, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open '" + path + "'";
    return false;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ReadWav(bytes, wav, error);
}
