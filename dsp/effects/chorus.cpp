#include "dsp/effects/chorus.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/effects/effect_lfo.h"
#include "dsp/oscillators/random_source.h"

namespace {
// Modulation values (ms) beyond this come only from a broken LFO; they are
// cut so the tap arithmetic stays finite. Any value beyond the line wraps.
constexpr float kMaxModulationMs = 2000.0f;

// Linear interpolation in a circular line at position p (samples, any
// finite value), brought into [0, length) with a bounded modulo.
inline float ReadTap(const float* line, std::int32_t length, float p) {
  const auto len = static_cast<float>(length);
  p -= len * std::floor(p / len);
  if (!(p >= 0.0f) || p >= len) p = 0.0f;  // rounding at the edges
  const auto i0 = static_cast<std::int32_t>(p);
  const float frac = p - static_cast<float>(i0);
  const std::int32_t i1 = i0 + 1 >= length ? 0 : i0 + 1;
  return line[i0] + (line[i1] - line[i0]) * frac;
}

bool StoreSigned(float& field, float value) {
  if (!std::isfinite(value)) return false;
  field = std::clamp(value, -1.0f, 1.0f);
  return true;
}
}  // namespace

TDSPXChorus::TDSPXChorus() {
  for (auto& lfo : Lfos) lfo = CreateEffectLfo();
  TDSPXChorus::ReallocBuffers();
  TDSPXChorus::Update();
}

TDSPXChorus::~TDSPXChorus() = default;

void TDSPXChorus::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  for (auto& lfo : Lfos) KeepOnControlRate(*lfo);
  Update();
}

void TDSPXChorus::ReallocBuffers() {
  TDSPStereoEffect::ReallocBuffers();
  Lines.Allocate(std::max(2, kCapacityMs * Settings->SamplesPerMs), [this] { UpdateLengths(); });
}

void TDSPXChorus::ReleaseBuffers() {
  TDSPStereoEffect::ReleaseBuffers();
  Lines.Release();
}

void TDSPXChorus::SetRandomSeed(std::uint64_t seed) {
  for (std::size_t k = 0; k < Lfos.size(); ++k) Lfos[k]->SetRandomSeed(MixSeed(seed, k));
}

void TDSPXChorus::UpdateLengths() {
  const std::int32_t capacity = std::max(2, Lines.Size());
  for (std::size_t s = 0; s < 2; ++s) {
    const std::int32_t length = SampleCount(static_cast<float>(LengthSamples(Length[s])), 2, capacity);
    LineLength[s] = length;
    BaseDelay[s] = static_cast<float>(SampleCount(static_cast<float>(LengthSamples(SizeValue[s])), 0, length - 1));
    if (WritePosition[s] >= length) WritePosition[s] = 0;
  }
}

void TDSPXChorus::LockedUpdateLengths() { UpdateLengths(); }

void TDSPXChorus::Update() {
  TDSPStereoEffect::Update();
  UpdateLengths();
}

void TDSPXChorus::UpdateTickLength() {
  TDSPStereoEffect::UpdateTickLength();
  Update();
}

void TDSPXChorus::SetLengthLeft(float length) {
  if (!std::isfinite(length)) return;
  Length[0] = length;
  LockedUpdateLengths();
}

void TDSPXChorus::SetLengthRight(float length) {
  if (!std::isfinite(length)) return;
  Length[1] = length;
  LockedUpdateLengths();
}

void TDSPXChorus::SetSizeLeft(float size) {
  if (!std::isfinite(size)) return;
  SizeValue[0] = size;
  LockedUpdateLengths();
}

void TDSPXChorus::SetSizeRight(float size) {
  if (!std::isfinite(size)) return;
  SizeValue[1] = size;
  LockedUpdateLengths();
}

void TDSPXChorus::SetFeedbackLeft(float value) { StoreSigned(FeedbackLeft, value); }
void TDSPXChorus::SetFeedbackRight(float value) { StoreSigned(FeedbackRight, value); }
void TDSPXChorus::SetCrossLeftToRight(float value) { StoreSigned(CrossLeftToRight, value); }
void TDSPXChorus::SetCrossRightToLeft(float value) { StoreSigned(CrossRightToLeft, value); }

void TDSPXChorus::UpdateModulation() {
  for (std::size_t k = 0; k < 4; ++k) Target[k] = TickModulation(*Lfos[k], kMaxModulationMs);
}

namespace {
// What a sub-block's samples share.
struct TChorusBlock {
  float* Line[2];
  std::int32_t Length[2];
  float Base[2];
  float SamplesPerMs;
  std::array<float, 4> Previous;  // modulation (ms) at the sub-block's start
  std::array<float, 4> Step;      // its change per sample
  float Feedback[2];
  float CrossLeftToRight, CrossRightToLeft;
  float LeftWet, LeftDry, RightWet, RightDry;
};

// Samples first .. first + count - 1 one after the other, each reading its
// taps before writing the lines. The four taps in the lanes of one register
// (left 1, left 2, right 1, right 2). A tap position p within
// -length..length needs no division: the bounded modulo gives p for p >= 0
// and p + length below (its quotient rounds into [-1, 0) there), so the
// lanes compute exactly what ReadTap computes; any other position takes
// ReadTap itself.
void RunSamples(const TChorusBlock& c, float* left, float* right, const float* noise, std::int32_t first,
                std::int32_t count, std::array<std::int32_t, 2>& write, bool& bad) {
  float* lineL = c.Line[0];
  float* lineR = c.Line[1];
  const std::int32_t lenL = c.Length[0], lenR = c.Length[1];
  std::int32_t wL = write[0], wR = write[1];
  const __m128 previous = _mm_loadu_ps(c.Previous.data());
  const __m128 slope = _mm_loadu_ps(c.Step.data());
  const __m128 samplesPerMs = _mm_set1_ps(c.SamplesPerMs);
  const __m128 base = _mm_setr_ps(c.Base[0], c.Base[0], c.Base[1], c.Base[1]);
  const __m128 length = _mm_setr_ps(static_cast<float>(lenL), static_cast<float>(lenL), static_cast<float>(lenR),
                                    static_cast<float>(lenR));
  const __m128 minusLength = _mm_sub_ps(_mm_setzero_ps(), length);
  const __m128i lengthInt = _mm_setr_epi32(lenL, lenL, lenR, lenR);
  const __m128i oneInt = _mm_set1_epi32(1);
  // Locals: the line writes below could alias the block record.
  const float fbL = c.Feedback[0], fbR = c.Feedback[1];
  const float crossLR = c.CrossLeftToRight, crossRL = c.CrossRightToLeft;
  const float lw = c.LeftWet, ld = c.LeftDry, rw = c.RightWet, rd = c.RightDry;
  for (std::int32_t i = first; i < first + count; ++i) {
    const auto t = static_cast<float>(i);
    const float xL = left[i] + noise[i];
    const float xR = right[i] + noise[i];
    const auto posL = static_cast<float>(wL);
    const auto posR = static_cast<float>(wR);
    const __m128 m = _mm_add_ps(previous, _mm_mul_ps(slope, _mm_set1_ps(t)));
    const __m128 p = _mm_sub_ps(_mm_setr_ps(posL, posL, posR, posR), _mm_add_ps(_mm_mul_ps(samplesPerMs, m), base));
    const __m128 inRange = _mm_and_ps(_mm_cmpge_ps(p, minusLength), _mm_cmplt_ps(p, length));
    alignas(16) float tap[4];
    if (_mm_movemask_ps(inRange) == 0xF) [[likely]] {
      __m128 q = _mm_add_ps(p, _mm_and_ps(_mm_cmplt_ps(p, _mm_setzero_ps()), length));
      q = _mm_andnot_ps(_mm_cmpge_ps(q, length), q);  // p + length rounded up to length: 0, as ReadTap
      const __m128i i0 = _mm_cvttps_epi32(q);
      const __m128 frac = _mm_sub_ps(q, _mm_cvtepi32_ps(i0));
      __m128i i1 = _mm_add_epi32(i0, oneInt);
      i1 = _mm_andnot_si128(_mm_cmpgt_epi32(i1, _mm_sub_epi32(lengthInt, oneInt)), i1);  // i0 + 1 >= length: 0
      alignas(16) std::int32_t k0[4], k1[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(k0), i0);
      _mm_store_si128(reinterpret_cast<__m128i*>(k1), i1);
      const __m128 y0 = _mm_setr_ps(lineL[k0[0]], lineL[k0[1]], lineR[k0[2]], lineR[k0[3]]);
      const __m128 y1 = _mm_setr_ps(lineL[k1[0]], lineL[k1[1]], lineR[k1[2]], lineR[k1[3]]);
      _mm_store_ps(tap, _mm_add_ps(y0, _mm_mul_ps(_mm_sub_ps(y1, y0), frac)));
    } else {
      alignas(16) float position[4];
      _mm_store_ps(position, p);
      tap[0] = ReadTap(lineL, lenL, position[0]);
      tap[1] = ReadTap(lineL, lenL, position[1]);
      tap[2] = ReadTap(lineR, lenR, position[2]);
      tap[3] = ReadTap(lineR, lenR, position[3]);
    }
    const float a = (tap[0] + tap[1]) * 0.5f;
    const float b = (tap[2] + tap[3]) * 0.5f;
    const float writeL = a * fbL + xL;
    const float writeR = b * fbR + xR;
    left[i] = a * lw + left[i] * ld;
    right[i] = b * rw + right[i] * rd;
    // Cross-feed on the values just written.
    lineL[wL] = KeepBounded(writeL + writeR * crossRL, bad);
    lineR[wR] = KeepBounded(writeR + writeL * crossLR, bad);
    if (++wL >= lenL) wL = 0;
    if (++wR >= lenR) wR = 0;
  }
  write = {wL, wR};
}

// The most samples the two-pass form takes at once.
constexpr std::int32_t kRun = 256;

// First pass of the two-pass form: the mean of tap k and tap k + 1 (0: left,
// 2: right) for samples first .. first + count - 1 (count a multiple of 4,
// at most kRun, below the line length) into `out`, four samples per
// register, each lane computing what RunSamples computes for its sample.
// False when a position is beyond -length..length or a read would meet a
// sample written earlier in the run (then the run goes one by one). With
// kChecked false the caller has made sure of neither happening.
template <bool kChecked>
bool ReadTapPair(const TChorusBlock& c, int k, std::int32_t first, std::int32_t count, std::int32_t write, float* out) {
  const int side = k / 2;
  const float* line = c.Line[side];
  const std::int32_t len = c.Length[side];
  const __m128 length = _mm_set1_ps(static_cast<float>(len));
  const __m128 minusLength = _mm_sub_ps(_mm_setzero_ps(), length);
  const __m128i lengthInt = _mm_set1_epi32(len);
  const __m128i lastInt = _mm_set1_epi32(len - 1);
  const __m128i oneInt = _mm_set1_epi32(1);
  const __m128 samplesPerMs = _mm_set1_ps(c.SamplesPerMs);
  const __m128 base = _mm_set1_ps(c.Base[side]);
  const __m128 zero = _mm_setzero_ps();
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128i zeroInt = _mm_setzero_si128();
  const __m128i two = _mm_set1_epi32(2);
  const float previous0 = c.Previous[static_cast<std::size_t>(k)], step0 = c.Step[static_cast<std::size_t>(k)];
  const float previous1 = c.Previous[static_cast<std::size_t>(k + 1)], step1 = c.Step[static_cast<std::size_t>(k + 1)];
  __m128i wrong = _mm_setzero_si128();
  __m128 outside = _mm_setzero_ps();
  __m128i w = _mm_add_epi32(_mm_set1_epi32(write), _mm_setr_epi32(0, 1, 2, 3));
  w = _mm_sub_epi32(w, _mm_and_si128(_mm_cmpgt_epi32(w, lastInt), lengthInt));
  __m128i run = _mm_setr_epi32(0, 1, 2, 3);  // sample index within the run
  const __m128i four = _mm_set1_epi32(4);
  for (std::int32_t j = 0; j < count; j += 4) {
    const __m128 t = _mm_cvtepi32_ps(_mm_add_epi32(run, _mm_set1_epi32(first)));
    const __m128 pos = _mm_cvtepi32_ps(w);
    const __m128i limit = _mm_add_epi32(run, two);
    const auto readTap = [&](float previous, float step) __attribute__((always_inline)) {
      const __m128 m = _mm_add_ps(_mm_set1_ps(previous), _mm_mul_ps(_mm_set1_ps(step), t));
      const __m128 p = _mm_sub_ps(pos, _mm_add_ps(_mm_mul_ps(samplesPerMs, m), base));
      __m128 out = zero;
      if constexpr (kChecked) {
        out = _mm_or_ps(_mm_cmplt_ps(p, minusLength), _mm_cmpnlt_ps(p, length));  // also NaN
        outside = _mm_or_ps(outside, out);
      }
      __m128 q = _mm_add_ps(p, _mm_and_ps(_mm_cmplt_ps(p, zero), length));
      q = _mm_andnot_ps(_mm_cmpge_ps(q, length), q);
      // Out-of-range lanes read index 0 here; the run is dropped then.
      const __m128i i0 = _mm_andnot_si128(_mm_castps_si128(out), _mm_cvttps_epi32(q));
      const __m128 frac = _mm_sub_ps(q, _mm_cvtepi32_ps(i0));
      // The second read wraps to index 0 at i0 = length - 1 (the pair below
      // reads index 0 there; such lanes are read one by one).
      const __m128i atEnd = _mm_cmpgt_epi32(i0, _mm_sub_epi32(lastInt, oneInt));
      const __m128i pair = _mm_andnot_si128(atEnd, i0);
      // Distance back from the write position of both reads (the second is
      // i0 + 1, the run at most length - 1 long): 1 .. run index + 1 for i0
      // means a sample this run has written already.
      if constexpr (kChecked) {
        __m128i back = _mm_sub_epi32(w, i0);
        back = _mm_add_epi32(back, _mm_and_si128(_mm_cmplt_epi32(back, zeroInt), lengthInt));
        wrong = _mm_or_si128(wrong, _mm_andnot_si128(_mm_cmpeq_epi32(back, zeroInt), _mm_cmplt_epi32(back, limit)));
      }
      // Both reads of a lane as one pair of neighbours.
      alignas(16) std::int32_t at[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(at), pair);
      const auto neighbours = [line](std::int32_t index) {
        std::int64_t bits;
        std::memcpy(&bits, line + index, sizeof bits);
        return _mm_castsi128_ps(_mm_cvtsi64_si128(bits));
      };
      const __m128 p0 = neighbours(at[0]);
      const __m128 p1 = neighbours(at[1]);
      const __m128 p2 = neighbours(at[2]);
      const __m128 p3 = neighbours(at[3]);
      const __m128 p01 = _mm_movelh_ps(p0, p1);
      const __m128 p23 = _mm_movelh_ps(p2, p3);
      __m128 y0 = _mm_shuffle_ps(p01, p23, _MM_SHUFFLE(2, 0, 2, 0));
      __m128 y1 = _mm_shuffle_ps(p01, p23, _MM_SHUFFLE(3, 1, 3, 1));
      if (_mm_movemask_epi8(atEnd) != 0) [[unlikely]] {
        alignas(16) std::int32_t k0[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(k0), i0);
        alignas(16) float v0[4], v1[4];
        for (int e = 0; e < 4; ++e) {
          v0[e] = line[k0[e]];
          v1[e] = line[k0[e] + 1 >= len ? 0 : k0[e] + 1];
        }
        y0 = _mm_load_ps(v0);
        y1 = _mm_load_ps(v1);
      }
      return _mm_add_ps(y0, _mm_mul_ps(_mm_sub_ps(y1, y0), frac));
    };
    const __m128 tap0 = readTap(previous0, step0);
    const __m128 tap1 = readTap(previous1, step1);
    _mm_storeu_ps(out + j, _mm_mul_ps(_mm_add_ps(tap0, tap1), half));
    w = _mm_add_epi32(w, four);
    w = _mm_sub_epi32(w, _mm_and_si128(_mm_cmpgt_epi32(w, lastInt), lengthInt));
    run = _mm_add_epi32(run, four);
  }
  return _mm_movemask_ps(outside) == 0 && _mm_movemask_epi8(wrong) == 0;
}

// Copies count values into the circular line from position `write` on.
void WriteWrapped(float* line, std::int32_t length, std::int32_t write, const float* values, std::int32_t count) {
  const std::int32_t first = std::min(count, length - write);
  std::memcpy(line + write, values, static_cast<std::size_t>(first) * sizeof(float));
  std::memcpy(line, values + first, static_cast<std::size_t>(count - first) * sizeof(float));
}

// Second pass: from the tap means a and b, the outputs (into a and b) and
// the values to write into the lines, four samples per register (each lane
// as RunSamples computes it). False when a value to write ran away.
bool MixAndFeed(const TChorusBlock& c, float* a, float* b, const float* left, const float* right, const float* noise,
                std::int32_t count, float* writeL, float* writeR) {
  const __m128 fbL = _mm_set1_ps(c.Feedback[0]), fbR = _mm_set1_ps(c.Feedback[1]);
  const __m128 crossRL = _mm_set1_ps(c.CrossRightToLeft), crossLR = _mm_set1_ps(c.CrossLeftToRight);
  const __m128 lw = _mm_set1_ps(c.LeftWet), ld = _mm_set1_ps(c.LeftDry);
  const __m128 rw = _mm_set1_ps(c.RightWet), rd = _mm_set1_ps(c.RightDry);
  const __m128 sign = _mm_set1_ps(-0.0f);
  __m128 peak = _mm_setzero_ps();
  for (std::int32_t j = 0; j < count; j += 4) {
    const __m128 va = _mm_loadu_ps(a + j), vb = _mm_loadu_ps(b + j);
    const __m128 l = _mm_loadu_ps(left + j), r = _mm_loadu_ps(right + j);
    const __m128 nz = _mm_loadu_ps(noise + j);
    const __m128 wl = _mm_add_ps(_mm_mul_ps(va, fbL), _mm_add_ps(l, nz));
    const __m128 wr = _mm_add_ps(_mm_mul_ps(vb, fbR), _mm_add_ps(r, nz));
    _mm_storeu_ps(a + j, _mm_add_ps(_mm_mul_ps(va, lw), _mm_mul_ps(l, ld)));
    _mm_storeu_ps(b + j, _mm_add_ps(_mm_mul_ps(vb, rw), _mm_mul_ps(r, rd)));
    const __m128 vl = _mm_add_ps(wl, _mm_mul_ps(wr, crossRL));
    const __m128 vr = _mm_add_ps(wr, _mm_mul_ps(wl, crossLR));
    peak = _mm_max_ps(peak, _mm_max_ps(_mm_andnot_ps(sign, vl), _mm_andnot_ps(sign, vr)));  // NaN sticks
    _mm_storeu_ps(writeL + j, vl);
    _mm_storeu_ps(writeR + j, vr);
  }
  return _mm_movemask_ps(_mm_cmplt_ps(peak, _mm_set1_ps(kRunawayLimit))) == 0xF;
}
}  // namespace

void TDSPXChorus::ProcessStereo(float* left, float* right) { Process(left, right, true); }
void TDSPXChorus::ProcessStereoOneByOne(float* left, float* right) { Process(left, right, false); }

void TDSPXChorus::Process(float* left, float* right, bool twoPass) {
  const std::int32_t n = SubBlockLength();
  if (!Lines.IsAllocated() || n <= 0) return;
  const float* noise = NextDenormalNoise(n);
  if (FirstBlock) {
    UpdateModulation();
    FirstBlock = false;
  }
  Previous = Target;
  UpdateModulation();

  TChorusBlock c;
  c.Line[0] = Lines.Line(0);
  c.Line[1] = Lines.Line(1);
  c.Length[0] = LineLength[0];
  c.Length[1] = LineLength[1];
  c.Base[0] = BaseDelay[0];
  c.Base[1] = BaseDelay[1];
  c.SamplesPerMs = static_cast<float>(Settings->SamplesPerMs);
  c.Previous = Previous;
  for (std::size_t k = 0; k < 4; ++k) c.Step[k] = (Target[k] - Previous[k]) / static_cast<float>(n);
  c.Feedback[0] = FeedbackLeft;
  c.Feedback[1] = FeedbackRight;
  c.CrossLeftToRight = CrossLeftToRight;
  c.CrossRightToLeft = CrossRightToLeft;
  c.LeftWet = LeftWetOut;
  c.LeftDry = LeftDryOut;
  c.RightWet = RightWetOut;
  c.RightDry = RightDryOut;
  bool bad = false;
  // Runs of whole register groups whose taps all lie behind what the run
  // writes go in two passes (all taps, then all outputs and writes); the
  // rest, and runs that read what they write, one sample after the other.
  const std::int32_t shortest = std::min(c.Length[0], c.Length[1]);
  // Taps nearer than a sub-block read what it writes: those go one by one at
  // once (the check in the first pass decides; this only saves the attempt).
  float nearest = std::min(c.Base[0], c.Base[1]);
  for (std::size_t k = 0; k < 4; ++k)
    nearest = std::min(nearest, c.Base[k / 2] + c.SamplesPerMs * std::min(Previous[k], Target[k]));
  const bool tryRuns = twoPass && !(nearest < static_cast<float>(std::min(n, kRun) + 2));
  std::int32_t i = 0;
  while (i < n) {
    const std::int32_t count = tryRuns ? std::min({kRun, n - i, shortest - 1}) & ~3 : 0;
    if (count > 0) {
      alignas(16) float a[kRun], b[kRun], writeL[kRun], writeR[kRun];
      // Delays (samples) at the run's ends; between them they move linearly.
      // Two samples of margin cover the rounding of the lanes' arithmetic.
      bool clear = true;
      for (std::size_t k = 0; k < 4; ++k) {
        for (const std::int32_t at : {i, i + count - 1}) {
          const float delay = c.Base[k / 2] + c.SamplesPerMs * (c.Previous[k] + c.Step[k] * static_cast<float>(at));
          clear &= delay > static_cast<float>(count + 2) && delay < static_cast<float>(c.Length[k / 2] - 2);
        }
      }
      const auto read = clear ? ReadTapPair<false> : ReadTapPair<true>;
      if (read(c, 0, i, count, WritePosition[0], a) && read(c, 2, i, count, WritePosition[1], b) &&
          MixAndFeed(c, a, b, left + i, right + i, noise + i, count, writeL, writeR)) [[likely]] {
        std::copy_n(a, count, left + i);
        std::copy_n(b, count, right + i);
        WriteWrapped(c.Line[0], c.Length[0], WritePosition[0], writeL, count);
        WriteWrapped(c.Line[1], c.Length[1], WritePosition[1], writeR, count);
        for (std::size_t s = 0; s < 2; ++s) {
          WritePosition[s] += count;
          if (WritePosition[s] >= c.Length[s]) WritePosition[s] -= c.Length[s];
        }
        i += count;
        continue;
      }
    }
    const std::int32_t single = count > 0 ? count : tryRuns ? std::min(4, n - i) : n - i;
    RunSamples(c, left, right, noise, i, single, WritePosition, bad);
    i += single;
  }
  // A runaway loop (feedback plus cross-feed above 1) restarts from silence.
  if (bad) ClearState();
}
