// The WAV writer: integer codes, clipping and the header sizes that other
// programs rely on.
#include "tools/host/wav_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "tests/tools/host_process.h"

namespace {

std::vector<std::uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::string WriteTwoBlocks(TWavFormat format, const std::vector<float>& left, const std::vector<float>& right) {
  const std::string path = Scratch("wav-" + std::to_string(static_cast<int>(format)) + ".wav");
  TWavWriter w;
  std::string error;
  EXPECT_TRUE(w.Open(path, 2, 48000, format, error)) << error;
  const int half = static_cast<int>(left.size() / 2);
  const float* first[] = {left.data(), right.data()};
  const float* second[] = {left.data() + half, right.data() + half};
  EXPECT_TRUE(w.Write(first, half));
  EXPECT_TRUE(w.Write(second, static_cast<int>(left.size()) - half));
  EXPECT_TRUE(w.Close(error)) << error;
  return path;
}

TEST(WavFile, IntegerFormatsRoundClipAndReadBack) {
  const std::vector<float> left = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 1.5f, -7.0f, NAN};
  const std::vector<float> right(left.size(), 0.25f);
  for (TWavFormat format : {TWavFormat::Pcm16, TWavFormat::Pcm24}) {
    const int bits = format == TWavFormat::Pcm16 ? 16 : 24;
    const double full = std::ldexp(1.0, bits - 1);
    TWavData wav;
    std::string error;
    ASSERT_TRUE(LoadWav(WriteTwoBlocks(format, left, right), wav, error)) << error;
    ASSERT_EQ(wav.Samples[0].size(), left.size());
    EXPECT_EQ(wav.SampleRate, 48000);
    EXPECT_EQ(wav.Samples[0][1], 0.5f);
    EXPECT_EQ(wav.Samples[0][2], -0.5f);
    EXPECT_DOUBLE_EQ(wav.Samples[0][3], (full - 1) / full);  // clipped to the largest code
    EXPECT_EQ(wav.Samples[0][4], -1.0f);
    EXPECT_DOUBLE_EQ(wav.Samples[0][5], (full - 1) / full);
    EXPECT_EQ(wav.Samples[0][6], -1.0f);
    EXPECT_EQ(wav.Samples[0][7], 0.0f);  // NaN is written as silence
    EXPECT_EQ(wav.Samples[1][0], 0.25f);
  }
}

TEST(WavFile, FloatFormatKeepsSamplesAndPatchesEverySize) {
  const std::vector<float> left = {0.1f, -2.5f, 1e-3f, 0.75f, 0.0f, 3.0f};
  const std::vector<float> right = {-0.1f, 2.5f, -1e-3f, -0.75f, 1.0f, -3.0f};
  const std::string path = WriteTwoBlocks(TWavFormat::Float32, left, right);
  const auto bytes = FileBytes(path);
  ASSERT_EQ(bytes.size(), 58u + 6 * 2 * 4);
  EXPECT_EQ(U32(bytes, 4), bytes.size() - 8);  // RIFF size
  EXPECT_EQ(U32(bytes, 46), 6u);               // fact: frames
  EXPECT_EQ(U32(bytes, 54), 48u);              // data size
  TWavData wav;
  std::string error;
  ASSERT_TRUE(ReadWav(bytes, wav, error)) << error;
  EXPECT_EQ(wav.Samples[0], left);
  EXPECT_EQ(wav.Samples[1], right);
}

TEST(WavFile, ReaderRejectsDamagedFiles) {
  const std::string path = WriteTwoBlocks(TWavFormat::Pcm16, {0.1f, 0.2f}, {0.3f, 0.4f});
  auto bytes = FileBytes(path);
  TWavData wav;
  std::string error;
  EXPECT_FALSE(ReadWav(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 40), wav, error));
  bytes[40] = 0xFF;  // data chunk announces far more than present
  bytes[43] = 0x7F;
  EXPECT_FALSE(ReadWav(bytes, wav, error));
  EXPECT_EQ(error, "truncated WAV chunk");
}

}  // namespace
