// The host's close, or its editor close, from another thread while the
// editor thread opens the instrument's editor (a window of its own on a
// virtual display of the test's own), with an audio thread processing all
// along: round after round, each in a process of its own (close_race_host)
// started by fork, so that a crash ends that round only and is counted. The
// closing thread starts at a different point of the other thread's open in
// each round.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/virtual_display.h"
#include "tests/tools/host_process.h"

namespace {

// While the closes did not wait for the open, a third of the rounds crashed
// with the plug-in's close and three in four with the editor's. Sanitizers
// slow every round many times over, and report every round that races.
#if defined(RUMBLEON_SANITIZED)
constexpr int kRounds = 24;
#else
constexpr int kRounds = 64;
#endif
constexpr int kDelayStepsUs = 16;  // the closing thread starts 0 to 3 ms after the open began
constexpr int kDelayStepUs = 200;

struct TRaceCase {
  const char* Mode;
  const char* Name;
};

class EditorCloseRace : public ::testing::TestWithParam<TRaceCase> {};

// Runs one round; answers its wait status (-1 when it could not run), its
// error output in errFile.
int RunRound(const std::string& mode, int delayUs, const std::string& errFile) {
  const std::string program = CloseRaceHostPath(), module = ModulePath(), delay = std::to_string(delayUs);
  const int null = open("/dev/null", O_RDWR);
  const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t child = fork();
  if (child == 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execl(program.c_str(), program.c_str(), module.c_str(), mode.c_str(), delay.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(null);
  close(err);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return status;
}

TEST_P(EditorCloseRace, StressNoRoundCrashes) {
  if (ModulePath().empty()) GTEST_SKIP() << "the instrument module is not part of this build";
  testing_support::TVirtualDisplay display;
  if (!display.Running()) GTEST_SKIP() << display.Error();
  display.Export();
  const std::string errFile = Scratch(std::string("close-race-") + GetParam().Name + ".err");
  int crashed = 0, failed = 0;
  std::string first;
  for (int round = 0; round < kRounds; ++round) {
    const int status = RunRound(GetParam().Mode, round % kDelayStepsUs * kDelayStepUs, errFile);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
    (WIFSIGNALED(status) ? crashed : failed) += 1;
    if (first.empty()) {
      std::stringstream err;
      err << std::ifstream(errFile).rdbuf();
      first = "round " + std::to_string(round) + ": " +
              (WIFSIGNALED(status) ? std::string("signal ") + strsignal(WTERMSIG(status))
                                   : "exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1)) +
              "\n" + err.str();
    }
  }
  std::printf("%s: %d of %d rounds crashed, %d more failed\n", GetParam().Mode, crashed, kRounds, failed);
  EXPECT_EQ(crashed, 0) << "rounds ended by a signal; the first: " << first;
  EXPECT_EQ(failed, 0) << "rounds that failed otherwise; the first: " << first;
}

INSTANTIATE_TEST_SUITE_P(Races, EditorCloseRace,
                         ::testing::Values(TRaceCase{"close-during-open", "PlugInClosedWhileItsEditorOpens"},
                                           TRaceCase{"editclose-during-open", "EditorClosedWhileItOpens"}),
                         [](const ::testing::TestParamInfo<TRaceCase>& info) { return info.param.Name; });

}  // namespace
