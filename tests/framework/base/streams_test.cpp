#include "framework/base/streams.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "framework/base/constant_buffers.h"
#include "tests/support/test_support.h"

namespace {
std::vector<std::uint8_t> BytesOf(const TMemoryStream& s) { return {s.Bytes().begin(), s.Bytes().end()}; }
}  // namespace

TEST(Streams, ShortStringsAreTrimmedAndCounted) {
  TMemoryStream s;
  EXPECT_EQ(WriteShortStr(s, "  abc "), 6);
  EXPECT_EQ(BytesOf(s), (std::vector<std::uint8_t>{0x04, 0x00, 0x03, 'a', 'b', 'c'}));
  TMemoryStream blank;
  WriteShortStr(blank, " \t ");
  EXPECT_EQ(BytesOf(blank), (std::vector<std::uint8_t>{0x01, 0x00, 0x00}));
  s.SetPosition(0);
  std::string text;
  ASSERT_TRUE(ReadShortStr(s, text));
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(s.Position(), 6);
}

TEST(Streams, ShortStringReaderRejectsCountsItCannotHold) {
  for (std::vector<std::uint8_t> bad : {std::vector<std::uint8_t>{0x00, 0x00},                  // count 0
                                        std::vector<std::uint8_t>{0x01, 0x01},                  // 257
                                        std::vector<std::uint8_t>{0xFF, 0xFF},                  // negative
                                        std::vector<std::uint8_t>{0x02, 0x00, 0x05, 'x'},       // length > field
                                        std::vector<std::uint8_t>{0x02, 0x00, 0x02, 'x', 'y'},  // length = count
                                        std::vector<std::uint8_t>{0x10, 0x00, 0x03, 'a'}}) {    // truncated
    TMemoryStream s(bad);
    std::string text = "keep";
    EXPECT_FALSE(ReadShortStr(s, text));
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(s.Position(), 0);
  }
  // The largest that fit: a length byte of count - 1, and a count of 256.
  std::vector<std::uint8_t> full = {0x02, 0x00, 0x01, 'x'};
  std::vector<std::uint8_t> longest = {0x00, 0x01, 0xFF};
  longest.resize(2 + 256, 'z');
  for (const auto& good : {full, longest}) {
    TMemoryStream s(good);
    std::string text;
    ASSERT_TRUE(ReadShortStr(s, text));
    EXPECT_EQ(text, std::string(good[2], good[3]));
    EXPECT_EQ(s.Position(), static_cast<std::int64_t>(good.size()));
  }
}

TEST(Streams, LongStringsAndIntegersRoundTripAndRejectOverlongLengths) {
  TMemoryStream s;
  WriteLongStr(s, "hello");
  WriteInt32(s, -5);
  WriteInt16(s, 300);
  WriteByte(s, 7);
  WriteInt32BE(s, 0x01020304);
  s.SetPosition(0);
  std::string text;
  std::int32_t i32;
  std::int16_t i16;
  std::uint8_t u8;
  ASSERT_TRUE(ReadLongStr(s, text));
  ASSERT_TRUE(ReadInt32(s, i32));
  ASSERT_TRUE(ReadInt16(s, i16));
  ASSERT_TRUE(ReadByte(s, u8));
  EXPECT_EQ(s.Memory()[s.Position()], 0x01);  // big-endian order on the wire
  ASSERT_TRUE(ReadInt32BE(s, i32));
  EXPECT_EQ(text, "hello");
  EXPECT_EQ(i32, 0x01020304);
  EXPECT_EQ(i16, 300);
  EXPECT_EQ(u8, 7);
  EXPECT_FALSE(ReadInt32(s, i32));

  TMemoryStream bad;
  WriteInt32(bad, 1 << 30);
  bad.SetPosition(0);
  EXPECT_FALSE(ReadLongStr(bad, text));
  EXPECT_EQ(bad.Position(), 0);

  // At the limit: a length of exactly the bytes remaining reads, one more
  // is refused.
  for (std::int32_t extra : {0, 1}) {
    TMemoryStream edge;
    WriteInt32(edge, 3 + extra);
    edge.Write("abc", 3);
    edge.SetPosition(0);
    text = "keep";
    EXPECT_EQ(ReadLongStr(edge, text), extra == 0) << extra;
    EXPECT_EQ(text, extra == 0 ? "abc" : "keep") << extra;
    EXPECT_EQ(edge.Position(), extra == 0 ? 7 : 0) << extra;
  }
}

TEST(Streams, FontChunkReadsBothFormsFromTheSamePosition) {
  TFontSpec font{"Tahoma", 8, 0x00112233, TFontSpec::kBold | TFontSpec::kUnderline, 1};
  TMemoryStream s;
  WriteFontChunk(s, font);
  EXPECT_EQ(s.Memory()[4 + 2 + 1 + 6 + 2 + 4], 10);  // style byte: bold + underline
  s.SetPosition(0);
  TFontSpec back;
  ASSERT_TRUE(ReadFontChunk(s, back));
  EXPECT_EQ(back.Name, "Tahoma");
  EXPECT_EQ(back.Style, 10);
  EXPECT_EQ(back.Color, 0x00112233u);
  EXPECT_EQ(s.Position(), s.Size());

  TMemoryStream old;  // older form: no magic, no character set
  WriteShortStr(old, "Arial");
  WriteInt16(old, 9);
  WriteInt32(old, 5);
  WriteByte(old, TFontSpec::kItalic);
  old.SetPosition(0);
  ASSERT_TRUE(ReadFontChunk(old, back));
  EXPECT_EQ(back.Name, "Arial");
  EXPECT_EQ(back.Size, 9);
  EXPECT_EQ(back.Style, TFontSpec::kItalic);
  EXPECT_EQ(old.Position(), old.Size());
}

TEST(Streams, PictureChunkIsOptionalAndBoundedByTheStream) {
  TMemoryStream none;
  WriteInt32(none, 42);
  none.SetPosition(0);
  std::string name = "x";
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(ReadPictureChunk(none, name, bytes));
  EXPECT_TRUE(name.empty());
  EXPECT_EQ(none.Position(), 0);

  TMemoryStream s;
  const std::uint8_t image[] = {1, 2, 3};
  WritePictureChunk(s, " knob.gif ", image);
  s.SetPosition(0);
  ASSERT_TRUE(ReadPictureChunk(s, name, bytes));
  EXPECT_EQ(name, "knob.gif");
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 3}));

  TMemoryStream truncated(std::span<const std::uint8_t>(s.Memory(), static_cast<std::size_t>(s.Size() - 1)));
  EXPECT_FALSE(ReadPictureChunk(truncated, name, bytes));
  EXPECT_EQ(truncated.Position(), 0);
}

TEST(ConstantBuffers, HoldTheirValuesAndTheNoiseTable) {
  for (int i : {0, 1, kConstantBufferLength - 1}) {
    EXPECT_EQ(ZeroBuffer[i], 0.0f);
    EXPECT_EQ(OneBuffer[i], 1.0f);
    EXPECT_EQ(HalfBuffer[i], 0.5f);
    EXPECT_EQ(TwoBuffer[i], 2.0f);
    EXPECT_EQ(ThreeBuffer[i], 3.0f);
    EXPECT_EQ(FortyEightBuffer[i], 48.0f);
    EXPECT_EQ(SixtyFourBuffer[i], 64.0f);
    EXPECT_EQ(HundredBuffer[i], 100.0f);
  }
  auto noise = LoadResourceStream("XWAVE_NOISE");
  ASSERT_NE(noise, nullptr);
  EXPECT_EQ(noise->Size(), 80000);
  double sum = 0;
  float lo = 0, hi = 0;
  for (int i = 0; i < kConstantBufferLength; ++i) {
    const float n = NoiseBuffer[i];
    sum += n;
    lo = std::min(lo, n);
    hi = std::max(hi, n);
    const float expected = (std::fabs(n) * 0.5f + 0.5f) * 1e-20f;
    EXPECT_FLOAT_EQ(DenormalNoiseBuffer[i], n < 0 ? -expected : expected);
  }
  EXPECT_GE(lo, -1.0f);
  EXPECT_LE(hi, 1.0f);
  EXPECT_LT(lo, -0.99f);
  EXPECT_GT(hi, 0.99f);
  EXPECT_NEAR(sum / kConstantBufferLength, 0.0, 0.02);
  EXPECT_EQ(LoadResourceStream("NO_SUCH_RESOURCE"), nullptr);
}

namespace {
std::vector<std::uint8_t> FileBytes(const std::string& path) {
  TMemoryStream s;
  if (!s.LoadFromFile(path)) return {};
  return BytesOf(s);
}
int TempFilesBeside(const std::string& dir) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    n += e.path().filename().string().find(".tmp") != std::string::npos;
  return n;
}
}  // namespace

// A save that fails part way (here: the file-size limit of the process)
// leaves the file that was there whole; one that works replaces it, keeps
// its permissions and, through a link, replaces the link's target.
TEST(Streams, SavingWritesBesideTheTargetAndRenamesSoAFailedWriteLosesNothing) {
  const std::string dir = testing_support::ScratchDir() + "/atomic-save";
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/Room.spf";
  TMemoryStream good;
  for (int i = 0; i < 100; ++i) WriteInt32(good, i);
  ASSERT_TRUE(good.SaveToFile(path));
  ::chmod(path.c_str(), 0640);

  TMemoryStream big;
  for (int i = 0; i < 100000; ++i) WriteInt32(big, -i);
  const pid_t child = ::fork();
  if (child == 0) {
    // 4 KB at most per file, and a write beyond it fails instead of killing.
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(big.SaveToFile(path) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a write that cannot finish must report failure";
  EXPECT_EQ(FileBytes(path), BytesOf(good)) << "the old file must survive a failed save whole";
  EXPECT_EQ(TempFilesBeside(dir), 0);

  ASSERT_TRUE(big.SaveToFile(path));
  EXPECT_EQ(FileBytes(path), BytesOf(big));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  const std::string link = dir + "/link.spf";
  ::symlink(path.c_str(), link.c_str());
  ASSERT_TRUE(good.SaveToFile(link));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(FileBytes(path), BytesOf(good));
  EXPECT_FALSE(good.SaveToFile(dir + "/no-such-folder/x.spf"));
  EXPECT_FALSE(good.SaveToFile(dir)) << "a folder is never replaced";
  EXPECT_EQ(TempFilesBeside(dir), 0);
}
