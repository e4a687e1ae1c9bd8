// Files a user points the plug-in at (sub-presets, sub-preset banks, bank
// files, design patch files) are bounded by what a valid file of their kind
// can hold: a file far larger, a directory or a FIFO is refused with a
// message before it is read, and nothing changes.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/patch_import.h"
#include "framework/core/sub_preset_format.h"
#include "tests/framework/core/chunk_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using namespace plugin_test;
using namespace chunk_test;
using TBytes = std::vector<std::uint8_t>;
using P = TChunkTestPlugin;

constexpr std::int64_t kTwoGigabytes = std::int64_t{1} << 31;

TBytes BytesOf(const TMemoryStream& s) { return {s.Bytes().begin(), s.Bytes().end()}; }

// The bytes, then zeros up to size (a sparse file: no disk space is used).
std::string WritePadded(const std::string& path, const TBytes& bytes, std::int64_t size) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  EXPECT_EQ(::truncate(path.c_str(), size), 0) << path;
  return path;
}

std::int64_t PeakMemoryBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return std::int64_t{usage.ru_maxrss} * 1024;
}

// A new-style design patch file with one patch of six values.
TBytes OnePatchFile() {
  TMemoryStream s;
  s.Write("XDSPVRPR", 8);
  s.Write("newstyle", 8);
  WriteInt32(s, 1);
  std::uint8_t design[TVoicerackFile::kDesignNameBytes] = {4, 'T', 'e', 's', 't'};
  s.Write(design, sizeof design);
  WriteInt32(s, 1);
  WriteInt32(s, 6);
  std::uint8_t name[TVoicerackFile::kPatchNameBytes] = {5, 'P', 'a', 't', 'c', 'h'};
  s.Write(name, sizeof name);
  for (int v = 0; v < 6; ++v) WriteInt32(s, 100 * v);
  return BytesOf(s);
}

struct FileLimitsTest : ::testing::Test {
  void SetUp() override {
    TTestHost::Reset();
    Plugin = MakePlugin<P>();
    Plugin->SetParameterValue(15, 0.25f);
    Plugin->StoreSubPresetAs(P::kReverb, "Kept");
    Dir = testing_support::ScratchDir() + "/file_limits_" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
  }
  std::string PathOf(const std::string& name) const { return Dir + "/" + name; }
  // Everything a refused load must leave as it was.
  TBytes Everything() {
    TMemoryStream s;
    Plugin->WriteSubPresets(s);
    Plugin->TDSPBasePlugin::SaveChunk(s, false);
    for (std::int32_t i = 0; i < Plugin->GetParamCount(); ++i) WriteFloat32(s, Plugin->GetParameterValue(i));
    return BytesOf(s);
  }
  TBytes ItemFile() {
    TMemoryStream s;
    WriteSubPresetItemRecord(s, P::kReverb, TSubPresetRec{"Padded", {0.9f, 0.8f, 0.7f}});
    return BytesOf(s);
  }
  TBytes GroupFile() {
    TSubPresetGroupRec group;
    group.Id = P::kReverb;
    group.SubPresets = {TSubPresetRec{"Padded", {0.9f, 0.8f, 0.7f}}};
    TMemoryStream s;
    WriteSubPresetGroupRecord(s, group);
    return BytesOf(s);
  }

  std::unique_ptr<P> Plugin;
  std::string Dir;
};

TEST_F(FileLimitsTest, SubPresetFilesPaddedTo2GBAreRefusedUnreadWithAMessageAndChangeNothing) {
  const std::string item = WritePadded(PathOf("padded.spi"), ItemFile(), kTwoGigabytes);
  const std::string bank = WritePadded(PathOf("padded.spf"), GroupFile(), kTwoGigabytes);
  const TBytes before = Everything();
  const std::int64_t peak = PeakMemoryBytes();
  TErrorCapture errors;
  EXPECT_EQ(Plugin->LoadSubPresetFile(P::kReverb, item), -1);
  EXPECT_FALSE(Plugin->LoadSubPresetBankFile(P::kReverb, bank, true));
  ASSERT_EQ(errors.Reported().size(), 2u);
  EXPECT_EQ(errors.Reported()[0],
            "The file \"" + item + "\" is too large for a sub-preset file (2147483648 bytes; at most 1048576).");
  EXPECT_EQ(errors.Reported()[1],
            "The file \"" + bank + "\" is too large for a sub-preset bank (2147483648 bytes; at most 67108864).");
  EXPECT_EQ(Everything(), before);
  EXPECT_LT(PeakMemoryBytes() - peak, std::int64_t{256} << 20) << "the padding was read into memory";
}

TEST_F(FileLimitsTest, EachLimitTakesAFileOfExactlyItsSizeAndRefusesOneByteMore) {
  struct TCase {
    TBytes Bytes;
    std::int64_t Max;
    bool Bank;
  };
  for (const TCase& c :
       {TCase{ItemFile(), kSubPresetFileMax, false}, TCase{GroupFile(), kSubPresetBankFileMax, true}}) {
    const std::string path = PathOf(c.Bank ? "edge.spf" : "edge.spi");
    auto load = [&] {
      return c.Bank ? Plugin->LoadSubPresetBankFile(P::kReverb, path, false)
                    : Plugin->LoadSubPresetFile(P::kReverb, path) >= 0;
    };
    WritePadded(path, c.Bytes, c.Max + 1);
    const TBytes before = Everything();
    TErrorCapture errors;
    EXPECT_FALSE(load()) << path;
    EXPECT_EQ(Everything(), before);
    EXPECT_EQ(errors.Reported().size(), 1u);
    WritePadded(path, c.Bytes, c.Max);
    EXPECT_TRUE(load()) << path;
    EXPECT_EQ(errors.Reported().size(), 1u);
    EXPECT_EQ(Plugin->FindSubPresetGroup(P::kReverb)->SubPresets.back().Name, "Padded");
  }
}

// A writer of a FIFO that appears only when told the readers are done, or
// after a long while to let a reader go that waits for one.
class TLateWriter {
 public:
  explicit TLateWriter(const std::string& fifo)
      : Thread([this, fifo] {
          std::unique_lock<std::mutex> guard(Lock);
          if (Wake.wait_for(guard, std::chrono::seconds(30), [this] { return Done; })) return;
          Needed = true;
          guard.unlock();
          const int fd = ::open(fifo.c_str(), O_WRONLY);
          if (fd >= 0) ::close(fd);
        }) {}
  ~TLateWriter() {
    ReadersDone();
    Thread.join();
  }
  // Answers whether a reader had to wait for the writer.
  bool ReadersDone() {
    std::lock_guard<std::mutex> guard(Lock);
    Done = true;
    Wake.notify_all();
    return Needed;
  }

 private:
  std::mutex Lock;
  std::condition_variable Wake;
  bool Done = false, Needed = false;
  std::thread Thread;
};

TEST_F(FileLimitsTest, ADirectoryOrAFifoIsRefusedAtOnceAndNothingWaitsForAWriter) {
  const std::string dir = PathOf("folder.spi");
  std::filesystem::create_directories(dir);
  const std::string fifo = PathOf("pipe.spf");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const TBytes before = Everything();
  TErrorCapture errors;
  {
    TLateWriter writer(fifo);
    EXPECT_NO_THROW(EXPECT_EQ(Plugin->LoadSubPresetFile(P::kReverb, dir), -1));
    EXPECT_NO_THROW(EXPECT_FALSE(Plugin->LoadSubPresetBankFile(P::kReverb, fifo, true)));
    EXPECT_FALSE(writer.ReadersDone()) << "the load waited for a writer of the FIFO";
  }
  ASSERT_EQ(errors.Reported().size(), 2u);
  EXPECT_EQ(errors.Reported()[0], "The file \"" + dir + "\" could not be read: it is a directory.");
  EXPECT_EQ(errors.Reported()[1], "The file \"" + fifo + "\" could not be read: it is not a regular file.");
  EXPECT_EQ(Everything(), before);
}

TEST_F(FileLimitsTest, BankAndDesignPatchFilesBeyondTheirLimitsAreRefusedUnread) {
  // A bank of this plug-in, padded: its chunk is whole, the file far too long.
  Plugin->SetParameterValue(12, 0.75f);
  const std::string bank = PathOf("padded.fxb");
  ASSERT_TRUE(Plugin->SaveBankFile(bank));
  TMemoryStream saved;
  ASSERT_TRUE(saved.LoadFromFile(bank));
  WritePadded(bank, BytesOf(saved), kBankFileMax + 1);
  const std::string patches = WritePadded(PathOf("padded.pch"), OnePatchFile(), TVoicerackFile::kMaxFileBytes + 1);
  Plugin->SetParameterValue(12, 0.5f);
  const TBytes before = Everything();
  TErrorCapture errors;
  EXPECT_FALSE(Plugin->ImportBankFile(bank));
  EXPECT_FALSE(Plugin->ImportBankFile(patches));
  ASSERT_EQ(errors.Reported().size(), 2u);
  EXPECT_EQ(errors.Reported()[0],
            "The file \"" + bank + "\" is too large for a bank file (67108865 bytes; at most 67108864).");
  EXPECT_EQ(errors.Reported()[1],
            "The file \"" + patches + "\" is too large for a design patch file (67108865 bytes; at most 67108864).");
  EXPECT_EQ(Everything(), before);

  // Within their limits the same files load.
  WritePadded(bank, BytesOf(saved), static_cast<std::int64_t>(saved.Size()));
  EXPECT_TRUE(Plugin->ImportBankFile(bank));
  EXPECT_EQ(Plugin->GetParameterValue(12), 0.75f);
  WritePadded(patches, OnePatchFile(), static_cast<std::int64_t>(OnePatchFile().size()));
  TVoicerackFile file;
  file.FileName = patches;
  EXPECT_TRUE(file.Load());
  EXPECT_EQ(file.Patches.size(), 1u);
}

TEST(LoadFileBounded, ReadsOnlyTheMagicOfAnotherKindAndBoundsFilesThatDoNotTellTheirSize) {
  const std::string path = testing_support::ScratchDir() + "/bounded.bin";
  WritePadded(path, {'A', 'B', 'C', 'D', 'E'}, 5);
  TMemoryStream out(TBytes{7});
  TFileLoadResult r = LoadFileBounded(path, 100, "ABCX", out);
  EXPECT_EQ(r.Outcome, TFileLoadResult::OtherKind);
  EXPECT_EQ(BytesOf(out), TBytes{7}) << "a refusal leaves the stream as it was";
  EXPECT_EQ(FileLoadMessage(path, r, "a test file", 100), "The file \"" + path + "\" is not a test file.");
  EXPECT_EQ(LoadFileBounded(path, 100, "ABCDEF", out).Outcome, TFileLoadResult::OtherKind) << "shorter than the magic";
  r = LoadFileBounded(path, 5, "ABCD", out);
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(BytesOf(out), (TBytes{'A', 'B', 'C', 'D', 'E'}));
  EXPECT_EQ(out.Position(), 0);

  r = LoadFileBounded(testing_support::ScratchDir() + "/none.bin", 100, {}, out);
  EXPECT_EQ(r.Outcome, TFileLoadResult::Unreadable);
  EXPECT_EQ(FileLoadMessage("none.bin", r, "a test file", 100),
            "The file \"none.bin\" could not be read (No such file or directory).");

  // Files of /proc report a size of 0: what is read is bounded all the same.
  r = LoadFileBounded("/proc/self/maps", 16, {}, out);
  EXPECT_EQ(r.Outcome, TFileLoadResult::TooLarge);
  EXPECT_EQ(FileLoadMessage("maps", r, "a test file", 16),
            "The file \"maps\" is too large for a test file (it grew while being read; at most 16).");
  r = LoadFileBounded("/proc/self/maps", 1 << 24, {}, out);
  ASSERT_TRUE(r.Ok());
  EXPECT_GT(out.Size(), 0);
}

}  // namespace
