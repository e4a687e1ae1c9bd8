#include "dsp/filters/multi_filter.h"

#include <cmath>
#include <cstring>

#include "dsp/filters/biquad_filters.h"
#include "dsp/filters/butterworth_filters.h"
#include "dsp/filters/rbj_filters.h"
#include "dsp/filters/resonant_filters.h"
#include "dsp/filters/simple_filters.h"

const std::array<std::string_view, kFilterTypeMax + 1> FilterTypeNames = {
    "BW LP",     "BW HP",    "BW LP2",    "BW HP2",   "BW BP2",    "BW BR2",   "12DB LP",  "24DB LP",
    "24DB LP2",  "24DB LP3", "24DB HP",   "24DB BP",  "LP1",       "SVF LP",   "SVF HP",   "SVF BP",
    "SVF NOTCH", "PEAKING",  "IIR NOTCH", "RES",      "RBJ LP",    "RBJ HP",   "RBJ BPFS", "RBJ BPFP",
    "RBJ NOTCH", "RBJ APF",  "PEAK-EQ",   "LOWSHELF", "HIGHSHELF", "Bandpass", "Phaser",   "4PoleEQ1",
    "4PoleEQ2",  "4PoleLP",  "Vocal1",    "Vocal2",   "RND1",      "RND2"};

std::string_view FilterTypeName(std::int32_t index) {
  if (index < 0 || index > kFilterTypeMax) return {};
  return FilterTypeNames[static_cast<std::size_t>(index)];
}

std::unique_ptr<TDSPFilter> CreateFilter(std::int32_t index) {
  switch (index) {
    case 1:
      return std::make_unique<TButterworthFilter1HP>();
    case 2:
      return std::make_unique<TButterworthFilter2LP>();
    case 3:
      return std::make_unique<TButterworthFilter2HP>();
    case 4:
      return std::make_unique<TButterworthFilter2BP>();
    case 5:
      return std::make_unique<TButterworthFilter2BR>();
    case 6:
      return std::make_unique<TDSPOnePoleFilterLP>();
    case 7:
      return std::make_unique<T24DBResonantLPFilter1>();
    case 8:
      return std::make_unique<T24DBResonantFilter3>();
    case 9:
      return std::make_unique<T24DBResonantFilter2LP>();
    case 10:
      return std::make_unique<T24DBResonantFilter2HP>();
    case 11:
      return std::make_unique<T24DBResonantFilter2BP>();
    case 12:
      return std::make_unique<TXResonantFilter1>();
    case 13:
      return std::make_unique<TStateVariableFilter1LP>();
    case 14:
      return std::make_unique<TStateVariableFilter1HP>();
    case 15:
      return std::make_unique<TStateVariableFilter1BP>();
    case 16:
      return std::make_unique<TStateVariableFilter1NOTCH>();
    case 17:
      return std::make_unique<TStateVariableFilter1PEAKING>();
    case 18:
      return std::make_unique<TIIRNotchFilter1>();
    case 19:
      return std::make_unique<TResonatorFilter2>();
    case 20:
      return std::make_unique<TRBJFilterLP>();
    case 21:
      return std::make_unique<TRBJFilterHP>();
    case 22:
      return std::make_unique<TRBJFilterBPFS>();
    case 23:
      return std::make_unique<TRBJFilterBPFP>();
    case 24:
      return std::make_unique<TRBJFilterNotch>();
    case 25:
      return std::make_unique<TRBJFilterAPF>();
    case 26:
      return std::make_unique<TRBJFilterPeakIngEQ>();
    case 27:
      return std::make_unique<TRBJFilterLowShelf>();
    case 28:
      return std::make_unique<TRBJFilterHighShelf>();
    case 29:
      return std::make_unique<TCFilterXBP>();
    case 30:
      return std::make_unique<TCFilterXPhaser>();
    case 31:
      return std::make_unique<TBiquadFilter14PoleEQ1>();
    case 32:
      return std::make_unique<TBiquadFilter14PoleEQ2>();
    case 33:
      return std::make_unique<TBiquadFilter14PoleLP>();
    case 34:
      return std::make_unique<TBiquadFilter1Vocal1>();
    case 35:
      return std::make_unique<TBiquadFilter1Vocal2>();
    case 36:
    case 37:
      return std::make_unique<TPinkNoiseFilter>();
    default:
      return std::make_unique<TButterworthFilter1LP>();
  }
}

TDSPMultiFilter::TDSPMultiFilter() {
  SetUsesBuffers(false);
  SetFilterType(0.0f);
}

TDSPMultiFilter::~TDSPMultiFilter() = default;

void TDSPMultiFilter::ConfigureFilter(TDSPFilter& filter) {
  filter.SetAdoptsSettings();
  filter.SetUsesBuffers(UsesBuffers);
  filter.SetAudioSettings(Settings);
  filter.Reset();
  filter.Update();
}

void TDSPMultiFilter::SetFilterType(float value) {
  if (!std::isfinite(value)) return;
  {
    if (value == TypeValue) return;
  }
  float clamped = value;
  ClampFloat(clamped, 0.0f, static_cast<float>(kFilterTypeMax));
  const auto index = static_cast<std::int16_t>(RoundInt(clamped));

  // Allocation and design happen outside the lock.
  std::unique_ptr<TDSPFilter> built = CreateFilter(index);
  ConfigureFilter(*built);
  const std::int32_t builtRate = built->Settings->SampleRate;

  std::unique_ptr<TDSPFilter> old;
  {
    Active.store(false, std::memory_order_relaxed);
    TypeValue = clamped;
    FilterIndex = index;
    if (built->Settings != Settings || builtRate != Settings->SampleRate) built->SetAudioSettings(Settings);
    if (Inner) {
      built->SetCutoff(Inner->GetCutoff());
      built->SetResonance(Inner->GetResonance());
      built->SetParam3(Inner->GetParam3());
    }
    old = std::move(Inner);
    Inner = std::move(built);
    Routines = Inner->GetRoutines();
    Active.store(true, std::memory_order_relaxed);
  }
  // The old filter is freed here, after the lock is released.
}

void TDSPMultiFilter::SetUsesBuffers(bool flag) {
  TDSPControl::SetUsesBuffers(flag);
  if (Inner) Inner->SetUsesBuffers(flag);
}

void TDSPMultiFilter::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPControl::SetAudioSettings(rec);
  if (Inner) {
    Inner->SetUsesBuffers(UsesBuffers);
    Inner->SetAudioSettings(Settings);
  }
}

void TDSPMultiFilter::ProcessBlock() {
  if (!IsActive()) return;
  const std::int32_t n = Settings->BlockSize;
  std::memcpy(OutBuffer, InBuffer, sizeof(float) * static_cast<std::size_t>(n));
  Routines.Buffer(*Inner, OutBuffer, n);
  OutputSample = OutBuffer[n - 1];
}

void TDSPMultiFilter::ProcessBlockControl() {
  const std::int32_t n = Settings->BlockSize;
  if (Inputs[0] != OutBuffer) std::memcpy(OutBuffer, Inputs[0], sizeof(float) * static_cast<std::size_t>(n));
  Routines.Buffer(*Inner, OutBuffer, n);
  OutputSample = OutBuffer[n - 1];
}

void TDSPMultiFilter::ProcessOneSample() {
  const std::int32_t i = CurrentSampleIndex;
  OutputSample = Routines.Sample(*Inner, Inputs[0][i]);
  OutBuffer[i] = OutputSample;
}
