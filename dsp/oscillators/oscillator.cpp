#include "dsp/oscillators/oscillator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <typeinfo>

#include "dsp/oscillators/blit_oscillator.h"
#include "dsp/oscillators/formula_oscillators.h"
#include "dsp/oscillators/noise_oscillators.h"
#include "dsp/oscillators/recursive_oscillators.h"
#include "dsp/oscillators/table_oscillators.h"
#include "framework/base/in_place.h"
#include "framework/core/name_lists.h"

const std::array<std::string_view, kWaveformSlots> WaveformNames = {
    "Saw",        "SoftSaw",    "XSaw",       "Triangle",   "Triangle2",  "Square",     "Sine",       "Smooth",
    "Glass",      "Glass2",     "Glass3",     "Glass4",     "SquareGls",  "Mixed",      "Mixed2",     "X-Mix",
    "SinExp",     "SinCos",     "SinCosTan",  "SinCosTan2", "SinCosSqrt", "CosExp",     "CosSqrtTan", "SqrtExp",
    "SqrtTan",    "Exp",        "TanExp",     "CotanExp",   "Noise",      "Gaussian",   "Cosine",     "PNoise1",
    "SawSin",     "Impulse2",   "Impulse",    "HalfSin",    "Sine2",      "1/2 Wave",   "Saw AA",     "Mix",
    "Mix2",       "Mix3",       "PNoise2",    "Noise4",     "Noise5",     "ParaSine",   "Sine3",      "Cosine2",
    "X-Curve",    "HarmSaw1",   "HarmSaw2",   "HarmSaw3",   "HarmSaw4",   "HarmTri1",   "HarmTri2",   "HarmTri3",
    "HarmTri4",   "HarmTri5",   "HarmTri6",   "Curved1",    "Curved2",    "Curved3",    "Curved4",    "Curved5",
    "GlisHarm",   "Bass1",      "Bass2",      "Bass3",      "Bass4",      "Bass5",      "Bass6",      "Bass7",
    "Bass8",      "SmoothSqr1", "SmoothSqr2", "SmoothSqr3", "SmoothSqr4", "SmoothSqr5", "SmoothSqr6", "SmoothSqr7",
    "SmoothSqr8", "SawOrgan1",  "SawOrgan2",  "SawOrgan3",  "SawOrgan4",  "SmRND1",     "SmRND2",     "SmRND3",
    "SmRND4",     "SmRND5",     "SmRND6",     "SmRND7",     "SmRND8"};

std::string GetWaveformName(std::int32_t index) {
  if (index < 0 || index >= kWaveformSlots) return {};
  return std::string(WaveformNames[static_cast<std::size_t>(index)]);
}

namespace {

// The waveform parameters' value texts read this list.
const TNameListRegistration gWaveformNames(TNameListId::Waveform, &GetWaveformName);

// One entry per waveform index: how to build its class on the heap or in
// an oscillator's own storage. Indices are stored in programs and never
// change; 33..92 without a class of their own are table waveforms.
struct TWaveType {
  TInPlacePair<TDSPBaseOscillator>::TConstruct Construct;
  std::unique_ptr<TDSPBaseOscillator> (*Make)();
  std::size_t Size;
  std::size_t Align;
};

template <class T>
std::unique_ptr<TDSPBaseOscillator> MakeWave() {
  return std::make_unique<T>();
}

template <class T>
constexpr TWaveType Type() {
  return {&ConstructInPlace<TDSPBaseOscillator, T>, &MakeWave<T>, sizeof(T), alignof(T)};
}

template <std::int32_t I>
constexpr TWaveType WaveTypeAt() {
  if constexpr (I == 0) return Type<TSawOsc1>();
  else if constexpr (I == 1) return Type<TSoftsawOsc1>();
  else if constexpr (I == 2) return Type<TAltSawOsc1>();
  else if constexpr (I == 3) return Type<TTriangleOsc1>();
  else if constexpr (I == 4) return Type<TTriangleOsc2>();
  else if constexpr (I == 5) return Type<TSquareOsc1>();
  else if constexpr (I == 6) return Type<TSineOsc1>();
  else if constexpr (I == 7) return Type<THexOsc1>();
  else if constexpr (I == 8) return Type<TBumpsOsc1>();
  else if constexpr (I == 9) return Type<TDblBumpsOsc1>();
  else if constexpr (I == 10) return Type<TAltBumpsOsc1>();
  else if constexpr (I == 11) return Type<TAltBumpsOsc2>();
  else if constexpr (I == 12) return Type<TSquareBumpsOsc1>();
  else if constexpr (I == 13) return Type<TMultiOsc1>();
  else if constexpr (I == 14) return Type<TMultiOsc2>();
  else if constexpr (I == 15) return Type<TMultiOsc3>();
  else if constexpr (I == 16) return Type<TSinExpOsc1>();
  else if constexpr (I == 17) return Type<TSinCosOsc1>();
  else if constexpr (I == 18) return Type<TSinCosTanOsc1>();
  else if constexpr (I == 19) return Type<TSinCosTanOsc2>();
  else if constexpr (I == 20) return Type<TSinCosSqrtOsc1>();
  else if constexpr (I == 21) return Type<TCosExpOsc1>();
  else if constexpr (I == 22) return Type<TCosSqrtTanOsc1>();
  else if constexpr (I == 23) return Type<TSqrtExpOsc1>();
  else if constexpr (I == 24) return Type<TSqrtTanOsc1>();
  else if constexpr (I == 25) return Type<TExpOsc1>();
  else if constexpr (I == 26) return Type<TTanExpOsc1>();
  else if constexpr (I == 27) return Type<TCoTanExpOsc1>();
  else if constexpr (I == 28) return Type<TNoiseOsc1>();
  else if constexpr (I == 29) return Type<TGaussianNoiseOsc1>();
  else if constexpr (I == 30) return Type<TCosineOsc1>();
  else if constexpr (I == 31) return Type<TNoiseOsc2>();
  else if constexpr (I == 32) return Type<TSawSinOsc1>();
  else if constexpr (I == 38) return Type<TBlitSawOsc1>();
  else if constexpr (I == 43) return Type<TNoiseOsc4>();
  else if constexpr (I == 44) return Type<TNoiseOsc5>();
  else if constexpr (I == 45) return Type<TParabolaOsc1>();
  else if constexpr (I == 46) return Type<TSineOsc3>();
  else if constexpr (I == 47) return Type<TCosineOsc2>();
  else if constexpr (I == 48) return Type<TRoseCurveOsc1>();
  else if constexpr (I >= 33) return Type<TTableWaveform<I>>();
  else return Type<TSineOsc1>();
}

template <std::int32_t... I>
constexpr std::array<TWaveType, sizeof...(I)> MakeWaveTypes(std::integer_sequence<std::int32_t, I...>) {
  return {WaveTypeAt<I>()...};
}

constexpr auto kWaveTypes = MakeWaveTypes(std::make_integer_sequence<std::int32_t, kWaveformCount>{});
// Indices outside 0..92 play the sine.
constexpr TWaveType kFallbackWave = Type<TSineOsc1>();
// What a new oscillator holds until its first waveform is built.
constexpr TWaveType kPlaceholderWave = Type<TDSPBaseOscillator>();

const TWaveType& WaveTypeOf(std::int32_t index) {
  return index >= 0 && index < kWaveformCount ? kWaveTypes[static_cast<std::size_t>(index)] : kFallbackWave;
}

// Storage for the largest member of the family.
constexpr TInPlaceSize kWaveStorage = LargestOf(kWaveTypes, {kPlaceholderWave.Size, kPlaceholderWave.Align});

}  // namespace

std::unique_ptr<TDSPBaseOscillator> CreateWaveform(std::int32_t index) { return WaveTypeOf(index).Make(); }

TDSPOscillator::TDSPOscillator() : Storage(kWaveStorage) {
  PrepareWaveTables();
  SetAdoptsSettings();
  Waveform = Storage.BuildNext(kPlaceholderWave.Construct);  // placeholder: pitch 0.05
  Storage.Commit();
  WaveformIndex = 0;
  RebuildOscillator();
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

void TDSPOscillator::ContinueFrom(const TDSPOscillator& other) {
  if (typeid(*Waveform) == typeid(*other.Waveform)) Waveform->ContinueFrom(*other.Waveform);
}

float TDSPOscillator::GetValueAtPhase(float phase) {
  TDSPBaseOscillator& w = *Waveform;
  w.SetPhase(phase);
  w.Tick();
  return w.OutputSample;
}

void TDSPOscillator::RebuildOscillator() {
  Ready.store(0, std::memory_order_release);
  // Built in the oscillator's spare slot: no allocation, so the audio thread
  // may change the waveform too.
  TDSPBaseOscillator* next = Storage.BuildNext(WaveTypeOf(WaveformIndex).Construct);
  next->AdoptsSettings = AdoptsSettings;
  next->SetFlag48(ControlFlag);
  next->SetUsesBuffers(UsesBuffers);
  next->SetAudioSettings(Settings);
  next->SetRandomSeed(RandomSeed);
  const TDSPBaseOscillator& old = *Waveform;
  // The band-limited saw stores three times the owner's gain.
  const bool oldIsBlit = dynamic_cast<const TDSPBlitOscillator*>(&old) != nullptr;
  next->SetGain(oldIsBlit ? old.Gain / 3.0f : old.Gain);
  next->SetPitch(old.EffectivePitch);
  if (UsesBuffers) next->FillInputBuffers();
  Storage.Commit();
  Waveform = next;
  Ready.store(1, std::memory_order_release);
}
