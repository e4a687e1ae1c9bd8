// Runs rumbleon-host as a separate process, as a user or a script would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/host/midi_file.h"

struct THostRun {
  int ExitCode = -1;
  std::string Out;
  std::string Err;
};

// Paths given by the build (environment of the test).
std::string HostPath();
std::string TestSynthPath();
// Empty when the instrument module is not part of this build.
std::string ModulePath();
// The small host that ends without closing its plug-ins (exit_host/).
std::string ExitHostPath();
// The host that races closes against the editor, one round a run
// (close_race_host/).
std::string CloseRaceHostPath();

// Arguments are quoted for the shell.
THostRun RunHost(const std::vector<std::string>& args);
THostRun RunProgram(const std::string& program, const std::vector<std::string>& args);
std::string Scratch(const std::string& name);
// Writes the bytes to Scratch(name) and returns that path.
std::string WriteScratchFile(const std::string& name, const std::vector<std::uint8_t>& bytes);

// A note held from On to Off, in seconds.
struct TNoteSlot {
  int Key;
  double On;
  double Off;
};
// The notes at 120 BPM, 480 ticks per quarter (960 ticks a second), struck
// with velocity 100 and released with 64.
TMidiSong NoteSong(const std::vector<TNoteSlot>& notes);
std::string WriteNoteFile(const std::string& name, const std::vector<TNoteSlot>& notes);
