// Renders of the built module's factory programs, played the way
// rumbleon-host plays a MIDI file: a fresh instance per render, the host's
// rate and block size, every event at its sample offset.
#pragma once

#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/midi_file.h"
#include "tools/host/renderer.h"
#include "tools/host/vst_host.h"

namespace module_render {

// A note held from On to Off (seconds), struck with Velocity.
struct TNote {
  int Key;
  double On;
  double Off;
  int Velocity = 100;
};

// The notes at 120 BPM (960 ticks a second), released with velocity 64.
TMidiSong Song(const std::vector<TNote>& notes);

// The module, loaded once per test process.
const TVstModule& Module();

// Left and right of program `program` playing `song` at `rate` in host blocks
// of `block` frames, with `tailSeconds` after the last event; `sets` are
// parameters by index and normalised value applied after the program. Empty
// when the plug-in could not be opened or rendered (error says why).
struct TParamSet {
  int Index;
  float Value;
};
std::vector<std::vector<float>> RenderProgram(int program, const TMidiSong& song, double rate, double tailSeconds,
                                              std::string& error, const std::vector<TParamSet>& sets = {},
                                              int block = 512);

// The index of the parameter whose name is `name`, or -1.
int ParamIndex(const std::string& name);

// In-place radix-2 FFT (the size a power of two), for the spectra of renders.
void Fft(std::vector<std::complex<double>>& a);

}  // namespace module_render
