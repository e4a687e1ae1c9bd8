#include "dsp/effects/cross_filter.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "dsp/filters/direct_form_lanes.h"

#include "platform/cpu_features.h"

namespace {
std::array<float, kXFilterWindowSteps + 1> MakeWindowTable() {
  std::array<float, kXFilterWindowSteps + 1> table{};
  for (std::int32_t i = 0; i <= kXFilterWindowSteps; ++i) {
    const double r = static_cast<double>(kXFilterWindowSteps - i) / kXFilterWindowSteps;
    table[static_cast<std::size_t>(i)] = static_cast<float>(1.0 - r * r * r * r * r);
  }
  return table;
}

// Longest tap of one stage, in samples: four of them still add up within
// the 32-bit range.
constexpr std::int32_t kMaxTapSamples = 1 << 28;

enum : int { kModeSum = 0, kModeShaped = 1, kModePlain = 2 };
}  // namespace

const std::array<float, kXFilterWindowSteps + 1> XFilterWindowTable = MakeWindowTable();

TDSPXXFilter::TDSPXXFilter() {
  TDSPXXFilter::ReallocBuffers();
  BuildStages();
}

TDSPXXFilter::~TDSPXXFilter() = default;

void TDSPXXFilter::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  for (auto& side : Stages)
    for (auto& stage : side) stage.Filter.SetAudioSettings(Settings);
  UpdateStages();
}

void TDSPXXFilter::ReallocBuffers() {
  TDSPStereoEffect::ReallocBuffers();
  Shift.Allocate(Settings->SamplesPerMs, 0);
  const std::int32_t stride = (BufferFloats() + 3) & ~3;
  const std::int32_t floats = 11 * stride + 4;
  std::unique_ptr<float[]> scratch(new float[static_cast<std::size_t>(floats)]());
  std::swap(Scratch, scratch);
  ScratchFloats = floats;
  LaneStride = stride;
}

void TDSPXXFilter::ReleaseBuffers() {
  TDSPStereoEffect::ReleaseBuffers();
  Shift.Release();
  std::unique_ptr<float[]> scratch;
  std::swap(Scratch, scratch);
  ScratchFloats = 0;
  LaneStride = 0;
}

void TDSPXXFilter::ClearSmallState() {
  for (auto& side : Stages)
    for (auto& stage : side) stage.Filter.Filter().Reset();
}

void TDSPXXFilter::Update() {
  TDSPStereoEffect::Update();
  Shift.SetShift(RightShift, Settings->SamplesPerMs);
}

void TDSPXXFilter::UpdateTickLength() {
  TDSPStereoEffect::UpdateTickLength();
  UpdateStages();
}

void TDSPXXFilter::BuildStages() { UpdateStages(); }

void TDSPXXFilter::UpdateStages() {
  Update();
  LayOutStages();
}

void TDSPXXFilter::LayOutStages() {
  const auto spm = static_cast<float>(Settings->SamplesPerMs);
  for (std::size_t side = 0; side < 2; ++side) {
    auto& stages = Stages[side];
    float sumMs = 0;
    double sumSamples = 0;
    for (std::int32_t i = 0; i < StageCount; ++i) {
      TStage& stage = stages[static_cast<std::size_t>(i)];
      stage.TapLength = LengthMs(static_cast<float>(stage.TapSetting));
      stage.TapSamples = SampleCount(static_cast<float>(LengthSamples(stage.TapSetting)), 0, kMaxTapSamples);
      sumMs += stage.TapLength;
      sumSamples += LengthSamples(stage.TapSetting);
    }
    CyclePeriod[side] =
        SampleCount(GetLengthUnit() == 1 ? static_cast<float>(sumSamples) : spm * sumMs, 1, 4 * kMaxTapSamples);
    // In ticks the cycle keeps the host's tempo to the fraction of a sample.
    CycleSamples[side] = GetLengthUnit() == 1 ? std::clamp(sumSamples, 1.0, 4.0 * kMaxTapSamples)
                                              : static_cast<double>(CyclePeriod[side]);
    CyclePosition[side] = 0;
    WindowRate[side] = static_cast<float>(1.0 / CycleSamples[side]);
    float start = 0;
    for (std::int32_t i = 0; i < StageCount; ++i) {
      TStage& stage = stages[static_cast<std::size_t>(i)];
      stage.Width = static_cast<float>(stage.TapSamples) / static_cast<float>(CyclePeriod[side]);
      stage.Start = start;
      start += stage.Width;
      stage.Centre = stage.Width * 0.5f + stage.Start;
      stage.Phase = 0.5f - stage.Centre;
      if (stage.Phase < 0) stage.Phase += 1.0f;
      stage.StartPhase = stage.Phase;
    }
  }
}

void TDSPXXFilter::PlaceWindows(std::int32_t count) {
  for (std::size_t side = 0; side < 2; ++side) {
    const double cycles = CyclePosition[side] / CycleSamples[side];
    for (std::int32_t st = 0; st < count; ++st) {
      TStage& stage = Stages[side][static_cast<std::size_t>(st)];
      const double phase = static_cast<double>(stage.StartPhase) + cycles;
      stage.Phase = static_cast<float>(phase - std::floor(phase));
    }
  }
}

void TDSPXXFilter::AdvanceCycles(std::int32_t n) {
  for (std::size_t side = 0; side < 2; ++side)
    CyclePosition[side] = std::fmod(CyclePosition[side] + n, CycleSamples[side]);
}

void TDSPXXFilter::SetFilterCount(std::int32_t count) {
  count = std::clamp(count, 0, kMaxStages);
  if (count == StageCount) return;
  StageCount = count;
  UpdateStages();
}

void TDSPXXFilter::SetTapLength(bool right, std::int32_t stage, std::int32_t length) {
  if (stage < 0 || stage >= kMaxStages) return;
  length = std::max(length, 0);
  TStage& s = Stages[right ? 1 : 0][static_cast<std::size_t>(stage)];
  if (length == s.TapSetting) return;
  s.TapSetting = length;
  UpdateStages();
}

void TDSPXXFilter::SetRightShift(float ms) {
  if (!std::isfinite(ms) || ms == RightShift) return;
  RightShift = ms;
  Update();
}

void TDSPXXFilter::FilterSideOneByOne(int side, std::int32_t count, const float* x, float* out, float* scratch,
                                      std::int32_t n) {
  for (std::int32_t st = 0; st < count; ++st) {
    std::copy(x, x + n, scratch);
    Stages[static_cast<std::size_t>(side)][static_cast<std::size_t>(st)].Filter.ProcessSamples(scratch, n);
    for (std::int32_t i = 0; i < n; ++i) out[4 * i + st] = scratch[i];
  }
}

void TDSPXXFilter::FilterStages(std::int32_t count, const float* const* x, float* const* out, float* scratch,
                                std::int32_t n) {
  if (count <= 0) return;
  TDirectFormLanes lanes[2];
  TDirectFormLanes* banks[2];
  const float* bankInput[2];
  float* bankOutput[2];
  int bankSide[2];
  int bankCount = 0;
  for (int side = 0; side < 2; ++side) {
    TDSPDirectFormFilter* sections[kMaxStages] = {};
    bool direct = true;
    for (std::int32_t st = 0; st < count && direct; ++st) {
      sections[st] =
          Stages[static_cast<std::size_t>(side)][static_cast<std::size_t>(st)].Filter.Filter().AsDirectForm();
      direct = sections[st] != nullptr;
    }
    if (direct) {
      lanes[side].Load(sections, count);
      banks[bankCount] = &lanes[side];
      bankInput[bankCount] = x[side];
      bankOutput[bankCount] = out[side];
      bankSide[bankCount] = side;
      ++bankCount;
    } else {
      FilterSideOneByOne(side, count, x[side], out[side], scratch, n);
    }
  }
  // A section whose output went non-finite recovers on the one-by-one path.
  if (bankCount > 0 && !RunDirectFormLanes(banks, bankCount, bankInput, bankOutput, n))
    for (int k = 0; k < bankCount; ++k) FilterSideOneByOne(bankSide[k], count, bankInput[k], bankOutput[k], scratch, n);
}

namespace {

// The window of four stages, lane st for stage st, as the one-stage form
//   w = phase < 0.5 ? 2 phase : 2 (1 - phase)   (shaped: table[lrint(4000 w)])
//   level = (1 - (1 - w) a) w;  phase += rate, less 1 once past 1
// computes it, each lane rounding exactly as that form does.
struct TWindowLanes {
  __m128 Phase, A, Rate;
};

// Ahead: the phase runs on without its wrap, and `passed` collects the
// lanes in which it went past 1 (whose later levels are then wrong).
template <int Mode, bool Ahead = false>
inline __m128 WindowLevel(TWindowLanes& l, __m128* passed = nullptr) {
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 two = _mm_set1_ps(2.0f);
  const __m128 rising = _mm_cmplt_ps(l.Phase, _mm_set1_ps(0.5f));
  __m128 w = _mm_or_ps(_mm_and_ps(rising, _mm_mul_ps(two, l.Phase)),
                       _mm_andnot_ps(rising, _mm_mul_ps(two, _mm_sub_ps(one, l.Phase))));
  if constexpr (Mode == kModeShaped) {
    // lrint rounds in the current mode, as the conversion does; the index is
    // clamped to the table as the one-stage form clamps it.
    __m128i index = _mm_cvtps_epi32(_mm_mul_ps(w, _mm_set1_ps(static_cast<float>(kXFilterWindowSteps))));
    index = _mm_andnot_si128(_mm_cmplt_epi32(index, _mm_setzero_si128()), index);
    const __m128i top = _mm_set1_epi32(kXFilterWindowSteps);
    const __m128i above = _mm_cmpgt_epi32(index, top);
    index = _mm_or_si128(_mm_and_si128(above, top), _mm_andnot_si128(above, index));
    alignas(16) std::int32_t k[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(k), index);
    w = _mm_setr_ps(
        XFilterWindowTable[static_cast<std::size_t>(k[0])], XFilterWindowTable[static_cast<std::size_t>(k[1])],
        XFilterWindowTable[static_cast<std::size_t>(k[2])], XFilterWindowTable[static_cast<std::size_t>(k[3])]);
  }
  const __m128 level = _mm_mul_ps(_mm_sub_ps(one, _mm_mul_ps(_mm_sub_ps(one, w), l.A)), w);
  const __m128 next = _mm_add_ps(l.Phase, l.Rate);
  if constexpr (Ahead) {
    // Without a wrap the exact form subtracts 0, which changes nothing.
    *passed = _mm_or_ps(*passed, _mm_cmpgt_ps(next, one));
    l.Phase = next;
  } else {
    l.Phase = _mm_sub_ps(next, _mm_and_ps(_mm_cmpgt_ps(next, one), one));
  }
  return level;
}

// sum[i] := the first `count` lanes of lanes[4 i ..] added in lane order, from 0.
template <int Count>
void SumLanes(const float* lanes, float* sum, std::int32_t n) {
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 r0 = _mm_load_ps(lanes + 4 * i);
    __m128 r1 = _mm_load_ps(lanes + 4 * i + 4);
    __m128 r2 = _mm_load_ps(lanes + 4 * i + 8);
    __m128 r3 = _mm_load_ps(lanes + 4 * i + 12);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);  // r_st: stage st of samples i .. i + 3
    __m128 s = _mm_add_ps(_mm_setzero_ps(), r0);
    if constexpr (Count > 1) s = _mm_add_ps(s, r1);
    if constexpr (Count > 2) s = _mm_add_ps(s, r2);
    if constexpr (Count > 3) s = _mm_add_ps(s, r3);
    _mm_storeu_ps(sum + i, s);
  }
  for (; i < n; ++i) {
    float s = 0.0f;
    for (std::int32_t st = 0; st < Count; ++st) s += lanes[4 * i + st];
    sum[i] = s;
  }
}

void SumLanes(std::int32_t count, const float* lanes, float* sum, std::int32_t n) {
  switch (count) {
    case 1:
      SumLanes<1>(lanes, sum, n);
      break;
    case 2:
      SumLanes<2>(lanes, sum, n);
      break;
    case 3:
      SumLanes<3>(lanes, sum, n);
      break;
    case 4:
      SumLanes<4>(lanes, sum, n);
      break;
    default:
      std::fill(sum, sum + n, 0.0f);
      break;
  }
}

}  // namespace

void TDSPXXFilter::LoadWindows(int side, std::int32_t count, float* phase, float* shape) const {
  for (std::int32_t st = 0; st < 4; ++st) {
    const TStage& stage = Stages[static_cast<std::size_t>(side)][static_cast<std::size_t>(st)];
    phase[st] = st < count ? stage.Phase : 0.0f;
    shape[st] = st < count ? std::min(2.0f * stage.Width, 1.0f) : 0.0f;
  }
}

void TDSPXXFilter::StoreWindows(int side, std::int32_t count, const float* phase) {
  for (std::int32_t st = 0; st < count; ++st)
    Stages[static_cast<std::size_t>(side)][static_cast<std::size_t>(st)].Phase = phase[st];
}

namespace {
// sum := the first count lanes of r0 .. r3 (one lane per stage, one
// register per stage after the transpose) added in stage order, from 0.
inline __m128 SumStages(std::int32_t count, __m128 r0, __m128 r1, __m128 r2, __m128 r3) {
  __m128 s = _mm_add_ps(_mm_setzero_ps(), r0);
  if (count > 1) s = _mm_add_ps(s, r1);
  if (count > 2) s = _mm_add_ps(s, r2);
  if (count > 3) s = _mm_add_ps(s, r3);
  return s;
}
}  // namespace

namespace {

bool UseAvx2 = CpuFeatures().Avx2;

// The fused pass with both sides in the eight lanes of AVX registers, lanes
// 0..3 the left stages, 4..7 the right: per lane the operations of the
// four-lane form, in its order (no contraction), so the results are the
// same bits. History and phases come from and go back to lanes and phase.
struct TFusedAvx {
  TDirectFormLanes* Lanes[2];
  alignas(32) float Phase[8];
  alignas(32) float Shape[8];
  alignas(32) float Rate[8];
  const float* X[2];
  float* Sum[2];
  std::int32_t Count;
  std::int32_t N;
};

#define RUMBLEON_AVX2 __attribute__((target("avx2")))

RUMBLEON_AVX2 inline __m256 Pair(const float* left, const float* right) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(left)), _mm_load_ps(right), 1);
}

RUMBLEON_AVX2 inline void Unpair(__m256 v, float* left, float* right) {
  _mm_store_ps(left, _mm256_castps256_ps128(v));
  _mm_store_ps(right, _mm256_extractf128_ps(v, 1));
}

RUMBLEON_AVX2 inline __m256 SumStages8(std::int32_t count, __m256 v0, __m256 v1, __m256 v2, __m256 v3) {
  const __m256 t0 = _mm256_unpacklo_ps(v0, v1), t1 = _mm256_unpacklo_ps(v2, v3);
  const __m256 t2 = _mm256_unpackhi_ps(v0, v1), t3 = _mm256_unpackhi_ps(v2, v3);
  __m256 s = _mm256_add_ps(_mm256_setzero_ps(), _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0)));
  if (count > 1) s = _mm256_add_ps(s, _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2)));
  if (count > 2) s = _mm256_add_ps(s, _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0)));
  if (count > 3) s = _mm256_add_ps(s, _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2)));
  return s;
}

// Both sides' state in the lanes of AVX registers.
struct TFusedState {
  __m256 B0, B1, B2, A1, A2, X1, X2, Y1, Y2;
  __m256 Phase, Shape, Rate, Passed;
  int Used;  // movemask bits of the running lanes
};

// The windowed stage outputs of one sample (xl left, xr right).
template <int Mode>
RUMBLEON_AVX2 __attribute__((always_inline)) inline __m256 FusedStep(TFusedState& s, const float* xl, const float* xr) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256i exponent = _mm256_set1_epi32(0x7F800000);
  const __m256 x = _mm256_insertf128_ps(_mm256_broadcast_ss(xl), _mm_broadcast_ss(xr), 1);
  __m256 t = _mm256_add_ps(_mm256_mul_ps(s.B0, x), _mm256_mul_ps(s.B1, s.X1));
  t = _mm256_add_ps(t, _mm256_mul_ps(s.B2, s.X2));
  t = _mm256_sub_ps(t, _mm256_mul_ps(s.A1, s.Y1));
  t = _mm256_sub_ps(t, _mm256_mul_ps(s.A2, s.Y2));
  const __m256i tiny = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_castps_si256(t), exponent), _mm256_setzero_si256());
  // The flush as a branch, off the recursion's path: a running lane's
  // output is seldom zero or denormal (the other lanes' values are never
  // read).
  __m256 y = t;
  if ((_mm256_movemask_ps(_mm256_castsi256_ps(tiny)) & s.Used) != 0) [[unlikely]]
    y = _mm256_andnot_ps(_mm256_castsi256_ps(tiny), t);
  s.X2 = s.X1;
  s.X1 = x;
  s.Y2 = s.Y1;
  s.Y1 = y;
  if constexpr (Mode == kModeSum) {
    return y;
  } else {
    const __m256 two = _mm256_set1_ps(2.0f);
    const __m256 rising = _mm256_cmp_ps(s.Phase, _mm256_set1_ps(0.5f), _CMP_LT_OS);
    __m256 w = _mm256_or_ps(_mm256_and_ps(rising, _mm256_mul_ps(two, s.Phase)),
                            _mm256_andnot_ps(rising, _mm256_mul_ps(two, _mm256_sub_ps(one, s.Phase))));
    if constexpr (Mode == kModeShaped) {
      // w <= 1 for any phase (2 p < 1 below 0.5, 1 - p exact above), so
      // clamping w at 0 (NaN too) gives the index the integer clamp gives.
      w = _mm256_max_ps(w, _mm256_setzero_ps());
      const __m256i index =
          _mm256_cvtps_epi32(_mm256_mul_ps(w, _mm256_set1_ps(static_cast<float>(kXFilterWindowSteps))));
      // Eight plain loads: on some CPUs cheaper than a gather instruction.
      alignas(32) std::int32_t k[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(k), index);
      const float* table = XFilterWindowTable.data();
      w = _mm256_setr_ps(table[k[0]], table[k[1]], table[k[2]], table[k[3]], table[k[4]], table[k[5]], table[k[6]],
                         table[k[7]]);
    }
    const __m256 level = _mm256_mul_ps(_mm256_sub_ps(one, _mm256_mul_ps(_mm256_sub_ps(one, w), s.Shape)), w);
    const __m256 next = _mm256_add_ps(s.Phase, s.Rate);
    s.Passed = _mm256_or_ps(s.Passed, _mm256_cmp_ps(next, one, _CMP_GT_OS));
    s.Phase = next;
    return _mm256_mul_ps(y, level);
  }
}

// True when the pass stayed finite and no used lane's phase passed 1.
template <int Mode>
RUMBLEON_AVX2 bool FusedPassAvx2(TFusedAvx& f) {
  const TDirectFormLanes& l = *f.Lanes[0];
  const TDirectFormLanes& r = *f.Lanes[1];
  TFusedState s = {Pair(l.B0, r.B0),    Pair(l.B1, r.B1),           Pair(l.B2, r.B2),        Pair(l.A1, r.A1),
                   Pair(l.A2, r.A2),    Pair(l.X1, r.X1),           Pair(l.X2, r.X2),        Pair(l.Y1, r.Y1),
                   Pair(l.Y2, r.Y2),    _mm256_load_ps(f.Phase),    _mm256_load_ps(f.Shape), _mm256_load_ps(f.Rate),
                   _mm256_setzero_ps(), ((1 << f.Count) - 1) * 0x11};
  const float* xl = f.X[0];
  const float* xr = f.X[1];
  const std::int32_t count = f.Count, n = f.N;
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256 v0 = FusedStep<Mode>(s, xl + i, xr + i);
    const __m256 v1 = FusedStep<Mode>(s, xl + i + 1, xr + i + 1);
    const __m256 v2 = FusedStep<Mode>(s, xl + i + 2, xr + i + 2);
    const __m256 v3 = FusedStep<Mode>(s, xl + i + 3, xr + i + 3);
    const __m256 sum = SumStages8(count, v0, v1, v2, v3);
    _mm_storeu_ps(f.Sum[0] + i, _mm256_castps256_ps128(sum));
    _mm_storeu_ps(f.Sum[1] + i, _mm256_extractf128_ps(sum, 1));
  }
  // The last n mod 4 samples, lane by lane in stage order.
  for (; i < n; ++i) {
    alignas(32) float y[8];
    _mm256_store_ps(y, FusedStep<Mode>(s, xl + i, xr + i));
    float sl = 0.0f, sr = 0.0f;
    for (std::int32_t st = 0; st < count; ++st) {
      sl += y[st];
      sr += y[4 + st];
    }
    f.Sum[0][i] = sl;
    f.Sum[1][i] = sr;
  }
  const int used = (1 << count) - 1;
  const __m256i exponent = _mm256_set1_epi32(0x7F800000);
  const __m256i top = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_castps_si256(s.Y1), exponent), exponent);
  const int bad = _mm256_movemask_ps(_mm256_or_ps(s.Passed, _mm256_castsi256_ps(top)));
  if ((bad & (used | used << 4)) != 0) return false;
  Unpair(s.X1, f.Lanes[0]->X1, f.Lanes[1]->X1);
  Unpair(s.X2, f.Lanes[0]->X2, f.Lanes[1]->X2);
  Unpair(s.Y1, f.Lanes[0]->Y1, f.Lanes[1]->Y1);
  Unpair(s.Y2, f.Lanes[0]->Y2, f.Lanes[1]->Y2);
  _mm256_store_ps(f.Phase, s.Phase);
  return true;
}

#undef RUMBLEON_AVX2

}  // namespace

bool SetCrossFilterAvx2(bool on) {
  UseAvx2 = on && CpuFeatures().Avx2;
  return UseAvx2;
}

template <int Mode>
bool TDSPXXFilter::FusedStages(std::int32_t count, const float* const* x, float* const* sums, std::int32_t n) {
  if (count <= 0) return false;
  TDirectFormLanes lanes[2];
  for (int side = 0; side < 2; ++side) {
    TDSPDirectFormFilter* sections[kMaxStages] = {};
    for (std::int32_t st = 0; st < count; ++st) {
      sections[st] =
          Stages[static_cast<std::size_t>(side)][static_cast<std::size_t>(st)].Filter.Filter().AsDirectForm();
      if (sections[st] == nullptr) return false;
    }
    lanes[side].Load(sections, count);
  }
  if (UseAvx2) {
    TFusedAvx f;
    f.Lanes[0] = &lanes[0];
    f.Lanes[1] = &lanes[1];
    for (int side = 0; side < 2; ++side) {
      LoadWindows(side, count, f.Phase + 4 * side, f.Shape + 4 * side);
      std::fill(f.Rate + 4 * side, f.Rate + 4 * side + 4, WindowRate[static_cast<std::size_t>(side)]);
    }
    f.X[0] = x[0];
    f.X[1] = x[1];
    f.Sum[0] = sums[0];
    f.Sum[1] = sums[1];
    f.Count = count;
    f.N = n;
    if (!FusedPassAvx2<Mode>(f)) return false;
    lanes[0].Store();
    lanes[1].Store();
    if constexpr (Mode != kModeSum)
      for (int side = 0; side < 2; ++side) StoreWindows(side, count, f.Phase + 4 * side);
    return true;
  }
  TDirectFormBank bank[2] = {TDirectFormBank(lanes[0]), TDirectFormBank(lanes[1])};
  TWindowLanes window[2];
  if constexpr (Mode != kModeSum)
    for (int side = 0; side < 2; ++side) {
      alignas(16) float phase[4], shape[4];
      LoadWindows(side, count, phase, shape);
      window[side] = {_mm_load_ps(phase), _mm_load_ps(shape), _mm_set1_ps(WindowRate[static_cast<std::size_t>(side)])};
    }
  __m128 passed = _mm_setzero_ps();
  const float* xl = x[0];
  const float* xr = x[1];
  float* sumL = sums[0];
  float* sumR = sums[1];
  // Stage outputs of one sample of a side, windowed.
  auto step = [&](int side, float input) {
    __m128 y = bank[side].Step(_mm_set1_ps(input));
    if constexpr (Mode != kModeSum) y = _mm_mul_ps(y, WindowLevel<Mode, true>(window[side], &passed));
    return y;
  };
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 l0 = step(0, xl[i]), r0 = step(1, xr[i]);
    __m128 l1 = step(0, xl[i + 1]), r1 = step(1, xr[i + 1]);
    __m128 l2 = step(0, xl[i + 2]), r2 = step(1, xr[i + 2]);
    __m128 l3 = step(0, xl[i + 3]), r3 = step(1, xr[i + 3]);
    _MM_TRANSPOSE4_PS(l0, l1, l2, l3);  // l_st: stage st of samples i .. i + 3
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    _mm_storeu_ps(sumL + i, SumStages(count, l0, l1, l2, l3));
    _mm_storeu_ps(sumR + i, SumStages(count, r0, r1, r2, r3));
  }
  for (; i < n; ++i) {
    alignas(16) float y[2][4];
    _mm_store_ps(y[0], step(0, xl[i]));
    _mm_store_ps(y[1], step(1, xr[i]));
    float s[2] = {0.0f, 0.0f};
    for (int side = 0; side < 2; ++side)
      for (std::int32_t st = 0; st < count; ++st) s[side] += y[side][st];
    sumL[i] = s[0];
    sumR[i] = s[1];
  }
  const bool wrapped = (_mm_movemask_ps(passed) & ((1 << count) - 1)) != 0;
  if (wrapped || !bank[0].LastFinite(count) || !bank[1].LastFinite(count)) return false;
  bank[0].Store(lanes[0]);
  bank[1].Store(lanes[1]);
  if constexpr (Mode != kModeSum)
    for (int side = 0; side < 2; ++side) {
      alignas(16) float phase[4];
      _mm_store_ps(phase, window[side].Phase);
      StoreWindows(side, count, phase);
    }
  return true;
}

template <int Mode>
void TDSPXXFilter::WindowSides(std::int32_t count, float* const* lanes, float* const* sums, std::int32_t n) {
  if constexpr (Mode != kModeSum) {
    TWindowLanes window[2];
    for (int side = 0; side < 2; ++side) {
      alignas(16) float phase[4], shape[4];
      LoadWindows(side, count, phase, shape);
      window[side] = {_mm_load_ps(phase), _mm_load_ps(shape), _mm_set1_ps(WindowRate[static_cast<std::size_t>(side)])};
    }
    float* left = lanes[0];
    float* right = lanes[1];
    for (std::int32_t i = 0; i < n; ++i) {
      const __m128 levelL = WindowLevel<Mode>(window[0]);
      const __m128 levelR = WindowLevel<Mode>(window[1]);
      _mm_store_ps(left + 4 * i, _mm_mul_ps(_mm_load_ps(left + 4 * i), levelL));
      _mm_store_ps(right + 4 * i, _mm_mul_ps(_mm_load_ps(right + 4 * i), levelR));
    }
    for (int side = 0; side < 2; ++side) {
      alignas(16) float phase[4];
      _mm_store_ps(phase, window[side].Phase);
      StoreWindows(side, count, phase);
    }
  }
  SumLanes(count, lanes[0], sums[0], n);
  SumLanes(count, lanes[1], sums[1], n);
}

void TDSPXXFilter::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (!Shift.IsAllocated() || !Scratch || n <= 0 || n > LaneStride) return;
  const float* noise = NextDenormalNoise(n);
  float* xL = Scratch.get();
  float* xR = xL + LaneStride;
  float* stageOut = xR + LaneStride;
  // 16-byte aligned lanes after the three sub-blocks.
  float* lanesBase = stageOut + LaneStride;
  lanesBase += (4 - (reinterpret_cast<std::uintptr_t>(lanesBase) / sizeof(float)) % 4) % 4;
  float* lanes[2] = {lanesBase, lanesBase + 4 * LaneStride};
  AddNoiseFinite(left, noise, xL, n);
  AddNoiseFinite(right, noise, xR, n);
  const std::int32_t count = std::clamp(StageCount, 0, kMaxStages);
  const float* x[2] = {xL, xR};
  float* sumL = WetBufferLeft();
  float* sumR = WetBufferRight();
  float* sums[2] = {sumL, sumR};
  // The windows start each sub-block where the cycle's place puts them: the
  // phases a float adds up drift off the host's grid over a long run.
  if (WindowMode != kModeSum) PlaceWindows(count);
  // Direct-form sides in one pass while no window wraps; otherwise (or
  // when an output went non-finite) filters, then windows.
  bool done = false;
  switch (WindowMode) {
    case kModeSum:
      done = FusedStages<kModeSum>(count, x, sums, n);
      break;
    case kModeShaped:
      done = FusedStages<kModeShaped>(count, x, sums, n);
      break;
    default:
      done = FusedStages<kModePlain>(count, x, sums, n);
      break;
  }
  if (!done) {
    FilterStages(count, x, lanes, stageOut, n);
    switch (WindowMode) {
      case kModeSum:
        WindowSides<kModeSum>(count, lanes, sums, n);
        break;
      case kModeShaped:
        WindowSides<kModeShaped>(count, lanes, sums, n);
        break;
      default:
        WindowSides<kModePlain>(count, lanes, sums, n);
        break;
    }
  }
  if (WindowMode != kModeSum) AdvanceCycles(n);
  for (int side = 0; side < 2; ++side) {
    if (SilenceRunaway(side == 0 ? sumL : sumR, n))
      for (auto& stage : Stages[static_cast<std::size_t>(side)]) stage.Filter.Filter().Reset();
  }
  const float lw = LeftWetOut, ld = LeftDryOut, rw = RightWetOut, rd = RightDryOut;
  MixWetDry(sumL, xL, noise, lw, ld, left, n);
  MixWetDry(sumR, xR, noise, rw, rd, right, n);
  Shift.ExchangeBlock(0, left, left, n);
  Shift.ExchangeBlock(1, right, right, n);
}
