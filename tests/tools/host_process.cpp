#include "tests/tools/host_process.h"

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/test_support.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

#ifndef RUMBLEON_MODULE_PATH
#define RUMBLEON_MODULE_PATH ""
#endif

std::string HostPath() { return testing_support::EnvOr("RUMBLEON_HOST", RUMBLEON_HOST_PATH); }
std::string TestSynthPath() { return testing_support::EnvOr("RUMBLEON_TESTSYNTH", RUMBLEON_TESTSYNTH_PATH); }
std::string ModulePath() { return testing_support::EnvOr("RUMBLEON_MODULE", RUMBLEON_MODULE_PATH); }
std::string ExitHostPath() { return testing_support::EnvOr("RUMBLEON_EXIT_HOST", RUMBLEON_EXIT_HOST_PATH); }
std::string CloseRaceHostPath() {
  return testing_support::EnvOr("RUMBLEON_CLOSE_RACE_HOST", RUMBLEON_CLOSE_RACE_HOST_PATH);
}

std::string Scratch(const std::string& name) { return testing_support::ScratchDir() + "/" + name; }

std::string WriteScratchFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  const std::string path = Scratch(name);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

THostRun RunHost(const std::vector<std::string>& args) { return RunProgram(HostPath(), args); }

THostRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
  static std::atomic<int> counter{0};
  const std::string tag = std::to_string(counter++);
  const std::string out = Scratch("host-" + tag + ".out"), err = Scratch("host-" + tag + ".err");
  std::string command = ShellQuote(program);
  for (const auto& a : args) command += " " + ShellQuote(a);
  command += " >" + ShellQuote(out) + " 2>" + ShellQuote(err) + " </dev/null";
  const int status = std::system(command.c_str());
  THostRun run;
  run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.Out = Slurp(out);
  run.Err = Slurp(err);
  return run;
}

TMidiSong NoteSong(const std::vector<TNoteSlot>& notes) {
  auto event = [](double seconds, std::uint8_t status, int key, int velocity) {
    TMidiFileEvent e;
    e.Tick = std::llround(seconds * 960.0);
    e.Bytes[0] = status;
    e.Bytes[1] = static_cast<std::uint8_t>(key);
    e.Bytes[2] = static_cast<std::uint8_t>(velocity);
    e.Size = 3;
    return e;
  };
  TMidiSong song;
  song.TicksPerQuarter = 480;
  for (const TNoteSlot& n : notes) {
    song.Events.push_back(event(n.On, 0x90, n.Key, 100));
    song.Events.push_back(event(n.Off, 0x80, n.Key, 64));
  }
  std::stable_sort(song.Events.begin(), song.Events.end(),
                   [](const TMidiFileEvent& a, const TMidiFileEvent& b) { return a.Tick < b.Tick; });
  ApplyTempoMap(song);
  song.LengthSeconds = song.Events.back().Seconds;
  return song;
}

std::string WriteNoteFile(const std::string& name, const std::vector<TNoteSlot>& notes) {
  return WriteScratchFile(name, WriteMidiFile(NoteSong(notes)));
}
