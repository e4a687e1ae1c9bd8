#include "dsp/shapers/multi_shaper.h"

#include <cmath>


const std::array<std::string_view, kShaperTypeMax + 1> ShaperTypeNames = {
    "Shape Off", "Pulsewidth", "EdgeCrush", "Square",  "Square2", "Square3", "Square4", "Quantize", "Minimum",
    "Maximum",   "EdgeCrush2", "Random",    "Random2", "Random3", "PeakInv", "Sqrt1",   "Square5",  "Exp1",
    "Ln1",       "Ln2",        "Ln3",       "Ln4",     "Tan1",    "Cotan1",  "Power1",  "Sin1",     "PeakInv",
    "Exp2",      "Sqrt2",      "",          "Fuzz",    "Fuzz2",   "Fuzz3",   "Fuzz4",   "Fuzz5"};

std::string_view ShaperTypeName(std::int32_t index) {
  if (index < 0 || index > kShaperTypeMax) return {};
  return ShaperTypeNames[static_cast<std::size_t>(index)];
}

std::string GetShaperName(std::int32_t index) { return std::string(ShaperTypeName(index)); }

std::unique_ptr<TDSPShaper> CreateShaper(std::int32_t index) {
  switch (index) {
    case 0:
      return std::make_unique<TDSPNullShaper>();
    case 1:
      return std::make_unique<TDSPPulseWidthShaper1>();
    case 2:
      return std::make_unique<TDSPEdgeCrushShaper1>();
    case 3:
      return std::make_unique<TDSPSquareShaper1>();
    case 4:
      return std::make_unique<TDSPSquareShaper2>();
    case 5:
      return std::make_unique<TDSPSquareShaper3>();
    case 6:
      return std::make_unique<TDSPSquareShaper4>();
    case 7:
      return std::make_unique<TDSPQuantizeShaper1>();
    case 8:
      return std::make_unique<TDSPMinimumShaper1>();
    case 9:
      return std::make_unique<TDSPMaximumShaper1>();
    case 10:
      return std::make_unique<TDSPEdgeCrushShaper2>();
    case 11:
      return std::make_unique<TDSPRandomShaper1>();
    case 12:
      return std::make_unique<TDSPRandomShaper2>();
    case 14:
      return std::make_unique<TDSPPeakInvertShaper1>();
    case 15:
      return std::make_unique<TDSPSqrtShaper1>();
    case 16:
      return std::make_unique<TDSPSquareShaper5>();
    case 17:
      return std::make_unique<TDSPExpShaper1>();
    case 18:
      return std::make_unique<TDSPLnShaper1>();
    case 19:
      return std::make_unique<TDSPLnShaper2>();
    case 20:
      return std::make_unique<TDSPLnShaper3>();
    case 21:
      return std::make_unique<TDSPLnShaper4>();
    case 22:
      return std::make_unique<TDSPTanShaper1>();
    case 23:
      return std::make_unique<TDSPCoTanShaper1>();
    case 24:
      return std::make_unique<TDSPPowerShaper1>();
    case 25:
      return std::make_unique<TDSPSinShaper1>();
    case 26:
      return std::make_unique<TDSPPeakInvertShaper2>();
    case 27:
      return std::make_unique<TDSPExpShaper2>();
    case 28:
      return std::make_unique<TDSPSqrtShaper2>();
    case 30:
      return std::make_unique<TDSPFuzzShaper1>();
    case 31:
      return std::make_unique<TDSPFuzzShaper2>();
    case 32:
      return std::make_unique<TDSPFuzzShaper3>();
    case 33:
      return std::make_unique<TDSPFuzzShaper4>();
    case 34:
      return std::make_unique<TDSPFuzzShaper5>();
    case 50:
      return std::make_unique<TDSPTestShaper1>();
    default:
      return nullptr;
  }
}

TDSPMultiShaper1::TDSPMultiShaper1() : Inner(std::make_unique<TDSPNullShaper>()) {
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
  // Allocation happens outside the lock.
  std::unique_ptr<TDSPShaper> built = CreateShaper(ShapeIndexOf(value));
  std::unique_ptr<TDSPShaper> old;
  {
    TDSPShaper::SetShape(value);
    if (built) {
      built->SetAmount(Amount);
      built->SetAudioSettings(Settings);
      old = std::move(Inner);
      Inner = std::move(built);
    }
    Inner->SetAmount(Amount);
    Inner->SetAudioSettings(Settings);
  }
  // The old shaper is freed here, after the lock is released.
}
