// Instruments on the sequencer layer for the tests of the voice manager and
// the sequencer layer. They stand in for the layers above: the parameters
// "Use note first envelope" (13), "Voices" (14) and "Glide Time" (15) reach
// the manager as the synthesis layer's do, and a small renderer plays the
// voices as the sampler-synth layer does (voice-count request first, one
// control update per millisecond, envelopes, the first sequencer's gain,
// voices freed when both envelopes finished).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/sampler/sampler.h"
#include "dsp/voices/sampler_voice.h"
#include "engines/voicerack_arp_synth.h"
#include "tests/framework/core/plugin_test_support.h"

namespace voice_test {

// Parameter ids the stand-ins use, and the sequencer layer's by name.
enum : std::int32_t {
  kLegatoParam = 13,
  kVoicesParam = 14,
  kGlideParam = 15,
  kSeq1 = 236,
  kSeq1Steps = 237,
  kSeq1Len = 238,
  kSeq1LenF = 239,
  kSeq1Swing = 240,
  kSeq1Mode = 243,
  kSeq1Glide = 245,
  kSeq1RstNew = 246,
  kSeq1StpOffGate = 251,
  kSeq1Rtrg = 256,
  kSeq1Unit = 258,
  kSeq1ToPitch = 272,
  kSeq1Step1 = 273,
  kSeq2 = 305,
  kSeq2Swing = 309,
  kSeq2ToPitch = 341,
  kSeq2Step1 = 342,
};

// A synth voice that records which note operation the manager chose.
class TProbeVoice : public TDSPSynthVoice {
 public:
  enum TOp { kNone, kTrigger, kLegatoNoteOn, kLegatoContinue };

  void Trigger() override {
    TDSPSynthVoice::Trigger();
    Record(kTrigger);
  }
  void LegatoNoteOn(TDSPXVoice& previous, bool retrigger) override {
    TDSPSynthVoice::LegatoNoteOn(previous, retrigger);
    Record(kLegatoNoteOn);
    Previous = &previous;
    Retrigger = retrigger;
  }
  void LegatoContinue() override {
    TDSPSynthVoice::LegatoContinue();
    Record(kLegatoContinue);
  }
  void StartNote() override {
    TDSPSynthVoice::StartNote();
    ++Starts;
  }
  void Clear() {
    LastOp = kNone;
    Previous = nullptr;
    Retrigger = false;
    Starts = 0;
  }

  TOp LastOp = kNone;
  TDSPXVoice* Previous = nullptr;
  bool Retrigger = false;
  std::int32_t Starts = 0;

 private:
  void Record(TOp op) { LastOp = op; }
};

// The instrument stand-in. Voices: TProbeVoice, or the instrument's
// TDSPSamplerInstrVoice2 playing program 0 of the built-in bank.
class TVoiceTestPlugin : public TVoicerackArpSynth {
 public:
  explicit TVoiceTestPlugin(bool samplerVoices = false) : SamplerVoices(samplerVoices) {
    EffectName = "VoiceTest";
    SetUniqueIDChars('V', 'c', 'T', 's');
  }

  void InitParameterInfo() override {
    TVoicerackArpSynth::InitParameterInfo();
    InitIntParamInfo(11, ParamInfo[kLegatoParam], "Use note first envelope", 0, 0, 0, 1, "");
    InitFloatParamInfo(8, ParamInfo[kVoicesParam], "Voices", 0, 3, 1, 32, 1.0f, 32.0f, 1.0f, 0, "Number of voices");
    InitIntParamInfo(8, ParamInfo[kGlideParam], "Glide Time", 0, 0, 0, 800, "");
  }

  void ParameterChanged(std::int32_t i) override {
    TVoicerackArpSynth::ParameterChanged(i);
    switch (i) {
      case kLegatoParam:
        SetLegato(GetParameterReal(i) > 0.0f);
        break;
      case kVoicesParam:
        RequestVoiceCount(GetParameterReal(i));
        break;
      case kGlideParam:
        GlideSamples = GetParameterReal(i) * static_cast<float>(Settings->SamplesPerMs);
        break;
      default:
        break;
    }
  }

  void CreateVoice(std::int32_t index) override {
    if (std::find(EmptySlots.begin(), EmptySlots.end(), index) != EmptySlots.end()) return;
    std::unique_ptr<TDSPSynthVoice> voice;
    if (SamplerVoices) {
      auto sampler = std::make_unique<TDSPSamplerInstrVoice2>();
      for (TDSPSamplerInstr* p : {&sampler->Player1(), &sampler->Player2()}) {
        p->SetStore(&GlobalSampler());
        p->SetProgram(0, 0);
      }
      voice = std::move(sampler);
    } else {
      voice = std::make_unique<TProbeVoice>();
    }
    // Attack 2 ms, full sustain, release 5 ms (the synthesis layer's
    // envelope parameters would set these).
    for (TDSPADSR* env : {&voice->Env1, &voice->Env2}) {
      env->SetUsesBuffers(true);
      env->SetAttack(2);
      env->SetSustain(1);
      env->SetRelease(5);
    }
    ++VoicesCreated;
    SetVoice(index, std::move(voice));
  }

  // Samples of the steal fade the manager asks for (0: none; set before the
  // voices are made, they come with spares); the renderer below scales a
  // fading voice linearly to 0 over them and ends its fade after.
  std::int32_t StealFade = 0;
  std::int32_t StealFadeSamples() const override { return StealFade; }

  // One internal block.
  void RenderVoices() override {
    ApplyVoiceCount();
    float* left = MixLeft();
    float* right = MixRight();
    const std::int32_t n = Settings->BlockSize;
    const std::int32_t m = Settings->SamplesPerMs;
    std::fill(left, left + n, 0.0f);
    std::fill(right, right + n, 0.0f);
    bool signal = false;
    if (ActiveVoiceCount() > 0 || FadingTailCount() > 0) {
      ForEachVoice<TDSPSynthVoice>([&](TDSPSynthVoice& voice) {
        TDSPSynthVoice* v = &voice;
        if (v->IsFree()) return;
        signal = true;
        auto* sampler = dynamic_cast<TDSPSamplerInstrVoice2*>(v);
        if (v->ControlCounter == -1) UpdateControl(*v, false);
        if (sampler != nullptr) sampler->Player1().RenderBlock();
        const float* s1 = sampler != nullptr ? sampler->Player1().Output() : nullptr;
        for (std::int32_t p = 0; p + m <= n; p += m) {
          if (v->ControlCounter >= m) UpdateControl(*v, true);
          v->ControlCounter += m;
          v->Env1.ProcessBuffer(v->Env1.OutBuffer);
          v->Env2.ProcessBuffer(v->Env2.OutBuffer);
          const float* gain = v->Seq1.OutBuffer;
          for (std::int32_t k = 0; k < m; ++k) {
            float a = v->Env1.OutBuffer[k] * gain[k];
            if (v->StealFadeLength > 0)
              a *= std::max(
                  0.0f, 1.0f - static_cast<float>(v->StealFadeDone + k + 1) / static_cast<float>(v->StealFadeLength));
            left[p + k] += (s1 != nullptr ? s1[2 * (p + k)] : 0.25f) * a;
            right[p + k] += (s1 != nullptr ? s1[2 * (p + k) + 1] : 0.25f) * a;
          }
          if (v->StealFadeLength > 0) v->StealFadeDone = std::min(v->StealFadeLength, v->StealFadeDone + m);
        }
        if (v->StealFadeLength > 0 && v->StealFadeDone >= v->StealFadeLength) StealFadeEnded(*v);
        else if (v->Env1.Finished && v->Env2.Finished) VoiceFinished(*v);
      });
    }
    BlockHasSignal = signal;
    ProcessFX();
  }

  bool SamplerVoices;
  std::vector<std::int32_t> EmptySlots;
  std::int32_t VoicesCreated = 0;
  float GlideSamples = 0.0f;

 private:
  // Once per millisecond: age, glided pitch, the sequencers' block.
  void UpdateControl(TDSPSynthVoice& v, bool advance) {
    const std::int32_t m = Settings->SamplesPerMs;
    if (advance) {
      v.Age += m;
      v.Env1.Retrigger(v.Age);
      v.Env2.Retrigger(v.Age);
    }
    float pitch = static_cast<float>(v.Note);
    if (static_cast<float>(v.Age) < GlideSamples)
      pitch = v.GlideStartPitch + (pitch - v.GlideStartPitch) * static_cast<float>(v.Age) / GlideSamples;
    v.LastNote = static_cast<float>(v.Note);
    if (auto* sampler = dynamic_cast<TDSPSamplerInstrVoice2*>(&v)) {
      sampler->Player1().SetPitch(pitch + SeqPitchAmount(0) * v.Seq1.PitchOutput);
    }
    v.Seq1.Tick();
    v.Seq2.Tick();
    v.ControlCounter = 0;
  }
};

// A plug-in set up as a host would, whose first process call has applied
// program 0 (and so built its voices).
template <class TPlugin = TVoiceTestPlugin>
std::unique_ptr<TPlugin> MakeVoicePlugin(bool samplerVoices = false) {
  auto plugin = std::make_unique<TPlugin>(samplerVoices);
  plugin->InitPlugin(&plugin_test::TTestHost::Callback);
  TVstEffect* e = plugin->GetEffect();
  plugin_test::Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
  plugin_test::Dispatch(e, kEffSetBlockSize, 0, 512);
  plugin_test::Dispatch(e, kEffMainsChanged, 0, 1);
  plugin_test::TStereoBuffers out(64);
  plugin->ProcessReplacing(nullptr, out.Pointers, 64);
  return plugin;
}

// Sets a parameter by its real value through the host's entry.
inline void SetReal(TVoicerackArpSynth& p, std::int32_t id, float real) {
  TVstEffect* e = p.GetEffect();
  e->setParameter(e, id, p.ParamInfo[static_cast<std::size_t>(id)].NormFromReal(real));
}

// A MIDI record as the decoder hands it over.
inline TMidiEventRec Note(std::int32_t note, std::int32_t velocity = 100, std::int32_t channel = 0) {
  TMidiEventRec e;
  e.Status = velocity > 0 ? 0x90 : 0x80;
  e.Data1 = static_cast<std::int16_t>(note);
  e.Data2 = static_cast<std::int16_t>(velocity);
  e.Channel = static_cast<std::int16_t>(channel);
  return e;
}

}  // namespace voice_test
