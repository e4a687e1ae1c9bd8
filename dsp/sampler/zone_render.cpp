// The zone renderers: one block loop written once as a template and
// instantiated per case, so each renderer carries only the per-sample work
// its case needs. The general renderer (every loop mode, direction, the
// modulation envelope, envelope 2 and the five stages, the zone's
// interpolation routine) serves every zone; the six specialised ones leave
// out what the commonest zones of a bank cannot need.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "dsp/oscillators/oscillator.h"
#include "dsp/sampler/linear_reads.h"
#include "dsp/sampler/sample_bank_format.h"
#include "dsp/sampler/sampler_instrument.h"
#include "platform/cpu_features.h"

namespace {

// The cubic runs' windows reach past the loop end or the sample's end into
// the spare frames every sample keeps.
static_assert(kReadableBeyond <= kSampleSpareValues);

// How a renderer reads the working samples at the zone's position.
// At: the working samples at `position` into left and right. Run: At for
// n positions, into left[j] and right[j] (a mono read may leave right and
// answer that left serves for both).
struct TReadByRoutine {
  static void Read(TZonePlayState& z) { z.Interpolate(z.Data, z.Position, z.Scale, z.WorkL, z.WorkR); }
  static void At(const TZonePlayState& z, double position, float& left, float& right) {
    z.Interpolate(z.Data, position, z.Scale, left, right);
  }
  static bool Run(const TZonePlayState& z, const double* position, float* left, float* right, std::int32_t n) {
    for (std::int32_t j = 0; j < n; ++j) z.Interpolate(z.Data, position[j], z.Scale, left[j], right[j]);
    return false;
  }
};
struct TReadMono2Point {
  static void Read(TZonePlayState& z) { z.WorkL = z.WorkR = Mono2PointAt(z.Data, z.Position, z.Scale); }
  static void At(const TZonePlayState& z, double position, float& left, float& right) {
    left = right = Mono2PointAt(z.Data, position, z.Scale);
  }
  // Runs of groups of four without the position chain (linear_reads.h).
  static TLinearMonoRun Runs() { return ReadLinearMonoRun; }
  // One group of four positions.
  static __m128 Four(const std::int16_t* data, float scale, double r0, double r1, double r2, double r3) {
    return LinearMonoFour(data, _mm_set1_ps(scale), _mm_setr_pd(r0, r1), _mm_setr_pd(r2, r3));
  }
  static bool Run(const TZonePlayState& z, const double* position, float* left, float* /*right*/, std::int32_t n) {
    std::int32_t j = 0;
    for (; j + 4 <= n; j += 4)
      _mm_storeu_ps(left + j, LinearMonoFour(z.Data, _mm_set1_ps(z.Scale), _mm_loadu_pd(position + j),
                                             _mm_loadu_pd(position + j + 2)));
    for (; j < n; ++j) left[j] = Mono2PointAt(z.Data, position[j], z.Scale);
    return true;
  }
};
struct TReadMonoCubic {
  static void Read(TZonePlayState& z) { z.WorkL = z.WorkR = MonoCubicAt(z.Data, z.Position, z.Scale); }
  static void At(const TZonePlayState& z, double position, float& left, float& right) {
    left = right = MonoCubicAt(z.Data, position, z.Scale);
  }
  static TLinearMonoRun Runs() { return ReadCubicMonoRun; }
  // Four at once from frame 1.5 on (frame i - 1 exists), else one by one.
  static __m128 Four(const std::int16_t* data, float scale, double r0, double r1, double r2, double r3) {
    if (r0 >= 1.5) return CubicMonoFour(data, _mm_set1_ps(scale), _mm_setr_pd(r0, r1), _mm_setr_pd(r2, r3));
    return _mm_setr_ps(MonoCubicAt(data, r0, scale), MonoCubicAt(data, r1, scale), MonoCubicAt(data, r2, scale),
                       MonoCubicAt(data, r3, scale));
  }
  // Four at a time where the four positions are past the first frame and a
  // half (their frames i - 1 exist), the rest one by one.
  static bool Run(const TZonePlayState& z, const double* position, float* left, float* /*right*/, std::int32_t n) {
    const __m128 scale = _mm_set1_ps(z.Scale);
    std::int32_t j = 0;
    for (; j + 4 <= n; j += 4) {
      const __m128d p01 = _mm_loadu_pd(position + j), p23 = _mm_loadu_pd(position + j + 2);
      if (std::min({position[j], position[j + 1], position[j + 2], position[j + 3]}) >= 1.5) {
        _mm_storeu_ps(left + j, CubicMonoFour(z.Data, scale, p01, p23));
      } else {
        for (std::int32_t k = j; k < j + 4; ++k) left[k] = MonoCubicAt(z.Data, position[k], z.Scale);
      }
    }
    for (; j < n; ++j) left[j] = MonoCubicAt(z.Data, position[j], z.Scale);
    return true;
  }
};

// Puts x into [start, start + length) by whole loop lengths; a loop of no
// length (or a position that is not a number) goes to the start.
double FoldIntoLoop(double x, double start, double length) {
  if (!(length > 0.0)) return start;
  double r = std::fmod(x - start, length);
  if (r < 0.0) r += length;
  if (!(r >= 0.0 && r < length)) r = 0.0;
  return start + r;
}

// Forward loop: one loop length back once the end is reached; an increment
// longer than the loop is folded by whole loops, so the position never
// stays past the end (where the data may end).
inline void WrapForward(const TZonePlayState& z, double& position) {
  position -= z.LoopLength;
  if (position >= z.LoopEnd) position = FoldIntoLoop(position, z.LoopStart, z.LoopLength);
}

// Forward, then reverse: the end turns the direction once; backwards the
// start jumps up by one loop length. The turn keeps the position at most at
// the sample's end, the jump folds a far overshoot into the loop.
inline void StepForwardReverse(TZonePlayState& z) {
  if (z.Direction > 0.0) {
    if (z.Position >= z.LoopEnd) {
      z.Direction = -1.0;
      if (z.Position > z.Frames) z.Position = z.Frames;
    }
  } else if (z.Position <= z.LoopStart) {
    z.Position += z.LoopLength;
    if (z.Position < z.LoopStart) z.Position = FoldIntoLoop(z.Position, z.LoopStart, z.LoopLength);
  }
}

// Alternating: each end turns the direction and takes back the step that
// crossed it; the position then stays inside the loop (float rounding of
// the step taken back can never carry it below the start, nor below 0).
inline void StepAlternating(TZonePlayState& z) {
  if (z.Direction > 0.0) {
    if (z.Position < z.LoopEnd) return;
    z.Position -= z.Increment;
    z.Direction = -1.0;
  } else {
    if (z.Position > z.LoopStart) return;
    z.Position += z.Increment;
    z.Direction = 1.0;
  }
  if (z.Position < z.LoopStart) z.Position = z.LoopStart;
  if (z.Position > z.LoopEnd) z.Position = z.LoopEnd;
}

// The end of a sample played without a loop.
inline void FinishZone(TZonePlayState& z) {
  z.State = TZonePlayState::kFinished;
  z.Env1.End();
  z.Env2.End();
}

// The modulation envelope, on envelope 1's counter c: attack to 1, decay to
// its level, then either holds or (hold clear) releases at once, setting c
// back to 0 so that envelope 1 measures its stages from there.
void StepModulationEnvelope(TZonePlayState& z) {
  std::int32_t& c = z.Env1.Counter;
  float m = 0.0f;
  if (z.ModState == 0) {
    if (c < z.ModAttack) {
      m = static_cast<float>(c) * z.ModAttackSlope;
    } else if (c < z.ModAttack + z.ModDecay) {
      m = 1.0f - (1.0f - z.Zone.ModEnvSustainLevel) * static_cast<float>(c - z.ModAttack) * z.ModDecaySlope;
    } else {
      m = z.Zone.ModEnvSustainLevel;
      if ((z.Zone.ModEnvHold & 0xFF) == 0) {
        z.ModState = 1;
        z.ModReleaseLevel = m;
        c = 0;
        if (z.Env1.State == TZoneEnvelope::kRunning) z.Env1.Restart();
      }
    }
  } else if (z.ModState == 1) {
    if (c < z.ModRelease) {
      m = (1.0f - static_cast<float>(c) * z.ModReleaseSlope) * z.ModReleaseLevel;
    } else {
      z.ModState = 2;
    }
  }
  z.ModValue = m;
}

inline void MoveByModulation(TZonePlayState& z) {
  StepModulationEnvelope(z);
  const TSampleZoneRec& r = z.Zone;
  const float m = z.ModValue;
  const float depth[3] = {r.PosModBase[0] + m * r.PosModEnvAmount[0], r.PosModBase[1] + m * r.PosModEnvAmount[1],
                          r.PosModBase[2] + m * r.PosModEnvAmount[2]};
  z.PositionMove(z, depth);
  if (z.Position < z.LoopStart || z.Position >= z.LoopEnd)
    z.Position = FoldIntoLoop(z.Position, z.LoopStart, z.LoopLength);
}

// One block of a zone. Read: how the working samples are made; Full: with
// envelope 2, the five stages and envelope 2's share of the level;
// LoopMode 0..3; ModEnv: with the modulation envelope and position move.
template <class Read, bool Full, int LoopMode, bool ModEnv>
void RenderZoneBlock(TDSPSamplerInstr& s, TZonePlayState& z) {
  float* out = s.MutableOutput();
  const std::int32_t frames = s.Settings->BlockSize;
  const std::int32_t perMs = s.Settings->SamplesPerMs;
  const float env2Amount = z.Zone.Env2LevelAmount;
  float gainL = z.GainL, gainR = z.GainR;
  for (std::int32_t k = 0; k < frames; ++k, out += 2) {
    if (z.ControlCounter >= perMs) {
      s.UpdateZoneControl(z);
      gainL = z.GainL;
      gainR = z.GainR;
    }
    ++z.ControlCounter;
    if constexpr (ModEnv) MoveByModulation(z);

    Read::Read(z);

    if constexpr (LoopMode == kLoopNone) {
      z.Position += z.Increment;
      if (z.Position >= z.Frames) return FinishZone(z);
    } else if constexpr (LoopMode == kLoopForward) {
      z.Position += z.Increment;
      if (z.Position >= z.LoopEnd) WrapForward(z, z.Position);
    } else if constexpr (LoopMode == kLoopForwardReverse) {
      z.Position += z.Direction * z.Increment;
      StepForwardReverse(z);
    } else {
      z.Position += z.Direction * z.Increment;
      StepAlternating(z);
    }

    z.Env1.Run();
    if constexpr (Full) z.Env2.Run();
    if (z.State == TZonePlayState::kFinished) return;

    float level = z.Env1.Value;
    if constexpr (Full) {
      for (TZoneStage stage : z.Stages) stage(z);
      level += z.Env2.Value * env2Amount;
    }
    out[0] += z.WorkL * gainL * level;
    out[1] += z.WorkR * gainR * level;
    ++z.Env1.Counter;
    if constexpr (Full) ++z.Env2.Counter;
  }
}

// The longest run of samples the envelope-only renderer takes at once.
constexpr std::int32_t kRunLength = 256;

// One block of a zone without envelope 2, stages or modulation envelope
// (loop modes none and forward): what RenderZoneBlock computes, in runs up
// to the next control update. Within a run the position does not depend on
// the envelope nor the envelope on the position, so each goes through the
// run on its own (the position in a local, the envelope in one loop without
// the sample reads), then the run is mixed into the output.
// A run into the zone's output: out[2j] += (left[j] gainL) level[j], out[2j +
// 1] likewise from right with gainR; level null: hold for every j. SSE2
// (two frames per register) and AVX2 (four) give the same bits; the
// AVX2 form is put in place at load where the processor has it.
// Frames from .. count - 1 one by one (the vector forms' tails).
// Store: the frames are stored instead of added (into an output no zone
// wrote yet).
template <bool Store>
inline void MixRunFrames(const float* left, const float* right, const float* level, float hold, float gainL,
                         float gainR, float* out, std::int32_t from, std::int32_t count) {
  for (std::int32_t j = from; j < count; ++j) {
    const float v = level != nullptr ? level[j] : hold;
    if constexpr (Store) {
      out[2 * j] = left[j] * gainL * v;
      out[2 * j + 1] = right[j] * gainR * v;
    } else {
      out[2 * j] += left[j] * gainL * v;
      out[2 * j + 1] += right[j] * gainR * v;
    }
  }
}

template <bool Store>
void MixRunSse2(const float* left, const float* right, const float* level, float hold, float gainL, float gainR,
                float* out, std::int32_t count) {
  const __m128 gain = _mm_setr_ps(gainL, gainR, gainL, gainR);
  const __m128 h = _mm_set1_ps(hold);
  std::int32_t j = 0;
  for (; j + 4 <= count; j += 4) {
    const __m128 l = _mm_loadu_ps(left + j), r = _mm_loadu_ps(right + j);
    const __m128 v = level != nullptr ? _mm_loadu_ps(level + j) : h;
    const __m128 frames01 = _mm_mul_ps(_mm_mul_ps(_mm_unpacklo_ps(l, r), gain), _mm_unpacklo_ps(v, v));
    const __m128 frames23 = _mm_mul_ps(_mm_mul_ps(_mm_unpackhi_ps(l, r), gain), _mm_unpackhi_ps(v, v));
    if constexpr (Store) {
      _mm_storeu_ps(out + 2 * j, frames01);
      _mm_storeu_ps(out + 2 * j + 4, frames23);
    } else {
      _mm_storeu_ps(out + 2 * j, _mm_add_ps(_mm_loadu_ps(out + 2 * j), frames01));
      _mm_storeu_ps(out + 2 * j + 4, _mm_add_ps(_mm_loadu_ps(out + 2 * j + 4), frames23));
    }
  }
  MixRunFrames<Store>(left, right, level, hold, gainL, gainR, out, j, count);
}

template <bool Store>
__attribute__((target("avx2"))) void MixRunAvx2(const float* left, const float* right, const float* level, float hold,
                                                float gainL, float gainR, float* out, std::int32_t count) {
  const __m256 gain = _mm256_setr_ps(gainL, gainR, gainL, gainR, gainL, gainR, gainL, gainR);
  const __m256 h = _mm256_set1_ps(hold);
  std::int32_t j = 0;
  for (; j + 8 <= count; j += 8) {
    const __m256 l = _mm256_loadu_ps(left + j), r = _mm256_loadu_ps(right + j);
    const __m256 v = level != nullptr ? _mm256_loadu_ps(level + j) : h;
    // The unpacks work within each half: frames 0, 1 | 4, 5 and 2, 3 | 6, 7.
    const __m256 lo = _mm256_unpacklo_ps(l, r), hi = _mm256_unpackhi_ps(l, r);
    const __m256 vlo = _mm256_unpacklo_ps(v, v), vhi = _mm256_unpackhi_ps(v, v);
    const __m256 frames0123 = _mm256_mul_ps(_mm256_mul_ps(_mm256_permute2f128_ps(lo, hi, 0x20), gain),
                                            _mm256_permute2f128_ps(vlo, vhi, 0x20));
    const __m256 frames4567 = _mm256_mul_ps(_mm256_mul_ps(_mm256_permute2f128_ps(lo, hi, 0x31), gain),
                                            _mm256_permute2f128_ps(vlo, vhi, 0x31));
    if constexpr (Store) {
      _mm256_storeu_ps(out + 2 * j, frames0123);
      _mm256_storeu_ps(out + 2 * j + 8, frames4567);
    } else {
      _mm256_storeu_ps(out + 2 * j, _mm256_add_ps(_mm256_loadu_ps(out + 2 * j), frames0123));
      _mm256_storeu_ps(out + 2 * j + 8, _mm256_add_ps(_mm256_loadu_ps(out + 2 * j + 8), frames4567));
    }
  }
  MixRunFrames<Store>(left, right, level, hold, gainL, gainR, out, j, count);
}

using TMixRun = void (*)(const float*, const float*, const float*, float, float, float, float*, std::int32_t);
const TMixRun MixRun = CpuFeatures().Avx2 ? &MixRunAvx2<false> : &MixRunSse2<false>;
const TMixRun MixRunStore = CpuFeatures().Avx2 ? &MixRunAvx2<true> : &MixRunSse2<true>;

// Stride: the sampler's frame stride. At 2 each output frame is the zone at
// every other sample of its own timing: the position moves by two steps,
// the envelope and the control counter by two samples per frame (a control
// update due between two frames comes at the later one, and the counter
// keeps the sample it overshot by).
template <class Read, int LoopMode, int Stride>
void RenderZoneRunsAt(TDSPSamplerInstr& s, TZonePlayState& z) {
  static_assert(LoopMode == kLoopNone || LoopMode == kLoopForward);
  bool fresh = false;
  float* out = s.MutableOutput(fresh);
  const TMixRun mixRun = fresh ? MixRunStore : MixRun;
  const std::int32_t frames = s.Settings->BlockSize / Stride;
  const std::int32_t perMs = s.Settings->SamplesPerMs;
  alignas(16) double position[kRunLength];
  alignas(16) float workL[kRunLength], workR[kRunLength], level[kRunLength];
  std::int32_t k = 0;
  while (k < frames) {
    if (z.ControlCounter >= perMs) {
      const std::int32_t over = z.ControlCounter - perMs;
      s.UpdateZoneControl(z);
      if constexpr (Stride > 1) z.ControlCounter = std::min(over, Stride - 1);
    }
    const std::int32_t due = (perMs - z.ControlCounter + Stride - 1) / Stride;
    const std::int32_t run = std::min({frames - k, kRunLength, std::max(due, std::int32_t{1})});
    // The positions (each sample reads at its position, then moves on) and
    // the working samples.
    double p = z.Position;
    const double increment = z.Increment * Stride;
    std::int32_t count = run;     // samples that reach the output
    std::int32_t last = run - 1;  // the last sample read
    bool finished = false;
    bool mono = false;
    std::int32_t j = 0;
    auto advance = [&](std::int32_t at) {
      position[at] = p;
      p += increment;
      if constexpr (LoopMode == kLoopNone) {
        if (p >= z.Frames) {
          // The sample that steps past the end is read (it stays in the
          // play state) but not heard; at a stride it is heard while the
          // zone's own next sample still lies inside.
          last = at;
          count = Stride > 1 && position[at] + z.Increment < z.Frames ? at + 1 : at;
          finished = true;
        }
      } else {
        if (p >= z.LoopEnd) WrapForward(z, p);
      }
    };
    if constexpr (!std::is_same_v<Read, TReadByRoutine>) {
      // Four positions, then their reads in the same pass: the positions are
      // one serial chain of additions, which the reads can overlap.
      // (The positions go to the read in registers: a wide load of two
      // scalar stores would wait for them.)
      mono = true;
      const std::int16_t* data = z.Data;
      const float scale = z.Scale;
      // Runs of groups of four without the chain (see linear_reads.h); a
      // group they leave (one that ends the zone, a wrap or a new binade
      // they do not take) goes one by one, then the runs go on.
      const double limit = LoopMode == kLoopNone ? static_cast<double>(z.Frames) : static_cast<double>(z.LoopEnd);
      const double loopLength = LoopMode == kLoopNone ? 0.0 : z.LoopLength;
      while (j + 4 <= run) {
        j += Read::Runs()(data, scale, p, increment, limit, loopLength, workL + j, (run - j) & ~3);
        if (j + 4 > run) break;
        const double r0 = p;
        advance(j);
        if (finished) break;
        const double r1 = p;
        advance(j + 1);
        if (finished) break;
        const double r2 = p;
        advance(j + 2);
        if (finished) break;
        const double r3 = p;
        advance(j + 3);
        if (finished) break;
        _mm_store_ps(workL + j, Read::Four(data, scale, r0, r1, r2, r3));
        j += 4;
      }
    }
    if (!finished) {
      const std::int32_t from = j;
      for (; j < run && !finished; ++j) advance(j);
      const std::int32_t end = finished ? last + 1 : run;
      // (Nothing left: mono stays what the reads above make it.)
      if (end > from) mono = Read::Run(z, position + from, workL + from, workR + from, end - from);
    } else {
      // The group of four that finished the zone: its positions up to the
      // finishing one (which is read too: the last sample read stays in the
      // play state).
      const std::int32_t from = j;
      mono = Read::Run(z, position + from, workL + from, workR + from, last + 1 - from);
    }
    z.Position = p;
    const std::int32_t reads = finished ? last + 1 : run;
    const float* right = mono ? workL : workR;
    z.WorkL = workL[reads - 1];
    z.WorkR = right[reads - 1];
    z.ControlCounter += reads * Stride;
    // Envelope 1, then the mix (the final hold: one level for the whole
    // run).
    const bool held = z.Env1.RunSpanOrHold(level, count, Stride);
    mixRun(workL, right, held ? nullptr : level, z.Env1.Value, z.GainL, z.GainR, out + 2 * k, count);
    if (finished) {
      if (fresh) std::fill(out + 2 * (k + count), out + 2 * frames, 0.0f);
      return FinishZone(z);
    }
    k += run;
  }
}

template <class Read, int LoopMode>
void RenderZoneRuns(TDSPSamplerInstr& s, TZonePlayState& z) {
  if (s.FrameStride() == 2) {
    RenderZoneRunsAt<Read, LoopMode, 2>(s, z);
  } else {
    RenderZoneRunsAt<Read, LoopMode, 1>(s, z);
  }
}

template <int LoopMode>
TZoneRender GeneralFor(bool modulationEnvelope) {
  return modulationEnvelope ? &RenderZoneBlock<TReadByRoutine, true, LoopMode, true>
                            : &RenderZoneBlock<TReadByRoutine, true, LoopMode, false>;
}

}  // namespace

void RenderZoneLoop(TDSPSamplerInstr& s, TZonePlayState& z) { RenderZoneRuns<TReadByRoutine, kLoopForward>(s, z); }
void RenderZoneLoopLinearMono(TDSPSamplerInstr& s, TZonePlayState& z) {
  RenderZoneRuns<TReadMono2Point, kLoopForward>(s, z);
}
void RenderZoneLoopCubicMono(TDSPSamplerInstr& s, TZonePlayState& z) {
  RenderZoneRuns<TReadMonoCubic, kLoopForward>(s, z);
}
void RenderZoneLoopLinearMonoEnv2(TDSPSamplerInstr& s, TZonePlayState& z) {
  RenderZoneBlock<TReadMono2Point, true, kLoopForward, false>(s, z);
}
void RenderZoneOneShot(TDSPSamplerInstr& s, TZonePlayState& z) { RenderZoneRuns<TReadByRoutine, kLoopNone>(s, z); }
void RenderZoneOneShotLinearMono(TDSPSamplerInstr& s, TZonePlayState& z) {
  RenderZoneRuns<TReadMono2Point, kLoopNone>(s, z);
}
void RenderZoneOneShotCubicMono(TDSPSamplerInstr& s, TZonePlayState& z) {
  RenderZoneRuns<TReadMonoCubic, kLoopNone>(s, z);
}

TZoneRender RenderZoneGeneral(std::uint8_t loopMode, bool modulationEnvelope) {
  switch (loopMode) {
    case kLoopForward:
      return GeneralFor<kLoopForward>(modulationEnvelope);
    case kLoopForwardReverse:
      return GeneralFor<kLoopForwardReverse>(modulationEnvelope);
    case kLoopAlternating:
      return GeneralFor<kLoopAlternating>(modulationEnvelope);
    default:
      return GeneralFor<kLoopNone>(modulationEnvelope);
  }
}

bool RenderTakesStride(TZoneRender render) {
  for (TZoneRender r : {&RenderZoneLoop, &RenderZoneLoopLinearMono, &RenderZoneLoopCubicMono, &RenderZoneOneShot,
                        &RenderZoneOneShotLinearMono, &RenderZoneOneShotCubicMono})
    if (render == r) return true;
  return false;
}

TZoneRender SelectZoneRender(const TZonePlayState& z, std::int32_t interpolation) {
  const TSampleZoneRec& r = z.Zone;
  const TZoneRender general = RenderZoneGeneral(z.LoopMode, r.ModEnvOn != 0);
  if (!r.Env1On || !z.Sample) return general;
  const bool mono = z.Channels == 1;
  const bool linearMono = interpolation == kInterpolation2Point && mono;
  if (r.Env2On) {
    if (!r.ModEnvOn && z.LoopMode == kLoopForward && linearMono) return &RenderZoneLoopLinearMonoEnv2;
    return general;
  }
  if (r.ModEnvOn || r.Filter1On || r.Filter2On || r.Shaper[0].On || r.Shaper[1].On || r.DistOn) return general;
  if (z.LoopMode == kLoopNone) {
    if (linearMono) return &RenderZoneOneShotLinearMono;
    if (interpolation == kInterpolationCubic && mono) return &RenderZoneOneShotCubicMono;
    return &RenderZoneOneShot;
  }
  if (z.LoopMode == kLoopForward) {
    if (linearMono) return &RenderZoneLoopLinearMono;
    if (interpolation == kInterpolationCubic && mono) return &RenderZoneLoopCubicMono;
    return &RenderZoneLoop;
  }
  return general;
}

// ---- Position modulation ---------------------------------------------------

namespace {

// The position-modulation oscillator's raw value at phase x (frames taken as
// the waveform's phase units), folded first into the waveform's own range by
// whole wraps, which leaves a periodic waveform's value unchanged.
float PositionWave(TZonePlayState& z, double x) {
  const TDSPBaseOscillator& w = z.PositionOsc->CurrentWaveform();
  const double wrap = w.PhaseWrap;
  const double low = static_cast<double>(w.PhaseLimit) - wrap;
  return z.PositionOsc->GetValueAtPhase(static_cast<float>(FoldIntoLoop(x, low, wrap)));
}
// d x G(x), left out when d is not above 0.
inline double Term(TZonePlayState& z, float d, double x) { return d > 0.0f ? d * PositionWave(z, x) : 0.0; }

void MoveNested(TZonePlayState& z, const float d[3]) {
  const double p = z.Position;
  const double inner = p + Term(z, d[2], p);
  const double middle = p + Term(z, d[1], inner);
  z.Position = p + Term(z, d[0], middle);
}
void MoveSummed(TZonePlayState& z, const float d[3]) {
  const double p = z.Position;
  z.Position = p + Term(z, d[0], p + Term(z, d[2], p) + Term(z, d[1], p));
}
void MoveChained(TZonePlayState& z, const float d[3]) {
  z.Position += Term(z, d[2], z.Position);
  z.Position += Term(z, d[1], z.Position);
  z.Position += Term(z, d[0], z.Position);
}
void MoveChainedFromInner(TZonePlayState& z, const float d[3]) {
  const double t = z.Position + Term(z, d[2], z.Position);
  z.Position += Term(z, d[1], t);
  z.Position += Term(z, d[0], z.Position);
}
void MoveNone(TZonePlayState& /*z*/, const float* /*d*/) {}

}  // namespace

TZonePositionMove SelectPositionMove(std::uint8_t mode) {
  switch (mode) {
    case 0:
      return &MoveNested;
    case 1:
      return &MoveSummed;
    case 2:
      return &MoveChained;
    case 3:
      return &MoveChainedFromInner;
    default:
      return &MoveNone;
  }
}
