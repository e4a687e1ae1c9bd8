#include "tests/module/module_render.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

namespace module_render {

TMidiSong Song(const std::vector<TNote>& notes) {
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
  for (const TNote& n : notes) {
    song.Events.push_back(event(n.On, 0x90, n.Key, n.Velocity));
    song.Events.push_back(event(n.Off, 0x80, n.Key, 64));
  }
  std::stable_sort(song.Events.begin(), song.Events.end(),
                   [](const TMidiFileEvent& a, const TMidiFileEvent& b) { return a.Tick < b.Tick; });
  ApplyTempoMap(song);
  song.LengthSeconds = song.Events.empty() ? 0.0 : song.Events.back().Seconds;
  return song;
}

const TVstModule& Module() {
  static TVstModule module;
  static std::once_flag once;
  std::call_once(once, [] {
    std::string error;
    module.Load(RUMBLEON_MODULE_PATH, error);
  });
  return module;
}

std::vector<std::vector<float>> RenderProgram(int program, const TMidiSong& song, double rate, double tailSeconds,
                                              std::string& error, const std::vector<TParamSet>& sets, int block) {
  if (Module().Entry() == nullptr) {
    error = "the module did not load";
    return {};
  }
  std::unique_ptr<TVstPlugin> plugin = TVstPlugin::Open(Module(), error, rate, block);
  if (!plugin) return {};
  plugin->SetProgram(program);
  for (const TParamSet& s : sets) plugin->SetParameter(s.Index, s.Value);
  TRenderSettings settings;
  settings.SampleRate = rate;
  settings.BlockSize = block;
  settings.TailSeconds = tailSeconds;
  TMemorySink sink(2);
  TRenderStats stats;
  if (!RenderSong(*plugin, song, settings, &sink, stats, {}, error)) return {};
  return std::move(sink.Data);
}

int ParamIndex(const std::string& name) {
  std::string error;
  std::unique_ptr<TVstPlugin> plugin = TVstPlugin::Open(Module(), error);
  if (!plugin) return -1;
  for (int i = 0; i < plugin->NumParams(); ++i)
    if (plugin->ParamName(i) == name) return i;
  return -1;
}

void Fft(std::vector<std::complex<double>>& a) {
  const std::size_t n = a.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2 * std::numbers::pi / static_cast<double>(len));
    for (std::size_t i = 0; i < n; i += len) {
      std::complex<double> wk = 1;
      for (std::size_t k = 0; k < len / 2; ++k, wk *= w) {
        const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * wk;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
    }
  }
}

}  // namespace module_render
