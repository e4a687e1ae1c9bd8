// The sampler-synth layer's render path: the per-voice control update (once
// per millisecond of samples) and the voice loop of every internal block.
// Audio thread, instance lock held: nothing here allocates, locks or makes a
// virtual call per sample. What varies between notes and blocks (the curve
// routines, the filter and shaper routines, whether osc 2 renders) is
// chosen before the sample loops.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "dsp/filters/filter_lanes.h"
#include "engines/sampler_plugin2.h"
#include "framework/base/base_math.h"
#include "platform/cpu_features.h"

namespace {

// x clamped to 0..1; NaN gives 0.
float ClampPan(float x) {
  if (!(x > 0.0f)) return 0.0f;
  return x > 1.0f ? 1.0f : x;
}

// A sample counter grown by n, held short of overflowing.
void AdvanceCounter(std::int32_t& counter, std::int32_t n) {
  counter =
      counter < std::numeric_limits<std::int32_t>::max() - n ? counter + n : std::numeric_limits<std::int32_t>::max();
}

// True when the envelope sits at its sustain level: every step of the
// sub-block gives the same level and changes nothing else (the gate only
// changes between blocks).
bool Sustaining(const TDSPADSR& env) {
  if (!(env.Gate > 0.0f) || env.FadeActive || env.RampActive) return false;
  const auto c = static_cast<float>(env.Counter);
  return !(c < env.AttackSamples) && !(c < env.AttackSamples + env.DecaySamples);
}

// One sub-block of an amplitude envelope's levels. Flat: one level for the
// whole sub-block in Output (a sustaining envelope, or one still waiting for
// its delay at 0); otherwise the levels are in buf and Output is the last.
using TEnvelopeBlock = TSamplerPlugin2::TEnvelopeBlock;

// (The block is written in place: returned by value, its fields stored one
// by one would be read back as one wider value, which waits for them.)
void RunEnvelopeLevels(TDSPADSR& env, bool running, float* buf, std::int32_t n, TEnvelopeBlock& block) {
  block = TEnvelopeBlock{};
  if (!running) return;  // still in its delay: level 0 throughout
  if (Sustaining(env)) {
    block.Output = env.Step();
    return;
  }
  env.Run(buf, n);
  block.Output = env.OutputSample;
  block.Flat = false;
}

// The levels through the curve into amplitude factors 1 - (1 - x) x depth:
// one Factor for a flat block (or depth 0), otherwise in place in buf (the
// curve over the run, then the factors four at a time).
void ApplyAmpLaw(TEnvelopeBlock& block, TCurveFunction curve, TCurveRun curveRun, float depth, float* buf,
                 std::int32_t n) {
  if (block.Flat || depth == 0.0f) {
    float x = block.Output;
    curve(x);
    block.Factor = depth != 0.0f ? 1.0f - (1.0f - x) * depth : 1.0f;
    block.Flat = true;
    return;
  }
  if (curveRun != nullptr) curveRun(buf, n);
  const __m128 one = _mm_set1_ps(1.0f), d = _mm_set1_ps(depth);
  std::int32_t k = 0;
  for (; k + 4 <= n; k += 4)
    _mm_storeu_ps(buf + k, _mm_sub_ps(one, _mm_mul_ps(_mm_sub_ps(one, _mm_loadu_ps(buf + k)), d)));
  for (; k < n; ++k) buf[k] = 1.0f - (1.0f - buf[k]) * depth;
}

// The shapers whose route is `route`, on the voice's left and right buffers.
// A non-zero channel mode lets the left route decide for both sides.
void ShapeRoute(TDSPSamplerInstrVoice2& v, const TKwpValues& kv, std::int32_t route, float* left, float* right,
                std::int32_t n) {
  if (kv.ShaperChannelMode != 0) {
    if (kv.ShaperRoute[0] != route) return;
    v.Shaper[0].ProcessSamples(left, n);
    v.Shaper[1].ProcessSamples(right, n);
    return;
  }
  if (kv.ShaperRoute[0] == route) v.Shaper[0].ProcessSamples(left, n);
  if (kv.ShaperRoute[1] == route) v.Shaper[1].ProcessSamples(right, n);
}

// Vector forms of the voice's per-sample mixing, four samples per
// register; each lane computes the scalar expression in its own order.

// left[k] = (a1 g1l) src1[F k] (+ (a2 g2l) src2[F k]), right likewise from
// the next elements: the players' interleaved output (F floats per voice
// frame: 2 at the voice's rate; 4 doubled, of which the voice takes every
// other frame) into the voice's buffers. Varying: a1 = aGain[k] and a2 =
// bGain[k], oscillator 1's and 2's envelope gains sample by sample (they
// may be left and right: each is read before it is written); otherwise a1 =
// a2 = 1 (the gains are in g).
template <bool Varying, int F>
void SplitPlayers(const float* s1, const float* s2, float g1l, float g1r, float g2l, float g2r, const float* aGain,
                  const float* bGain, float* left, float* right, std::int32_t n) {
  static_assert(F == 2 || F == 4);
  // Frames k .. k + 3 of a player: their left values, then their right ones.
  auto frames = [](const float* x, __m128& l, __m128& r) {
    __m128 x0, x1;
    if constexpr (F == 2) {
      x0 = _mm_loadu_ps(x);
      x1 = _mm_loadu_ps(x + 4);
    } else {
      x0 = _mm_movelh_ps(_mm_loadu_ps(x), _mm_loadu_ps(x + 4));
      x1 = _mm_movelh_ps(_mm_loadu_ps(x + 8), _mm_loadu_ps(x + 12));
    }
    l = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(2, 0, 2, 0));
    r = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(3, 1, 3, 1));
  };
  std::int32_t k = 0;
  const __m128 b1l = _mm_set1_ps(g1l), b1r = _mm_set1_ps(g1r);
  const __m128 b2l = _mm_set1_ps(g2l), b2r = _mm_set1_ps(g2r);
  const __m128 one = _mm_set1_ps(1.0f);
  for (; k + 4 <= n; k += 4) {
    const __m128 a1 = Varying ? _mm_loadu_ps(aGain + k) : one;
    const __m128 a2 = Varying ? _mm_loadu_ps(bGain + k) : one;
    __m128 xl, xr;
    frames(s1 + F * k, xl, xr);
    __m128 l = _mm_mul_ps(_mm_mul_ps(a1, b1l), xl);
    __m128 r = _mm_mul_ps(_mm_mul_ps(a1, b1r), xr);
    if (s2 != nullptr) {
      __m128 yl, yr;
      frames(s2 + F * k, yl, yr);
      l = _mm_add_ps(l, _mm_mul_ps(_mm_mul_ps(a2, b2l), yl));
      r = _mm_add_ps(r, _mm_mul_ps(_mm_mul_ps(a2, b2r), yr));
    }
    _mm_storeu_ps(left + k, l);
    _mm_storeu_ps(right + k, r);
  }
  for (; k < n; ++k) {
    const float a1 = Varying ? aGain[k] : 1.0f, a2 = Varying ? bGain[k] : 1.0f;
    float l = a1 * g1l * s1[F * k];
    float r = a1 * g1r * s1[F * k + 1];
    if (s2 != nullptr) {
      l += a2 * g2l * s2[F * k];
      r += a2 * g2r * s2[F * k + 1];
    }
    left[k] = l;
    right[k] = r;
  }
}

// SplitPlayers for a sub-block's mix into left and right.
template <int F>
void SplitMix(const TDSPSamplerInstrVoice2::TPlayerMix& mix, float* left, float* right, std::int32_t n) {
  if (mix.AGain != nullptr) {
    SplitPlayers<true, F>(mix.A, mix.B, mix.ALeft, mix.ARight, mix.BLeft, mix.BRight, mix.AGain, mix.BGain, left, right,
                          n);
  } else {
    SplitPlayers<false, F>(mix.A, mix.B, mix.ALeft, mix.ARight, mix.BLeft, mix.BRight, nullptr, nullptr, left, right,
                           n);
  }
}

// x[k] := from[k] + t (x[k] - from[k]) with t rising linearly to 1 at frame
// `length` (counted from `at`): a crossfade from `from` to x.
void FadeFrom(const float* from, float* x, std::int32_t at, std::int32_t length, std::int32_t n) {
  const float step = 1.0f / static_cast<float>(length);
  for (std::int32_t k = 0; k < n; ++k) {
    const float t = std::min(static_cast<float>(at + k + 1) * step, 1.0f);
    x[k] = from[k] + t * (x[k] - from[k]);
  }
}

// A signal of a sub-block: x[k], or one value for all k.
struct TLevel {
  const float* Signal = nullptr;  // null: Flat throughout
  float Flat = 1.0f;
  float At(std::int32_t k) const { return Signal != nullptr ? Signal[k] : Flat; }
  __m128 Four(std::int32_t k) const { return Signal != nullptr ? _mm_loadu_ps(Signal + k) : _mm_set1_ps(Flat); }
};

// The amplitude of frame k: (e1[k] x e2[k]) x level[k].
inline float Amplitude(const TLevel& e1, const TLevel& e2, const TLevel& level, std::int32_t k) {
  return e1.At(k) * e2.At(k) * level.At(k);
}

// out += buffer x the amplitude, frame by frame.
void MixVoice(const float* left, const float* right, const TLevel& e1, const TLevel& e2, const TLevel& level,
              float* outL, float* outR, std::int32_t n) {
  std::int32_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m128 a = _mm_mul_ps(_mm_mul_ps(e1.Four(k), e2.Four(k)), level.Four(k));
    _mm_storeu_ps(outL + k, _mm_add_ps(_mm_loadu_ps(outL + k), _mm_mul_ps(_mm_loadu_ps(left + k), a)));
    _mm_storeu_ps(outR + k, _mm_add_ps(_mm_loadu_ps(outR + k), _mm_mul_ps(_mm_loadu_ps(right + k), a)));
  }
  for (; k < n; ++k) {
    const float a = Amplitude(e1, e2, level, k);
    outL[k] += left[k] * a;
    outR[k] += right[k] * a;
  }
}

// One voice's term of a sub-block's mix: its left and right signal times
// its amplitude, Amp[k] per frame or (Amp null) Flat throughout.
struct TVoiceTerm {
  const float* Left;
  const float* Right;
  const float* Amp;
  float Flat;
};

// Frames from .. n - 1 of MixVoices, one by one.
void MixVoiceFrames(const TVoiceTerm* terms, std::int32_t count, float* outL, float* outR, std::int32_t from,
                    std::int32_t n) {
  for (std::int32_t k = from; k < n; ++k) {
    float l = outL[k], r = outR[k];
    for (std::int32_t j = 0; j < count; ++j) {
      const TVoiceTerm& t = terms[j];
      const float a = t.Amp != nullptr ? t.Amp[k] : t.Flat;
      l += t.Left[k] * a;
      r += t.Right[k] * a;
    }
    outL[k] = l;
    outR[k] = r;
  }
}

// out += left x amp for each voice in turn, as MixVoice one voice after
// another adds them (the same sums in the same order), with the mix kept in
// registers between the voices. SSE2 four frames at a time, AVX2 eight:
// the same bits; the AVX2 form is put in place at load where the processor
// has it. MixVoicesFours: the frames from `from` on by fours; answers where
// it stopped.
[[gnu::always_inline]] inline std::int32_t MixVoicesFours(const TVoiceTerm* terms, std::int32_t count, float* outL,
                                                          float* outR, std::int32_t from, std::int32_t n) {
  std::int32_t k = from;
  for (; k + 4 <= n; k += 4) {
    __m128 l = _mm_loadu_ps(outL + k), r = _mm_loadu_ps(outR + k);
    for (std::int32_t j = 0; j < count; ++j) {
      const TVoiceTerm& t = terms[j];
      const __m128 a = t.Amp != nullptr ? _mm_loadu_ps(t.Amp + k) : _mm_set1_ps(t.Flat);
      l = _mm_add_ps(l, _mm_mul_ps(_mm_loadu_ps(t.Left + k), a));
      r = _mm_add_ps(r, _mm_mul_ps(_mm_loadu_ps(t.Right + k), a));
    }
    _mm_storeu_ps(outL + k, l);
    _mm_storeu_ps(outR + k, r);
  }
  return k;
}

void MixVoicesSse2(const TVoiceTerm* terms, std::int32_t count, float* outL, float* outR, std::int32_t n) {
  MixVoiceFrames(terms, count, outL, outR, MixVoicesFours(terms, count, outL, outR, 0, n), n);
}

__attribute__((target("avx2"))) void MixVoicesAvx2(const TVoiceTerm* terms, std::int32_t count, float* outL,
                                                   float* outR, std::int32_t n) {
  std::int32_t k = 0;
  for (; k + 8 <= n; k += 8) {
    __m256 l = _mm256_loadu_ps(outL + k), r = _mm256_loadu_ps(outR + k);
    for (std::int32_t j = 0; j < count; ++j) {
      const TVoiceTerm& t = terms[j];
      const __m256 a = t.Amp != nullptr ? _mm256_loadu_ps(t.Amp + k) : _mm256_set1_ps(t.Flat);
      l = _mm256_add_ps(l, _mm256_mul_ps(_mm256_loadu_ps(t.Left + k), a));
      r = _mm256_add_ps(r, _mm256_mul_ps(_mm256_loadu_ps(t.Right + k), a));
    }
    _mm256_storeu_ps(outL + k, l);
    _mm256_storeu_ps(outR + k, r);
  }
  MixVoiceFrames(terms, count, outL, outR, MixVoicesFours(terms, count, outL, outR, k, n), n);
}

using TMixVoices = void (*)(const TVoiceTerm*, std::int32_t, float*, float*, std::int32_t);
const TMixVoices MixVoices = CpuFeatures().Avx2 ? &MixVoicesAvx2 : &MixVoicesSse2;

// The amplitude (e1 x e2) x level of frames 0 .. n - 1 into amp.
void AmplitudeRun(const TLevel& e1, const TLevel& e2, const TLevel& level, float* amp, std::int32_t n) {
  std::int32_t k = 0;
  for (; k + 4 <= n; k += 4) _mm_storeu_ps(amp + k, _mm_mul_ps(_mm_mul_ps(e1.Four(k), e2.Four(k)), level.Four(k)));
  for (; k < n; ++k) amp[k] = Amplitude(e1, e2, level, k);
}

// Fades a restarted voice's step out of the mix: the offset between its last
// sample before the restart and its first one after, falling linearly to 0
// over `length` samples; then keeps the voice's last sample for the next
// restart. Runs once per sub-block of a sounding voice.
void Declick(TDSPXVoice& v, const float* left, const float* right, const TLevel& e1, const TLevel& e2,
             const TLevel& level, float* outL, float* outR, std::int32_t n, std::int32_t length) {
  if (n <= 0) return;
  if (v.RestartPending) {
    v.RestartPending = false;
    const float a = Amplitude(e1, e2, level, 0);
    v.DeclickOffset[0] = v.LastOutput[0] - left[0] * a;
    v.DeclickOffset[1] = v.LastOutput[1] - right[0] * a;
    // Nothing to hide when the voice was silent.
    v.DeclickRemaining = std::fabs(v.DeclickOffset[0]) + std::fabs(v.DeclickOffset[1]) > 1e-6f ? length : 0;
  }
  const float a = Amplitude(e1, e2, level, n - 1);
  float lastL = left[n - 1] * a;
  float lastR = right[n - 1] * a;
  if (v.DeclickRemaining > 0) {
    const float step = 1.0f / static_cast<float>(length);
    const std::int32_t count = std::min(n, v.DeclickRemaining);
    for (std::int32_t k = 0; k < count; ++k) {
      const float w = static_cast<float>(v.DeclickRemaining - k) * step;
      outL[k] += v.DeclickOffset[0] * w;
      outR[k] += v.DeclickOffset[1] * w;
    }
    if (count == n) {
      const float w = static_cast<float>(v.DeclickRemaining - (n - 1)) * step;
      lastL += v.DeclickOffset[0] * w;
      lastR += v.DeclickOffset[1] * w;
    }
    v.DeclickRemaining -= count;
  }
  v.LastOutput[0] = lastL;
  v.LastOutput[1] = lastR;
}

// The steal fade over one sub-block of the voice's left and right signal: a
// raised cosine from 1 to 0 over the fade's length (no corner at either
// end, so the fade adds no tick of its own), then 0.
void StealFade(TDSPXVoice& v, float* left, float* right, std::int32_t n) {
  for (std::int32_t k = 0; k < n; ++k) {
    const float g = FallingCosineGain(v.StealFadeDone + k + 1, v.StealFadeLength);
    left[k] *= g;
    right[k] *= g;
  }
  v.StealFadeDone = std::min(v.StealFadeLength, v.StealFadeDone + n);
}

}  // namespace

// ---- control

// (Inlined into UpdateVoiceControl, where osc is a constant.)
[[gnu::always_inline]] inline void TSamplerPlugin2::UpdateOscillator(TDSPSamplerInstrVoice2& v, int osc, float note,
                                                                     float pe1, float pe2) {
  const TOscSettings& s = OscSet[static_cast<std::size_t>(osc)];
  const std::int32_t amountId = osc == 0 ? osc_param::kOsc1Amount : osc_param::kOsc2Amount;
  const std::int32_t panId = osc == 0 ? osc_param::kOsc1Pan : osc_param::kOsc2Pan;
  const std::int32_t pitchId = osc == 0 ? osc_param::kOsc1Tune : osc_param::kOsc2Tune;
  const std::int32_t scaleId = osc == 0 ? osc_param::kOsc1Scale : osc_param::kOsc2Scale;
  const float l1 = LfoValue(0), l2 = LfoValue(1), l3 = LfoValue(2);

  // Pitch attack from the note's start, pitch release from its note-off.
  const auto age = static_cast<float>(v.Age);
  float a = age < s.AttackLength ? s.AttackStart + (s.AttackEnd - s.AttackStart) * age * s.AttackRecip : s.AttackEnd;
  if (v.State == TDSPXVoice::kReleased) {
    const auto released = static_cast<float>(v.ReleaseTime);
    a += released < s.ReleaseLength ? released * s.ReleaseRecip * s.ReleaseEnd : s.ReleaseEnd;
  }
  const float amount = ModAccum(amountId), pan = ModAccum(panId), tune = ModAccum(pitchId);
  const float voiceTune = ModAccum(osc_param::kVoiceTune), scale = ModAccum(scaleId);
  const float bend = GetPitchBendAmount();
  // Besides the settings (the control generation) these are all the inputs:
  // the same ones as at the voice's last update leave its gains, tuner and
  // pitch as they are.
  if (KeepSettledControl && VoiceControlPlan().Planned) {
    auto bits = [](float x) { return std::bit_cast<std::uint32_t>(x); };
    const std::array<std::uint32_t, 16> inputs = {
        ControlGeneration(), bits(a),   bits(note), bits(pe1),       bits(pe2),   bits(l1),   bits(l2), bits(l3),
        bits(amount),        bits(pan), bits(tune), bits(voiceTune), bits(scale), bits(bend), 0,        0};
    auto& settled = v.SettledOscillators[static_cast<std::size_t>(osc)];
    if (inputs == settled) return;
    settled = inputs;
  } else {
    v.SettledOscillators[static_cast<std::size_t>(osc)][0] = 0;
  }

  // Gain and linear pan.
  const float g = (s.AmountGain + s.AmpLfo[0] * l1 + s.AmpLfo[1] * l2 + s.AmpLfo[2] * l3) * (1.0f + amount);
  const float p = ClampPan((1.0f + pan) * s.PanPosition);
  auto& gain = VoiceMix[MixSlot(v)].Gain[static_cast<std::size_t>(osc)];
  gain[0] = (1.0f - p) * g;
  gain[1] = p * g;

  // The tuner adds the oscillator's Tune and Finetune.
  TDSPDiatonicTune1& tuner = osc == 0 ? v.Tuner1 : v.Tuner2;
  tuner.InputSample = note + tune + voiceTune + a + Kwp().TuneOffset;
  tuner.OutputSample = tuner.Step(tuner.InputSample);

  const float m = l1 * s.PitchLfo[0] + l2 * s.PitchLfo[1] + l3 * s.PitchLfo[2];
  float pitch = tuner.OutputSample + bend + pe1 * s.PitchEnv[0] + pe2 * s.PitchEnv[1];
  // Key scaling around note 64: ScaleTune 100 and root key 64 leave the
  // pitch as it is, ScaleTune 0 plays every key at the root key.
  pitch = (1.0f + scale) * s.ScaleFactor * (pitch - 64.0f) + s.RootKey;
  (osc == 0 ? v.Player1() : v.Player2()).SetPitch(ModulatedPitch(pitch, m));
}

void TSamplerPlugin2::UpdateVoiceControl(TDSPSamplerInstrVoice2& v) {
  const std::int32_t spms = Settings->SamplesPerMs;
  if (v.ControlCounter != -1) {
    AdvanceCounter(v.Age, spms);
    v.Env1.Retrigger(v.Age);
    v.Env2.Retrigger(v.Age);
  }
  UpdateVoiceLevels(v);

  const TKwpValues& kv = Kwp();
  // The pitch envelopes are 0 while their envelope sits at sustain.
  const float pe1 = v.Env1.OutputSample - v.Env1.Sustain * v.Env1.OutputScale;
  const float pe2 = v.Env2.OutputSample - v.Env2.Sustain * v.Env2.OutputScale;
  const auto note = static_cast<float>(v.Note);
  // The glide's pitch where this control period ends: a glide shorter than
  // the period is done at once instead of holding the previous note's pitch
  // for a whole period at the start of the new one.
  const auto reached = static_cast<float>(v.Age) + static_cast<float>(spms);
  const float n =
      reached < kv.GlideSamples ? v.GlideStartPitch + (note - v.GlideStartPitch) * reached * kv.GlideReciprocal : note;
  UpdateOscillator(v, 0, n, pe1, pe2);
  UpdateOscillator(v, 1, n, pe1, pe2);
  if (v.State == TDSPXVoice::kReleased) AdvanceCounter(v.ReleaseTime, spms);
  v.LastNote = note;

  UpdateVoiceFilters(v);

  // The level signal: the sequencers' gains (those that are on) times the
  // master gain, in the first sequencer's buffer; without a sequencer on,
  // the master gain alone.
  float* level = v.Seq1.OutBuffer;
  const float* seq2 = v.Seq2.OutBuffer;
  const float master = kv.GainLevel;
  TVoiceMix& mix = VoiceMix[MixSlot(v)];
  mix.LevelFlat = true;
  mix.FlatLevel = 1.0f;
  if (level != nullptr) {
    const bool on1 = v.Seq1.Power();
    const bool on2 = v.Seq2.Power() && seq2 != nullptr;
    mix.LevelFlat = !on1 && !on2;
    if (on1 && on2) {
      for (std::int32_t k = 0; k < spms; ++k) level[k] = (level[k] + seq2[k]) * master;
    } else if (on1) {
      for (std::int32_t k = 0; k < spms; ++k) level[k] *= master;
    } else if (on2) {
      for (std::int32_t k = 0; k < spms; ++k) level[k] = seq2[k] * master;
    } else {
      mix.FlatLevel = master;
    }
  }
  v.ControlCounter = 0;
}

// ---- rendering

void TSamplerPlugin2::RenderVoices() {
  ApplyVoiceCount();
  ApplyPendingPatches();
  // The LFOs the oscillators read (either oscillator: osc 2's pitch is kept
  // up to date while it is silent).
  std::array<bool, kKwpLfoCount> lfoRead{};
  for (std::size_t k = 0; k < kKwpLfoCount; ++k)
    for (const TOscSettings& s : OscSet) lfoRead[k] = lfoRead[k] || s.AmpLfo[k] != 0.0f || s.PitchLfo[k] != 0.0f;
  PlanVoiceControl(lfoRead);

  BlockHasSignal = false;
  const std::int32_t block = Settings->BlockSize;
  if (float* out = GetOutputBuffer()) std::fill_n(out, Settings->StereoLength, 0.0f);
  std::fill_n(MixLeft(), block, 0.0f);
  std::fill_n(MixRight(), block, 0.0f);

  if ((ActiveVoiceCount() > 0 || FadingTailCount() > 0) && Work[0]) {
    // The slots' voices and the tails, by index.
    TDSPSamplerInstrVoice2* sounding[kMaxVoiceObjects];
    std::int32_t count = 0;
    for (TDSPSamplerInstrVoice2* v : InstrVoices) {
      if (v == nullptr || v->State == TDSPXVoice::kFree) continue;
      BlockHasSignal = true;
      sounding[count++] = v;
    }
    // The voices go through the block together, sub-block by sub-block, so
    // their filters run side by side. That reorders the voices' control
    // updates against each other, which only the matrix's random source
    // could hear (its draws are shared): with it, one voice after another.
    if (count > 1 && VoicesSideBySide && VoiceWork && !MatrixDrawsRandom()) {
      RenderVoicesTogether(sounding, count);
    } else {
      for (std::int32_t j = 0; j < count; ++j) RenderVoice(*sounding[j]);
    }
  }
  EndVoiceControlPlan();
  ProcessFX();
}

void TSamplerPlugin2::BeginVoiceBlock(TDSPSamplerInstrVoice2& v, TVoiceRun& run, float* const* work) {
  if (v.ControlCounter == -1) UpdateVoiceControl(v);
  // Both players render the whole block; osc 2 only while it is audible, at
  // the rate their zones' images ask for.
  v.Player1().KeepSettledZones = v.Player2().KeepSettledZones = KeepSettledControl;
  v.Player1().BeginBlock();
  if (Osc2Audible) v.Player2().BeginBlock();
  v.ChoosePlayerRate(Osc2Audible);
  v.Player1().RenderBlock();
  run.S1 = v.Player1().Output();
  run.S2 = nullptr;
  if (Osc2Audible) {
    v.Player2().RenderBlock();
    run.S2 = v.Player2().Output();
  }
  run.E1 = v.Env1.OutBuffer != nullptr ? v.Env1.OutBuffer : work[0];
  run.E2 = v.Env2.OutBuffer != nullptr ? v.Env2.OutBuffer : work[1];
  run.Left = work[2];
  run.Right = work[3];
  run.Curve1 = Env1CurveLaw();
  run.Curve2 = Env2CurveLaw();
  run.CurveRun1 = Env1CurveRun();
  run.CurveRun2 = Env2CurveRun();
  // Each attack follows the inverse of its law: the amplitude after the law
  // rises linearly.
  v.Env1.AttackShape = Env1AttackShape();
  v.Env2.AttackShape = Env2AttackShape();
}

void TSamplerPlugin2::VoiceSubBlockGains(TDSPSamplerInstrVoice2& v, TVoiceRun& run, std::int32_t n) {
  const std::int32_t m = Settings->SamplesPerMs;
  const TKwpValues& kv = Kwp();
  if (v.ControlCounter >= m) UpdateVoiceControl(v);
  v.ControlCounter += m;

  // The envelopes' levels; envelope 2 waits for its delay (the voice's age).
  v.Env1.OutputScale = 1.0f;
  v.Env2.OutputScale = 1.0f;
  RunEnvelopeLevels(v.Env1, true, run.E1, n, run.Env1);
  RunEnvelopeLevels(v.Env2, v.Age >= kv.Env2DelaySamples, run.E2, n, run.Env2);
  const float e1 = run.Env1.Output;
  const float e2 = run.Env2.Output;

  // The oscillators' gains, each following its envelopes: one gain for the
  // sub-block while the envelopes it follows hold still, otherwise sample
  // by sample (a gain stepped once per millisecond would put a click into
  // every millisecond of an attack, a decay or a release): then Left holds
  // oscillator 1's envelope gain per sample and Right oscillator 2's, and
  // the mix multiplies them in.
  const TOscSettings& o1 = OscSet[0];
  const TOscSettings& o2 = OscSet[1];
  const auto& gain = VoiceMix[MixSlot(v)].Gain;
  const bool osc2 = run.S2 != nullptr;
  const bool follows1 = o1.Env1Gain != 0.0f || (osc2 && o2.Env1Gain != 0.0f);
  const bool follows2 = o1.Env2Gain != 0.0f || (osc2 && o2.Env2Gain != 0.0f);
  TDSPSamplerInstrVoice2::TPlayerMix& mix = run.Mix;
  mix.A = run.S1;
  mix.B = run.S2;
  mix.Left = run.Left;
  mix.Right = run.Right;
  if ((run.Env1.Flat || !follows1) && (run.Env2.Flat || !follows2)) {
    const float a1 = o1.Env1Gain * e1 + o1.Env2Gain * e2;
    const float a2 = o2.Env1Gain * e1 + o2.Env2Gain * e2;
    mix.ALeft = a1 * gain[0][0];
    mix.ARight = a1 * gain[0][1];
    mix.BLeft = a2 * gain[1][0];
    mix.BRight = a2 * gain[1][1];
    mix.AGain = mix.BGain = nullptr;
  } else {
    const TLevel l1{run.Env1.Flat ? nullptr : run.E1, e1};
    const TLevel l2{run.Env2.Flat ? nullptr : run.E2, e2};
    const __m128 g11 = _mm_set1_ps(o1.Env1Gain), g12 = _mm_set1_ps(o1.Env2Gain);
    const __m128 g21 = _mm_set1_ps(o2.Env1Gain), g22 = _mm_set1_ps(o2.Env2Gain);
    std::int32_t k = 0;
    for (; k + 4 <= n; k += 4) {
      const __m128 a = l1.Four(k), b = l2.Four(k);
      _mm_storeu_ps(run.Left + k, _mm_add_ps(_mm_mul_ps(g11, a), _mm_mul_ps(g12, b)));
      if (osc2) _mm_storeu_ps(run.Right + k, _mm_add_ps(_mm_mul_ps(g21, a), _mm_mul_ps(g22, b)));
    }
    for (; k < n; ++k) {
      run.Left[k] = o1.Env1Gain * l1.At(k) + o1.Env2Gain * l2.At(k);
      run.Right[k] = o2.Env1Gain * l1.At(k) + o2.Env2Gain * l2.At(k);
    }
    mix.ALeft = gain[0][0];
    mix.ARight = gain[0][1];
    mix.BLeft = gain[1][0];
    mix.BRight = gain[1][1];
    mix.AGain = run.Left;
    mix.BGain = run.Right;
  }
}

void TSamplerPlugin2::VoiceSubBlockFront(TDSPSamplerInstrVoice2* const* voices, TVoiceRun* runs, std::int32_t count,
                                         std::int32_t p, std::int32_t n) {
  using TRate = TDSPSamplerInstrVoice2::TPlayerRate;
  for (std::int32_t j = 0; j < count; ++j) VoiceSubBlockGains(*voices[j], runs[j], n);
  // The oscillators into the voices' left and right buffers. Doubled: the
  // players' mix halved, two voices at a time (their filters side by side
  // in one register). At the voice's rate: the players' frames as they are.
  // Changing between the two: the doubled players' every other frame, which
  // is what the voice's rate plays, against the filter's output.
  const std::int32_t block = Settings->BlockSize;
  float* plainL = Work[4].get();
  float* plainR = Work[5].get();
  TDSPSamplerInstrVoice2* pending = nullptr;
  const TDSPSamplerInstrVoice2::TPlayerMix* pendingMix = nullptr;
  for (std::int32_t j = 0; j < count; ++j) {
    TDSPSamplerInstrVoice2& v = *voices[j];
    const TDSPSamplerInstrVoice2::TPlayerMix& mix = runs[j].Mix;
    switch (v.PlayerRate()) {
      case TRate::Voice:
        SplitMix<2>(mix, mix.Left, mix.Right, n);
        break;
      case TRate::Doubled:
        if (pending != nullptr) {
          TDSPSamplerInstrVoice2::MixPlayersDown(*pending, *pendingMix, v, mix, n);
          pending = nullptr;
        } else {
          pending = &v;
          pendingMix = &mix;
        }
        break;
      case TRate::Warming: {
        TDSPSamplerInstrVoice2::TPlayerMix warm = mix;
        warm.Left = plainL;
        warm.Right = plainR;
        v.MixPlayersDown(warm, n);
        SplitMix<4>(mix, mix.Left, mix.Right, n);
        break;
      }
      case TRate::Rising:
      case TRate::Falling:
        SplitMix<4>(mix, plainL, plainR, n);
        v.MixPlayersDown(mix, n);
        if (v.PlayerRate() == TRate::Rising) {
          FadeFrom(plainL, mix.Left, p, block, n);
          FadeFrom(plainR, mix.Right, p, block, n);
        } else {
          FadeFrom(mix.Left, plainL, p, block, n);
          FadeFrom(mix.Right, plainR, p, block, n);
          std::copy_n(plainL, n, mix.Left);
          std::copy_n(plainR, n, mix.Right);
        }
        break;
    }
  }
  if (pending != nullptr) pending->MixPlayersDown(*pendingMix, n);
  const TKwpValues& kv = Kwp();
  for (std::int32_t j = 0; j < count; ++j) {
    TVoiceRun& run = runs[j];
    // The players' interleaved stereo floats per voice frame.
    const std::int32_t stride = voices[j]->PlayerFloatsPerFrame();
    run.S1 += stride * n;
    if (run.S2 != nullptr) run.S2 += stride * n;
    // The levels into the amplitude factors the mix applies.
    ApplyAmpLaw(run.Env1, run.Curve1, run.CurveRun1, kv.AmpToEnv[0], run.E1, n);
    ApplyAmpLaw(run.Env2, run.Curve2, run.CurveRun2, kv.AmpToEnv[1], run.E2, n);
    // The shaper before the filters.
    if (kv.ShaperOn) ShapeRoute(*voices[j], kv, 0, run.Left, run.Right, n);
  }
}

void TSamplerPlugin2::VoiceSubBlockBack(TDSPSamplerInstrVoice2& v, TVoiceRun& run, std::int32_t p, std::int32_t n) {
  // The amplitude envelopes' factors and the level signal into the mix.
  const TVoiceMix& voiceMix = VoiceMix[MixSlot(v)];
  TLevel level;
  level.Signal = voiceMix.LevelFlat ? nullptr : v.Seq1.OutBuffer;
  level.Flat = voiceMix.FlatLevel;
  float* outL = MixLeft() + p;
  float* outR = MixRight() + p;
  const std::int32_t declick = kDeclickMs * Settings->SamplesPerMs;
  const TLevel e1{run.Env1.Flat ? nullptr : run.E1, run.Env1.Factor};
  const TLevel e2{run.Env2.Flat ? nullptr : run.E2, run.Env2.Factor};
  if (v.StealFadeLength > 0) StealFade(v, run.Left, run.Right, n);
  MixVoice(run.Left, run.Right, e1, e2, level, outL, outR, n);
  Declick(v, run.Left, run.Right, e1, e2, level, outL, outR, n, declick);
}

void TSamplerPlugin2::VoicesSubBlockBack(TDSPSamplerInstrVoice2* const* voices, TVoiceRun* runs, std::int32_t count,
                                         std::int32_t p, std::int32_t n) {
  // A voice that fades a restart adds the fade between its own mix and the
  // next voice's, and one that fades for a steal scales its signal first:
  // one voice after another then.
  bool fading = n > kMaxLaneSamples;
  for (std::int32_t j = 0; j < count && !fading; ++j)
    fading = voices[j]->RestartPending || voices[j]->DeclickRemaining > 0 || voices[j]->StealFadeLength > 0;
  if (fading || n <= 0) {
    for (std::int32_t j = 0; j < count; ++j) VoiceSubBlockBack(*voices[j], runs[j], p, n);
    return;
  }
  alignas(32) float amp[kMaxVoiceObjects][kMaxLaneSamples];
  TVoiceTerm terms[kMaxVoiceObjects];
  for (std::int32_t j = 0; j < count; ++j) {
    TDSPSamplerInstrVoice2& v = *voices[j];
    const TVoiceRun& run = runs[j];
    const TVoiceMix& voiceMix = VoiceMix[MixSlot(v)];
    const TLevel level{voiceMix.LevelFlat ? nullptr : v.Seq1.OutBuffer, voiceMix.FlatLevel};
    const TLevel e1{run.Env1.Flat ? nullptr : run.E1, run.Env1.Factor};
    const TLevel e2{run.Env2.Flat ? nullptr : run.E2, run.Env2.Factor};
    TVoiceTerm& t = terms[j];
    t.Left = run.Left;
    t.Right = run.Right;
    t.Amp = nullptr;
    t.Flat = 0.0f;
    float last;
    if (e1.Signal == nullptr && e2.Signal == nullptr && level.Signal == nullptr) {
      t.Flat = Amplitude(e1, e2, level, 0);
      last = t.Flat;
    } else {
      AmplitudeRun(e1, e2, level, amp[j], n);
      t.Amp = amp[j];
      last = amp[j][n - 1];
    }
    // What Declick keeps of a voice that fades nothing.
    v.LastOutput[0] = run.Left[n - 1] * last;
    v.LastOutput[1] = run.Right[n - 1] * last;
  }
  MixVoices(terms, count, MixLeft() + p, MixRight() + p, n);
}

void TSamplerPlugin2::FilterBlock(TDSPSamplerInstrVoice2* const* voices, TVoiceRun* runs, std::int32_t count, int b,
                                  std::int32_t n) {
  TDSPFilter* filters[2 * kMaxVoiceObjects];
  float* buffers[2 * kMaxVoiceObjects];
  for (std::int32_t j = 0; j < count; ++j) {
    auto& block = b == 0 ? voices[j]->Filter1 : voices[j]->Filter2;
    filters[2 * j] = &block[0].Filter();
    filters[2 * j + 1] = &block[1].Filter();
    buffers[2 * j] = runs[j].Left;
    buffers[2 * j + 1] = runs[j].Right;
  }
  ProcessFiltersTogether(filters, buffers, 2 * count, n);
}

void TSamplerPlugin2::RenderVoice(TDSPSamplerInstrVoice2& v) {
  const std::int32_t block = Settings->BlockSize;
  const std::int32_t m = Settings->SamplesPerMs;
  const TKwpValues& kv = Kwp();
  TVoiceRun run;
  TDSPSamplerInstrVoice2* voice[1] = {&v};
  float* work[4] = {Work[0].get(), Work[1].get(), Work[2].get(), Work[3].get()};
  BeginVoiceBlock(v, run, work);
  for (std::int32_t p = 0; p < block; p += m) {
    const std::int32_t n = std::min(m, block - p);
    VoiceSubBlockFront(voice, &run, 1, p, n);
    // Filter block 1, the shaper after, filter block 2.
    if (kv.FilterOn[0]) FilterBlock(voice, &run, 1, 0, n);
    if (kv.ShaperOn) ShapeRoute(v, kv, 1, run.Left, run.Right, n);
    if (kv.FilterOn[1]) FilterBlock(voice, &run, 1, 1, n);
    VoiceSubBlockBack(v, run, p, n);
  }
  EndVoiceBlock(v);
}

void TSamplerPlugin2::EndVoiceBlock(TDSPSamplerInstrVoice2& v) {
  // A steal fade that is done: a tail is free, a pending note starts with
  // the next block.
  if (v.StealFadeLength > 0 && v.StealFadeDone >= v.StealFadeLength) StealFadeEnded(v);
  else if (v.Env1.Finished && v.Env2.Finished) VoiceFinished(v);
}

void TSamplerPlugin2::RenderVoicesTogether(TDSPSamplerInstrVoice2* const* voices, std::int32_t count) {
  const std::int32_t block = Settings->BlockSize;
  const std::int32_t m = Settings->SamplesPerMs;
  const TKwpValues& kv = Kwp();
  TVoiceRun runs[kMaxVoiceObjects];
  // Each voice in its own scratch; the mix adds them in voice order, as one
  // voice after another does.
  for (std::int32_t j = 0; j < count; ++j) {
    float* work[4];
    for (std::size_t k = 0; k < 4; ++k)
      work[k] = VoiceWork.get() + (static_cast<std::size_t>(j) * 4 + k) * static_cast<std::size_t>(VoiceWorkStride);
    BeginVoiceBlock(*voices[j], runs[j], work);
  }
  for (std::int32_t p = 0; p < block; p += m) {
    const std::int32_t n = std::min(m, block - p);
    VoiceSubBlockFront(voices, runs, count, p, n);
    if (kv.FilterOn[0]) FilterBlock(voices, runs, count, 0, n);
    if (kv.ShaperOn)
      for (std::int32_t j = 0; j < count; ++j) ShapeRoute(*voices[j], kv, 1, runs[j].Left, runs[j].Right, n);
    if (kv.FilterOn[1]) FilterBlock(voices, runs, count, 1, n);
    VoicesSubBlockBack(voices, runs, count, p, n);
  }
  for (std::int32_t j = 0; j < count; ++j) EndVoiceBlock(*voices[j]);
}
