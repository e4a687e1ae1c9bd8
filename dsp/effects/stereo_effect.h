// Base of the seven stereo effects of the effects rack: the wet/dry mix, the
// pan and polarity of the wet signal, the wet and dry gains, the host tempo
// for lengths given in ticks, and the enabled switch the rack reads. They
// become four output coefficients:
//   left  = wet_left  * LeftWetOut  + dry_left  * LeftDryOut
//   right = wet_right * RightWetOut + dry_right * RightDryOut
// where LeftWetOut = pan * (invert ? -1 : 1) * wet gain * 2 * mix and
// LeftDryOut = (1 - mix) * dry gain (the right side with 1 - pan).
//
// Processing: the rack calls ProcessStereo once per one-millisecond sub-block
// (Settings->SamplesPerMs samples) with separate left and right buffers,
// which the effect overwrites in place. The effect's settings are the
// plug-in's record (BlockSize = SamplesPerMs); an effect processes nothing
// while its buffers are released.
//
// Threads: ProcessStereo runs on the audio thread, which holds its
// plug-in's lock for the whole block; no effect takes a lock itself. The plain coefficient setters (mix, pan,
// gains, inverts, feedbacks, ...) are single stores followed by a
// recomputation: the caller runs them under its plug-in's lock or on the
// audio thread (as the rack's parameter dispatch and modulation do). Setters
// that change line lengths, stage counts or tap layouts take no lock either:
// their caller holds its plug-in's lock; those that allocate (reverb network
// and pre-delay, buffers on a settings change) are built outside the lock
// and swapped in under it (prepared changes), and the old memory is freed
// after the lock is released.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>

#include "dsp/effects/line_pair.h"
#include "framework/modules/dsp_control.h"

// Denormal offsets step through the first part of the anti-denormal table;
// a sub-block never reads past it.
inline constexpr std::int32_t kDenormalOffsetWrap = 4096;
// The longest sub-block an effect processes (SamplesPerMs at 8.192 MHz);
// longer ones are cut, so no effect reads past the constant buffers.
inline constexpr std::int32_t kMaxSubBlock = 8192;

// +120 dBFS. No state of a stable loop comes near it: a feedback state that
// reaches it, or is not finite, is a runaway and starts again from silence.
inline constexpr float kRunawayLimit = 1.0e6f;

// x when it is finite and below the runaway limit, otherwise 0 (and `bad`
// is set). Branch-free, for per-sample feedback paths.
inline float KeepBounded(float x, bool& bad) {
  const bool ok = std::fabs(x) < kRunawayLimit;
  bad |= !ok;
  return ok ? x : 0.0f;
}

// x when it is finite, otherwise 0. Branch-free.
inline float FiniteOrZero(float x) { return x - x == 0.0f ? x : 0.0f; }

// True when any of the n samples is not finite or reaches the runaway
// limit; such a buffer is zeroed. The filters that effects run are stable
// for fixed settings, but settings that jump every millisecond can drive a
// recursion beyond any bound: the effect then resets them.
bool SilenceRunaway(float* buffer, std::int32_t n);

// out[i] := FiniteOrZero(x[i] + noise[i]) for n samples (out may be x).
void AddNoiseFinite(const float* x, const float* noise, float* out, std::int32_t n);
// out[i] := wet[i] x w + dry[i] x d (+ noise[i] when noise is not null)
// for n samples; out may be wet or dry.
void MixWetDry(const float* wet, const float* dry, const float* noise, float w, float d, float* out, std::int32_t n);

// A count of samples from a float, rounded to nearest even and clamped to
// lo..hi in the float domain first (so huge or non-finite values never reach
// the integer conversion; NaN gives lo).
std::int32_t SampleCount(float samples, std::int32_t lo, std::int32_t hi);

class TDSPStereoEffect : public TDSPControl {
 public:
  TDSPStereoEffect();
  ~TDSPStereoEffect() override;

  // One sub-block of SubBlockLength() samples in place. Audio thread, under
  // its owner's lock.
  virtual void ProcessStereo(float* left, float* right) = 0;
  // Zeroes lines and filter memories: ClearSmallState, and every run of
  // line memory VisitLines gives.
  void ClearState();
  // Zeroes what the effect keeps of past input apart from its lines (filter
  // memories and the like: a few floats); the base has none.
  virtual void ClearSmallState() {}
  // Every run of line memory the effect keeps, to the visitor; the base has
  // none. An owner may zero them a part at a time (the rack does, over
  // several blocks) while the effect does not process.
  virtual void VisitLines(TLineVisitor& /*visitor*/) const {}
  // The same runs, in the same order, to an exchange that may put zeroed
  // blocks of the same sizes in their places (the rack swaps in fresh lines
  // built on another thread instead of zeroing megabytes on the audio
  // thread); the base has none. Under the owner's lock, while the effect
  // does not process.
  virtual void ExchangeLines(TLineExchange& /*exchange*/) {}
  // Seeds the effect's random sources (its LFOs' noise waveforms, each at a
  // place of its own); the base has none. Under its owner's lock or on the
  // audio thread.
  virtual void SetRandomSeed(std::uint64_t /*seed*/) {}
  // Ms per tick from the tempo; effects with tick lengths recompute them.
  virtual void UpdateTickLength();
  // How long the effect rings: the samples a signal may take through its
  // longest path of lines (0 for an effect without lines). The rack keeps
  // running this long after its input falls silent. Audio thread, under the
  // owner's lock (lengths change under it).
  virtual std::int64_t TailSamples() const { return 0; }
  // Beats per minute; a changed value recomputes the tick length (a tempo of
  // 0 or less gives 0.0001 ms per tick). Non-finite values are ignored.
  virtual void SetTempo(float bpm);

  // The effects work on blocks only.
  void Tick() override {}
  // Recomputes the four output coefficients.
  void Update() override;
  // Wet buffers for the new settings (built, then swapped in under the lock).
  void ReallocBuffers() override;
  // Frees the wet buffers (under the lock); processing then does nothing.
  void ReleaseBuffers() override;

  // Setters: a non-finite value is ignored; a changed value is clamped,
  // stored and the coefficients recomputed at once.
  void SetMix(float value);      // wet share, 0..1
  void SetPan(float value);      // wet balance, 0..1: left weight pan, right 1 - pan
  void SetWetGain(float value);  // amplitude, -32..32
  void SetDryGain(float value);  // amplitude, -32..32
  void SetInvertLeft(bool on);   // negate the left wet signal
  void SetInvertRight(bool on);  // negate the right wet signal
  // 1: lengths in ticks (120 per quarter note), 0: milliseconds. Lengths are
  // recomputed at once.
  void SetLengthUnit(std::uint8_t unit);

  // The rack's per-effect switch (read by the rack before each sub-block).
  void SetEnabled(bool on) { Enabled.store(on, std::memory_order_relaxed); }
  bool IsEnabled() const { return Enabled.load(std::memory_order_relaxed); }

  float GetTempo() const { return Tempo; }
  float GetMsPerTick() const { return MsPerTick; }
  std::uint8_t GetLengthUnit() const { return LengthUnit; }
  float GetMix() const { return Mix; }
  float GetPan() const { return Pan; }
  float GetWetGain() const { return WetGain; }
  float GetDryGain() const { return DryGain; }
  bool GetInvertLeft() const { return InvertLeft; }
  bool GetInvertRight() const { return InvertRight; }
  float GetWetLeft() const { return WetLeft; }
  float GetWetRight() const { return WetRight; }
  float GetLeftWetOut() const { return LeftWetOut; }
  float GetLeftDryOut() const { return LeftDryOut; }
  float GetRightWetOut() const { return RightWetOut; }
  float GetRightDryOut() const { return RightDryOut; }

  // Samples per sub-block: SamplesPerMs, 0 while the buffers are released.
  std::int32_t SubBlockLength() const;

 protected:
  // The anti-denormal noise for a sub-block of n samples: this instance's
  // element offset into the shared table, advanced by n and wrapped.
  const float* NextDenormalNoise(std::int32_t n);
  // Base coefficients only (the non-virtual part of Update).
  void UpdateCoefficients();
  void ComputeMsPerTick();
  // Milliseconds of a length in the current unit.
  float LengthMs(float length) const { return LengthUnit == 1 ? length * MsPerTick : length; }
  // Samples of a length in the current unit: a tick lasts its real time at
  // the sample rate (tick lengths follow the host's tempo), a millisecond
  // the samples of one control block (rate div 1000), as everywhere else.
  double LengthSamples(double length) const;
  float* WetBufferLeft() const { return WetLeftBuffer.get(); }
  float* WetBufferRight() const { return WetRightBuffer.get(); }
  // Floats per wet buffer for the current settings.
  std::int32_t BufferFloats() const;

  float Tempo = 120.0f;
  float MsPerTick = 5.0f;
  std::uint8_t LengthUnit = 0;
  float Mix = 0.4f;
  float WetLeft = 0;
  float WetRight = 0;
  float Pan = 0.4f;
  float LeftWetOut = 0;
  float LeftDryOut = 0;
  float RightWetOut = 0;
  float RightDryOut = 0;
  bool InvertLeft = false;
  bool InvertRight = false;
  float WetGain = 0.6f;
  float DryGain = 1.0f;

 private:
  std::unique_ptr<float[]> WetLeftBuffer;
  std::unique_ptr<float[]> WetRightBuffer;
  std::int32_t WetCapacity = 0;
  // Element index into DenormalNoiseBuffer; per instance (effects on two
  // plug-in instances never share it).
  std::int32_t DenormalOffset = 0;
  std::atomic<bool> Enabled{true};
};
