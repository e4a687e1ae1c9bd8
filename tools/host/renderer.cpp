#include "tools/host/renderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

int RenderChannels(const TVstPlugin& plugin) { return std::clamp(plugin.NumOutputs(), 0, 2); }

std::int64_t EventFrame(const TMidiFileEvent& event, double sampleRate) {
  return static_cast<std::int64_t>(std::nearbyint(event.Seconds * sampleRate));
}

TVstTransport TransportAt(const TMidiSong& song, std::int64_t frame, double sampleRate) {
  TVstTransport t;
  const double seconds = static_cast<double>(frame) / sampleRate;
  const double tick = song.SecondsToTick(seconds);
  t.SamplePos = static_cast<double>(frame);
  t.PpqPos = tick / song.TicksPerQuarter;
  t.Tempo = song.TempoAtSeconds(seconds);
  const TMidiTimeSignature sig = song.TimeSignatureAtTick(tick);
  t.TimeSigNumerator = sig.Numerator;
  t.TimeSigDenominator = sig.Denominator;
  // Bars are counted from the signature's own start (changes fall on bars).
  const double sigStart = static_cast<double>(sig.Tick) / song.TicksPerQuarter;
  const double barLength = 4.0 * sig.Numerator / sig.Denominator;
  t.BarStartPos = sigStart + std::floor((t.PpqPos - sigStart) / barLength + 1e-9) * barLength;
  t.Playing = true;
  return t;
}

std::string RenderSettingsProblem(const TRenderSettings& settings) {
  if (!(settings.SampleRate >= 1000 && settings.SampleRate <= 1536000))
    return "sample rate must be between 1000 and 1536000 Hz";
  if (settings.BlockSize < 1 || settings.BlockSize > 65536) return "block size must be between 1 and 65536 frames";
  if (!(settings.TailSeconds >= 0 && settings.TailSeconds <= 3600)) return "tail must be between 0 and 3600 seconds";
  if (!(settings.MaxSeconds > 0 && settings.MaxSeconds <= 1e9))
    return "the render limit must be above 0 and at most 1000000000 seconds";
  return {};
}

bool RenderLength(const TMidiSong& song, const TRenderSettings& settings, std::int64_t& frames, std::string& error) {
  error = RenderSettingsProblem(settings);
  if (!error.empty()) return false;
  const double rate = settings.SampleRate;
  // The last event is delivered even without a tail.
  const double lastEvent = song.Events.empty() ? 0.0 : song.Events.back().Seconds + 1.0 / rate;
  const double seconds = std::max(song.LengthSeconds + settings.TailSeconds, lastEvent);
  if (!(seconds <= settings.MaxSeconds)) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "the render would last %.0f s (the song to its end plus the tail), more than the limit of %.0f s "
                  "(--max-seconds raises it)",
                  seconds, settings.MaxSeconds);
    error = text;
    return false;
  }
  frames = static_cast<std::int64_t>(std::nearbyint((song.LengthSeconds + settings.TailSeconds) * rate));
  if (!song.Events.empty()) frames = std::max(frames, EventFrame(song.Events.back(), rate) + 1);
  return true;
}

bool RenderSong(TVstPlugin& plugin, const TMidiSong& song, const TRenderSettings& settings, TSampleSink* sink,
                TRenderStats& stats, const std::function<void(double)>& progress, std::string& error) {
  stats = TRenderStats{};
  std::int64_t total = 0;
  if (!RenderLength(song, settings, total, error)) return false;
  const double rate = settings.SampleRate;
  const int block = settings.BlockSize;

  // Event positions and the largest number in any one block, so the event
  // list is sized before playing.
  std::vector<std::int64_t> frames(song.Events.size());
  std::size_t most = 0;
  for (std::size_t i = 0, first = 0; i < song.Events.size(); ++i) {
    frames[i] = EventFrame(song.Events[i], rate);
    while (frames[first] / block != frames[i] / block) ++first;
    most = std::max(most, i - first + 1);
  }
  TVstEventList list(std::max<std::size_t>(most, 1));

  const int outputs = std::max(plugin.NumOutputs(), 0);
  const int channels = RenderChannels(plugin);
  std::vector<std::vector<float>> buffers(static_cast<std::size_t>(std::max(outputs, 1)),
                                          std::vector<float>(static_cast<std::size_t>(block)));
  std::vector<float*> pointers;
  for (auto& b : buffers) pointers.push_back(b.data());

  plugin.SetSampleRate(rate);
  plugin.SetBlockSize(block);
  plugin.Resume();
  plugin.Dispatch(kEffStartProcess);

  double sumSquares = 0;
  std::size_t next = 0;
  for (std::int64_t start = 0; start < total; start += block) {
    const int n = static_cast<int>(std::min<std::int64_t>(block, total - start));
    list.Clear();
    while (next < song.Events.size() && frames[next] < start + n) {
      const std::int64_t at = std::max<std::int64_t>(frames[next], start);
      list.Add(static_cast<int>(at - start), song.Events[next].Bytes, song.Events[next].Size);
      ++next;
    }
    TVstTransport transport = TransportAt(song, start, rate);
    transport.Changed = start == 0;
    plugin.SetTransport(transport);
    plugin.ProcessBlock(list.Events(), pointers.data(), n);
    for (int c = 0; c < channels; ++c) {
      for (int i = 0; i < n; ++i) {
        const float x = pointers[static_cast<std::size_t>(c)][i];
        if (!std::isfinite(x)) {
          ++stats.NonFinite;
          continue;
        }
        stats.Peak = std::max(stats.Peak, std::fabs(x));
        sumSquares += static_cast<double>(x) * x;
      }
    }
    if (sink && channels > 0 && !sink->Write(pointers.data(), n)) {
      error = "writing the output failed";
      plugin.Dispatch(kEffStopProcess);
      plugin.Suspend();
      return false;
    }
    stats.Frames += n;
    if (progress) progress(static_cast<double>(stats.Frames) / static_cast<double>(total));
  }
  plugin.Dispatch(kEffStopProcess);
  plugin.Suspend();
  stats.Seconds = static_cast<double>(stats.Frames) / rate;
  if (stats.Frames > 0 && channels > 0)
    stats.Rms = std::sqrt(sumSquares / (static_cast<double>(stats.Frames) * channels));
  return true;
}
