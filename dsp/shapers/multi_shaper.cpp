#include "dsp/shapers/multi_shaper.h"

#include <cmath>

#include "framework/base/in_place.h"

namespace {

// One entry per stored shape index: its name and its class; a slot without
// a class keeps the current shaper. The indices never change.
struct TShaperType {
  std::string_view Name;
  TInPlacePair<TDSPShaper>::TConstruct Construct;  // null: no class
  std::unique_ptr<TDSPShaper> (*Make)();
  std::size_t Size;
  std::size_t Align;
};

template <class T>
std::unique_ptr<TDSPShaper> MakeShaper() {
  return std::make_unique<T>();
}

template <class T>
constexpr TShaperType Type(std::string_view name) {
  return {name, &ConstructInPlace<TDSPShaper, T>, &MakeShaper<T>, sizeof(T), alignof(T)};
}
constexpr TShaperType None(std::string_view name = {}) { return {name, nullptr, nullptr, 0, 1}; }

constexpr std::array<TShaperType, kShaperTypeMax + 1> kShaperTypes = {{
    Type<TDSPNullShaper>("Shape Off"),
    Type<TDSPPulseWidthShaper1>("Pulsewidth"),
    Type<TDSPEdgeCrushShaper1>("EdgeCrush"),
    Type<TDSPSquareShaper1>("Square"),
    Type<TDSPSquareShaper2>("Square2"),
    Type<TDSPSquareShaper3>("Square3"),
    Type<TDSPSquareShaper4>("Square4"),
    Type<TDSPQuantizeShaper1>("Quantize"),
    Type<TDSPMinimumShaper1>("Minimum"),
    Type<TDSPMaximumShaper1>("Maximum"),
    Type<TDSPEdgeCrushShaper2>("EdgeCrush2"),
    Type<TDSPRandomShaper1>("Random"),
    Type<TDSPRandomShaper2>("Random2"),
    None("Random3"),
    Type<TDSPPeakInvertShaper1>("PeakInv"),
    Type<TDSPSqrtShaper1>("Sqrt1"),
    Type<TDSPSquareShaper5>("Square5"),
    Type<TDSPExpShaper1>("Exp1"),
    Type<TDSPLnShaper1>("Ln1"),
    Type<TDSPLnShaper2>("Ln2"),
    Type<TDSPLnShaper3>("Ln3"),
    Type<TDSPLnShaper4>("Ln4"),
    Type<TDSPTanShaper1>("Tan1"),
    Type<TDSPCoTanShaper1>("Cotan1"),
    Type<TDSPPowerShaper1>("Power1"),
    Type<TDSPSinShaper1>("Sin1"),
    Type<TDSPPeakInvertShaper2>("PeakInv"),
    Type<TDSPExpShaper2>("Exp2"),
    Type<TDSPSqrtShaper2>("Sqrt2"),
    None(),
    Type<TDSPFuzzShaper1>("Fuzz"),
    Type<TDSPFuzzShaper2>("Fuzz2"),
    Type<TDSPFuzzShaper3>("Fuzz3"),
    Type<TDSPFuzzShaper4>("Fuzz4"),
    Type<TDSPFuzzShaper5>("Fuzz5"),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    None(),
    Type<TDSPTestShaper1>(""),  // 50: computes sign and magnitude only
}};

const TShaperType* TypeOf(std::int32_t index) {
  return index >= 0 && index <= kShaperTypeMax ? &kShaperTypes[static_cast<std::size_t>(index)] : nullptr;
}

// Storage for the largest member of the family.
constexpr TInPlaceSize kShaperStorage = LargestOf(kShaperTypes);

constexpr std::array<std::string_view, kShaperTypeMax + 1> MakeNames() {
  std::array<std::string_view, kShaperTypeMax + 1> names{};
  for (std::size_t i = 0; i < kShaperTypes.size(); ++i) names[i] = kShaperTypes[i].Name;
  return names;
}

}  // namespace

const std::array<std::string_view, kShaperTypeMax + 1> ShaperTypeNames = MakeNames();

std::string_view ShaperTypeName(std::int32_t index) {
  if (index < 0 || index > kShaperTypeMax) return {};
  return ShaperTypeNames[static_cast<std::size_t>(index)];
}

std::string GetShaperName(std::int32_t index) { return std::string(ShaperTypeName(index)); }

std::unique_ptr<TDSPShaper> CreateShaper(std::int32_t index) {
  const TShaperType* type = TypeOf(index);
  return type != nullptr && type->Make != nullptr ? type->Make() : nullptr;
}

TDSPMultiShaper1::TDSPMultiShaper1() : Storage(kShaperStorage) {
  Inner = Storage.BuildNext(kShaperTypes[0].Construct);
  Storage.Commit();
  BindSteps<TDSPMultiShaper1, &TDSPMultiShaper1::ProcessSample>();
}

TDSPMultiShaper1::~TDSPMultiShaper1() = default;

void TDSPMultiShaper1::Update() { Inner->SetAmount(Amount); }

void TDSPMultiShaper1::Tick() { OutputSample = Inner->ProcessSample(InputSample); }

void TDSPMultiShaper1::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPShaper::SetAudioSettings(rec);
  Inner->SetAudioSettings(Settings);
}

void TDSPMultiShaper1::SetShape(float value) {
  if (!std::isfinite(value)) return;
  TDSPShaper::SetShape(value);
  // Built in the holder's spare slot: no allocation, so the audio thread
  // may change the shape too.
  const TShaperType* type = TypeOf(ShapeIndexOf(value));
  if (type != nullptr && type->Construct != nullptr) {
    TDSPShaper* built = Storage.BuildNext(type->Construct);
    built->SetAmount(Amount);
    built->SetAudioSettings(Settings);
    Storage.Commit();
    Inner = built;
  }
  Inner->SetAmount(Amount);
  Inner->SetAudioSettings(Settings);
}
