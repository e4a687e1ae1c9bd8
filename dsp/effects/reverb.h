// The reverb of the effects rack: the mono sum runs through a pre-delay line
// with feedback and two optional tone filters, then per side through eight
// damped feedback combs in parallel and four allpasses in series. Comb and
// allpass lengths come from a room table (or are drawn at random for room
// type 0), scaled by a size factor and by the sample rate; the right side's
// lines are 23 samples (at 44.1 kHz) longer than the left's.
//
// Memory: the largest network (room 1, size 128: 16 combs of about 400000
// samples at 44.1 kHz) takes about 25 MB. A size, room or pre-delay change
// takes the new lengths at once and asks for the lines as a prepared change
// (prepared_change.h): they are allocated and zeroed outside the owner's
// lock and swapped in under it, and the old ones are freed after. Until then
// the reverb plays on with the lines it has. A setter given the value it
// already holds asks for nothing, so re-applying a program does not
// allocate.
//
// Threads: no lock of its own. Setters run under the owner's lock or on the
// audio thread; ProcessStereo on the audio thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "dsp/effects/stereo_effect.h"
#include "dsp/filters/multi_filter.h"
#include "dsp/oscillators/random_source.h"
#include "framework/modules/prepared_change.h"

// The reverb's comb network runs eight combs per AVX register where the CPU
// has AVX2 (chosen once at start-up), otherwise four per SSE one; both give
// the same bits. Tests turn AVX2 off to compare the two; answers whether it
// is in use now. Not while a reverb processes.
bool SetReverbAvx2(bool on);

class TDSPReverbX : public TDSPStereoEffect {
 public:
  static constexpr int kCombCount = 16;     // 0..7 left, 8..15 right
  static constexpr int kAllpassCount = 8;   // 0..3 left, 4..7 right
  static constexpr int kRoomTypeCount = 7;  // 0 random, 1..6 tables

  TDSPReverbX();
  ~TDSPReverbX() override;

  void ProcessStereo(float* left, float* right) override;
  // Zeroes every comb and allpass line, the comb filter states, the tone
  // filters' states and the pre-delay line.
  void ClearSmallState() override;
  void VisitLines(TLineVisitor& visitor) const override;
  // The network's storage (the combs and allpasses follow it) and the
  // pre-delay line.
  void ExchangeLines(TLineExchange& exchange) override;
  // Both tone filters follow the record; the network and the pre-delay line
  // are rebuilt for the new rate.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  void ReallocBuffers() override;
  void ReleaseBuffers() override;

  // Pre-delay 0..127: (50 * v / 127)^2 - 1 ms (127 gives 2499 ms). A delay of
  // one sample or less has no line: the sum feeds the network directly.
  // A changed value rebuilds the line (allocates, swaps under the lock).
  void SetPreDelay(float value);
  // -0.985..0.985, the gain around the pre-delay line. Plain store.
  void SetPreDelayFeedback(float value);
  // 0..127: the comb filters' damping coefficient (1 - v / 127)^2; 0 freezes
  // the comb filters, 127 leaves the feedback undamped. Plain store.
  void SetDamping(float value);
  // 0..128 (0 is read as 64): size factor 10^((v - 64) / 64), the exponent
  // doubled when positive (64 gives 1, 128 gives 100). A changed value
  // rebuilds the network.
  void SetSize(float value);
  // 0 random lengths, 1..6 room tables; 7 and above (and negative values)
  // give 6. A changed value rebuilds the network (room 0 draws its lengths
  // from a fixed seed at every rebuild, so it is the same room each time).
  void SetRoomType(std::int32_t value);
  // 0..127: decay time T = 60^(v / 127) - 0.97 s; each comb's feedback is
  // -exp(log2(0.001) * (comb length / rate) / T). Recomputes at once (under
  // its owner's lock).
  void SetTime(float value);
  void SetFilter1On(bool on) { Filter1On = on; }
  void SetFilter2On(bool on) { Filter2On = on; }

  // The tone filters: the rack sets type, cutoff, resonance and param3 on
  // them directly.
  TDSPMultiFilter& ToneFilter1() { return Filter1; }
  TDSPMultiFilter& ToneFilter2() { return Filter2; }

  float GetTime() const { return Time; }
  float GetPreDelay() const { return PreDelay; }
  float GetPreDelayFeedback() const { return PreDelayFeedback; }
  float GetDamping() const { return Damping; }
  float GetDampingCoefficient() const { return DampingCoefficient; }
  std::int32_t GetRoomType() const { return RoomType; }
  float GetSize() const { return Size; }
  float GetSizeFactor() const { return SizeFactor; }
  bool GetFilter1On() const { return Filter1On; }
  bool GetFilter2On() const { return Filter2On; }
  // Pre-delay line length in samples; 0 when there is no line.
  std::int32_t GetPreDelayLength() const { return PreDelayLength; }
  // Lengths in samples and feedbacks of the current network (0 before one
  // exists). Read under its owner's lock when another thread may rebuild.
  std::int32_t GetCombLength(int i) const;
  std::int32_t GetAllpassLength(int j) const;
  float GetCombFeedback(int i) const;
  // The pre-delay line, then the longer side's longest comb and its allpass
  // chain in series.
  std::int64_t TailSamples() const override;

 private:
  struct TNetwork {
    std::array<std::int32_t, kCombCount> CombLength{};
    std::array<std::int32_t, kAllpassCount> AllpassLength{};
    std::array<float*, kCombCount> Comb{};
    std::array<float*, kAllpassCount> Allpass{};
    std::array<std::int32_t, kCombCount> CombPosition{};
    std::array<std::int32_t, kAllpassCount> AllpassPosition{};
    std::array<float, kCombCount> Feedback{};
    std::array<float, kCombCount> FilterState{};
    std::unique_ptr<float[]> Storage;
    std::size_t StorageLength = 0;
    std::int32_t SampleRate = 0;
  };

  // The lengths for the room type, size factor and rate (room 0 draws them
  // now), then a request for the zeroed lines, swapped in with feedbacks for
  // the time at that moment.
  void BuildNetwork();
  // The pre-delay line's length for the pre-delay and rate, then a request
  // for the zeroed line.
  void RebuildPreDelay();

  // What the latest request asks for; Sequence grows with every request.
  struct TNetworkRequest {
    std::array<std::int32_t, kCombCount> CombLength{};
    std::array<std::int32_t, kAllpassCount> AllpassLength{};
    std::int32_t SampleRate = 0;
    std::uint64_t Sequence = 0;
  };
  struct TPreDelayRequest {
    std::int32_t Length = 0;
    std::uint64_t Sequence = 0;
  };
  class TNetworkChange final : public TPreparedChange {
   public:
    explicit TNetworkChange(TDSPReverbX& reverb) : Reverb(reverb) {}
    bool TakeRequest() override;
    void Build() override;
    void Install() override;
    void Release() override;

   private:
    TDSPReverbX& Reverb;
    TNetworkRequest Taken;
    std::unique_ptr<TNetwork> Built;  // the new network, then the one it replaced
  };
  class TPreDelayChange final : public TPreparedChange {
   public:
    explicit TPreDelayChange(TDSPReverbX& reverb) : Reverb(reverb) {}
    bool TakeRequest() override;
    void Build() override;
    void Install() override;
    void Release() override;

   private:
    TDSPReverbX& Reverb;
    TPreDelayRequest Taken;
    std::unique_ptr<float[]> Built;
  };
  void ComputeFeedbacks(TNetwork& net) const;
  // The network over the input buffer into out. When every line holds a
  // sub-block: per run between wrap points the combs, their lines and the
  // sides' sums in one pass, then the allpasses. Otherwise every comb's
  // filter states into its row of CombRows (short lines one by one), per
  // side the rows added in comb order into out, then the side's allpasses.
  void CombAllpassNetwork(float* outLeft, float* outRight, std::int32_t n);
  // Comb c's states for the n samples into row, one sample at a time (a
  // line shorter than a sub-block reads what this sub-block wrote).
  void CombOneByOne(std::size_t c, float* row, std::int32_t n);
  // Allocates the input and the comb rows for the current settings (built,
  // then swapped in under the lock).
  void AllocateScratch();
  // Uniform in [0, 1): 0..99999 / 100001.
  static float ReverbRandom(TRandomSource& random);
  // The seed of the random room's lengths.
  static constexpr std::uint64_t kRandomRoomSeed = 0x5EEDB16100000001ull;

  TDSPMultiFilter Filter1;
  TDSPMultiFilter Filter2;
  bool Filter1On = false;
  bool Filter2On = false;
  float Time = 100.0f;
  float PreDelay = 5.0f;
  float PreDelayFeedback = 0.5f;
  float Damping = 80.0f;
  std::int32_t RoomType = 0;
  float Size = 64.0f;
  std::int32_t PreDelayLength = 0;
  std::int32_t PreDelayPosition = 0;
  float DampingCoefficient = 0;
  float SizeFactor = 1.0f;
  float SizeFactorRoot = 1.0f;  // kept with the factor; the network does not use it
  std::unique_ptr<TNetwork> Network;
  std::unique_ptr<float[]> PreDelayLine;
  std::unique_ptr<float[]> Input;  // the network's input, one sub-block
  // Sixteen rows of RowStride floats (16-byte aligned from CombRows).
  std::unique_ptr<float[]> CombScratch;
  float* CombRows = nullptr;
  std::int32_t RowStride = 0;
  TNetworkRequest NetworkWanted;
  std::uint64_t NetworkInstalled = 0;
  TPreDelayRequest PreDelayWanted;
  std::uint64_t PreDelayInstalled = 0;
  TNetworkChange NetworkChange{*this};
  TPreDelayChange PreDelayChange{*this};
};
