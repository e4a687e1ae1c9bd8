#include "dsp/voices/sampler_voice.h"

#include <algorithm>

// ---- TDSPSamplerVoice1 ------------------------------------------------------

TDSPSamplerVoice1::TDSPSamplerVoice1() = default;
TDSPSamplerVoice1::~TDSPSamplerVoice1() = default;

void TDSPSamplerVoice1::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPSynthVoice2::SetAudioSettings(rec);
  if (Sampler1) Sampler1->SetAudioSettings(Settings);
}

void TDSPSamplerVoice1::SetRandomSeed(std::uint64_t seed) {
  TDSPSynthVoice2::SetRandomSeed(seed);
  if (Sampler1) Sampler1->SetRandomSeed(VoiceSourceSeed(seed, 1));
}

void TDSPSamplerVoice1::ResetSampler(TDSPSamplerControl* sampler) {
  if (sampler == nullptr) return;
  sampler->State = TDSPSamplerControl::kFinished;
  sampler->LegatoStartPitch = 0.0f;
}

void TDSPSamplerVoice1::LegatoSampler(TDSPSamplerControl* sampler, TDSPSamplerControl* previous, bool& pending) {
  if (sampler == nullptr) return;
  // A previous voice without this sound source has no phrase to continue.
  if (previous != nullptr && previous != sampler) {
    sampler->LegatoStart(*previous);
  } else {
    sampler->Start();
  }
  pending = true;
}

void TDSPSamplerVoice1::StartSamplerNote(TDSPSamplerControl* sampler, bool& pending) {
  if (sampler == nullptr) return;
  // A phrase that goes on keeps its level: the new velocity would step it.
  if (!ContinuingPhrase) sampler->Level = Velocity * VoiceLevel;
  if (!pending) return;
  sampler->SetNote(Note);
  pending = false;
  sampler->PrepareNote();
}

void TDSPSamplerVoice1::ResetVoice() {
  TDSPSynthVoice2::ResetVoice();
  ResetSampler(Sampler1.get());
}

void TDSPSamplerVoice1::Release() {
  TDSPSynthVoice2::Release();
  if (Sampler1) Sampler1->Release();
}

void TDSPSamplerVoice1::LegatoContinue() {
  TDSPSynthVoice2::LegatoContinue();
  ContinuingPhrase = true;
}

void TDSPSamplerVoice1::LegatoNoteOn(TDSPXVoice& previous, bool retrigger) {
  TDSPSynthVoice2::LegatoNoteOn(previous, retrigger);
  ContinuingPhrase = false;
  auto* before = dynamic_cast<TDSPSamplerVoice1*>(&previous);
  LegatoSampler(Sampler1.get(), before != nullptr ? before->Sampler1.get() : nullptr, Sampler1Pending);
}

void TDSPSamplerVoice1::Trigger() {
  TDSPSynthVoice2::Trigger();
  ContinuingPhrase = false;
  if (!Sampler1) return;
  Sampler1->Start();
  Sampler1Pending = true;
}

void TDSPSamplerVoice1::StartNote() {
  TDSPSynthVoice2::StartNote();
  StartSamplerNote(Sampler1.get(), Sampler1Pending);
}

// ---- TDSPSamplerVoice2 ------------------------------------------------------

TDSPSamplerVoice2::TDSPSamplerVoice2() = default;
TDSPSamplerVoice2::~TDSPSamplerVoice2() = default;

void TDSPSamplerVoice2::SetRandomSeed(std::uint64_t seed) {
  TDSPSamplerVoice1::SetRandomSeed(seed);
  if (Sampler2) Sampler2->SetRandomSeed(VoiceSourceSeed(seed, 2));
}

void TDSPSamplerVoice2::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPSamplerVoice1::SetAudioSettings(rec);
  if (Sampler2) Sampler2->SetAudioSettings(Settings);
}

void TDSPSamplerVoice2::ResetVoice() {
  TDSPSamplerVoice1::ResetVoice();
  ResetSampler(Sampler2.get());
}

void TDSPSamplerVoice2::Release() {
  TDSPSamplerVoice1::Release();
  if (Sampler2) Sampler2->Release();
}

void TDSPSamplerVoice2::LegatoNoteOn(TDSPXVoice& previous, bool retrigger) {
  TDSPSamplerVoice1::LegatoNoteOn(previous, retrigger);
  auto* before = dynamic_cast<TDSPSamplerVoice2*>(&previous);
  LegatoSampler(Sampler2.get(), before != nullptr ? before->Sampler2.get() : nullptr, Sampler2Pending);
}

void TDSPSamplerVoice2::Trigger() {
  TDSPSamplerVoice1::Trigger();
  if (!Sampler2) return;
  Sampler2Pending = true;
  Sampler2->Start();
}

void TDSPSamplerVoice2::StartNote() {
  TDSPSamplerVoice1::StartNote();
  StartSamplerNote(Sampler2.get(), Sampler2Pending);
}

// ---- TDSPSamplerInstrVoice2 -------------------------------------------------

TDSPSamplerInstrVoice2::TDSPSamplerInstrVoice2() {
  Sampler1 = std::make_unique<TDSPSamplerInstr>();
  Sampler2 = std::make_unique<TDSPSamplerInstr>();
  TDSPSamplerInstrVoice2::SetAudioSettings(Settings);
}

void TDSPSamplerInstrVoice2::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPSamplerVoice2::SetAudioSettings(rec);
  PlayersOversampled = Settings->SampleRate < kOversampleBelowRate;
  Decimator.Clear();
  Rate = TPlayerRate::Voice;
  FreshNote = true;
  if (!PlayersOversampled) return;  // the players keep the voice's record
  SetupAudioSettings(PlayerSettings, 2 * Settings->SampleRate, 2 * Settings->BlockSize);
  Sampler1->SetAudioSettings(&PlayerSettings);
  Sampler2->SetAudioSettings(&PlayerSettings);
}

void TDSPSamplerInstrVoice2::Trigger() {
  TDSPSamplerVoice2::Trigger();
  Decimator.Clear();
  FreshNote = true;
}

void TDSPSamplerInstrVoice2::ChoosePlayerRate(bool player2) {
  if (!PlayersOversampled) {
    Rate = TPlayerRate::Voice;
  } else {
    float pitch = Player1().ImagePitch();
    if (player2) pitch = std::max(pitch, Player2().ImagePitch());
    const bool heard = FilterHeard();
    const bool doubled = pitch >= (heard ? SingleBelowPitch : DoubleFromPitch);
    if (FreshNote) {
      // Nothing sounded before on this rate: no transition.
      Rate = doubled ? TPlayerRate::Doubled : TPlayerRate::Voice;
    } else {
      switch (Rate) {
        case TPlayerRate::Voice:
          if (doubled) {
            Decimator.Clear();
            WarmBlocks = std::max<std::int32_t>(1, (kWarmFrames + Settings->BlockSize - 1) / Settings->BlockSize);
            Rate = TPlayerRate::Warming;
          }
          break;
        case TPlayerRate::Warming:
          if (!doubled) Rate = TPlayerRate::Voice;
          else if (--WarmBlocks <= 0) Rate = TPlayerRate::Rising;
          break;
        case TPlayerRate::Rising:
        case TPlayerRate::Doubled:
          Rate = doubled ? TPlayerRate::Doubled : TPlayerRate::Falling;
          break;
        case TPlayerRate::Falling:
          // Back up at once: the filter ran through the fade.
          Rate = doubled ? TPlayerRate::Rising : TPlayerRate::Voice;
          break;
      }
    }
  }
  FreshNote = false;
  const std::int32_t stride = Rate == TPlayerRate::Voice && PlayersOversampled ? 2 : 1;
  Player1().SetFrameStride(stride);
  Player2().SetFrameStride(stride);
}
