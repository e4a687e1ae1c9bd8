#include "tests/module/module_render.h"
#include "framework/base/thread_time.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <mutex>
#include <numbers>

namespace module_render {

// ---- songs

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

std::vector<std::vector<float>> RenderProgram(int program, const TMidiSong& song, double rate, double tailSeconds,
                                              std::string& error, const std::vector<TParamSet>& sets, int block) {
  std::unique_ptr<TVstPlugin> plugin = OpenInstance(rate, block, error);
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

// ---- scripts

TScript& TScript::NoteOn(double seconds, int key, int velocity) {
  TScriptEvent e;
  e.Seconds = seconds;
  e.Bytes[0] = 0x90;
  e.Bytes[1] = static_cast<std::uint8_t>(key);
  e.Bytes[2] = static_cast<std::uint8_t>(velocity);
  List.push_back(e);
  return *this;
}

TScript& TScript::NoteOff(double seconds, int key) {
  TScriptEvent e;
  e.Seconds = seconds;
  e.Bytes[0] = 0x80;
  e.Bytes[1] = static_cast<std::uint8_t>(key);
  e.Bytes[2] = 64;
  List.push_back(e);
  return *this;
}

TScript& TScript::Note(double start, double length, int key, int velocity) {
  return NoteOn(start, key, velocity).NoteOff(start + length, key);
}

TScript& TScript::Program(double seconds, int program) {
  TScriptEvent e;
  e.Seconds = seconds;
  e.Kind = TScriptEvent::kProgram;
  e.Index = program;
  List.push_back(e);
  return *this;
}

TScript& TScript::Parameter(double seconds, int index, float value) {
  TScriptEvent e;
  e.Seconds = seconds;
  e.Kind = TScriptEvent::kParameter;
  e.Index = index;
  e.Value = value;
  List.push_back(e);
  return *this;
}

std::size_t TStereo::Frame(double seconds) const {
  const auto f = static_cast<std::size_t>(std::max(0.0, std::nearbyint(seconds * Rate)));
  return std::min(f, Left.size());
}

double TStereo::CpuSeconds(double from, double to) const {
  double sum = 0;
  for (std::size_t k = 0; k < BlockCpu.size(); ++k) {
    const double t = static_cast<double>(k) * Block / Rate;
    if (t >= from && t < to) sum += BlockCpu[k];
  }
  return sum;
}

std::span<const float> TStereo::LeftPart(double from, double to) const {
  const std::size_t a = Frame(from), b = std::max(a, Frame(to));
  return std::span<const float>(Left).subspan(a, b - a);
}

std::span<const float> TStereo::RightPart(double from, double to) const {
  const std::size_t a = Frame(from), b = std::max(a, Frame(to));
  return std::span<const float>(Right).subspan(a, b - a);
}

std::vector<float> Both(const TStereo& s, double from, double to) {
  std::vector<float> x(s.LeftPart(from, to).begin(), s.LeftPart(from, to).end());
  x.insert(x.end(), s.RightPart(from, to).begin(), s.RightPart(from, to).end());
  return x;
}

// ---- playing

const TVstModule* Module(std::string& error) {
  static std::once_flag once;
  static TVstModule module;
  static bool loaded = false;
  static std::string loadError;
  // RUMBLEON_MODULE plays another build of the module through the same
  // tests (before and after figures of a change).
  std::call_once(once, [] {
    const char* other = std::getenv("RUMBLEON_MODULE");
    loaded = module.Load(other != nullptr && *other != '\0' ? other : RUMBLEON_MODULE_PATH, loadError);
  });
  if (!loaded) {
    error = loadError;
    return nullptr;
  }
  return &module;
}

const TVstModule& Module() {
  static const TVstModule unloaded;
  std::string error;
  const TVstModule* module = Module(error);
  return module != nullptr ? *module : unloaded;
}

std::unique_ptr<TVstPlugin> OpenInstance(double rate, int block, std::string& error) {
  const TVstModule* module = Module(error);
  if (module == nullptr) return nullptr;
  return TVstPlugin::Open(*module, error, rate, block);
}

namespace {
// What read(plugin, i) gives for i = 0 .. count(plugin) - 1, on a fresh instance.
template <class TCount, class TRead>
std::vector<std::string> ReadNames(TCount count, TRead read) {
  std::vector<std::string> names;
  std::string error;
  std::unique_ptr<TVstPlugin> plugin = OpenInstance(44100, 512, error);
  if (plugin != nullptr)
    for (int i = 0; i < count(*plugin); ++i) names.push_back(read(*plugin, i));
  return names;
}

int IndexOf(const std::vector<std::string>& names, const std::string& name) {
  const auto it = std::find(names.begin(), names.end(), name);
  return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}
}  // namespace

const std::vector<std::string>& ProgramNames() {
  static const std::vector<std::string> names =
      ReadNames([](TVstPlugin& p) { return p.NumPrograms(); }, [](TVstPlugin& p, int i) { return p.ProgramName(i); });
  return names;
}

int FindProgram(const std::string& name) { return IndexOf(ProgramNames(), name); }

int ParamIndex(const std::string& name) {
  static const std::vector<std::string> names =
      ReadNames([](TVstPlugin& p) { return p.NumParams(); }, [](TVstPlugin& p, int i) { return p.ParamName(i); });
  return IndexOf(names, name);
}

bool PlayOn(TVstPlugin& plugin, const TPlaySettings& settings, const TScript& script, TStereo& out,
            std::string& error) {
  if (plugin.NumOutputs() < 2) {
    error = "the plug-in has fewer than two outputs";
    return false;
  }
  const double rate = settings.Rate;
  const int block = settings.Block;
  const auto total = static_cast<std::size_t>(std::nearbyint(settings.Seconds * rate));
  std::vector<TScriptEvent> events = script.Events();
  std::stable_sort(events.begin(), events.end(),
                   [](const TScriptEvent& a, const TScriptEvent& b) { return a.Seconds < b.Seconds; });

  out = TStereo{};
  out.Rate = rate;
  out.Block = block;
  out.Left.reserve(total);
  out.Right.reserve(total);
  std::vector<std::vector<float>> buffers(static_cast<std::size_t>(plugin.NumOutputs()),
                                          std::vector<float>(static_cast<std::size_t>(block)));
  std::vector<float*> pointers;
  for (auto& b : buffers) pointers.push_back(b.data());
  TVstEventList list(events.size() + 1);

  plugin.SetProcessLevel(settings.ProcessLevel);
  plugin.SetSampleRate(rate);
  plugin.SetBlockSize(block);
  plugin.Resume();
  plugin.Dispatch(kEffStartProcess);
  std::size_t next = 0;
  for (std::size_t start = 0; start < total; start += static_cast<std::size_t>(block)) {
    const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(block), total - start));
    list.Clear();
    // Host calls due before this block's end are made before it, as a host
    // thread does between two process calls; MIDI goes at its offset.
    while (next < events.size()) {
      const TScriptEvent& e = events[next];
      const auto at = static_cast<std::size_t>(std::max(0.0, std::nearbyint(e.Seconds * rate)));
      if (at >= start + static_cast<std::size_t>(n)) break;
      switch (e.Kind) {
        case TScriptEvent::kMidi:
          list.Add(static_cast<int>(std::max(at, start) - start), e.Bytes, 3);
          break;
        case TScriptEvent::kProgram:
          plugin.SetProgram(e.Index);
          break;
        case TScriptEvent::kParameter:
          plugin.SetParameter(e.Index, e.Value);
          break;
      }
      ++next;
    }
    TVstTransport transport;
    transport.SamplePos = static_cast<double>(start);
    transport.PpqPos = static_cast<double>(start) / rate * 2.0;  // 120 BPM
    transport.BarStartPos = std::floor(transport.PpqPos / 4.0) * 4.0;
    transport.Playing = true;
    transport.Changed = start == 0;
    plugin.SetTransport(transport);
    const double before = ThreadCpuSeconds();
    plugin.ProcessBlock(list.Events(), pointers.data(), n);
    out.BlockCpu.push_back(ThreadCpuSeconds() - before);
    out.Left.insert(out.Left.end(), pointers[0], pointers[0] + n);
    out.Right.insert(out.Right.end(), pointers[1], pointers[1] + n);
  }
  plugin.Dispatch(kEffStopProcess);
  plugin.Suspend();
  return true;
}

bool Play(const TPlaySettings& settings, const TScript& script, TStereo& out, std::string& error) {
  std::unique_ptr<TVstPlugin> plugin = OpenInstance(settings.Rate, settings.Block, error);
  if (plugin == nullptr) return false;
  plugin->SetProgram(settings.Program);
  if (settings.Prepare) settings.Prepare(*plugin);
  return PlayOn(*plugin, settings, script, out, error);
}

// ---- measurements

namespace {

// One RBJ section run from rest.
struct TSection {
  double B0 = 1, B1 = 0, B2 = 0, A1 = 0, A2 = 0;
  double X1 = 0, X2 = 0, Y1 = 0, Y2 = 0;
  TSection(double rate, double hz, double q, bool high) {
    const double w = 2 * std::numbers::pi * hz / rate;
    const double alpha = std::sin(w) / (2 * q);
    const double c = std::cos(w);
    const double a0 = 1 + alpha;
    if (high) {
      B0 = (1 + c) / 2 / a0;
      B1 = -(1 + c) / a0;
    } else {
      B0 = (1 - c) / 2 / a0;
      B1 = (1 - c) / a0;
    }
    B2 = B0;
    A1 = -2 * c / a0;
    A2 = (1 - alpha) / a0;
  }
  double Step(double x) {
    const double y = B0 * x + B1 * X1 + B2 * X2 - A1 * Y1 - A2 * Y2;
    X2 = X1;
    X1 = x;
    Y2 = Y1;
    Y1 = y;
    return y;
  }
};

std::vector<float> Butterworth4(std::span<const float> x, double rate, double hz, bool high) {
  // The two sections of a fourth-order Butterworth response.
  TSection a(rate, hz, 0.54119610, high), b(rate, hz, 1.30656296, high);
  std::vector<float> y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = static_cast<float>(b.Step(a.Step(x[i])));
  return y;
}

double SumSquares(std::span<const float> x) {
  double sum = 0;
  for (float v : x) sum += static_cast<double>(v) * v;
  return sum;
}

}  // namespace

std::vector<float> HighPass(std::span<const float> x, double rate, double hz) {
  return Butterworth4(x, rate, hz, true);
}

std::vector<float> LowPass(std::span<const float> x, double rate, double hz) {
  return Butterworth4(x, rate, hz, false);
}

double RmsDb(std::span<const float> x) {
  if (x.empty()) return -200.0;
  const double ms = SumSquares(x) / static_cast<double>(x.size());
  return ms > 0 ? 10.0 * std::log10(ms) : -200.0;
}

TBands SplitBands(const TStereo& s) {
  TBands b;
  b.HighL = HighPass(s.Left, s.Rate, kClickHz);
  b.HighR = HighPass(s.Right, s.Rate, kClickHz);
  b.LowL = LowPass(s.Left, s.Rate, kLowEndHz);
  b.LowR = LowPass(s.Right, s.Rate, kLowEndHz);
  return b;
}

double LowEndCorrelation(const TStereo& s, const TBands& b, double from, double to) {
  const std::size_t first = s.Frame(from), last = std::max(first, s.Frame(to));
  double lr = 0, ll = 0, rr = 0;
  for (std::size_t i = first; i < last; ++i) {
    lr += static_cast<double>(b.LowL[i]) * b.LowR[i];
    ll += static_cast<double>(b.LowL[i]) * b.LowL[i];
    rr += static_cast<double>(b.LowR[i]) * b.LowR[i];
  }
  if (ll <= 1e-20 && rr <= 1e-20) return 1.0;
  if (ll <= 1e-20 || rr <= 1e-20) return 0.0;
  return lr / std::sqrt(ll * rr);
}

double ClickExcessDb(const TStereo& s, const TBands& b, double start) {
  auto power = [](const std::vector<float>& l, const std::vector<float>& r, std::size_t from, std::size_t to) {
    const std::size_t n = to - from;
    return SumSquares(std::span<const float>(l).subspan(from, n)) +
           SumSquares(std::span<const float>(r).subspan(from, n));
  };
  // The loudest 2 ms above kClickHz between from and to: a periodic sound
  // puts its edges into windows of the same length at the start and later.
  const std::size_t window = std::max<std::size_t>(1, s.Frame(0.002));
  const std::size_t hop = std::max<std::size_t>(1, window / 4);
  auto loudest = [&](std::size_t from, std::size_t to) {
    double best = 0;
    for (std::size_t w = from; w + window <= std::min(to, s.Left.size()); w += hop)
      best = std::max(best, power(b.HighL, b.HighR, w, w + window));
    return best;
  };
  const std::size_t a = s.Frame(start);
  const std::size_t from = s.Frame(start + kClickFollowFrom), to = s.Frame(start + kClickFollowTo);
  if (to <= from) return 0.0;
  const double burst = loudest(a, a + s.Frame(0.006));
  const double sound = loudest(from, to);
  // Below -60 dB of the sound's own level nothing is heard.
  const double floor =
      power(s.Left, s.Right, from, to) * static_cast<double>(window) / static_cast<double>(to - from) * 1e-6;
  // A note that does not sound yet (a sequencer's rest, a slow attack) has
  // no sound to compare its start with.
  if (floor <= 1e-16) return -200.0;
  return 10.0 * std::log10(std::max(burst, 1e-30) / std::max(sound, floor));
}

double PeakFrequency(const TStereo& s, double from, double to, double lo, double hi, bool centre) {
  const std::size_t a = s.Frame(from), b = std::max(a, s.Frame(to));
  const std::size_t n = b - a;
  if (n < 16) return 0.0;
  std::size_t size = 1;
  while (size < 4 * n) size <<= 1;
  std::vector<std::complex<double>> x(size);
  for (std::size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n - 1));
    x[i] = w * (static_cast<double>(s.Left[a + i]) + s.Right[a + i]);
  }
  Fft(x);
  const double binHz = s.Rate / static_cast<double>(size);
  const auto first = static_cast<std::size_t>(std::max(1.0, std::floor(lo / binHz)));
  const auto last = std::min(size / 2 - 2, static_cast<std::size_t>(std::ceil(hi / binHz)));
  std::size_t best = first;
  for (std::size_t k = first; k <= last; ++k)
    if (std::abs(x[k]) > std::abs(x[best])) best = k;
  if (!centre) {
    const double ym = std::log(std::abs(x[best - 1]) + 1e-30), y0 = std::log(std::abs(x[best]) + 1e-30),
                 yp = std::log(std::abs(x[best + 1]) + 1e-30);
    const double denom = ym - 2 * y0 + yp;
    const double shift = denom != 0 ? 0.5 * (ym - yp) / denom : 0.0;
    return (static_cast<double>(best) + std::clamp(shift, -0.5, 0.5)) * binHz;
  }
  // The power-weighted centre of the bins within 80 cents of it, taken
  // again around that centre until it settles: the pitch of a partial and
  // of detuned copies around it (a chorus of saws, echoes that split it into
  // a comb) alike.
  double mid = static_cast<double>(best) * binHz;
  for (int pass = 0; pass < 8; ++pass) {
    const auto firstBin =
        static_cast<std::size_t>(std::max(1.0, std::floor(mid * std::pow(2.0, -80.0 / 1200) / binHz)));
    const auto lastBin =
        std::min(size / 2 - 1, static_cast<std::size_t>(std::ceil(mid * std::pow(2.0, 80.0 / 1200) / binHz)));
    double weight = 0, sum = 0;
    for (std::size_t k = firstBin; k <= lastBin; ++k) {
      const double p = std::norm(x[k]);
      weight += p;
      sum += p * static_cast<double>(k);
    }
    if (!(weight > 0)) break;
    mid = sum / weight * binHz;
  }
  return mid;
}

double RepetitionFrequency(const TStereo& s, double from, double to, double lo, double hi) {
  const std::size_t a = s.Frame(from), b = std::max(a, s.Frame(to));
  std::vector<double> x(b - a);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(s.Left[a + i]) + s.Right[a + i];
  const auto minLag = static_cast<std::size_t>(std::max(2.0, std::floor(s.Rate / hi)));
  const auto maxLag = std::min(x.size() / 2, static_cast<std::size_t>(std::ceil(s.Rate / lo)));
  if (maxLag <= minLag + 2) return 0.0;
  std::vector<double> r(maxLag + 2, 0.0);
  for (std::size_t lag = minLag - 1; lag <= maxLag + 1; ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (std::size_t i = 0; i + lag < x.size(); ++i) {
      xy += x[i] * x[i + lag];
      xx += x[i] * x[i];
      yy += x[i + lag] * x[i + lag];
    }
    r[lag] = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
  }
  std::size_t best = minLag;
  for (std::size_t lag = minLag; lag <= maxLag; ++lag)
    if (r[lag] > r[best]) best = lag;
  const double ym = r[best - 1], y0 = r[best], yp = r[best + 1];
  const double denom = ym - 2 * y0 + yp;
  const double shift = denom != 0 ? std::clamp(0.5 * (ym - yp) / denom, -0.5, 0.5) : 0.0;
  return s.Rate / (static_cast<double>(best) + shift);
}

double CentsToNearest(double f, double f0, std::span<const double> ratios) {
  double best = 1e9;
  for (double r : ratios) {
    const double c = 1200.0 * std::log2(f / (f0 * r));
    if (std::fabs(c) < std::fabs(best)) best = c;
  }
  return best;
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
