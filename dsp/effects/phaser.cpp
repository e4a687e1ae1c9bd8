#include "dsp/effects/phaser.h"

#include <emmintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <numbers>

#include "dsp/effects/effect_lfo.h"
#include "dsp/filters/design_rate.h"
#include "dsp/oscillators/random_source.h"
#include "platform/cpu_features.h"

namespace {
// |m| of an LFO at the largest gain (32) and full output; beyond it e^(2m)
// would leave the float range.
constexpr float kMaxModulation = 40.0f;
const float kExpTwoMinusOne = std::exp(2.0f) - 1.0f;

bool StoreClamped(float& field, float value, float lo, float hi) {
  if (!std::isfinite(value)) return false;
  field = std::clamp(value, lo, hi);
  return true;
}
}  // namespace

TDSPXPhaser::TDSPXPhaser() {
  for (auto& lfo : Lfos) lfo = CreateEffectLfo();
  TDSPXPhaser::ReallocBuffers();
  TDSPXPhaser::Update();
}

TDSPXPhaser::~TDSPXPhaser() = default;

void TDSPXPhaser::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  ClearState();
  for (auto& lfo : Lfos) KeepOnControlRate(*lfo);
  Update();
}

void TDSPXPhaser::ReallocBuffers() {
  TDSPStereoEffect::ReallocBuffers();
  Shift.Allocate(Settings->SamplesPerMs, 20);
  ClearState();
}

void TDSPXPhaser::ReleaseBuffers() {
  TDSPStereoEffect::ReleaseBuffers();
  Shift.Release();
}

void TDSPXPhaser::ClearAll() {
  State.fill(0.0f);
  PreviousCoefficient = {0, 0};
  FeedbackSample = {0, 0};
}

void TDSPXPhaser::SetRandomSeed(std::uint64_t seed) {
  for (std::size_t k = 0; k < Lfos.size(); ++k) Lfos[k]->SetRandomSeed(MixSeed(seed, k));
}

void TDSPXPhaser::Update() {
  TDSPStereoEffect::Update();
  Shift.SetShift(RightShift, Settings->SamplesPerMs);
}

void TDSPXPhaser::SetStages(std::size_t side, std::int32_t value) {
  std::int32_t stages = value & 0xFF;
  stages = std::min(stages, kMaxStages) & ~1;
  stages = std::max(stages, 2);
  if (stages == Stages[side]) return;
  Stages[side] = stages;
  ClearState();
}

void TDSPXPhaser::SetStagesLeft(std::int32_t value) { SetStages(0, value); }
void TDSPXPhaser::SetStagesRight(std::int32_t value) { SetStages(1, value); }
void TDSPXPhaser::SetFeedbackLeft(float value) { StoreClamped(Feedback[0], value, -1.0f, 1.0f); }
void TDSPXPhaser::SetFeedbackRight(float value) { StoreClamped(Feedback[1], value, -1.0f, 1.0f); }
void TDSPXPhaser::SetCrossLeftToRight(float value) { StoreClamped(CrossLeftToRight, value, -1.0f, 1.0f); }
void TDSPXPhaser::SetCrossRightToLeft(float value) { StoreClamped(CrossRightToLeft, value, -1.0f, 1.0f); }
void TDSPXPhaser::SetPhaseLeft(float value) { StoreClamped(Phase[0], value, 0.0f, 1.0f); }
void TDSPXPhaser::SetPhaseRight(float value) { StoreClamped(Phase[1], value, 0.0f, 1.0f); }
void TDSPXPhaser::SetDepthLeft(float value) { StoreClamped(Depth[0], value, 0.0f, 1.0f); }
void TDSPXPhaser::SetDepthRight(float value) { StoreClamped(Depth[1], value, 0.0f, 1.0f); }

void TDSPXPhaser::SetShift(float ms) {
  if (!std::isfinite(ms)) return;
  RightShift = std::clamp(ms, -254.5f, 254.5f);
  Update();
}

void TDSPXPhaser::UpdateModulation() {
  for (std::size_t k = 0; k < 2; ++k) Modulation[k] = TickModulation(*Lfos[k], kMaxModulation);
}

TDSPXPhaser::TBlock TDSPXPhaser::BeginBlock() {
  TBlock b;
  b.Length = SubBlockLength();
  if (!Shift.IsAllocated() || b.Length <= 0) {
    b.Length = 0;
    return b;
  }
  b.Noise = NextDenormalNoise(b.Length);
  if (FirstBlock) {
    UpdateModulation();
    FirstBlock = false;
  }
  UpdateModulation();
  for (std::size_t s = 0; s < 2; ++s) {
    const float a = (std::exp(2.0f * Modulation[s]) - 1.0f) / kExpTwoMinusOne;
    const float c = 1.0f - (1.0f - Depth[s]) * Phase[s] - (1.0f - Phase[s]) * a * Depth[s];
    b.Coefficient[s] = c > 0.0f ? (c < 1.0f ? c : 1.0f) : 0.0f;  // NaN gives 0
    // The stages' phase curves are the design rate's, in Hz.
    b.Coefficient[s] = MatchAllpassToRate(b.Coefficient[s], Settings->SampleRate);
  }
  return b;
}

void TDSPXPhaser::EndBlock(const TBlock& b, float* left, float* right, bool bad) {
  Shift.ExchangeBlock(0, left, left, b.Length);
  Shift.ExchangeBlock(1, right, right, b.Length);
  PreviousCoefficient = b.Coefficient;
  for (std::int32_t st = 0; st < std::clamp(Stages[0], 0, kMaxStages); ++st)
    bad |= !(std::fabs(State[static_cast<std::size_t>(2 * st)]) < kRunawayLimit);
  for (std::int32_t st = 0; st < std::clamp(Stages[1], 0, kMaxStages); ++st)
    bad |= !(std::fabs(State[static_cast<std::size_t>(2 * st + 1)]) < kRunawayLimit);
  // A runaway loop (feedback plus cross-feed above 1, or a stage integrating
  // at coefficient 1) restarts its stages from silence.
  if (bad) ClearAll();
}

void TDSPXPhaser::RunOneByOne(const TBlock& b, float* left, float* right, std::int32_t first, std::int32_t count,
                              bool& bad) {
  const float* noise = b.Noise;
  const std::int32_t stagesL = std::clamp(Stages[0], 0, kMaxStages);
  const std::int32_t stagesR = std::clamp(Stages[1], 0, kMaxStages);
  float* state = State.data();
  const float fbL = Feedback[0], fbR = Feedback[1];
  const float crossLR = CrossLeftToRight, crossRL = CrossRightToLeft;
  const float lw = LeftWetOut, ld = LeftDryOut, rw = RightWetOut, rd = RightDryOut;
  const float prevL = PreviousCoefficient[0], prevR = PreviousCoefficient[1];
  const float invN = 1.0f / static_cast<float>(b.Length);
  float feedbackL = FeedbackSample[0], feedbackR = FeedbackSample[1];
  for (std::int32_t i = first; i < first + count; ++i) {
    const float t = static_cast<float>(i) * invN;
    const float cL = b.Coefficient[0] * t + prevL * (1.0f - t);
    const float cR = b.Coefficient[1] * t + prevR * (1.0f - t);
    float xL = left[i] + feedbackL + noise[i];
    float xR = right[i] + feedbackR + noise[i];
    for (std::int32_t st = 0; st < stagesL; ++st) {
      const float s = state[2 * st];
      const float y = cL * s + xL;
      xL = s - cL * y;
      state[2 * st] = y;
    }
    for (std::int32_t st = 0; st < stagesR; ++st) {
      const float s = state[2 * st + 1];
      const float y = cR * s + xR;
      xR = s - cR * y;
      state[2 * st + 1] = y;
    }
    const float uL = xR * crossRL + xL;
    const float uR = xL * crossLR + xR;
    feedbackL = KeepBounded(uL * fbL, bad);
    feedbackR = KeepBounded(uR * fbR, bad);
    left[i] = left[i] * ld + uL * lw;
    right[i] = right[i] * rd + uR * rw;
  }
  FeedbackSample = {feedbackL, feedbackR};
}

void TDSPXPhaser::ProcessStereoOneByOne(float* left, float* right) {
  const TBlock b = BeginBlock();
  if (b.Length <= 0) return;
  bool bad = false;
  RunOneByOne(b, left, right, 0, b.Length, bad);
  EndBlock(b, left, right, bad);
}

namespace {
// The lane form. A (left, right) pair of values sits in two lanes of a
// register, the sides running side by side. With k = 1 - c^2 a stage
//   y = c s + x,  x' = s - c y
// is x' = k s - c x, so what leaves stage j (0-based) of a sample is
//   x_(j+1) = P_j + (-c)^(j+1) x_0,  P_j = k s_j - c P_(j-1)  (P_(-1) = 0),
// where P and the powers of -c need only the states. The last P ("last") is
// summed as a tree of its terms (-c)^(N-1-j) k s_j. The output
// out = last + (-c)^N x_0 goes through the cross-feed and the feedback gain
// g into the next sample's input, which is then
//   x_0' = in' + g last + g cross swap(last) + G x_0 + H swap(x_0)
// with G = g (-c)^N and H = g cross swap((-c)^N) (swap: left and right
// exchanged): the path from one sample's input to the next is one multiply
// and two adds.
struct TLaneBlock {
  const float* Input;   // per sample: left, right input plus noise; one more pair of zeros
  float* Wet;           // per sample: the wet pair
  std::int32_t First;   // index of the first sample in the sub-block
  std::int32_t Length;  // samples
  __m128 Previous;      // coefficients at the sub-block's start (lanes 0, 1 and again 2, 3)
  __m128 Target;        // at its end
  float InvLength;      // 1 / sub-block length
  __m128 Cross;         // lane 0 right-to-left, lane 1 left-to-right (again in 2, 3)
  __m128 FeedbackGain;  // g (again in lanes 2, 3)
  __m128 CrossGain;     // g x cross
};

// Two floats (any alignment) into lanes 0, 1 and back.
__attribute__((always_inline)) inline __m128 LoadPair(const float* p) {
  std::int64_t bits;
  std::memcpy(&bits, p, sizeof bits);
  return _mm_castsi128_ps(_mm_cvtsi64_si128(bits));
}
__attribute__((always_inline)) inline void StorePair(float* p, __m128 v) {
  const std::int64_t bits = _mm_cvtsi128_si64(_mm_castps_si128(v));
  std::memcpy(p, &bits, sizeof bits);
}
__attribute__((always_inline)) inline __m128 Swap(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }

// Sum of terms[kLo .. kHi) as a balanced tree.
template <int kLo, int kHi>
__attribute__((always_inline)) inline __m128 SumTree(const __m128* terms) {
  if constexpr (kHi - kLo == 1) {
    return terms[kLo];
  } else {
    constexpr int kMid = kLo + (kHi - kLo) / 2;
    return _mm_add_ps(SumTree<kLo, kMid>(terms), SumTree<kMid, kHi>(terms));
  }
}

// 2 kHalf equal stages on both sides; `state` holds (left, right) pairs
// stage by stage. Register r holds stage r in lanes 0, 1 and stage
// r + kHalf in lanes 2, 3, so both halves of the chain run side by side:
//   Q_r = k S_r - c Q_(r-1)  (Q_0 = k S_0)
// gives P_r below and, started afresh, P'_(r+h) above (h = kHalf); as
// P_(r+h) = P'_(r+h) + (-c)^(r+1) P_(h-1), with B = (0, P_(h-1))
//   F_r = Q_r + V_r B,  V_r = (any finite value, (-c)^(r+1))
// holds (P_r, P_(r+h)). The inputs of the stages, (x_r, x_(r+h)) with
// x_j = P_(j-1) + (-c)^j x_0, are
//   X_0 = (0, P_(h-1)) + W_0 x_0,  X_r = F_(r-1) + W_r x_0,
//   W_0 = (1, (-c)^h),  W_r = ((-c)^r, (-c)^(r+h)),
// and the new states S_r = c S_r + X_r. "last" is the tree of
// T_r k S_r, T_r = ((-c)^(N-1-r), (-c)^(h-1-r)), its two halves added.
// `feedback` carries the feedback pair in and out. The feedback is not
// limited here: the result is whether every feedback value stayed below the
// runaway limit (finite), else the caller runs the samples again stage by
// stage from the states they started with.
template <int kHalf>
__attribute__((always_inline)) inline bool RunHalvesBody(const TLaneBlock& b, float* state, __m128& feedback) {
  constexpr int kStages = 2 * kHalf;
  const __m128 sign = _mm_set1_ps(-0.0f);
  const __m128 zero = _mm_setzero_ps();
  const __m128 one = _mm_set1_ps(1.0f);
  __m128 s[kHalf];
#pragma GCC unroll 64
  for (int r = 0; r < kHalf; ++r) s[r] = _mm_movelh_ps(LoadPair(state + 2 * r), LoadPair(state + 2 * (r + kHalf)));
  __m128 fb = feedback;
  __m128 x0 = _mm_add_ps(fb, LoadPair(b.Input));
  __m128 peak = _mm_setzero_ps();
  for (std::int32_t i = 0; i < b.Length; ++i) {
    // The coefficients of this sample, the same in both halves.
    const __m128 t = _mm_set1_ps(static_cast<float>(b.First + i) * b.InvLength);
    const __m128 c = _mm_add_ps(_mm_mul_ps(b.Target, t), _mm_mul_ps(b.Previous, _mm_sub_ps(one, t)));
    const __m128 k = _mm_sub_ps(one, _mm_mul_ps(c, c));
    const __m128 nc = _mm_xor_ps(c, sign);
    __m128 power[kStages + 1];  // power[m] = (-c)^m
    power[0] = one;
    power[1] = nc;
#pragma GCC unroll 64
    for (int m = 2; m <= kStages; ++m) power[m] = _mm_mul_ps(power[m / 2], power[m - m / 2]);
    const auto w = [&](int r) { return _mm_movelh_ps(power[r], power[r + kHalf]); };
    const auto tr = [&](int r) { return _mm_movelh_ps(power[kStages - 1 - r], power[kHalf - 1 - r]); };
    __m128 ks[kHalf], terms[kHalf];
#pragma GCC unroll 64
    for (int r = 0; r < kHalf; ++r) {
      ks[r] = _mm_mul_ps(k, s[r]);
      terms[r] = _mm_mul_ps(tr(r), ks[r]);
    }
    const __m128 sum = SumTree<0, kHalf>(terms);
    const __m128 last = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
    __m128 q[kHalf];
    q[0] = ks[0];
#pragma GCC unroll 64
    for (int r = 1; r < kHalf; ++r) q[r] = _mm_add_ps(ks[r], _mm_mul_ps(nc, q[r - 1]));
    // B = (0, P_(h-1)); V_r is T_(h-2-r), whose upper half is (-c)^(r+1).
    const __m128 bottom = _mm_movelh_ps(zero, q[kHalf - 1]);
    const __m128 x0s = _mm_movelh_ps(x0, x0);
    __m128 next[kHalf];
    next[0] = _mm_add_ps(bottom, _mm_mul_ps(w(0), x0s));
#pragma GCC unroll 64
    for (int r = 1; r < kHalf; ++r) {
      const __m128 f = _mm_add_ps(q[r - 1], _mm_mul_ps(tr(kHalf - 1 - r), bottom));
      next[r] = _mm_add_ps(f, _mm_mul_ps(w(r), x0s));
    }
#pragma GCC unroll 64
    for (int r = 0; r < kHalf; ++r) s[r] = _mm_add_ps(_mm_mul_ps(c, s[r]), next[r]);
    const __m128 out = _mm_add_ps(last, _mm_mul_ps(power[kStages], x0));
    const __m128 u = _mm_add_ps(_mm_mul_ps(Swap(out), b.Cross), out);
    StorePair(b.Wet + 2 * i, u);
    // Off the path: the feedback as the stage-by-stage form has it, and its
    // largest magnitude so far (a NaN sticks: max returns its second operand
    // when either is NaN).
    fb = _mm_mul_ps(u, b.FeedbackGain);
    peak = _mm_max_ps(peak, _mm_andnot_ps(sign, fb));
    // The next sample's input.
    const __m128 d = _mm_add_ps(_mm_add_ps(LoadPair(b.Input + 2 * i + 2), _mm_mul_ps(b.FeedbackGain, last)),
                                _mm_mul_ps(b.CrossGain, Swap(last)));
    const __m128 g = _mm_mul_ps(b.FeedbackGain, power[kStages]);
    const __m128 h = _mm_mul_ps(b.CrossGain, Swap(power[kStages]));
    x0 = _mm_add_ps(_mm_add_ps(d, _mm_mul_ps(g, x0)), _mm_mul_ps(h, Swap(x0)));
  }
#pragma GCC unroll 64
  for (int r = 0; r < kHalf; ++r) {
    StorePair(state + 2 * r, s[r]);
    StorePair(state + 2 * (r + kHalf), _mm_movehl_ps(s[r], s[r]));
  }
  feedback = fb;
  const __m128 ok = _mm_cmplt_ps(peak, _mm_set1_ps(kRunawayLimit));
  return (_mm_movemask_ps(ok) & 3) == 3;
}

// The same instructions twice: for any x86-64 processor, and for those with
// AVX-512, whose 32 vector registers hold every state and coefficient
// without spilling (no fused multiply-add: the bits are the same).
template <int kHalf>
bool RunHalves(const TLaneBlock& b, float* state, __m128& feedback) {
  return RunHalvesBody<kHalf>(b, state, feedback);
}

template <int kHalf>
__attribute__((target("avx512f,avx512vl"))) bool RunHalvesWide(const TLaneBlock& b, float* state, __m128& feedback) {
  return RunHalvesBody<kHalf>(b, state, feedback);
}

bool WideRegistersAvailable() { return CpuFeatures().Avx512; }

std::atomic<bool> UseWide{WideRegistersAvailable()};

using TLaneKernel = bool (*)(const TLaneBlock&, float*, __m128&);

TLaneKernel LaneKernel(std::int32_t stages) {
  const bool wide = UseWide.load(std::memory_order_relaxed);
  switch (stages) {
    case 2:
      return wide ? RunHalvesWide<1> : RunHalves<1>;
    case 4:
      return wide ? RunHalvesWide<2> : RunHalves<2>;
    case 6:
      return wide ? RunHalvesWide<3> : RunHalves<3>;
    case 8:
      return wide ? RunHalvesWide<4> : RunHalves<4>;
    case 10:
      return wide ? RunHalvesWide<5> : RunHalves<5>;
    case 12:
      return wide ? RunHalvesWide<6> : RunHalves<6>;
    case 14:
      return wide ? RunHalvesWide<7> : RunHalves<7>;
    case 16:
      return wide ? RunHalvesWide<8> : RunHalves<8>;
    default:
      return nullptr;
  }
}
}  // namespace

bool TDSPXPhaser::SetWideRegisters(bool on) {
  const bool wide = on && WideRegistersAvailable();
  UseWide.store(wide, std::memory_order_relaxed);
  return wide;
}

void TDSPXPhaser::ProcessStereo(float* left, float* right) {
  const TLaneKernel kernel = Stages[0] == Stages[1] ? LaneKernel(Stages[0]) : nullptr;
  if (kernel == nullptr) {
    ProcessStereoOneByOne(left, right);
    return;
  }
  const TBlock b = BeginBlock();
  const std::int32_t n = b.Length;
  if (n <= 0) return;
  const std::int32_t stages = Stages[0];
  TLaneBlock lanes;
  const __m128 target = _mm_setr_ps(b.Coefficient[0], b.Coefficient[1], b.Coefficient[0], b.Coefficient[1]);
  const __m128 previous =
      _mm_setr_ps(PreviousCoefficient[0], PreviousCoefficient[1], PreviousCoefficient[0], PreviousCoefficient[1]);
  const float invLength = 1.0f / static_cast<float>(n);
  const __m128 cross = _mm_setr_ps(CrossRightToLeft, CrossLeftToRight, CrossRightToLeft, CrossLeftToRight);
  const __m128 gain = _mm_setr_ps(Feedback[0], Feedback[1], Feedback[0], Feedback[1]);
  lanes.Previous = previous;
  lanes.Target = target;
  lanes.InvLength = invLength;
  lanes.Cross = cross;
  lanes.FeedbackGain = gain;
  lanes.CrossGain = _mm_mul_ps(gain, cross);
  const __m128 lw = _mm_set1_ps(LeftWetOut), ld = _mm_set1_ps(LeftDryOut);
  const __m128 rw = _mm_set1_ps(RightWetOut), rd = _mm_set1_ps(RightDryOut);
  bool bad = false;
  constexpr std::int32_t kChunk = 32;  // a multiple of 4
  alignas(16) float input[2 * kChunk + 4];
  alignas(16) float wet[2 * kChunk];
  std::array<float, 2 * kMaxStages> saved;
  for (std::int32_t start = 0; start < n; start += kChunk) {
    const std::int32_t m = std::min(kChunk, n - start);
    const std::int32_t whole = m & ~3;
    float* l = left + start;
    float* r = right + start;
    const float* noise = b.Noise + start;
    for (std::int32_t i = 0; i < whole; i += 4) {
      const __m128 z = _mm_loadu_ps(noise + i);
      const __m128 vl = _mm_add_ps(_mm_loadu_ps(l + i), z), vr = _mm_add_ps(_mm_loadu_ps(r + i), z);
      _mm_store_ps(input + 2 * i, _mm_unpacklo_ps(vl, vr));
      _mm_store_ps(input + 2 * i + 4, _mm_unpackhi_ps(vl, vr));
    }
    for (std::int32_t i = whole; i < m; ++i) {
      input[2 * i] = l[i] + noise[i];
      input[2 * i + 1] = r[i] + noise[i];
    }
    input[2 * m] = input[2 * m + 1] = 0.0f;
    lanes.Input = input;
    lanes.Wet = wet;
    lanes.First = start;
    lanes.Length = m;
    std::copy_n(State.data(), 2 * stages, saved.data());
    __m128 feedback = _mm_setr_ps(FeedbackSample[0], FeedbackSample[1], 0, 0);
    if (kernel(lanes, State.data(), feedback)) [[likely]] {
      alignas(16) float fb[4];
      _mm_store_ps(fb, feedback);
      FeedbackSample = {fb[0], fb[1]};
      for (std::int32_t i = 0; i < whole; i += 4) {
        const __m128 lo = _mm_load_ps(wet + 2 * i), hi = _mm_load_ps(wet + 2 * i + 4);
        const __m128 ul = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 ur = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
        _mm_storeu_ps(l + i, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(l + i), ld), _mm_mul_ps(ul, lw)));
        _mm_storeu_ps(r + i, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(r + i), rd), _mm_mul_ps(ur, rw)));
      }
      for (std::int32_t i = whole; i < m; ++i) {
        l[i] = l[i] * LeftDryOut + wet[2 * i] * LeftWetOut;
        r[i] = r[i] * RightDryOut + wet[2 * i + 1] * RightWetOut;
      }
    } else {
      // A feedback value ran away: the stage-by-stage form limits it.
      std::copy_n(saved.data(), 2 * stages, State.data());
      RunOneByOne(b, left, right, start, m, bad);
    }
  }
  EndBlock(b, left, right, bad);
}
