// Table waveforms: a wave table of 256 floats (512 for "PNoise2") read with
// linear interpolation. The phase counts table entries, so Increment is
// table entries per output sample.
//
// The tables do not depend on an instance: they are computed once for the
// module (shape formulas, partial sums, stretches of the shared noise table,
// smoothed and scaled) and shared read-only by every object, so building a
// table waveform never smooths a table. PrepareWaveTables builds them ahead
// of the audio thread; the oscillator wrapper calls it when it is created.
//
// Tick reads the table and steps the phase itself (by Increment +
// PhaseDrift); callers that add their own phase step after Tick (the
// wrapper's Tick, the block runners) therefore move a table waveform twice as
// fast, one octave above its frequency. ProcessBuffer steps it once.
#pragma once

#include <cmath>
#include <cstdint>

#include "dsp/oscillators/base_oscillator.h"

// Builds every shared wave table (once per module; thread-safe). About ten
// milliseconds of smoothing on the first call.
void PrepareWaveTables();
// The shared table of waveform `index` (33..92 where that index is a table
// waveform; nullptr otherwise), WaveTableLength(index) entries followed by
// ten zeros.
const float* SharedWaveTable(std::int32_t index);
std::int16_t WaveTableLength(std::int32_t index);
// The circular low-pass applied when a table is made: `passes` times, for k
// in order, a := t[k], b := t[k + 1] (t[0] after the last), t[k] := 0.9a + 0.1b,
// t[k + 1] := 0.1a + 0.9b. Each step sees the values the previous one left.
void SmoothWaveTable(float* table, std::int32_t length, std::int32_t passes);

class TDSPTableOscillator : public TDSPBaseOscillator {
 public:
  // waveformIndex selects the shared table (the waveform index of the
  // factory list).
  explicit TDSPTableOscillator(std::int32_t waveformIndex);

  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // The interpolated table value, without gain; steps the phase.
  void Tick() override { OutputSample = ReadTable(); }
  // One millisecond in place: value x gain, one phase step each.
  void ProcessBuffer(float* buffer) override;
  // Attaches the shared table; the length comes from the table (256, or 512
  // for "PNoise2"), whatever the argument.
  void InitTable(std::int16_t length) override;
  // Clamped to 1e-7..600000 Hz; the 0.03-semitone offset is not applied.
  void SetFrequency(float hz) override;
  // EffectivePitch keeps the pitch without the offset.
  void SetPitch(float pitch) override;
  // Moves the phase by a fraction of the table, wrapping into the table.
  void AddPhase(float fraction) override;
  void SetPhaseDrift(float v) override { PhaseDrift = static_cast<float>(TableLength) * v; }

  float ReadTable() {
    float p = Phase;
    if (!(p >= 0.0f && p < static_cast<float>(TableLength))) p = WrapPosition(p);
    std::int32_t i = static_cast<std::int32_t>(std::lrint(p - 0.5f));
    if (i >= TableLength) i -= TableLength;  // never the slack past the end
    std::int32_t j = i + 1;
    if (j >= TableLength) j = 0;
    const float f = p - static_cast<float>(i);
    const float value = (1.0f - f) * Table[i] + f * Table[j];
    Phase = p + (Increment + PhaseDrift);
    return value;
  }

  float TableRate = 0;  // TableLength / sample rate: the increment per hertz
  const float* Table = nullptr;
  const std::int32_t TableIndex;

 protected:
  // A position outside [0, TableLength) brought into it by whole tables; one
  // that is not finite restarts at 0.
  float WrapPosition(float p) const;
};

// The table waveforms of the factory list, one class per index.
template <std::int32_t Index>
class TTableWaveform final : public TWaveformRunners<TTableWaveform<Index>, TDSPTableOscillator> {
 public:
  TTableWaveform() : TWaveformRunners<TTableWaveform<Index>, TDSPTableOscillator>(Index) {}
};

using TImpulse20Osc1 = TTableWaveform<33>;  // "Impulse2"
using TImpulse10Osc1 = TTableWaveform<34>;  // "Impulse"
using THalfSinOsc1 = TTableWaveform<35>;    // "HalfSin"
using TSineOsc2 = TTableWaveform<36>;       // "Sine2"
using TWavBlnkOsc1 = TTableWaveform<37>;    // "1/2 Wave"
using TMixOsc1 = TTableWaveform<39>;        // "Mix"
using TMixOsc2 = TTableWaveform<40>;        // "Mix2"
using TSin3Oct1 = TTableWaveform<41>;       // "Mix3"
using TNoiseOsc3 = TTableWaveform<42>;      // "PNoise2"
using THarmSaw1Osc = TTableWaveform<49>;
using THarmSaw2Osc = TTableWaveform<50>;
using THarmSaw3Osc = TTableWaveform<51>;
using THarmSaw4Osc = TTableWaveform<52>;
using THarmTri1Osc = TTableWaveform<53>;
using THarmTri2Osc = TTableWaveform<54>;
using THarmTri3Osc = TTableWaveform<55>;
using THarmTri4Osc = TTableWaveform<56>;
using THarmTri5Osc = TTableWaveform<57>;
using THarmTri6Osc = TTableWaveform<58>;
using TCurveSaw1Osc = TTableWaveform<59>;  // "Curved1"
using TCurveSaw2Osc = TTableWaveform<60>;
using TCurveSaw3Osc = TTableWaveform<61>;
using TCurveSaw4Osc = TTableWaveform<62>;
using TCurveSaw5Osc = TTableWaveform<63>;
using TWavy1Osc = TTableWaveform<64>;     // "GlisHarm"
using TBassSaw1Osc = TTableWaveform<65>;  // "Bass1"
using TBassSaw2Osc = TTableWaveform<66>;
using TBassSaw3Osc = TTableWaveform<67>;
using TBassSaw4Osc = TTableWaveform<68>;
using TBassSaw5Osc = TTableWaveform<69>;
using TBassSaw6Osc = TTableWaveform<70>;
using TBassSaw7Osc = TTableWaveform<71>;
using TBassSaw8Osc = TTableWaveform<72>;
using TSmoothSquare1Osc = TTableWaveform<73>;  // "SmoothSqr1"
using TSmoothSquare2Osc = TTableWaveform<74>;
using TSmoothSquare3Osc = TTableWaveform<75>;
using TSmoothSquare4Osc = TTableWaveform<76>;
using TSmoothSquare5Osc = TTableWaveform<77>;
using TSmoothSquare6Osc = TTableWaveform<78>;
using TSmoothSquare7Osc = TTableWaveform<79>;
using TSmoothSquare8Osc = TTableWaveform<80>;
using TSawOrgan1Osc = TTableWaveform<81>;
using TSawOrgan2Osc = TTableWaveform<82>;
using TSawOrgan3Osc = TTableWaveform<83>;
using TSawOrgan4Osc = TTableWaveform<84>;
using TSmoothNoise1Osc = TTableWaveform<85>;  // "SmRND1"
using TSmoothNoise2Osc = TTableWaveform<86>;
using TSmoothNoise3Osc = TTableWaveform<87>;
using TSmoothNoise4Osc = TTableWaveform<88>;
using TSmoothNoise5Osc = TTableWaveform<89>;
using TSmoothNoise6Osc = TTableWaveform<90>;
using TSmoothNoise7Osc = TTableWaveform<91>;
using TSmoothNoise8Osc = TTableWaveform<92>;
