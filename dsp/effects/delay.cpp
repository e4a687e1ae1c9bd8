#include "dsp/effects/delay.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>

TDSPXDelay::TDSPXDelay() {
  LengthUnit = 1;
  TDSPXDelay::ReallocBuffers();
  TDSPXDelay::Update();
}

TDSPXDelay::~TDSPXDelay() = default;

void TDSPXDelay::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  FilterLeft.SetAudioSettings(Settings);
  FilterRight.SetAudioSettings(Settings);
  Update();
}

void TDSPXDelay::ReallocBuffers() {
  TDSPStereoEffect::ReallocBuffers();
  Lines.Allocate(std::max(2, kCapacityMs * Settings->SamplesPerMs), [this] { UpdateLineLengths(); });
}

void TDSPXDelay::ReleaseBuffers() {
  TDSPStereoEffect::ReleaseBuffers();
  Lines.Release();
}

void TDSPXDelay::ClearSmallState() {
  FilterLeft.Filter().Reset();
  FilterRight.Filter().Reset();
}

void TDSPXDelay::UpdateLineLengths() {
  const std::int32_t longest = std::max(1, Lines.Size() - 1);
  for (std::size_t s = 0; s < 2; ++s) {
    LineLength[s] = SampleCount(static_cast<float>(LengthSamples(Length[s])), 1, longest);
    if (WritePosition[s] >= LineLength[s]) WritePosition[s] = 0;
  }
}

void TDSPXDelay::Update() {
  TDSPStereoEffect::Update();
  UpdateLineLengths();
}

void TDSPXDelay::UpdateTickLength() {
  TDSPStereoEffect::UpdateTickLength();
  Update();
}

void TDSPXDelay::SetLengthLeft(std::int32_t length) {
  if (length == Length[0]) return;
  Length[0] = length;
  Update();
}

void TDSPXDelay::SetLengthRight(std::int32_t length) {
  if (length == Length[1]) return;
  Length[1] = length;
  Update();
}

void TDSPXDelay::SetCrossLeftToRight(float value) {
  if (!std::isfinite(value) || value == CrossLeftToRight) return;
  CrossLeftToRight = value;
  Update();
}

void TDSPXDelay::SetCrossRightToLeft(float value) {
  if (!std::isfinite(value) || value == CrossRightToLeft) return;
  CrossRightToLeft = value;
  Update();
}

void TDSPXDelay::SetFeedbackLeft(float value) {
  if (std::isfinite(value)) FeedbackLeft = value;
}

void TDSPXDelay::SetFeedbackRight(float value) {
  if (std::isfinite(value)) FeedbackRight = value;
}

namespace {

struct TDelayCoefficients {
  float FbL, FbR, CrossLR, CrossRL, Lw, Ld, Rw, Rd;
};

// The unfiltered loop over n samples in which neither line wraps, as the
// per-sample loop computes it; true when a line value was out of bounds.
bool DelayRun(const TDelayCoefficients& k, float* lineL, float* lineR, float* left, float* right, const float* noise,
              std::int32_t n) {
  const __m128 fbL = _mm_set1_ps(k.FbL), fbR = _mm_set1_ps(k.FbR);
  const __m128 crossLR = _mm_set1_ps(k.CrossLR), crossRL = _mm_set1_ps(k.CrossRL);
  const __m128 lw = _mm_set1_ps(k.Lw), ld = _mm_set1_ps(k.Ld), rw = _mm_set1_ps(k.Rw), rd = _mm_set1_ps(k.Rd);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 limit = _mm_set1_ps(kRunawayLimit);
  __m128 good = _mm_castsi128_ps(_mm_set1_epi32(-1));
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 z = _mm_loadu_ps(noise + i);
    const __m128 xL = _mm_add_ps(_mm_loadu_ps(left + i), z);
    const __m128 xR = _mm_add_ps(_mm_loadu_ps(right + i), z);
    const __m128 dL = _mm_loadu_ps(lineL + i);
    const __m128 dR = _mm_loadu_ps(lineR + i);
    const __m128 fL = _mm_mul_ps(_mm_add_ps(dL, xL), fbL);
    const __m128 fR = _mm_mul_ps(_mm_add_ps(dR, xR), fbR);
    _mm_storeu_ps(left + i, _mm_add_ps(_mm_mul_ps(xL, ld), _mm_mul_ps(dL, lw)));
    _mm_storeu_ps(right + i, _mm_add_ps(_mm_mul_ps(xR, rd), _mm_mul_ps(dR, rw)));
    const __m128 nL = _mm_add_ps(_mm_mul_ps(fR, crossRL), fL);
    const __m128 nR = _mm_add_ps(_mm_mul_ps(fL, crossLR), fR);
    // In bounds: |x| < limit (false for NaN); otherwise 0.
    const __m128 okL = _mm_cmplt_ps(_mm_and_ps(nL, magnitude), limit);
    const __m128 okR = _mm_cmplt_ps(_mm_and_ps(nR, magnitude), limit);
    good = _mm_and_ps(good, _mm_and_ps(okL, okR));
    _mm_storeu_ps(lineL + i, _mm_and_ps(okL, nL));
    _mm_storeu_ps(lineR + i, _mm_and_ps(okR, nR));
  }
  bool bad = _mm_movemask_ps(good) != 0xF;
  for (; i < n; ++i) {
    const float xL = left[i] + noise[i];
    const float xR = right[i] + noise[i];
    const float dL = lineL[i];
    const float dR = lineR[i];
    const float fL = (dL + xL) * k.FbL;
    const float fR = (dR + xR) * k.FbR;
    left[i] = xL * k.Ld + dL * k.Lw;
    right[i] = xR * k.Rd + dR * k.Rw;
    lineL[i] = KeepBounded(fR * k.CrossRL + fL, bad);
    lineR[i] = KeepBounded(fL * k.CrossLR + fR, bad);
  }
  return bad;
}

}  // namespace

template <bool FilterL, bool FilterR>
void TDSPXDelay::Run(float* left, float* right, const float* noise, std::int32_t n) {
  float* lineL = Lines.Line(0);
  float* lineR = Lines.Line(1);
  const std::int32_t lenL = LineLength[0], lenR = LineLength[1];
  std::int32_t wL = WritePosition[0], wR = WritePosition[1];
  const float fbL = FeedbackLeft, fbR = FeedbackRight;
  const float crossLR = CrossLeftToRight, crossRL = CrossRightToLeft;
  const float lw = LeftWetOut, ld = LeftDryOut, rw = RightWetOut, rd = RightDryOut;
  bool bad = false;
  if constexpr (!FilterL && !FilterR) {
    if (lenL >= n && lenR >= n) {
      // Each line reads only what earlier sub-blocks wrote: runs up to the
      // next wrap point, four samples per register.
      const TDelayCoefficients k{fbL, fbR, crossLR, crossRL, lw, ld, rw, rd};
      for (std::int32_t done = 0; done < n;) {
        const std::int32_t m = std::min({n - done, lenL - wL, lenR - wR});
        bad |= DelayRun(k, lineL + wL, lineR + wR, left + done, right + done, noise + done, m);
        done += m;
        if ((wL += m) == lenL) wL = 0;
        if ((wR += m) == lenR) wR = 0;
      }
      WritePosition[0] = wL;
      WritePosition[1] = wR;
      if (bad) ClearState();
      return;
    }
  }
  for (std::int32_t i = 0; i < n; ++i) {
    const float xL = left[i] + noise[i];
    const float xR = right[i] + noise[i];
    const float dL = lineL[wL];
    float fL = (dL + xL) * fbL;
    left[i] = xL * ld + dL * lw;
    const float dR = lineR[wR];
    float fR = (dR + xR) * fbR;
    right[i] = xR * rd + dR * rw;
    if constexpr (FilterL) fL = FilterLeft.ProcessSample(fL);
    if constexpr (FilterR) fR = FilterRight.ProcessSample(fR);
    lineL[wL] = KeepBounded(fR * crossRL + fL, bad);
    lineR[wR] = KeepBounded(fL * crossLR + fR, bad);
    if (++wL >= lenL) wL = 0;
    if (++wR >= lenR) wR = 0;
  }
  WritePosition[0] = wL;
  WritePosition[1] = wR;
  // A runaway loop (feedback plus cross-feedback above 1), or a filter that
  // went non-finite, restarts from silence.
  if (bad) ClearState();
}

void TDSPXDelay::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (!Lines.IsAllocated() || n <= 0) return;
  const float* noise = NextDenormalNoise(n);
  if (FilterLeftOn) {
    if (FilterRightOn) Run<true, true>(left, right, noise, n);
    else Run<true, false>(left, right, noise, n);
  } else if (FilterRightOn) {
    Run<false, true>(left, right, noise, n);
  } else {
    Run<false, false>(left, right, noise, n);
  }
}
