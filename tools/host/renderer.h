// Plays a MIDI song through a plug-in into a sample sink, block by block,
// the way a real host does: every event at its sample offset inside the
// block, processEvents before every block, the transport reported by
// getTime following the song's tempo map.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/host/midi_file.h"
#include "tools/host/vst_host.h"

// The longest render taken unless the settings raise it: an hour of audio
// (about 1 GB of 24-bit stereo at 44.1 kHz), far beyond any song, so that a
// MIDI file whose one delta time spans days is refused before anything is
// written.
inline constexpr double kRenderLimitSeconds = 3600;

struct TRenderSettings {
  double SampleRate = 44100;                // Hz, 1000..1536000
  int BlockSize = 512;                      // frames per host block, 1..65536
  double TailSeconds = 2;                   // rendered after the song's last event, 0..3600
  double MaxSeconds = kRenderLimitSeconds;  // the longest render taken, above 0
};

// Empty when the settings are in their ranges; otherwise what is not.
std::string RenderSettingsProblem(const TRenderSettings& settings);
// The frames a render of the song takes (to its end, or its last event if
// that is later, plus the tail), when the settings are in range and that
// is at most MaxSeconds; otherwise false with the reason.
bool RenderLength(const TMidiSong& song, const TRenderSettings& settings, std::int64_t& frames, std::string& error);

// Receives the rendered blocks (the first OutputChannels outputs).
class TSampleSink {
 public:
  virtual ~TSampleSink() = default;
  virtual bool Write(const float* const* channels, int frames) = 0;
};

struct TRenderStats {
  std::int64_t Frames = 0;
  double Seconds = 0;
  float Peak = 0;              // largest magnitude of any channel
  double Rms = 0;              // over all channels written
  std::int64_t NonFinite = 0;  // NaN or infinite samples seen
};

// Channels written to the sink: the plug-in's outputs, at most two.
int RenderChannels(const TVstPlugin& plugin);

// The sample position of each event (rounded to nearest) and the transport
// at a sample position.
std::int64_t EventFrame(const TMidiFileEvent& event, double sampleRate);
TVstTransport TransportAt(const TMidiSong& song, std::int64_t frame, double sampleRate);

// Sets rate and block size, resumes, plays the song plus the tail, suspends;
// nothing when RenderLength refuses the render. progress (may be empty)
// receives the fraction done after each block.
bool RenderSong(TVstPlugin& plugin, const TMidiSong& song, const TRenderSettings& settings, TSampleSink* sink,
                TRenderStats& stats, const std::function<void(double)>& progress, std::string& error);

// A sink that keeps everything in memory (tests, comparisons).
class TMemorySink : public TSampleSink {
 public:
  explicit TMemorySink(int channels) : Data(static_cast<std::size_t>(channels)) {}
  bool Write(const float* const* channels, int frames) override {
    for (std::size_t c = 0; c < Data.size(); ++c) Data[c].insert(Data[c].end(), channels[c], channels[c] + frames);
    return true;
  }
  std::vector<std::vector<float>> Data;
};
