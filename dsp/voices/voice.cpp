#include "dsp/voices/voice.h"

// ---- TDSPXVoice -------------------------------------------------------------

void TDSPXVoice::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPControl::SetAudioSettings(rec);
  ControlCounter = -1;
}

void TDSPXVoice::ResetVoice() {
  State = kFree;
  Age = 0;
  ReleaseTime = 0;
  OwedNoteOffs = 0;
  Note = 48;
  GlideStartPitch = 48.0f;
  LastNote = 48.0f;
  RestartPending = false;
  LastOutput[0] = LastOutput[1] = 0.0f;
  DeclickOffset[0] = DeclickOffset[1] = 0.0f;
  DeclickRemaining = 0;
  Pending = TPendingNote{};
  StealFadeLength = 0;
  StealFadeDone = 0;
}

void TDSPXVoice::Release() {
  ReleaseTime = 0;
  State = kReleased;
}

// ---- TDSPEnvVoice -----------------------------------------------------------

TDSPEnvVoice::TDSPEnvVoice() {
  Env1.SetAudioSettings(Settings);
  Env2.SetAudioSettings(Settings);
}

void TDSPEnvVoice::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPXVoice::SetAudioSettings(rec);
  Env1.SetAudioSettings(Settings);
  Env2.SetAudioSettings(Settings);
}

void TDSPEnvVoice::ResetVoice() {
  TDSPXVoice::ResetVoice();
  for (TDSPADSR* env : {&Env1, &Env2}) {
    env->SetGate(0.0f);
    Silence(*env);
    env->NotePosition = 0;
    env->Counter = 0;
  }
}

void TDSPEnvVoice::Release() {
  TDSPXVoice::Release();
  for (TDSPADSR* env : {&Env1, &Env2}) {
    env->SetGate(0.0f);
    env->Retrigger(0);
  }
}

void TDSPEnvVoice::Trigger() {
  TDSPXVoice::Trigger();
  for (TDSPADSR* env : {&Env1, &Env2}) {
    env->RampActive = false;
    env->RampCounter = 0;
    env->NoteOn(Velocity);
    env->Retrigger(0);
  }
}

void TDSPEnvVoice::Silence(TDSPADSR& env) {
  env.FadeActive = false;
  env.FadeCounter = 0;
  env.RampActive = false;
  env.RampCounter = 0;
  env.Level = 0.0f;
  env.HeldLevel = 0.0f;
  env.OutputSample = 0.0f;
}

void TDSPEnvVoice::FadedOut() {
  for (TDSPADSR* env : {&Env1, &Env2}) {
    Silence(*env);
    // Not a note position: the next Retrigger(0) restarts the counter.
    env->NotePosition = -1;
  }
}

void TDSPEnvVoice::LegatoNoteOn(TDSPXVoice& previous, bool retrigger) {
  TDSPXVoice::LegatoNoteOn(previous, retrigger);
  auto* source = dynamic_cast<TDSPEnvVoice*>(&previous);
  if (source == nullptr || source == this) return;
  HandOver(Env1, source->Env1, source->Env1.Level, retrigger);
  HandOver(Env2, source->Env2, source->Env2.HeldLevel, retrigger);
}

void TDSPEnvVoice::HandOver(TDSPADSR& env, const TDSPADSR& source, float rampTarget, bool retrigger) {
  env.Finished = false;
  env.SetVelocity(Velocity);
  if (VoiceCount < 2) {
    // The only voice takes over the phrase as it stands: every part of the
    // running state, the ramp included (a ramp left over from this voice's
    // own earlier legato note would otherwise resume under the new gate).
    env.FadeActive = source.FadeActive;
    env.FadeCounter = source.FadeCounter;
    env.FadeLength = source.FadeLength;
    env.FadeStart = source.FadeStart;
    env.RampActive = source.RampActive;
    env.RampCounter = source.RampCounter;
    env.RampLength = source.RampLength;
    env.RampTarget = source.RampTarget;
    env.NotePosition = source.NotePosition;
    env.OutputSample = source.OutputSample;
    env.Level = source.Level;
    env.HeldLevel = source.HeldLevel;
  } else {
    const auto samplesPerMs = static_cast<std::uint32_t>(env.Settings->SamplesPerMs);
    if (retrigger) {
      env.FadeActive = false;
      env.FadeCounter = 0;
      env.FadeLength = 0;
      env.OutputSample = 0.0f;
      env.Level = 0.0f;
      env.HeldLevel = 0.0f;
    } else {
      env.FadeActive = true;
      env.FadeCounter = 0;
      env.FadeLength = kLegatoFadeMs * samplesPerMs;
    }
    env.RampActive = true;
    env.RampCounter = 0;
    env.RampLength = kLegatoRampMs * samplesPerMs;
    env.RampTarget = rampTarget;
    env.NotePosition = source.NotePosition;
  }
  env.Counter = source.Counter;
}
