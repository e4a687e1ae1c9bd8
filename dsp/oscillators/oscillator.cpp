#include "dsp/oscillators/oscillator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/oscillators/blit_oscillator.h"
#include "dsp/oscillators/formula_oscillators.h"
#include "dsp/oscillators/noise_oscillators.h"
#include "dsp/oscillators/recursive_oscillators.h"
#include "dsp/oscillators/table_oscillators.h"
#include "framework/core/name_lists.h"

const std::array<std::string_view, kWaveformSlots> WaveformNames = {
    "Saw",        "SoftSaw",    "XSaw",       "Triangle",   "Triangle2",  "Square",     "Sine",
    "Smooth",     "Glass",      "Glass2",     "Glass3",     "Glass4",     "SquareGls",  "Mixed",
    "Mixed2",     "X-Mix",      "SinExp",     "SinCos",     "SinCosTan",  "SinCosTan2", "SinCosSqrt",
    "CosExp",     "CosSqrtTan", "SqrtExp",    "SqrtTan",    "Exp",        "TanExp",     "CotanExp",
    "Noise",      "Gaussian",   "Cosine",     "PNoise1",    "SawSin",     "Impulse2",   "Impulse",
    "HalfSin",    "Sine2",      "1/2 Wave",   "Saw AA",     "Mix",        "Mix2",       "Mix3",
    "PNoise2",    "Noise4",     "Noise5",     "ParaSine",   "Sine3",      "Cosine2",    "X-Curve",
    "HarmSaw1",   "HarmSaw2",   "HarmSaw3",   "HarmSaw4",   "HarmTri1",   "HarmTri2",   "HarmTri3",
    "HarmTri4",   "HarmTri5",   "HarmTri6",   "Curved1",    "Curved2",    "Curved3",    "Curved4",
    "Curved5",    "GlisHarm",   "Bass1",      "Bass2",      "Bass3",      "Bass4",      "Bass5",
    "Bass6",      "Bass7",      "Bass8",      "SmoothSqr1", "SmoothSqr2", "SmoothSqr3", "SmoothSqr4",
    "SmoothSqr5", "SmoothSqr6", "SmoothSqr7", "SmoothSqr8", "SawOrgan1",  "SawOrgan2",  "SawOrgan3",
    "SawOrgan4",  "SmRND1",     "SmRND2",     "SmRND3",     "SmRND4",     "SmRND5",     "SmRND6",
    "SmRND7",     "SmRND8"};

std::string GetWaveformName(std::int32_t index) {
  if (index < 0 || index >= kWaveformSlots) return {};
  return std::string(WaveformNames[static_cast<std::size_t>(index)]);
}

namespace {

// The waveform parameters' value texts read this list.
const TNameListRegistration gWaveformNames(TNameListId::Waveform, &GetWaveformName);

template <class T>
std::unique_ptr<TDSPBaseOscillator> Make() {
  return std::make_unique<T>();
}

template <std::int32_t Index>
std::unique_ptr<TDSPBaseOscillator> MakeTable() {
  return std::make_unique<TTableWaveform<Index>>();
}

using TMaker = std::unique_ptr<TDSPBaseOscillator> (*)();

template <std::int32_t... I>
constexpr std::array<TMaker, sizeof...(I)> TableMakers(std::integer_sequence<std::int32_t, I...>) {
  return {&MakeTable<I + 33>...};
}

// Indices 33..92 that are table waveforms take their maker from here.
constexpr auto kTableMakers = TableMakers(std::make_integer_sequence<std::int32_t, 60>{});

}  // namespace

std::unique_ptr<TDSPBaseOscillator> CreateWaveform(std::int32_t index) {
  switch (index) {
    case 0: return Make<TSawOsc1>();
    case 1: return Make<TSoftsawOsc1>();
    case 2: return Make<TAltSawOsc1>();
    case 3: return Make<TTriangleOsc1>();
    case 4: return Make<TTriangleOsc2>();
    case 5: return Make<TSquareOsc1>();
    case 6: return Make<TSineOsc1>();
    case 7: return Make<THexOsc1>();
    case 8: return Make<TBumpsOsc1>();
    case 9: return Make<TDblBumpsOsc1>();
    case 10: return Make<TAltBumpsOsc1>();
    case 11: return Make<TAltBumpsOsc2>();
    case 12: return Make<TSquareBumpsOsc1>();
    case 13: return Make<TMultiOsc1>();
    case 14: return Make<TMultiOsc2>();
    case 15: return Make<TMultiOsc3>();
    case 16: return Make<TSinExpOsc1>();
    case 17: return Make<TSinCosOsc1>();
    case 18: return Make<TSinCosTanOsc1>();
    case 19: return Make<TSinCosTanOsc2>();
    case 20: return Make<TSinCosSqrtOsc1>();
    case 21: return Make<TCosExpOsc1>();
    case 22: return Make<TCosSqrtTanOsc1>();
    case 23: return Make<TSqrtExpOsc1>();
    case 24: return Make<TSqrtTanOsc1>();
    case 25: return Make<TExpOsc1>();
    case 26: return Make<TTanExpOsc1>();
    case 27: return Make<TCoTanExpOsc1>();
    case 28: return Make<TNoiseOsc1>();
    case 29: return Make<TGaussianNoiseOsc1>();
    case 30: return Make<TCosineOsc1>();
    case 31: return Make<TNoiseOsc2>();
    case 32: return Make<TSawSinOsc1>();
    case 38: return Make<TBlitSawOsc1>();
    case 43: return Make<TNoiseOsc4>();
    case 44: return Make<TNoiseOsc5>();
    case 45: return Make<TParabolaOsc1>();
    case 46: return Make<TSineOsc3>();
    case 47: return Make<TCosineOsc2>();
    case 48: return Make<TRoseCurveOsc1>();
    default: break;
  }
  if (index >= 33 && index < kWaveformCount) return kTableMakers[static_cast<std::size_t>(index - 33)]();
  return Make<TSineOsc1>();
}

TDSPOscillator::TDSPOscillator() {
  PrepareWaveTables();
  SetAdoptsSettings();
  Waveform = std::make_unique<TDSPBaseOscillator>();  // placeholder: pitch 0.05
  WaveformIndex = 0;
  RebuildOscillator(false);  // nobody else can see this object yet
}

TDSPOscillator::~TDSPOscillator() = default;

void TDSPOscillator::SetUsesBuffers(bool flag) {
  TDSPControl::SetUsesBuffers(flag);
  Waveform->SetUsesBuffers(flag);
}

void TDSPOscillator::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPControl::SetAudioSettings(rec);
  RebuildOscillator();
}

void TDSPOscillator::ProcessBlock() {
  TDSPBaseOscillator& w = *Waveform;
  w.ProcessBlock();
  if (OutBuffer && w.OutBuffer)
    std::memcpy(OutBuffer, w.OutBuffer, sizeof(float) * static_cast<std::size_t>(Settings->BlockSize));
}

void TDSPOscillator::SetWaveform(float value) {
  float index = RoundInt(value);
  if (!(index >= 0.0f)) index = 0.0f;  // NaN too
  if (index > static_cast<float>(kWaveformSlots - 1)) index = static_cast<float>(kWaveformSlots - 1);
  WaveformIndex = static_cast<std::int16_t>(index);
  RebuildOscillator();
}

float TDSPOscillator::GetValueAtPhase(float phase) {
  TDSPBaseOscillator& w = *Waveform;
  w.SetPhase(phase);
  w.Tick();
  return w.OutputSample;
}

void TDSPOscillator::RebuildOscillator(bool shared) {
  Ready.store(0, std::memory_order_release);
  // Everything that allocates happens before the lock is taken. The waveform
  // under construction is local: two rebuilds never share it.
  std::unique_ptr<TDSPBaseOscillator> PendingWaveform = CreateWaveform(WaveformIndex);
  PendingWaveform->AdoptsSettings = AdoptsSettings;
  PendingWaveform->SetFlag48(ControlFlag);
  PendingWaveform->SetUsesBuffers(UsesBuffers);
  PendingWaveform->SetAudioSettings(Settings);
  auto carryOver = [&] {
    const TDSPBaseOscillator& old = *Waveform;
    // The band-limited saw stores three times the owner's gain.
    const bool oldIsBlit = dynamic_cast<const TDSPBlitOscillator*>(&old) != nullptr;
    PendingWaveform->SetGain(oldIsBlit ? old.Gain / 3.0f : old.Gain);
    PendingWaveform->SetPitch(old.EffectivePitch);
    if (UsesBuffers) PendingWaveform->FillInputBuffers();
    Waveform.swap(PendingWaveform);
  };
  if (shared) {
    carryOver();
  } else {
    carryOver();
  }
  PendingWaveform.reset();  // now the old waveform, freed outside the lock
  Ready.store(1, std::memory_order_release);
}
