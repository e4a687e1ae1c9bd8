#include "dsp/effects/reverb.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "dsp/filters/design_rate.h"
#include "dsp/filters/direct_form_filter.h"
#include "platform/cpu_features.h"

namespace {
// Line lengths in samples at 44100 Hz before scaling, by room type; the
// right side repeats the row. Row 0 is never read: room type 0 draws random
// lengths.
constexpr std::int32_t kCombTable[TDSPReverbX::kRoomTypeCount][8] = {
    {3610, 3600, 3560, 3550, 3345, 3100, 3000, 3200}, {3592, 3400, 3560, 3950, 3245, 2200, 3000, 400},
    {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617}, {910, 1288, 1078, 980, 1200, 778, 902, 1400},
    {2610, 2600, 2560, 2550, 2345, 2100, 2000, 2400}, {610, 3600, 560, 1550, 545, 2500, 1000, 3000},
    {910, 900, 890, 880, 870, 880, 890, 900}};
constexpr std::int32_t kAllpassTable[TDSPReverbX::kRoomTypeCount][4] = {
    {900, 1200, 800, 2100}, {910, 1100, 690, 200},  {225, 341, 441, 556}, {300, 178, 420, 800},
    {700, 1000, 600, 1800}, {500, 1490, 480, 1024}, {200, 174, 200, 226}};

// Samples added to each right-side line (at 44100 Hz, before rate scaling).
constexpr double kStereoSpread = 23;
constexpr std::int32_t kMinLineLength = 10;
constexpr float kAllpassGain = 0.7f;

// Samples at `rate` of a length given in samples at 44100 Hz: the whole
// samples at 44100 Hz (truncated toward zero), then the same time at `rate`
// to the nearest sample (so 1116 stays 1116 at 44100 Hz, becomes 1215 at
// 48000 Hz and exactly 2232 at 88200 Hz), at least kMinLineLength. A line
// holds the same time at every rate: its echoes and the resonances they
// make stay where they are in Hz.
std::int32_t ScaledLength(double length44k, std::int32_t rate) {
  const double samples = std::nearbyint(static_cast<double>(rate) * std::trunc(length44k) / 44100.0);
  return static_cast<std::int32_t>(std::max(samples, static_cast<double>(kMinLineLength)));
}

float SizeFactorOf(float size) {
  float x = (size - 64.0f) / 64.0f;
  if (x > 0) x *= 2.0f;
  return static_cast<float>(std::pow(10.0, static_cast<double>(x)));
}

// Base-2 logarithm of the comb feedback formula.
double ReverbLog2(double x) { return std::log2(x); }
}  // namespace

TDSPReverbX::TDSPReverbX() {
  DampingCoefficient = (1.0f - Damping / 127.0f) * (1.0f - Damping / 127.0f);
  SizeFactor = SizeFactorOf(Size);
  SizeFactorRoot = std::sqrt(SizeFactor);
  AllocateScratch();
  RebuildPreDelay();
  BuildNetwork();
}

TDSPReverbX::~TDSPReverbX() = default;

float TDSPReverbX::ReverbRandom(TRandomSource& random) {
  return static_cast<float>(random.NextBits() % 100000u) / 100001.0f;
}

void TDSPReverbX::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  Filter1.SetAudioSettings(Settings);
  Filter2.SetAudioSettings(Settings);
}

void TDSPReverbX::ReallocBuffers() {
  TDSPStereoEffect::ReallocBuffers();
  AllocateScratch();
  RebuildPreDelay();
  BuildNetwork();
}

void TDSPReverbX::ReleaseBuffers() {
  TDSPStereoEffect::ReleaseBuffers();
  std::unique_ptr<float[]> input, line, rows;
  std::unique_ptr<TNetwork> network;
  std::swap(Input, input);
  std::swap(CombScratch, rows);
  CombRows = nullptr;
  RowStride = 0;
  std::swap(PreDelayLine, line);
  std::swap(Network, network);
  PreDelayLength = 0;
}

void TDSPReverbX::AllocateScratch() {
  const std::int32_t floats = BufferFloats();
  const std::int32_t stride = (floats + 3) & ~3;
  std::unique_ptr<float[]> input(new float[static_cast<std::size_t>(floats)]());
  std::unique_ptr<float[]> rows(new float[static_cast<std::size_t>(kCombCount * stride + 4)]());
  float* aligned = rows.get();
  aligned += (4 - (reinterpret_cast<std::uintptr_t>(aligned) / sizeof(float)) % 4) % 4;
  std::swap(Input, input);
  std::swap(CombScratch, rows);
  CombRows = aligned;
  RowStride = stride;
}

void TDSPReverbX::ComputeFeedbacks(TNetwork& net) const {
  const double t = std::pow(60.0, static_cast<double>(Time) / 127.0) - 0.97;
  const double log2Of0001 = ReverbLog2(0.001);
  for (int i = 0; i < kCombCount; ++i) {
    const double seconds =
        static_cast<double>(net.CombLength[static_cast<std::size_t>(i)]) / static_cast<double>(net.SampleRate);
    net.Feedback[static_cast<std::size_t>(i)] = static_cast<float>(-std::exp(log2Of0001 * seconds / t));
  }
}

// ---- the network and the pre-delay line as prepared changes: the lengths
// (and room 0's random draws) are taken when the change is asked for, in the
// order the setters run; the lines are allocated and zeroed outside the
// owner's lock and swapped in under it.

bool TDSPReverbX::TNetworkChange::TakeRequest() {
  if (Reverb.NetworkWanted.Sequence == Reverb.NetworkInstalled) return false;
  Taken = Reverb.NetworkWanted;
  return true;
}

void TDSPReverbX::TNetworkChange::Build() {
  auto net = std::make_unique<TNetwork>();
  net->SampleRate = Taken.SampleRate;
  net->CombLength = Taken.CombLength;
  net->AllpassLength = Taken.AllpassLength;
  std::size_t total = 0;
  for (std::int32_t length : net->CombLength) total += static_cast<std::size_t>(length);
  for (std::int32_t length : net->AllpassLength) total += static_cast<std::size_t>(length);
  // One zeroed block for all 24 lines.
  net->Storage.reset(new float[total]());
  net->StorageLength = total;
  float* next = net->Storage.get();
  for (std::size_t i = 0; i < kCombCount; ++i) {
    net->Comb[i] = next;
    next += net->CombLength[i];
  }
  for (std::size_t j = 0; j < kAllpassCount; ++j) {
    net->Allpass[j] = next;
    next += net->AllpassLength[j];
  }
  Built = std::move(net);
}

void TDSPReverbX::TNetworkChange::Install() {
  // A later request makes this build stale: it is freed, the later one runs.
  if (!Built || Taken.Sequence != Reverb.NetworkWanted.Sequence) return;
  Reverb.ComputeFeedbacks(*Built);
  std::swap(Reverb.Network, Built);
  Reverb.NetworkInstalled = Taken.Sequence;
  // The new lines start silent; so does the pre-delay line.
  if (Reverb.PreDelayLine)
    std::fill(Reverb.PreDelayLine.get(), Reverb.PreDelayLine.get() + Reverb.PreDelayLength, 0.0f);
}

void TDSPReverbX::TNetworkChange::Release() { Built.reset(); }

bool TDSPReverbX::TPreDelayChange::TakeRequest() {
  if (Reverb.PreDelayWanted.Sequence == Reverb.PreDelayInstalled) return false;
  Taken = Reverb.PreDelayWanted;
  return true;
}

void TDSPReverbX::TPreDelayChange::Build() {
  Built.reset();
  if (Taken.Length > 1) Built.reset(new float[static_cast<std::size_t>(Taken.Length)]());
}

void TDSPReverbX::TPreDelayChange::Install() {
  if (Taken.Sequence != Reverb.PreDelayWanted.Sequence) return;
  std::swap(Reverb.PreDelayLine, Built);
  Reverb.PreDelayLength = Reverb.PreDelayLine ? Taken.Length : 0;
  Reverb.PreDelayPosition = 0;
  Reverb.PreDelayInstalled = Taken.Sequence;
}

void TDSPReverbX::TPreDelayChange::Release() { Built.reset(); }

void TDSPReverbX::BuildNetwork() {
  TNetworkRequest& want = NetworkWanted;
  const std::int32_t rate = Settings->SampleRate;
  want.SampleRate = rate;
  const auto row = static_cast<std::size_t>(RoomType);
  const double factor = SizeFactor;
  // The random room draws the same lengths at every build: the room sounds
  // the same in every instance, at every size and rate, from render to
  // render.
  TRandomSource random(kRandomRoomSeed);
  for (std::size_t i = 0; i < kCombCount; ++i) {
    double length = RoomType == 0 ? std::trunc(ReverbRandom(random) * 1400.0) + 800.0 : kCombTable[row][i % 8];
    length *= factor;
    if (i >= 8) length += kStereoSpread;
    want.CombLength[i] = ScaledLength(length, rate);
  }
  for (std::size_t j = 0; j < kAllpassCount; ++j) {
    double length = RoomType == 0 ? std::trunc(ReverbRandom(random) * 500.0) + 500.0 : kAllpassTable[row][j % 4];
    length *= factor;
    if (j >= 4) length += kStereoSpread;
    want.AllpassLength[j] = ScaledLength(length, rate);
  }
  ++want.Sequence;
  RequestPreparedChange(NetworkChange);
}

void TDSPReverbX::RebuildPreDelay() {
  const double base = 50.0 * static_cast<double>(PreDelay) / 127.0;
  const double ms = base * base - 1.0;
  PreDelayWanted.Length = TruncInt(static_cast<float>(static_cast<double>(Settings->SampleRate) * ms / 1000.0));
  ++PreDelayWanted.Sequence;
  RequestPreparedChange(PreDelayChange);
}

void TDSPReverbX::ClearSmallState() {
  if (Network) Network->FilterState.fill(0.0f);
  // A tone filter left ringing would feed the cleared network again.
  Filter1.Filter().Reset();
  Filter2.Filter().Reset();
}

void TDSPReverbX::VisitLines(TLineVisitor& visitor) const {
  if (Network && Network->Storage)
    visitor.Run(Network->Storage.get(), static_cast<std::size_t>(Network->StorageLength));
  if (PreDelayLine) visitor.Run(PreDelayLine.get(), static_cast<std::size_t>(PreDelayLength));
}

void TDSPReverbX::ExchangeLines(TLineExchange& exchange) {
  if (Network && Network->Storage) {
    const float* old = Network->Storage.get();
    exchange.Exchange(Network->Storage, Network->StorageLength);
    // The lines keep their places in the storage.
    float* now = Network->Storage.get();
    for (float*& line : Network->Comb) line = now + (line - old);
    for (float*& line : Network->Allpass) line = now + (line - old);
  }
  if (PreDelayLine) exchange.Exchange(PreDelayLine, static_cast<std::size_t>(PreDelayLength));
}

void TDSPReverbX::SetPreDelay(float value) {
  if (!std::isfinite(value)) return;
  value = std::clamp(value, 0.0f, 127.0f);
  if (value == PreDelay) return;
  PreDelay = value;
  RebuildPreDelay();
}

void TDSPReverbX::SetPreDelayFeedback(float value) {
  if (std::isfinite(value)) PreDelayFeedback = std::clamp(value, -0.985f, 0.985f);
}

void TDSPReverbX::SetDamping(float value) {
  if (!std::isfinite(value)) return;
  Damping = std::clamp(value, 0.0f, 127.0f);
  const float d = std::fabs(1.0f - Damping / 127.0f);
  DampingCoefficient = d * d;
}

void TDSPReverbX::SetSize(float value) {
  if (!std::isfinite(value)) return;
  value = std::clamp(value, 0.0f, 128.0f);
  if (value == 0) value = 64.0f;
  if (value == Size) return;
  Size = value;
  SizeFactor = SizeFactorOf(Size);
  SizeFactorRoot = std::sqrt(SizeFactor);
  BuildNetwork();
}

void TDSPReverbX::SetRoomType(std::int32_t value) {
  if (value < 0 || value >= kRoomTypeCount) value = kRoomTypeCount - 1;
  if (value == RoomType) return;
  RoomType = value;
  BuildNetwork();
}

void TDSPReverbX::SetTime(float value) {
  if (!std::isfinite(value)) return;
  value = std::clamp(value, 0.0f, 127.0f);
  Time = value;
  if (Network) ComputeFeedbacks(*Network);
}

std::int32_t TDSPReverbX::GetCombLength(int i) const {
  return Network && i >= 0 && i < kCombCount ? Network->CombLength[static_cast<std::size_t>(i)] : 0;
}

std::int32_t TDSPReverbX::GetAllpassLength(int j) const {
  return Network && j >= 0 && j < kAllpassCount ? Network->AllpassLength[static_cast<std::size_t>(j)] : 0;
}

std::int64_t TDSPReverbX::TailSamples() const {
  std::int64_t longest = 0;
  for (int side = 0; side < 2; ++side) {
    std::int64_t comb = 0;
    std::int64_t allpass = 0;
    for (int i = 0; i < kCombCount / 2; ++i)
      comb = std::max<std::int64_t>(comb, GetCombLength(side * kCombCount / 2 + i));
    for (int j = 0; j < kAllpassCount / 2; ++j) allpass += GetAllpassLength(side * kAllpassCount / 2 + j);
    longest = std::max(longest, comb + allpass);
  }
  return GetPreDelayLength() + longest;
}

float TDSPReverbX::GetCombFeedback(int i) const {
  return Network && i >= 0 && i < kCombCount ? Network->Feedback[static_cast<std::size_t>(i)] : 0.0f;
}

namespace {

// Four combs' filter recursions, state = (pass a) + damp state, in the
// lanes of one register; rows[l] holds comb l's pass a on entry and its
// states on return. `Banks` registers run interleaved (independent
// recursions hide each other's latency).
template <int Banks>
void CombRecursion(float* const* rows, float* state, float damp, std::int32_t n) {
  const __m128 d = _mm_set1_ps(damp);
  __m128 s[Banks];
  for (int b = 0; b < Banks; ++b) s[b] = _mm_loadu_ps(state + 4 * b);
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int b = 0; b < Banks; ++b) {
      float* const* r = rows + 4 * b;
      __m128 p0 = _mm_load_ps(r[0] + i), p1 = _mm_load_ps(r[1] + i);
      __m128 p2 = _mm_load_ps(r[2] + i), p3 = _mm_load_ps(r[3] + i);
      _MM_TRANSPOSE4_PS(p0, p1, p2, p3);  // p_k: sample i + k of the four combs
      __m128 y0 = _mm_add_ps(p0, _mm_mul_ps(d, s[b]));
      __m128 y1 = _mm_add_ps(p1, _mm_mul_ps(d, y0));
      __m128 y2 = _mm_add_ps(p2, _mm_mul_ps(d, y1));
      __m128 y3 = _mm_add_ps(p3, _mm_mul_ps(d, y2));
      s[b] = y3;
      _MM_TRANSPOSE4_PS(y0, y1, y2, y3);
      _mm_store_ps(r[0] + i, y0);
      _mm_store_ps(r[1] + i, y1);
      _mm_store_ps(r[2] + i, y2);
      _mm_store_ps(r[3] + i, y3);
    }
  }
  for (int b = 0; b < Banks; ++b) _mm_storeu_ps(state + 4 * b, s[b]);
  for (; i < n; ++i)
    for (int l = 0; l < 4 * Banks; ++l) {
      state[l] = rows[l][i] + damp * state[l];
      rows[l][i] = state[l];
    }
}

// row[i] := pass * (line[i] * feedback).
void ReadComb(float* row, const float* line, float feedback, float pass, std::int32_t n) {
  const __m128 f = _mm_set1_ps(feedback), p = _mm_set1_ps(pass);
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(row + i, _mm_mul_ps(p, _mm_mul_ps(_mm_loadu_ps(line + i), f)));
  for (; i < n; ++i) row[i] = pass * (line[i] * feedback);
}

// line[i] := in[i] + row[i].
void WriteComb(float* line, const float* in, const float* row, std::int32_t n) {
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(line + i, _mm_add_ps(_mm_loadu_ps(in + i), _mm_loadu_ps(row + i)));
  for (; i < n; ++i) line[i] = in[i] + row[i];
}

// One run of an allpass whose line does not wrap within it:
// b = line, line := g b + out, out := b - g line.
void AllpassRun(float* line, float* out, std::int32_t n) {
  const __m128 g = _mm_set1_ps(kAllpassGain);
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 b = _mm_loadu_ps(line + i);
    const __m128 w = _mm_add_ps(_mm_mul_ps(g, b), _mm_loadu_ps(out + i));
    _mm_storeu_ps(line + i, w);
    _mm_storeu_ps(out + i, _mm_sub_ps(b, _mm_mul_ps(g, w)));
  }
  for (; i < n; ++i) {
    const float b = line[i];
    const float w = kAllpassGain * b + out[i];
    line[i] = w;
    out[i] = b - kAllpassGain * w;
  }
}

// out[i] := eight rows (stride floats apart) added in order, from 0.
void SumRows(float* out, const float* rows, std::size_t stride, std::int32_t n) {
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 sum = _mm_setzero_ps();
    for (std::size_t c = 0; c < 8; ++c)
      sum = _mm_add_ps(sum, _mm_loadu_ps(rows + c * stride + static_cast<std::size_t>(i)));
    _mm_storeu_ps(out + i, sum);
  }
  for (; i < n; ++i) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < 8; ++c) sum += rows[c * stride + static_cast<std::size_t>(i)];
    out[i] = sum;
  }
}

// The lines of the whole network at the current sample of a run in which
// none of them wraps: comb c reads and writes Comb[c], allpass j Allpass[j].
struct TNetworkRun {
  float* Comb[TDSPReverbX::kCombCount];
  float* Allpass[TDSPReverbX::kAllpassCount];
};

// Four combs (lines line[0..3]) at samples i .. i + 3: per comb
// state = p (line fb) + d state, line := x + state, total += state.
__attribute__((always_inline)) inline void CombBank(float* const* line, std::int32_t i, __m128 x, __m128 fb, __m128 p,
                                                    __m128 d, __m128& s, __m128& total) {
  __m128 r0 = _mm_loadu_ps(line[0] + i), r1 = _mm_loadu_ps(line[1] + i);
  __m128 r2 = _mm_loadu_ps(line[2] + i), r3 = _mm_loadu_ps(line[3] + i);
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);  // r_k: sample i + k of the four combs
  __m128 y0 = _mm_add_ps(_mm_mul_ps(p, _mm_mul_ps(r0, fb)), _mm_mul_ps(d, s));
  __m128 y1 = _mm_add_ps(_mm_mul_ps(p, _mm_mul_ps(r1, fb)), _mm_mul_ps(d, y0));
  __m128 y2 = _mm_add_ps(_mm_mul_ps(p, _mm_mul_ps(r2, fb)), _mm_mul_ps(d, y1));
  __m128 y3 = _mm_add_ps(_mm_mul_ps(p, _mm_mul_ps(r3, fb)), _mm_mul_ps(d, y2));
  s = y3;
  _MM_TRANSPOSE4_PS(y0, y1, y2, y3);  // y_k: comb k over samples i .. i + 3
  _mm_storeu_ps(line[0] + i, _mm_add_ps(x, y0));
  _mm_storeu_ps(line[1] + i, _mm_add_ps(x, y1));
  _mm_storeu_ps(line[2] + i, _mm_add_ps(x, y2));
  _mm_storeu_ps(line[3] + i, _mm_add_ps(x, y3));
  total = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_add_ps(total, y0), y1), y2), y3);
}

bool UseAvx2 = CpuFeatures().Avx2;

#define RUMBLEON_AVX2 __attribute__((target("avx2")))

// Eight combs of a side (lines line[0..7]) at samples i .. i + 3 in the
// lanes of AVX registers, combs 0..3 in the low half and 4..7 in the high
// one: per comb the operations of CombBank, in its order; out := their
// states added in comb order, from 0.
RUMBLEON_AVX2 __attribute__((always_inline)) inline __m128 CombSide(float* const* line, std::int32_t i, __m256 x,
                                                                    __m256 fb, __m256 p, __m256 d, __m256& s) {
  auto row = [&](int k) RUMBLEON_AVX2 {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(line[k] + i)), _mm_loadu_ps(line[4 + k] + i), 1);
  };
  __m256 r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
  // In each half: r_k := sample i + k of the four combs.
  __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpacklo_ps(r2, r3);
  __m256 t2 = _mm256_unpackhi_ps(r0, r1), t3 = _mm256_unpackhi_ps(r2, r3);
  r0 = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0));
  r1 = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2));
  r2 = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0));
  r3 = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 y0 = _mm256_add_ps(_mm256_mul_ps(p, _mm256_mul_ps(r0, fb)), _mm256_mul_ps(d, s));
  __m256 y1 = _mm256_add_ps(_mm256_mul_ps(p, _mm256_mul_ps(r1, fb)), _mm256_mul_ps(d, y0));
  __m256 y2 = _mm256_add_ps(_mm256_mul_ps(p, _mm256_mul_ps(r2, fb)), _mm256_mul_ps(d, y1));
  __m256 y3 = _mm256_add_ps(_mm256_mul_ps(p, _mm256_mul_ps(r3, fb)), _mm256_mul_ps(d, y2));
  s = y3;
  // Back: in each half y_k := comb k (or 4 + k) over samples i .. i + 3.
  t0 = _mm256_unpacklo_ps(y0, y1);
  t1 = _mm256_unpacklo_ps(y2, y3);
  t2 = _mm256_unpackhi_ps(y0, y1);
  t3 = _mm256_unpackhi_ps(y2, y3);
  y0 = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0));
  y1 = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2));
  y2 = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0));
  y3 = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2));
  auto write = [&](int k, __m256 y) RUMBLEON_AVX2 {
    const __m256 w = _mm256_add_ps(x, y);
    _mm_storeu_ps(line[k] + i, _mm256_castps256_ps128(w));
    _mm_storeu_ps(line[4 + k] + i, _mm256_extractf128_ps(w, 1));
  };
  write(0, y0);
  write(1, y1);
  write(2, y2);
  write(3, y3);
  __m128 total = _mm_add_ps(_mm_setzero_ps(), _mm256_castps256_ps128(y0));
  total = _mm_add_ps(total, _mm256_castps256_ps128(y1));
  total = _mm_add_ps(total, _mm256_castps256_ps128(y2));
  total = _mm_add_ps(total, _mm256_castps256_ps128(y3));
  total = _mm_add_ps(total, _mm256_extractf128_ps(y0, 1));
  total = _mm_add_ps(total, _mm256_extractf128_ps(y1, 1));
  total = _mm_add_ps(total, _mm256_extractf128_ps(y2, 1));
  return _mm_add_ps(total, _mm256_extractf128_ps(y3, 1));
}

// The combs' part of NetworkRun for the whole groups of four samples, with
// AVX registers; answers the samples done.
RUMBLEON_AVX2 std::int32_t CombRunAvx2(const TNetworkRun& run, const float* in, float* outLeft, float* outRight,
                                       __m128* state, const float* feedback, float damp, float pass, std::int32_t n) {
  const __m256 d = _mm256_set1_ps(damp), p = _mm256_set1_ps(pass);
  const __m256 fbL = _mm256_loadu_ps(feedback), fbR = _mm256_loadu_ps(feedback + 8);
  __m256 sL = _mm256_insertf128_ps(_mm256_castps128_ps256(state[0]), state[1], 1);
  __m256 sR = _mm256_insertf128_ps(_mm256_castps128_ps256(state[2]), state[3], 1);
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256 x = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(in + i));
    _mm_storeu_ps(outLeft + i, CombSide(run.Comb, i, x, fbL, p, d, sL));
    _mm_storeu_ps(outRight + i, CombSide(run.Comb + 8, i, x, fbR, p, d, sR));
  }
  state[0] = _mm256_castps256_ps128(sL);
  state[1] = _mm256_extractf128_ps(sL, 1);
  state[2] = _mm256_castps256_ps128(sR);
  state[3] = _mm256_extractf128_ps(sR, 1);
  return i;
}

#undef RUMBLEON_AVX2

// The network over n samples of a run in which no line wraps and every
// line holds at least a sub-block (so each reads only what earlier
// sub-blocks wrote), in one pass: per four samples the sixteen combs (four
// per register, the four registers' recursions interleaved), their lines,
// each side's sum in comb order and its four allpasses. Each value is
// computed with the operations of the per-sample form, in its order.
void NetworkRun(const TNetworkRun& run, const float* in, float* outLeft, float* outRight, __m128* state,
                const float* feedback, float damp, float pass, std::int32_t n) {
  const __m128 d = _mm_set1_ps(damp), p = _mm_set1_ps(pass), g = _mm_set1_ps(kAllpassGain);
  __m128 fb[4];
  for (int b = 0; b < 4; ++b) fb[b] = _mm_loadu_ps(feedback + 4 * b);
  __m128 s0 = state[0], s1 = state[1], s2 = state[2], s3 = state[3];
  std::int32_t i = 0;
  if (UseAvx2) {
    state[0] = s0;
    state[1] = s1;
    state[2] = s2;
    state[3] = s3;
    i = CombRunAvx2(run, in, outLeft, outRight, state, feedback, damp, pass, n);
    s0 = state[0];
    s1 = state[1];
    s2 = state[2];
    s3 = state[3];
  }
  for (; i + 4 <= n; i += 4) {
    const __m128 x = _mm_loadu_ps(in + i);
    __m128 sum[2] = {_mm_setzero_ps(), _mm_setzero_ps()};
    CombBank(run.Comb, i, x, fb[0], p, d, s0, sum[0]);
    CombBank(run.Comb + 4, i, x, fb[1], p, d, s1, sum[0]);
    CombBank(run.Comb + 8, i, x, fb[2], p, d, s2, sum[1]);
    CombBank(run.Comb + 12, i, x, fb[3], p, d, s3, sum[1]);
    _mm_storeu_ps(outLeft + i, sum[0]);
    _mm_storeu_ps(outRight + i, sum[1]);
  }
  // The allpasses in a second pass: their chains are long, and the
  // combs' work of the next samples would not be in reach of them.
  for (std::int32_t k = 0; k + 4 <= n; k += 4) {
    __m128 o[2] = {_mm_loadu_ps(outLeft + k), _mm_loadu_ps(outRight + k)};
    for (int j = 0; j < 4; ++j) {
      for (int side = 0; side < 2; ++side) {
        float* line = run.Allpass[4 * side + j];
        const __m128 bj = _mm_loadu_ps(line + k);
        const __m128 w = _mm_add_ps(_mm_mul_ps(g, bj), o[side]);
        _mm_storeu_ps(line + k, w);
        o[side] = _mm_sub_ps(bj, _mm_mul_ps(g, w));
      }
    }
    _mm_storeu_ps(outLeft + k, o[0]);
    _mm_storeu_ps(outRight + k, o[1]);
  }
  alignas(16) float st[TDSPReverbX::kCombCount];
  _mm_store_ps(st, s0);
  _mm_store_ps(st + 4, s1);
  _mm_store_ps(st + 8, s2);
  _mm_store_ps(st + 12, s3);
  for (; i < n; ++i) {
    for (int side = 0; side < 2; ++side) {
      float o = 0.0f;
      for (int c = 8 * side; c < 8 * side + 8; ++c) {
        float* line = run.Comb[c];
        st[c] = pass * (line[i] * feedback[c]) + damp * st[c];
        line[i] = in[i] + st[c];
        o += st[c];
      }
      for (int j = 4 * side; j < 4 * side + 4; ++j) {
        float* line = run.Allpass[j];
        const float bj = line[i];
        const float w = kAllpassGain * bj + o;
        line[i] = w;
        o = bj - kAllpassGain * w;
      }
      (side == 0 ? outLeft : outRight)[i] = o;
    }
  }
  for (int b = 0; b < 4; ++b) state[b] = _mm_load_ps(st + 4 * b);
}

// The pre-delay over a run of n samples in which its line does not wrap:
// u = finite (l + r) 0.5 + noise, or 0; in := line; line := line fb + u + noise.
void PreDelayRun(float* line, const float* left, const float* right, const float* noise, float* in, float feedback,
                 std::int32_t n) {
  const __m128 half = _mm_set1_ps(0.5f), fb = _mm_set1_ps(feedback);
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 z = _mm_loadu_ps(noise + i);
    __m128 u = _mm_add_ps(_mm_mul_ps(_mm_add_ps(_mm_loadu_ps(left + i), _mm_loadu_ps(right + i)), half), z);
    u = _mm_and_ps(_mm_cmpeq_ps(_mm_sub_ps(u, u), _mm_setzero_ps()), u);
    const __m128 held = _mm_loadu_ps(line + i);
    _mm_storeu_ps(in + i, held);
    _mm_storeu_ps(line + i, _mm_add_ps(_mm_add_ps(_mm_mul_ps(held, fb), u), z));
  }
  for (; i < n; ++i) {
    const float u = FiniteOrZero((left[i] + right[i]) * 0.5f + noise[i]);
    const float held = line[i];
    in[i] = held;
    line[i] = held * feedback + u + noise[i];
  }
}

// left := left ld + wetLeft lw, right likewise; true when a wet sample was
// not finite.
bool MixStereo(float* left, float* right, const float* wetLeft, const float* wetRight, float ld, float lw, float rd,
               float rw, std::int32_t n) {
  const __m128 vld = _mm_set1_ps(ld), vlw = _mm_set1_ps(lw), vrd = _mm_set1_ps(rd), vrw = _mm_set1_ps(rw);
  __m128 bad = _mm_setzero_ps();
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 wl = _mm_loadu_ps(wetLeft + i), wr = _mm_loadu_ps(wetRight + i);
    bad = _mm_or_ps(bad, _mm_cmpneq_ps(_mm_add_ps(_mm_sub_ps(wl, wl), _mm_sub_ps(wr, wr)), _mm_setzero_ps()));
    _mm_storeu_ps(left + i, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(left + i), vld), _mm_mul_ps(wl, vlw)));
    _mm_storeu_ps(right + i, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(right + i), vrd), _mm_mul_ps(wr, vrw)));
  }
  bool any = _mm_movemask_ps(bad) != 0;
  for (; i < n; ++i) {
    any |= (wetLeft[i] - wetLeft[i]) + (wetRight[i] - wetRight[i]) != 0;
    left[i] = left[i] * ld + wetLeft[i] * lw;
    right[i] = right[i] * rd + wetRight[i] * rw;
  }
  return any;
}

}  // namespace

bool SetReverbAvx2(bool on) {
  UseAvx2 = on && CpuFeatures().Avx2;
  return UseAvx2;
}

void TDSPReverbX::CombOneByOne(std::size_t c, float* row, std::int32_t n) {
  TNetwork& net = *Network;
  const float* in = Input.get();
  // The comb filters' pole keeps its time constant at every rate.
  const float damp = MatchPoleToRate(DampingCoefficient, Settings->SampleRate);
  const float pass = 1.0f - damp;
  float* line = net.Comb[c];
  const std::int32_t length = net.CombLength[c];
  std::int32_t pos = net.CombPosition[c];
  const float feedback = net.Feedback[c];
  float state = net.FilterState[c];
  for (std::int32_t i = 0; i < n; ++i) {
    const float a = line[pos] * feedback;
    state = pass * a + damp * state;
    line[pos] = in[i] + state;
    row[i] = state;
    if (++pos >= length) pos = 0;
  }
  net.CombPosition[c] = pos;
  net.FilterState[c] = state;
}

void TDSPReverbX::CombAllpassNetwork(float* outLeft, float* outRight, std::int32_t n) {
  TNetwork& net = *Network;
  const float* in = Input.get();
  // The comb filters' pole keeps its time constant at every rate.
  const float damp = MatchPoleToRate(DampingCoefficient, Settings->SampleRate);
  const float pass = 1.0f - damp;
  bool allLong = true;
  for (std::size_t c = 0; c < kCombCount; ++c) allLong &= net.CombLength[c] >= n;
  for (std::size_t j = 0; j < kAllpassCount; ++j) allLong &= net.AllpassLength[j] >= n;
  if (allLong) {
    // Runs between the lines' wrap points, each in one pass.
    __m128 state[4];
    for (std::size_t b = 0; b < 4; ++b) state[b] = _mm_loadu_ps(net.FilterState.data() + 4 * b);
    for (std::int32_t done = 0; done < n;) {
      std::int32_t m = n - done;
      TNetworkRun run;
      for (std::size_t c = 0; c < kCombCount; ++c) {
        m = std::min(m, net.CombLength[c] - net.CombPosition[c]);
        run.Comb[c] = net.Comb[c] + net.CombPosition[c];
      }
      for (std::size_t j = 0; j < kAllpassCount; ++j) {
        m = std::min(m, net.AllpassLength[j] - net.AllpassPosition[j]);
        run.Allpass[j] = net.Allpass[j] + net.AllpassPosition[j];
      }
      NetworkRun(run, in + done, outLeft + done, outRight + done, state, net.Feedback.data(), damp, pass, m);
      for (std::size_t c = 0; c < kCombCount; ++c)
        if ((net.CombPosition[c] += m) == net.CombLength[c]) net.CombPosition[c] = 0;
      for (std::size_t j = 0; j < kAllpassCount; ++j)
        if ((net.AllpassPosition[j] += m) == net.AllpassLength[j]) net.AllpassPosition[j] = 0;
      done += m;
    }
    for (std::size_t b = 0; b < 4; ++b) _mm_storeu_ps(net.FilterState.data() + 4 * b, state[b]);
    return;
  }
  // A comb whose line holds at least a sub-block reads only what earlier
  // sub-blocks wrote: its reads, its recursion and its writes then run as
  // three passes, the recursion four combs per register. Per sample each
  // comb computes a = line * feedback, state = pass a + damp state,
  // line := in + state, as the one-by-one form does.
  float* lanes[kCombCount];
  float state[kCombCount];
  std::size_t laned = 0;
  for (std::size_t c = 0; c < kCombCount; ++c) {
    float* row = CombRows + c * static_cast<std::size_t>(RowStride);
    const std::int32_t length = net.CombLength[c];
    if (length < n) {
      CombOneByOne(c, row, n);
      continue;
    }
    const float* line = net.Comb[c];
    const float feedback = net.Feedback[c];
    const std::int32_t pos = net.CombPosition[c];
    const std::int32_t first = std::min(n, length - pos);
    ReadComb(row, line + pos, feedback, pass, first);
    ReadComb(row + first, line, feedback, pass, n - first);
    lanes[laned] = row;
    state[laned] = net.FilterState[c];
    ++laned;
  }
  std::size_t done = 0;
  for (; done + 8 <= laned; done += 8) CombRecursion<2>(lanes + done, state + done, damp, n);
  for (; done + 4 <= laned; done += 4) CombRecursion<1>(lanes + done, state + done, damp, n);
  // The last few one by one.
  for (; done < laned; ++done) {
    float s = state[done];
    float* row = lanes[done];
    for (std::int32_t i = 0; i < n; ++i) row[i] = s = row[i] + damp * s;
    state[done] = s;
  }
  laned = 0;
  for (std::size_t c = 0; c < kCombCount; ++c) {
    const std::int32_t length = net.CombLength[c];
    if (length < n) continue;
    const float* row = CombRows + c * static_cast<std::size_t>(RowStride);
    float* line = net.Comb[c];
    const std::int32_t pos = net.CombPosition[c];
    const std::int32_t first = std::min(n, length - pos);
    WriteComb(line + pos, in, row, first);
    WriteComb(line, in + first, row + first, n - first);
    net.CombPosition[c] = first < n ? n - first : (pos + n == length ? 0 : pos + n);
    net.FilterState[c] = state[laned++];
  }
  // Per side: the combs' states added in comb order (from 0), then the
  // allpasses in series.
  for (int side = 0; side < 2; ++side) {
    float* out = side == 0 ? outLeft : outRight;
    const float* rows =
        CombRows + static_cast<std::size_t>(side * kCombCount / 2) * static_cast<std::size_t>(RowStride);
    const auto stride = static_cast<std::size_t>(RowStride);
    SumRows(out, rows, stride, n);
    const std::size_t firstAllpass = side == 0 ? 0 : kAllpassCount / 2;
    for (std::size_t a = firstAllpass; a < firstAllpass + kAllpassCount / 2; ++a) {
      float* line = net.Allpass[a];
      const std::int32_t length = net.AllpassLength[a];
      std::int32_t pos = net.AllpassPosition[a];
      if (length >= n) {
        // Reads only what earlier sub-blocks wrote: two straight runs.
        const std::int32_t first = std::min(n, length - pos);
        AllpassRun(line + pos, out, first);
        AllpassRun(line, out + first, n - first);
        pos = first < n ? n - first : (pos + n == length ? 0 : pos + n);
      } else {
        for (std::int32_t i = 0; i < n; ++i) {
          const float b = line[pos];
          line[pos] = kAllpassGain * b + out[i];
          out[i] = b - kAllpassGain * line[pos];
          if (++pos >= length) pos = 0;
        }
      }
      net.AllpassPosition[a] = pos;
    }
  }
}

void TDSPReverbX::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (!Network || !Input || !CombRows || n <= 0 || n > RowStride) return;
  const float* noise = NextDenormalNoise(n);
  float* in = Input.get();
  if (PreDelayLine && PreDelayLength >= n) {
    // No position is met twice in a sub-block: runs up to the wrap point.
    std::int32_t pos = PreDelayPosition;
    for (std::int32_t done = 0; done < n;) {
      const std::int32_t m = std::min(n - done, PreDelayLength - pos);
      PreDelayRun(PreDelayLine.get() + pos, left + done, right + done, noise + done, in + done, PreDelayFeedback, m);
      done += m;
      pos += m;
      if (pos == PreDelayLength) pos = 0;
    }
    PreDelayPosition = pos;
  } else if (PreDelayLine) {
    float* line = PreDelayLine.get();
    const std::int32_t length = PreDelayLength;
    std::int32_t pos = PreDelayPosition;
    const float feedback = PreDelayFeedback;
    for (std::int32_t i = 0; i < n; ++i) {
      // A non-finite input never enters the lines.
      const float u = FiniteOrZero((left[i] + right[i]) * 0.5f + noise[i]);
      const float v = line[pos] * feedback + u + noise[i];
      in[i] = line[pos];
      line[pos] = v;
      if (++pos >= length) pos = 0;
    }
    PreDelayPosition = pos;
  } else {
    // No pre-delay: the sum feeds the network at once.
    for (std::int32_t i = 0; i < n; ++i) in[i] = FiniteOrZero((left[i] + right[i]) * 0.5f + noise[i]);
  }
  // Two direct-form sections in one loop (the same outputs: see
  // StepBuffersInSeries).
  TDSPDirectFormFilter* const first = Filter1On ? Filter1.Filter().AsDirectForm() : nullptr;
  TDSPDirectFormFilter* const second = Filter2On ? Filter2.Filter().AsDirectForm() : nullptr;
  if (first != nullptr && second != nullptr) {
    TDSPDirectFormFilter::StepBuffersInSeries(*first, *second, in, n);
  } else {
    if (Filter1On) Filter1.ProcessSamples(in, n);
    if (Filter2On) Filter2.ProcessSamples(in, n);
  }
  if ((Filter1On || Filter2On) && SilenceRunaway(in, n)) {
    Filter1.Filter().Reset();
    Filter2.Filter().Reset();
  }

  float* wetLeft = WetBufferLeft();
  float* wetRight = WetBufferRight();
  CombAllpassNetwork(wetLeft, wetRight, n);

  // Not finite anywhere in the wet signal: w - w is then NaN, never 0.
  const bool bad = MixStereo(left, right, wetLeft, wetRight, LeftDryOut, LeftWetOut, RightDryOut, RightWetOut, n);
  // Defensive: the input is finite and the network stable, so this only
  // fires if a line was corrupted; start again from silence rather than
  // ringing NaN for ever.
  if (bad) ClearState();
}
