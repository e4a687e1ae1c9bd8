#include "dsp/filters/multi_filter.h"

#include <cmath>
#include <cstring>

#include "dsp/filters/biquad_filters.h"
#include "dsp/filters/butterworth_filters.h"
#include "dsp/filters/rbj_filters.h"
#include "dsp/filters/resonant_filters.h"
#include "dsp/filters/simple_filters.h"
#include "framework/base/in_place.h"

namespace {

// One entry per stored type index: its name and its class. The indices are
// stored in programs and never change; 36 and 37 play the same class.
struct TFilterType {
  std::string_view Name;
  TInPlacePair<TDSPFilter>::TConstruct Construct;  // into a holder's storage
  std::unique_ptr<TDSPFilter> (*Make)();           // on the heap
  std::size_t Size;
  std::size_t Align;
};

template <class T>
std::unique_ptr<TDSPFilter> MakeFilter() {
  return std::make_unique<T>();
}

template <class T>
constexpr TFilterType Type(std::string_view name) {
  return {name, &ConstructInPlace<TDSPFilter, T>, &MakeFilter<T>, sizeof(T), alignof(T)};
}

constexpr std::array<TFilterType, kFilterTypeCount> kFilterTypes = {{
    Type<TButterworthFilter1LP>("BW LP"),
    Type<TButterworthFilter1HP>("BW HP"),
    Type<TButterworthFilter2LP>("BW LP2"),
    Type<TButterworthFilter2HP>("BW HP2"),
    Type<TButterworthFilter2BP>("BW BP2"),
    Type<TButterworthFilter2BR>("BW BR2"),
    Type<TDSPOnePoleFilterLP>("12DB LP"),
    Type<T24DBResonantLPFilter1>("24DB LP"),
    Type<T24DBResonantFilter3>("24DB LP2"),
    Type<T24DBResonantFilter2LP>("24DB LP3"),
    Type<T24DBResonantFilter2HP>("24DB HP"),
    Type<T24DBResonantFilter2BP>("24DB BP"),
    Type<TXResonantFilter1>("LP1"),
    Type<TStateVariableFilter1LP>("SVF LP"),
    Type<TStateVariableFilter1HP>("SVF HP"),
    Type<TStateVariableFilter1BP>("SVF BP"),
    Type<TStateVariableFilter1NOTCH>("SVF NOTCH"),
    Type<TStateVariableFilter1PEAKING>("PEAKING"),
    Type<TIIRNotchFilter1>("IIR NOTCH"),
    Type<TResonatorFilter2>("RES"),
    Type<TRBJFilterLP>("RBJ LP"),
    Type<TRBJFilterHP>("RBJ HP"),
    Type<TRBJFilterBPFS>("RBJ BPFS"),
    Type<TRBJFilterBPFP>("RBJ BPFP"),
    Type<TRBJFilterNotch>("RBJ NOTCH"),
    Type<TRBJFilterAPF>("RBJ APF"),
    Type<TRBJFilterPeakIngEQ>("PEAK-EQ"),
    Type<TRBJFilterLowShelf>("LOWSHELF"),
    Type<TRBJFilterHighShelf>("HIGHSHELF"),
    Type<TCFilterXBP>("Bandpass"),
    Type<TCFilterXPhaser>("Phaser"),
    Type<TBiquadFilter14PoleEQ1>("4PoleEQ1"),
    Type<TBiquadFilter14PoleEQ2>("4PoleEQ2"),
    Type<TBiquadFilter14PoleLP>("4PoleLP"),
    Type<TBiquadFilter1Vocal1>("Vocal1"),
    Type<TBiquadFilter1Vocal2>("Vocal2"),
    Type<TPinkNoiseFilter>("RND1"),
    Type<TPinkNoiseFilter>("RND2"),
}};

// An index outside the table builds "BW LP".
const TFilterType& TypeOf(std::int32_t index) {
  return kFilterTypes[index >= 0 && index < kFilterTypeCount ? static_cast<std::size_t>(index) : 0];
}

// Storage for the largest member of the family.
constexpr TInPlaceSize kFilterStorage = LargestOf(kFilterTypes);

constexpr std::array<std::string_view, kFilterTypeMax + 1> MakeNames() {
  std::array<std::string_view, kFilterTypeMax + 1> names{};
  for (std::size_t i = 0; i < kFilterTypes.size(); ++i) names[i] = kFilterTypes[i].Name;
  return names;
}

}  // namespace

const std::array<std::string_view, kFilterTypeMax + 1> FilterTypeNames = MakeNames();

std::string_view FilterTypeName(std::int32_t index) {
  if (index < 0 || index > kFilterTypeMax) return {};
  return FilterTypeNames[static_cast<std::size_t>(index)];
}

std::unique_ptr<TDSPFilter> CreateFilter(std::int32_t index) { return TypeOf(index).Make(); }

TDSPMultiFilter::TDSPMultiFilter() : Storage(kFilterStorage) {
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
  if (!std::isfinite(value) || value == TypeValue) return;
  float clamped = value;
  ClampFloat(clamped, 0.0f, static_cast<float>(kFilterTypeMax));
  const auto index = static_cast<std::int16_t>(RoundInt(clamped));

  // Built in the holder's spare slot: no allocation, so the audio thread
  // may change the type too.
  TDSPFilter* built = Storage.BuildNext(TypeOf(index).Construct);
  ConfigureFilter(*built);
  TypeValue = clamped;
  FilterIndex = index;
  if (Inner != nullptr) {
    built->SetCutoff(Inner->GetCutoff());
    built->SetResonance(Inner->GetResonance());
    built->SetParam3(Inner->GetParam3());
  }
  Storage.Commit();
  Inner = built;
  Routines = Inner->GetRoutines();
  Active.store(true, std::memory_order_relaxed);
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
