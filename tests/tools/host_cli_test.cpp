// rumbleon-host as a separate process on the test instrument: the rendered
// pitch, block-size invariance, MIDI errors, the conformance checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/tools/host_process.h"
#include "tools/host/check_support.h"
#include "tools/host/midi_file.h"
#include "tools/host/vst_host.h"
#include "tools/host/wav_file.h"

namespace {

using testing_support::ZeroCrossingFrequency;

// One held note from 0.1 s to 1.1 s.
std::string OneNoteFile(int key) { return WriteNoteFile("note" + std::to_string(key) + ".mid", {{key, 0.1, 1.1}}); }

TWavData Load(const std::string& path) {
  TWavData wav;
  std::string error;
  EXPECT_TRUE(LoadWav(path, wav, error)) << error;
  return wav;
}

class HostCliTest : public ::testing::TestWithParam<int> {};

TEST_P(HostCliTest, Note69RendersAt440HzWithinOneTenthPercent) {
  const int rate = GetParam();
  const std::string out = Scratch("a440-" + std::to_string(rate) + ".wav");
  const THostRun run = RunHost({"render", TestSynthPath(), OneNoteFile(69), "-o", out, "--rate", std::to_string(rate),
                                "--format", "float", "--tail", "0.2"});
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  const TWavData wav = Load(out);
  ASSERT_EQ(wav.SampleRate, rate);
  ASSERT_EQ(wav.Channels, 2);
  // The held part of the note, away from its start and release.
  const std::span<const float> held(wav.Samples[0].data() + rate / 5, static_cast<std::size_t>(rate / 2));
  EXPECT_NEAR(ZeroCrossingFrequency(held, rate), 440.0, 0.44);
}

INSTANTIATE_TEST_SUITE_P(Rates, HostCliTest, ::testing::Values(44100, 48000));

TEST(HostCli, HostBlockSizesGiveIdenticalOutput) {
  const std::string midi = WriteScratchFile("demo.mid", WriteMidiFile(DemoSong()));
  std::vector<std::vector<float>> reference;
  for (int block : {4096, 1, 37, 512}) {
    const std::string out = Scratch("block" + std::to_string(block) + ".wav");
    const THostRun run = RunHost({"render", TestSynthPath(), midi, "-o", out, "--block", std::to_string(block),
                                  "--format", "float", "--tail", "0.5"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const TWavData wav = Load(out);
    if (reference.empty()) {
      reference = wav.Samples;
      ASSERT_GT(testing_support::Peak(reference[0]), 0.1f);
    } else {
      EXPECT_TRUE(wav.Samples == reference) << "block size " << block << " changed the output";
    }
  }
}

TEST(HostCli, DemoRenderReportsDurationPeakAndRms) {
  const std::string out = Scratch("demo.wav");
  const THostRun run = RunHost({"render", TestSynthPath(), "--demo", "-o", out});
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_NE(run.Out.find("duration 11.000 s"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("peak 0."), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("RMS 0."), std::string::npos) << run.Out;
  // Not a terminal: no progress bar on stderr.
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(Load(out).Format, TWavFormat::Pcm24);
}

// Status 1 with a clear message for bad input, status 2 for bad usage.
TEST(HostCli, BadInputAndArgumentsGiveTheirStatusAndMessage) {
  std::vector<std::uint8_t> broken = WriteMidiFile(DemoSong());
  broken.resize(broken.size() / 2);  // the track chunk now announces more than the file holds
  const std::string synth = TestSynthPath();
  const struct {
    std::vector<std::string> Args;
    int Status;
    const char* Message;
  } cases[] = {
      {{"render", synth, WriteScratchFile("broken.mid", broken), "-o", Scratch("broken.wav")},
       1,
       "broken.mid: track 1 is truncated"},
      {{"render", synth, WriteScratchFile("text.mid", {'h', 'i'}), "-o", Scratch("x.wav")},
       1,
       "not a standard MIDI file"},
      {{"info", Scratch("nothing-here.so")}, 1, "cannot load"},
      {{"render", synth, "--demo", "-o", Scratch("p.wav"), "--program", "9"}, 1, "program 9 does not exist"},
      {{"render", synth, "--demo", "-o", Scratch("p.wav"), "--set", "Volume=0.5"}, 1, "no parameter named 'Volume'"},
      {{"render", synth, "--demo", "-o", Scratch("p.wav"), "--set", "Gain=1.5"}, 2, "from 0 to 1"},
      {{"render", synth, "--demo"}, 2, ""},  // no -o
      {{"frobnicate"}, 2, ""},
      // Bad usage prints the usage, which names every option render takes.
      {{"render", synth, "--demo", "--frames"}, 2, "[--set NAME=VALUE]..."},
  };
  for (const auto& c : cases) {
    const THostRun run = RunHost(c.Args);
    EXPECT_EQ(run.ExitCode, c.Status) << c.Args[0] << " " << c.Message;
    EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
  }
}

// The bytes of a file, or empty.
std::vector<std::uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A render the options or the song rule out is refused before the output
// file is opened: a file of that name keeps its bytes. Options out of
// range are bad usage (status 2); a song longer than the render limit (an
// hour unless --max-seconds says otherwise) or than a WAV file holds is
// bad input (status 1). Without the checks up front the 37-byte file below
// wrote gigabytes of a 16-day render, and --block 0 emptied the file.
TEST(HostCli, RendersBeyondTheirLimitsOrWithBadOptionsLeaveTheOutputFileAsItWas) {
  // One note held for 0x0FFFFFFF ticks (at 96 per quarter and 120 BPM:
  // 1398101 s), 37 bytes.
  const std::vector<std::uint8_t> days = {'M',  'T',  'h',  'd',  0,    0,    0,    6, 0,    0,    0,    1,    0,
                                          96,   'M',  'T',  'r',  'k',  0,    0,    0, 15,   0,    0x90, 0x28, 0x64,
                                          0xFF, 0xFF, 0xFF, 0x7F, 0x80, 0x28, 0x40, 0, 0xFF, 0x2F, 0};
  const std::string longMidi = WriteScratchFile("days.mid", days);
  const std::string out = Scratch("kept.wav");
  const std::vector<std::uint8_t> kept = {'k', 'e', 'p', 't'};
  const std::string synth = TestSynthPath();
  const struct {
    std::vector<std::string> Args;
    int Status;
    std::string Message;
  } cases[] = {
      {{longMidi},
       1,
       longMidi + ": the render would last 1398103 s (the song to its end plus the tail), more than the limit of "
                  "3600 s (--max-seconds raises it)"},
      {{"--demo", "--max-seconds", "10.5"}, 1, "the demo: the render would last 11 s"},
      {{longMidi, "--max-seconds", "2e6", "--rate", "192000", "--format", "float"},
       1,
       "268435839000 frames of 2 channels do not fit into a WAV file of this format (at most 4 GiB)"},
      {{"--demo", "--block", "0"}, 2, "block size must be between 1 and 65536 frames"},
      {{"--demo", "--rate", "500"}, 2, "sample rate must be between 1000 and 1536000 Hz"},
      {{"--demo", "--tail", "-1"}, 2, "tail must be between 0 and 3600 seconds"},
      {{"--demo", "--tail", "nan"}, 2, "tail must be between 0 and 3600 seconds"},
      {{"--demo", "--max-seconds", "0"}, 2, "the render limit must be above 0"},
  };
  for (const auto& c : cases) {
    WriteScratchFile("kept.wav", kept);
    std::vector<std::string> args = {"render", synth, "-o", out};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const THostRun run = RunHost(args);
    EXPECT_EQ(run.ExitCode, c.Status) << c.Message << "\n" << run.Err;
    EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
    EXPECT_EQ(FileBytes(out), kept) << c.Message;
  }
  // A render as long as the limit is taken.
  const THostRun within = RunHost({"render", synth, "--demo", "-o", out, "--max-seconds", "11"});
  EXPECT_EQ(within.ExitCode, 0) << within.Err;
  EXPECT_EQ(Load(out).Samples[0].size(), 11u * 44100u);
}

TEST(HostCli, InfoListsRecordParametersAndPrograms) {
  const THostRun run = RunHost({"info", TestSynthPath()});
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  for (const char* expected : {"unique ID     'RtSy'", "outputs       2", "Gain = -6.0 dB", "Release = 101 ms",
                               "Detune = 0 cents", "Long Release", "Detuned", "(editor, replacing, chunks, synth)"})
    EXPECT_NE(run.Out.find(expected), std::string::npos) << expected << "\n" << run.Out;
}

TEST(HostCli, ProgramStateFileAndSetSelectTheSound) {
  // A state file (the raw bank chunk) whose current program is 1, and
  // program 0 with program 1's values set by name, sound exactly like
  // --program 1, and all differ from program 0.
  std::string statePath = Scratch("synth.state");
  {
    TVstModule module;
    std::string error;
    ASSERT_TRUE(module.Load(TestSynthPath(), error)) << error;
    auto plugin = TVstPlugin::Open(module, error);
    ASSERT_TRUE(plugin) << error;
    plugin->SetProgram(1);
    WriteScratchFile("synth.state", plugin->GetChunk(false));
  }
  const THostRun p0 = RunHost({"render", TestSynthPath(), "--demo", "-o", Scratch("p0.wav"), "--format", "float"});
  const THostRun p1 =
      RunHost({"render", TestSynthPath(), "--demo", "-o", Scratch("p1.wav"), "--format", "float", "--program", "1"});
  const THostRun st = RunHost(
      {"render", TestSynthPath(), "--demo", "-o", Scratch("st.wav"), "--format", "float", "--state", statePath});
  ASSERT_EQ(p0.ExitCode, 0) << p0.Err;
  ASSERT_EQ(p1.ExitCode, 0) << p1.Err;
  const THostRun set = RunHost({"render", TestSynthPath(), "--demo", "-o", Scratch("set.wav"), "--format", "float",
                                "--set", "Gain=0.2", "--set", "Release=0.3"});
  ASSERT_EQ(st.ExitCode, 0) << st.Err;
  ASSERT_EQ(set.ExitCode, 0) << set.Err;
  const auto w0 = Load(Scratch("p0.wav")), w1 = Load(Scratch("p1.wav")), ws = Load(Scratch("st.wav"));
  EXPECT_TRUE(ws.Samples == w1.Samples);
  EXPECT_TRUE(Load(Scratch("set.wav")).Samples == w1.Samples);
  EXPECT_LT(testing_support::Peak(w1.Samples[0]), 0.6f * testing_support::Peak(w0.Samples[0]));
}

TEST(HostCli, CheckPassesOnTheTestInstrument) {
  const THostRun run = RunHost({"check", TestSynthPath()});
  EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
  EXPECT_NE(run.Out.find(" 0 failed"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("SKIP editor"), std::string::npos) << run.Out;
  EXPECT_EQ(run.Out.find("FAIL"), std::string::npos) << run.Out;
}

// Every check of the suite under ThreadSanitizer as well (stress label).
TEST(HostStress, ThreadsCheckOnTheTestInstrument) {
  const THostRun run = RunHost({"check", TestSynthPath(), "--only", "threads,editor", "--no-fork"});
  EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
}

TEST(HostStress, RealtimeChecksOnTheTestInstrument) {
  const THostRun run =
      RunHost({"check", TestSynthPath(), "--only", "realtime,chunk-threads,instances,midi-fuzz", "--no-fork"});
  EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
}

// The realtime check reports calls that gave silence amid sound (a
// plug-in that skipped its work), without judging them: a program may hand
// over in silence.
TEST(HostChecks, RealtimeReportsSilentCallsAmidSound) {
  const std::string counted = "silent calls between calls with sound: steady ";
  for (const bool dropouts : {false, true}) {
    SCOPED_TRACE(dropouts ? "every 16th call silent" : "no silent call");
    if (dropouts) setenv("TESTSYNTH_FAULT", "dropout", 1);
    const THostRun run = RunHost({"check", TestSynthPath(), "--only", "realtime", "--no-fork"});
    unsetenv("TESTSYNTH_FAULT");
    EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
    const std::size_t at = run.Out.find(counted);
    ASSERT_NE(at, std::string::npos) << run.Out;
    const long steady = std::strtol(run.Out.c_str() + at + counted.size(), nullptr, 10);
    // About 86 calls in the steady second, a few of them before the first
    // note sounds.
    if (dropouts) EXPECT_GE(steady, 4) << run.Out;
    else EXPECT_EQ(steady, 0) << run.Out;
  }
}

// One costly call in the whole run (what an interrupt charged to the audio
// thread looks like on a busy machine) does not fail the realtime check:
// the phase is measured again. A cost that every change brings does (the
// planted "heavychange" fault below). The check's decision, on given worst
// processor times per round against a limit of 1 ms.
TEST(HostChecks, RealtimeMeasuresAgainBeforeItBlamesThePlugIn) {
  struct TCase {
    const char* What;
    bool Judged;
    std::vector<double> Worst;  // each round's worst call, in seconds
    int Rounds;
    bool Within;
  };
  const TCase cases[] = {
      {"within the limit at once", true, {0.0002, 0.004}, 1, true},
      {"at the limit", true, {0.001, 0.004}, 1, true},
      {"one costly round", true, {0.004, 0.0002, 0.004}, 2, true},
      {"within only in the last round", true, {0.004, 0.004, 0.0002, 0.0002}, 3, true},
      {"costly in every round", true, {0.004, 0.004, 0.004, 0.0002}, 3, false},
      {"an instrumented build judges no time", false, {0.004, 0.004}, 1, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    std::size_t round = 0;
    const check_support::TPhaseRounds phase =
        check_support::MeasureUntilWithin(0.001, c.Judged, [&] { return c.Worst.at(round++); });
    EXPECT_EQ(phase.Rounds, c.Rounds);
    EXPECT_EQ(round, static_cast<std::size_t>(c.Rounds));
    EXPECT_EQ(phase.Within, c.Within);
  }
}

TEST(HostStress, ThreadsCheckOnTheInstrument) {
  if (ModulePath().empty()) GTEST_SKIP() << "the instrument module is not part of this build";
  const THostRun run = RunHost({"check", ModulePath(), "--only", "threads", "--no-fork"});
  EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
}

// The checks that run the instrument on several threads at once: under
// ThreadSanitizer a race between its host entries and its audio thread, or
// between instances, stops them.
// Random legal states of every program: nothing above +24 dBFS.
TEST(HostChecks, LevelOnTheInstrument) {
  if (ModulePath().empty()) GTEST_SKIP() << "the instrument module is not part of this build";
  const THostRun run = RunHost({"check", ModulePath(), "--only", "level", "--no-fork"});
  EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
}

// Loaded, played and unloaded again and again, the instrument leaves no heap
// behind: every object of the data its instances share (wave tables, the
// sample store) is freed at unload. Instrumented builds count no heap; there
// LeakSanitizer reports what the unloaded module left when the host ends.
TEST(HostChecks, ReloadOnTheInstrument) {
  if (ModulePath().empty()) GTEST_SKIP() << "the instrument module is not part of this build";
  const THostRun run = RunHost({"check", ModulePath(), "--only", "reload", "--no-fork"});
  EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
  EXPECT_NE(run.Out.find("PASS reload"), std::string::npos) << run.Out;
}

TEST(HostStress, ConcurrencyChecksOnTheInstrument) {
  if (ModulePath().empty()) GTEST_SKIP() << "the instrument module is not part of this build";
  const THostRun run = RunHost(
      {"check", ModulePath(), "--only", "chunk-threads,instances,state-recall,midi-fuzz,realtime", "--no-fork"});
  EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
}

}  // namespace

namespace {

// Each check must fail on a plug-in with the fault it looks for: the test
// instrument plants one when TESTSYNTH_FAULT names it.
struct TPlantedFault {
  const char* Fault;
  const char* Check;
  const char* Expected;
};

class CheckFindsPlantedFault : public ::testing::TestWithParam<TPlantedFault> {};

TEST_P(CheckFindsPlantedFault, AndReportsIt) {
  const TPlantedFault f = GetParam();
  setenv("TESTSYNTH_FAULT", f.Fault, 1);
  const bool hang = std::string(f.Fault) == "hang";
  const THostRun run = RunHost({"check", TestSynthPath(), "--only", f.Check, "--timeout", hang ? "3" : "120"});
  unsetenv("TESTSYNTH_FAULT");
  if (run.Out.find("SKIP locale") != std::string::npos) GTEST_SKIP() << "no ',' decimal locale installed";
  if (run.Out.find("SKIP allocations") != std::string::npos) GTEST_SKIP() << "no allocation counting in this build";
  if (run.Out.find("counting is off") != std::string::npos) GTEST_SKIP() << "no heap or lock counting in this build";
  EXPECT_EQ(run.ExitCode, 1) << run.Out;
  EXPECT_NE(run.Out.find(std::string("FAIL ") + f.Check), std::string::npos) << run.Out;
#if defined(RUMBLEON_SANITIZED)
  // A sanitizer stops the check at the fault itself (a freed buffer read).
  if (run.Out.find("the check process died") != std::string::npos) return;
#endif
  EXPECT_NE(run.Out.find(f.Expected), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("0 passed, 1 failed"), std::string::npos) << run.Out;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CheckFindsPlantedFault,
    ::testing::Values(TPlantedFault{"nan", "processing", "NaN/infinite"},
                      TPlantedFault{"denormal", "automation", "0 NaN/infinite and"},
                      TPlantedFault{"alloc", "allocations", "heap allocations on the audio thread"},
                      TPlantedFault{"locale", "locale", "value texts change under"},
                      TPlantedFault{"chunk", "state-bank", "not restored by setChunk"},
                      TPlantedFault{"crash", "indexes", "the check process died"},
                      TPlantedFault{"hang", "threads", "did not finish within 3 s"},
                      TPlantedFault{"recall", "state-recall", "the fresh instance is on program 0 instead of 1"},
                      TPlantedFault{"rejectok", "state-corrupt", "was rejected but setChunk answered"},
                      TPlantedFault{"midimute", "midi-fuzz", "(silent)"},
                      TPlantedFault{"loud", "level", "above +24 dBFS"},
                      TPlantedFault{"globallock", "realtime", "for a lock"},
                      TPlantedFault{"heavychange", "realtime", "of processor time, more than"},
                      TPlantedFault{"globallock", "instances", "while another instance loaded states"},
                      TPlantedFault{"chunkbuffer", "chunk-threads", "getChunk answers were not the state"},
                      TPlantedFault{"leak", "reload", "KB on the heap"}),
    [](const ::testing::TestParamInfo<TPlantedFault>& info) {
      std::string name = std::string(info.param.Fault) + "_" + info.param.Check;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

}  // namespace
