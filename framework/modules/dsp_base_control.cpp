#include "framework/modules/dsp_base_control.h"

#include <cstring>

TDSPBaseControl::TDSPBaseControl() : Settings(&DefaultAudioSettings) { ClearBufferPointers(); }

TDSPBaseControl::~TDSPBaseControl() = default;

namespace {
// The aligned start lies 1..16 bytes into the raw block, which is 32 bytes
// longer than the buffer: at least 16 spare bytes remain past its end.
float* AlignedArea(float* raw) {
  auto address = reinterpret_cast<std::uintptr_t>(raw);
  address = (address & ~std::uintptr_t{15}) + 16;
  return reinterpret_cast<float*>(address);
}
}  // namespace

void TDSPBaseControl::AllocBuffers() {
  if (!UsesBuffers) return;
  const std::size_t floats = static_cast<std::size_t>(Settings->BufferLength) + 8;
  RawInBuffer.reset(new float[floats]());
  RawOutBuffer.reset(new float[floats]());
  InBuffer = AlignedArea(RawInBuffer.get());
  OutBuffer = AlignedArea(RawOutBuffer.get());
}

void TDSPBaseControl::FreeBuffers() {
  if (!UsesBuffers) return;
  RawInBuffer.reset();
  RawOutBuffer.reset();
}

void TDSPBaseControl::ClearBufferPointers() {
  InBuffer = nullptr;
  OutBuffer = nullptr;
}

void TDSPBaseControl::SetAudioSettings(TAudioSettingsRec* rec) {
  Id = -1;
  if (rec != nullptr) {
    if (OwnSettings && !RateOnlyCopy) {
      if (rec != OwnSettings.get()) *OwnSettings = *rec;
    } else if (AdoptsSettings) {
      Settings = rec;
    } else {
      if (!OwnSettings) {
        OwnSettings = std::make_unique<TAudioSettingsRec>(*Settings);
        Settings = OwnSettings.get();
        RateOnlyCopy = true;
      }
      OwnSettings->SampleRate = rec->SampleRate;
    }
  }
  ReallocBuffers();
}

void TDSPBaseControl::SetRateAndBlockSize(std::int32_t rate, std::int32_t block) {
  if (rate < kMinSampleRate) return;
  if (block == -1) block = rate / 1000;
  // Never rewrite a process-wide record through one object.
  if (Settings == &DefaultAudioSettings || Settings == &ControlAudioSettings) CreateOwnSettings();
  SetupAudioSettings(*Settings, rate, block);
  SetAudioSettings(Settings);
}

void TDSPBaseControl::CreateOwnSettings() {
  OwnSettings = std::make_unique<TAudioSettingsRec>(MakeAudioSettings(44100, 44));
  RateOnlyCopy = false;
  Settings = OwnSettings.get();
}
