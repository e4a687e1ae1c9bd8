// rumbleon-host tells the truth about the files it is given: a state or bank
// the plug-in refuses, an empty state, a directory, a device, a FIFO or a
// file beyond the limit of its kind end with a message and status 1, at
// once, and no WAV file is written.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/tools/host_process.h"
#include "tools/host/fx_bank.h"
#include "tools/host/input_file.h"
#include "tools/host/midi_file.h"
#include "tools/host/vst_host.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

// The host under a time limit: a run that waits (for a FIFO's writer) or
// reads without end fails instead of hanging the suite (status 124).
THostRun RunBounded(std::vector<std::string> args) {
  args.insert(args.begin(), {"60", HostPath()});
  return RunProgram("timeout", args);
}

// A plug-in's own bank chunk and program count.
struct TSaved {
  std::int32_t Id = 0;
  int Programs = 0;
  TBytes State;
};

TSaved SavedState(const std::string& module) {
  TVstModule m;
  std::string error;
  TSaved saved;
  EXPECT_TRUE(m.Load(module, error)) << error;
  auto plugin = TVstPlugin::Open(m, error);
  if (!plugin) return saved;
  plugin->SetProgram(1);
  saved.Id = plugin->Effect()->uniqueID;
  saved.Programs = plugin->NumPrograms();
  saved.State = plugin->GetChunk(false);
  return saved;
}

std::string ChunkBankFile(const std::string& name, const TSaved& saved, const TBytes& chunk) {
  TFxBank bank;
  bank.IsChunk = true;
  bank.PluginId = saved.Id;
  bank.NumPrograms = saved.Programs;
  bank.Chunk = chunk;
  return WriteScratchFile(name, WriteFxBank(bank));
}

void ExpectRefused(const THostRun& run, const std::string& message, const std::string& wav) {
  EXPECT_EQ(run.ExitCode, 1) << message << "\n" << run.Err;
  EXPECT_NE(run.Err.find(message), std::string::npos) << run.Err;
  EXPECT_FALSE(std::filesystem::exists(wav)) << "a WAV file was written for " << message;
}

class HostInput : public ::testing::TestWithParam<bool> {
 protected:
  // The test instrument, or the instrument module when it is built.
  std::string Module() const { return GetParam() ? ModulePath() : TestSynthPath(); }
  void SetUp() override {
    if (Module().empty()) GTEST_SKIP() << "the instrument module is not part of this build";
  }
};

TEST_P(HostInput, StatesAndBanksThePlugInRefusesEndWithStatus1AndNoWav) {
  const TSaved saved = SavedState(Module());
  ASSERT_FALSE(saved.State.empty());
  const std::string tag = GetParam() ? "module" : "synth";
  const TBytes cut(saved.State.begin(), saved.State.begin() + static_cast<std::ptrdiff_t>(saved.State.size() / 2));
  TBytes scrambled = saved.State;
  for (std::size_t i = 0; i < scrambled.size(); i += 3) scrambled[i] ^= 0x5A;
  const std::string wav = Scratch("refused-" + tag + ".wav");
  const struct {
    std::string Option, File, Message;
  } cases[] = {
      {"--state", WriteScratchFile("empty-" + tag + ".state", {}), "the file is empty, there is no state in it"},
      {"--state", WriteScratchFile("cut-" + tag + ".state", cut),
       "the plug-in refused the state (setChunk answered 0)"},
      {"--state", WriteScratchFile("scrambled-" + tag + ".state", scrambled), "the plug-in refused the state"},
      {"--bank", ChunkBankFile("scrambled-" + tag + ".fxb", saved, scrambled),
       "the plug-in refused the bank's chunk (setChunk answered 0)"},
  };
  for (const auto& c : cases) {
    const THostRun run = RunBounded({"render", Module(), "--demo", "-o", wav, "--tail", "0", c.Option, c.File});
    ExpectRefused(run, c.File + ": " + c.Message, wav);
  }
  // The whole state and bank are taken (and the program they name with them).
  for (const std::string option : {"--state", "--bank"}) {
    const std::string file = option == "--state" ? WriteScratchFile(tag + ".state", saved.State)
                                                 : ChunkBankFile(tag + ".fxb", saved, saved.State);
    const THostRun run = RunBounded({"render", Module(), "--demo", "-o", wav, "--tail", "0", option, file});
    EXPECT_EQ(run.ExitCode, 0) << option << "\n" << run.Err;
    EXPECT_TRUE(std::filesystem::exists(wav)) << option;
    std::filesystem::remove(wav);
  }
}

INSTANTIATE_TEST_SUITE_P(Plugins, HostInput, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Instrument" : "TestInstrument"; });

// The instrument names the program record of a state it refuses; a name
// read from a file is printed in a printable form, so an escape sequence
// in it cannot drive the terminal.
TEST(HostInputFiles, AProgramNameInARefusedStateIsPrintedWithoutItsControlBytes) {
  if (ModulePath().empty()) GTEST_SKIP() << "the instrument module is not part of this build";
  TBytes state = SavedState(ModulePath()).State;
  // The first program record: "PgCn", a 16-bit version, the name (a 32-bit
  // little-endian length, the bytes), the count of values.
  const char magic[] = "PgCn";
  const auto record = std::search(state.begin(), state.end(), magic, magic + 4);
  ASSERT_NE(record, state.end());
  const auto name = static_cast<std::size_t>(record - state.begin()) + 6;
  ASSERT_LE(name + 4, state.size());
  const std::uint32_t length = state[name] | state[name + 1] << 8 | state[name + 2] << 16 | state[name + 3] << 24;
  ASSERT_GE(length, 5u);
  ASSERT_LE(name + 8 + length, state.size());
  const std::uint8_t escape[] = {0x1B, '[', '2', 'J', 0x08};
  std::copy(std::begin(escape), std::end(escape), state.begin() + static_cast<std::ptrdiff_t>(name + 4));
  // More values than the state holds: the record is refused.
  for (std::size_t k = 0; k < 4; ++k) state[name + 4 + length + k] = k == 3 ? 0x7F : 0xFF;
  const std::string wav = Scratch("escape.wav");
  const THostRun run = RunBounded(
      {"render", ModulePath(), "--demo", "-o", wav, "--tail", "0", "--state", WriteScratchFile("escape.state", state)});
  ExpectRefused(run, "the plug-in refused the state", wav);
  EXPECT_NE(run.Err.find("program \"\\x1B[2J\\x08"), std::string::npos) << run.Err;
  EXPECT_EQ(run.Err.find('\x1b'), std::string::npos);
  EXPECT_EQ(run.Err.find('\x08'), std::string::npos);
}

TEST(HostInputFiles, DirectoriesDevicesFifosAndOversizedFilesAreRefusedAtOnce) {
  const std::string dir = Scratch("input-dir");
  std::filesystem::create_directories(dir);
  const std::string fifo = Scratch("input-fifo");
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Sparse: beyond each limit without taking disk space.
  auto oversized = [](const std::string& name, std::int64_t limit) {
    const std::string path = WriteScratchFile(name, WriteMidiFile(DemoSong()));
    EXPECT_EQ(::truncate(path.c_str(), limit + 1), 0);
    return path;
  };
  const std::string bigMidi = oversized("big.mid", kMidiFileMax);
  const std::string bigState = oversized("big.state", kStateFileMax);
  const std::string bigScript = oversized("big.script", kScriptFileMax);
  const std::string synth = TestSynthPath(), wav = Scratch("odd-input.wav");
  const std::string notRegular = " is not a regular file (a device, FIFO or socket), so not ";
  const struct {
    std::vector<std::string> Args;
    std::string Message;
  } cases[] = {
      {{"render", synth, dir, "-o", wav}, "'" + dir + "' is a directory, not a MIDI file"},
      {{"render", synth, "/dev/zero", "-o", wav}, "'/dev/zero'" + notRegular + "a MIDI file"},
      {{"render", synth, fifo, "-o", wav}, "'" + fifo + "'" + notRegular + "a MIDI file"},
      {{"render", synth, bigMidi, "-o", wav},
       "'" + bigMidi + "' is too large for a MIDI file (16777217 bytes; at most 16777216 bytes are taken)"},
      {{"render", synth, "--demo", "-o", wav, "--state", dir}, "'" + dir + "' is a directory, not a state file"},
      {{"render", synth, "--demo", "-o", wav, "--state", "/dev/zero"}, "'/dev/zero'" + notRegular + "a state file"},
      {{"render", synth, "--demo", "-o", wav, "--state", fifo}, "'" + fifo + "'" + notRegular + "a state file"},
      {{"render", synth, "--demo", "-o", wav, "--state", bigState},
       "'" + bigState + "' is too large for a state file (268435457 bytes; at most 268435456 bytes are taken)"},
      {{"render", synth, "--demo", "-o", wav, "--bank", dir}, "'" + dir + "' is a directory, not a bank file"},
      {{"render", synth, "--demo", "-o", wav, "--bank", fifo}, "'" + fifo + "'" + notRegular + "a bank file"},
      {{"render", synth, "--demo", "-o", wav, "--bank", bigState}, "'" + bigState + "' is too large for a bank file"},
      {{"info", fifo}, "cannot load '" + fifo + "': not a regular file, not a module"},
      {{"editor", synth, "--script", dir}, "'" + dir + "' is a directory, not an editor script"},
      {{"editor", synth, "--script", fifo}, "'" + fifo + "'" + notRegular + "an editor script"},
      {{"editor", synth, "--script", bigScript},
       "'" + bigScript + "' is too large for an editor script (1048577 bytes; at most 1048576 bytes are taken)"},
  };
  for (const auto& c : cases) ExpectRefused(RunBounded(c.Args), c.Message, wav);
}

TEST(HostInputFiles, EachLimitTakesAFileOfExactlyItsSizeAndFilesOfUntoldSizeAreBoundedToo) {
  const std::string path = Scratch("limit.bin");
  std::vector<std::uint8_t> bytes;
  std::string error;
  std::ofstream(path, std::ios::binary) << std::string(1000, 'x');
  EXPECT_TRUE(ReadInputFile(path, 1000, "a test file", bytes, error)) << error;
  EXPECT_EQ(bytes.size(), 1000u);
  EXPECT_FALSE(ReadInputFile(path, 999, "a test file", bytes, error));
  EXPECT_EQ(error, "'" + path + "' is too large for a test file (1000 bytes; at most 999 bytes are taken)");
  EXPECT_EQ(bytes.size(), 1000u) << "a refusal leaves the bytes as they were";
  // /proc tells a size of 0.
  EXPECT_FALSE(ReadInputFile("/proc/self/maps", 64, "a test file", bytes, error));
  EXPECT_EQ(error,
            "'/proc/self/maps' grew beyond the size of a test file while it was read; at most 64 bytes are taken");
  EXPECT_TRUE(ReadInputFile("/proc/self/maps", 1 << 24, "a test file", bytes, error)) << error;
  EXPECT_GT(bytes.size(), 64u);
}

}  // namespace
