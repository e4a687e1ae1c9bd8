// Plays scripts of notes and host actions through the built module, block by
// block as a host does, and the measurements the sound tests share: band
// levels, the low end's stereo correlation, clicks at note starts, pitch.
#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/host/midi_file.h"
#include "tools/host/renderer.h"
#include "tools/host/vst_host.h"

namespace module_render {

// ---- songs rendered as rumbleon-host renders a MIDI file

// A note held from On to Off (seconds), struck with Velocity.
struct TNote {
  int Key;
  double On;
  double Off;
  int Velocity = 100;
};

// The notes at 120 BPM (960 ticks a second), released with velocity 64.
TMidiSong Song(const std::vector<TNote>& notes);

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

// ---- scripts of notes and host calls

// One thing that happens at a time: MIDI bytes, or a host call.
struct TScriptEvent {
  enum TKind { kMidi, kProgram, kParameter };
  double Seconds = 0;
  TKind Kind = kMidi;
  std::uint8_t Bytes[3] = {0, 0, 0};
  std::int32_t Index = 0;  // program or parameter
  float Value = 0;         // parameter value, normalised
};

// Events in time order; events at the same time keep the order they were
// added in (a note-on added before a note-off at the same time arrives
// first, in the same host block).
class TScript {
 public:
  TScript& NoteOn(double seconds, int key, int velocity = 100);
  TScript& NoteOff(double seconds, int key);
  // A note-on at start and its note-off after length.
  TScript& Note(double start, double length, int key, int velocity = 100);
  TScript& Program(double seconds, int program);
  TScript& Parameter(double seconds, int index, float value);
  const std::vector<TScriptEvent>& Events() const { return List; }

 private:
  std::vector<TScriptEvent> List;
};

struct TStereo {
  double Rate = 44100;
  std::vector<float> Left, Right;
  // Processor time of each host block's process call (the calling thread's
  // CPU time, seconds), in order.
  std::vector<double> BlockCpu;
  int Block = 512;
  // CPU seconds of the process calls whose blocks start in from..to seconds.
  double CpuSeconds(double from, double to) const;
  std::size_t Frame(double seconds) const;
  // Each channel from..to seconds (clamped to what was rendered).
  std::span<const float> LeftPart(double from, double to) const;
  std::span<const float> RightPart(double from, double to) const;
};

struct TPlaySettings {
  double Rate = 44100;
  int Block = 512;
  int Program = 0;
  double Seconds = 1;  // rendered in all
  // What the host answers when asked how it processes. A render runs much
  // faster than real time, so it says so (as rumbleon-host's render does):
  // what a change asks to be built is built in the process call that asks,
  // and the output never depends on how soon the module's worker thread
  // gets a processor.
  std::int32_t ProcessLevel = kVstProcessLevelOffline;
  // Called after the program is selected and before the first block.
  std::function<void(TVstPlugin&)> Prepare;
};

// A fresh instance of the module, the program selected, the script played
// into out. The module is loaded once per process.
bool Play(const TPlaySettings& settings, const TScript& script, TStereo& out, std::string& error);
// Plays into an instance the caller opened (and keeps).
bool PlayOn(TVstPlugin& plugin, const TPlaySettings& settings, const TScript& script, TStereo& out, std::string& error);
// The module, loaded once per test process (RUMBLEON_MODULE names
// another build of it to play through the same tests: before and after
// figures of a change); nullptr with error set when it fails.
const TVstModule* Module(std::string& error);
// The same; a module without an entry when loading failed.
const TVstModule& Module();
std::unique_ptr<TVstPlugin> OpenInstance(double rate, int block, std::string& error);
// The factory bank's program names, read once.
const std::vector<std::string>& ProgramNames();
// The number of the program with that name; -1 when none has it.
int FindProgram(const std::string& name);
// The index of the parameter whose name is `name`, or -1.
int ParamIndex(const std::string& name);

// Both channels of s over from..to, one after the other.
std::vector<float> Both(const TStereo& s, double from, double to);

// ---- measurements

// Fourth-order Butterworth filtering (two cascaded sections), from rest.
std::vector<float> HighPass(std::span<const float> x, double rate, double hz);
std::vector<float> LowPass(std::span<const float> x, double rate, double hz);
// RMS in dB (-200 for silence).
double RmsDb(std::span<const float> x);
// A render's bands, filtered once: above kClickHz (clicks) and below
// kLowEndHz (the low end).
inline constexpr double kClickHz = 8000;
inline constexpr double kLowEndHz = 150;
// The sound a note start is compared with: from..to seconds after it, right
// after the start (a filter envelope or a glide has barely moved) and long
// enough to hold a whole period of the lowest note played (E1, 24 ms).
inline constexpr double kClickFollowFrom = 0.006, kClickFollowTo = 0.032;
struct TBands {
  std::vector<float> HighL, HighR, LowL, LowR;
};
TBands SplitBands(const TStereo& s);
// Correlation of left and right below kLowEndHz over from..to seconds: 1 for
// the same signal, 0 for unrelated ones; 1 when both are silent.
double LowEndCorrelation(const TStereo& s, const TBands& b, double from, double to);
// A click at a note start: the level above kClickHz of the loudest 2 ms
// window in the first 6 ms from start, relative to that of the loudest 2 ms
// window of the sound that follows (kClickFollowFrom .. kClickFollowTo), but at
// least to 60 dB below that sound's whole level (what lies below is not
// heard). dB; above 0 means the start carries high frequencies the sound
// itself does not have; -200 when the sound after the start is silent.
double ClickExcessDb(const TStereo& s, const TBands& b, double start);
// The pitch of the strongest spectral peak between lo and hi Hz in from..to
// seconds (left + right): the power-weighted centre of a Hann-windowed
// spectrum within 80 cents of the peak, so detuned copies of a partial
// count as one at their centre. Without `centre`, the peak itself
// (parabolic refinement): for lines that move their pitch, whose sidebands
// would pull a centre off.
double PeakFrequency(const TStereo& s, double from, double to, double lo, double hi, bool centre = true);
// The frequency of the strongest repetition of left + right over from..to
// seconds, between lo and hi Hz (normalised autocorrelation, refined between
// lags): the pitch of a short stretch, whatever its level or brightness does
// meanwhile. May answer an octave below.
double RepetitionFrequency(const TStereo& s, double from, double to, double lo, double hi);
// In-place radix-2 FFT (the size a power of two), for the spectra of renders.
void Fft(std::vector<std::complex<double>>& a);
// Cents from f to the nearest of the frequencies f0 x ratio given.
double CentsToNearest(double f, double f0, std::span<const double> ratios);
using testing_support::NoteHz;

}  // namespace module_render
