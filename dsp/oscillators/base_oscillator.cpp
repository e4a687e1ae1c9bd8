#include "dsp/oscillators/base_oscillator.h"

#include <vector>

// The oscillator's own block buffers, each one block (BufferLength floats).
struct TDSPBaseOscillator::TBlockStore {
  std::vector<float> Amplitude, Spare, Increment, Sync, PhaseMod, SyncPhase, Shape;
};

TDSPBaseOscillator::TDSPBaseOscillator() {
  SetAdoptsSettings();
  Inputs[0] = FortyEightBuffer;  // pitch control input
  Inputs[1] = OneBuffer;         // amplitude control input
}

TDSPBaseOscillator::~TDSPBaseOscillator() { TDSPBaseOscillator::ReleaseBuffers(); }

void TDSPBaseOscillator::ReallocBuffers() {
  ReleaseBuffers();
  if (!UsesBuffers) return;
  AllocBuffers();  // the output work buffer (and the unused input one)
  auto store = std::make_unique<TBlockStore>();
  const auto length = static_cast<std::size_t>(Settings->BufferLength);
  auto make = [length](std::vector<float>& v) {
    v.assign(length, 0.0f);
    return v.data();
  };
  AmplitudeBuffer = make(store->Amplitude);
  SpareBuffer = make(store->Spare);
  IncrementBuffer = make(store->Increment);
  if (InputMode & kSyncBufferBits) SyncBuffer = make(store->Sync);
  if (InputMode & kPhaseModBufferBits) PhaseModBuffer = make(store->PhaseMod);
  if (InputMode & kSyncPhaseBufferBits) SyncPhaseBuffer = make(store->SyncPhase);
  if (InputMode & kShapeBufferBits) ShapeBuffer = make(store->Shape);
  Blocks = std::move(store);
}

void TDSPBaseOscillator::ReleaseBuffers() {
  if (UsesBuffers) {
    FreeBuffers();
    Blocks.reset();
  }
  ClearBufferPointers();
}

void TDSPBaseOscillator::ClearBufferPointers() {
  TDSPControl::ClearBufferPointers();
  AmplitudeBuffer = SpareBuffer = IncrementBuffer = nullptr;
  SyncBuffer = PhaseModBuffer = SyncPhaseBuffer = ShapeBuffer = nullptr;
}

void TDSPBaseOscillator::SetFrequency(float hz) {
  if (hz == Frequency || std::isnan(hz)) return;
  Frequency = hz;
  if (1e-9f > Frequency) Frequency = 1e-9f;
  if (Frequency > 600000.0f) Frequency = 600000.0f;
  Increment = Frequency * Settings->InvSampleRate;
  EffectivePitch = FreqToPitch(Frequency);
}

void TDSPBaseOscillator::SetPitch(float pitch) {
  if (std::isnan(pitch)) return;
  Pitch = pitch;
  EffectivePitch = pitch + PitchOffset;
  float clamped = EffectivePitch;
  if (clamped < -128.0f) clamped = -128.0f;
  if (clamped > 256.0f) clamped = 256.0f;
  Frequency = PitchToFreq(clamped);
  Increment = Frequency * Settings->InvSampleRate;
}

void TDSPBaseOscillator::ContinueFrom(const TDSPBaseOscillator& other) {
  Phase = other.Phase;
  SyncArmed = other.SyncArmed;
  PhaseDrift = other.PhaseDrift;
  Frequency = other.Frequency;
  Increment = other.Increment;
  EffectivePitch = other.EffectivePitch;
  Pitch = other.Pitch;
  Gain = other.Gain;
  Shape = other.Shape;
  OutputSample = other.OutputSample;
}

void TDSPBaseOscillator::SetPhase(float x) {
  if (!std::isfinite(x)) {
    Phase = kStartPhase;
  } else if (x >= PhaseLimit) {
    Phase = x - static_cast<float>(TruncInt(x / PhaseLimit)) * PhaseWrap;
  } else if (x < PhaseMin) {
    // A range whose minimum is its limit would divide by zero: count in wraps.
    float span = PhaseLimit - PhaseMin;
    if (!(span > 0.0f)) span = PhaseWrap;
    Phase = static_cast<float>(TruncInt(x / span)) * PhaseWrap + x + PhaseWrap;
  } else {
    Phase = x;
  }
}

void TDSPBaseOscillator::FillInputBuffers() {
  if (AmplitudeBuffer) FillBuffer(AmplitudeBuffer, Gain);
  if (IncrementBuffer) FillBuffer(IncrementBuffer, Increment);
}

void TDSPBaseOscillator::RecoverPhase() {
  if (!std::isfinite(Phase)) {
    Phase = kStartPhase;
    return;
  }
  const float low = PhaseLimit - PhaseWrap;
  float rest = std::fmod(Phase - low, PhaseWrap);
  if (rest < 0.0f) rest += PhaseWrap;
  Phase = low + rest;
  if (!(Phase < PhaseLimit)) Phase = low;
}
