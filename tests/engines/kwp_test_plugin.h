// An instrument on the synthesis layer for its tests. It stands in for the
// sampler layers above: it sets the maximum voice count, the sequencer pitch
// target and the instrument's 55 matrix targets as they do, makes synth
// voices and renders them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>

#include "dsp/voices/synth_voice.h"
#include "engines/sampler_plugin2.h"
#include "engines/voicerack_kwp_synth.h"
#include "framework/base/constant_buffers.h"
#include "tests/engines/voice_test_plugin.h"
#include "tests/framework/core/plugin_test_support.h"

namespace kwp_test {

// The instrument's modulation targets, in the order the layer above adds
// them (MDst value t is entry t; entry 0 is "---").
inline constexpr const auto& kInstrumentTargets = VoiceModTargetTable;

// MDst value of the target with that id (0 when it has none).
inline std::int32_t TargetEntry(std::int32_t id) {
  for (std::size_t t = 0; t < std::size(kInstrumentTargets); ++t) {
    if (kInstrumentTargets[t].first == id) return static_cast<std::int32_t>(t) + 1;
  }
  return 0;
}

// Parameter ids the tests use by name.
enum : std::int32_t {
  kGain = 10,
  kTune = 11,
  kFine = 12,
  kVoices = 14,
  kGlide = 15,
  kEnv1Attack = 20,
  kEnv1Sustain = 22,
  kEnv2Release = 27,
  kAmpEnv1 = 28,
  kFilter1 = 62,
  kFlt1LType = 63,
  kFlt1LCutoff = 64,
  kFlt1LEnv1 = 67,
  kFlt1LLfo1 = 69,
  kFilter2 = 72,
  kFlt2LType = 73,
  kLfo1Freq = 82,
  kLfo1Wave = 83,
  kLfo1Amp = 84,
  kLfo1Reset = 85,
  kLfo2Wave = 87,
  kShapeOn = 94,
  kShapeAmtL = 95,
  kShapeTypeL = 96,
  kShapeRouteL = 97,
  kPmMethod = 98,
  kEnv2Delay = 121,
  kEnv1DB = 128,
  kLfo1Dly = 130,
  kLfo1Atk = 131,
  kLfo1Hold = 132,
  kLfo1Rls = 133,
  kLfo1Cyc = 134,
  kFlt1RType = 145,
  kFlt1RCutoff = 146,
  kFlt1Chn = 154,
  kFlt2RType = 155,
  kFlt2Chn = 164,
  kShapeAmtR = 165,
  kShapeTypeR = 166,
  kShapeRouteR = 167,
  kShpChnMode = 168,
  kMOn = 169,
  kSeq1LevelTarget = 242,
};
// Slot n (1..22): MSrc, MDst, MAmt.
inline constexpr std::int32_t MSrc(int n) { return 170 + 3 * (n - 1); }
inline constexpr std::int32_t MDst(int n) { return MSrc(n) + 1; }
inline constexpr std::int32_t MAmt(int n) { return MSrc(n) + 2; }

class TKwpTestPlugin : public TVoicerackKWPSynth {
 public:
  TKwpTestPlugin() {
    EffectName = "KwpTest";
    SetUniqueIDChars('K', 'w', 'T', 's');
    MaxVoices = kMaxVoices;
    SeqPitchTargetId = 11;
    for (const auto& [id, name] : kInstrumentTargets) AddVoiceModTarget(id, name);
  }

  void CreateVoice(std::int32_t index) override {
    auto voice = std::make_unique<TDSPSynthVoice>();
    voice->Env1.SetUsesBuffers(true);
    voice->Env2.SetUsesBuffers(true);
    SetVoice(index, std::move(voice));
  }

  // One internal block the way the sampler-synth layer renders it, with
  // noise as the voices' sound: a control update per millisecond, the
  // envelopes (envelope 2 after its delay), shapers and filters, the level.
  void RenderVoices() override {
    ApplyVoiceCount();
    const std::int32_t n = Settings->BlockSize;
    const std::int32_t m = Settings->SamplesPerMs;
    float* mixL = MixLeft();
    float* mixR = MixRight();
    std::fill(mixL, mixL + n, 0.0f);
    std::fill(mixR, mixR + n, 0.0f);
    for (std::int32_t i = 0; ActiveVoiceCount() > 0 && i < VoiceCount(); ++i) {
      auto* v = VoiceAs<TDSPSynthVoice>(i);
      if (v == nullptr || v->IsFree()) continue;
      for (std::int32_t p = 0; p + m <= n; p += m) {
        if (v->ControlCounter == -1 || v->ControlCounter >= m) Control(*v);
        v->ControlCounter += m;
        float* e1 = v->Env1.OutBuffer;
        float* e2 = v->Env2.OutBuffer;
        v->Env1.ProcessBuffer(e1);
        if (v->Age >= Kwp().Env2DelaySamples) v->Env2.ProcessBuffer(e2);
        else std::fill(e2, e2 + m, 0.0f);
        float* left = Scratch1();
        float* right = Scratch2();
        std::copy(NoiseBuffer + p, NoiseBuffer + p + m, left);
        std::copy(NoiseBuffer + p + 1, NoiseBuffer + p + 1 + m, right);
        for (int route = 0; route < 2; ++route) {
          if (Kwp().ShaperOn && Kwp().ShaperRoute[0] == route) v->Shaper[0].ProcessSamples(left, m);
          if (Kwp().ShaperOn && Kwp().ShaperRoute[1] == route) v->Shaper[1].ProcessSamples(right, m);
          auto& filters = route == 0 ? v->Filter1 : v->Filter2;
          if (!Kwp().FilterOn[static_cast<std::size_t>(route)]) continue;
          filters[0].ProcessSamples(left, m);
          filters[1].ProcessSamples(right, m);
        }
        for (std::int32_t j = 0; j < m; ++j) {
          const float a = e1[j] * (1.0f - (1.0f - e2[j]) * Kwp().AmpToEnv[1]) * v->Seq1.OutBuffer[j];
          mixL[p + j] += 0.25f * left[j] * a;
          mixR[p + j] += 0.25f * right[j] * a;
        }
      }
      if (v->Env1.Finished && v->Env2.Finished) VoiceFinished(*v);
    }
    BlockHasSignal = true;
    ProcessFX();
  }

  // Note on / off as the MIDI decoder delivers them (instance lock held).
  void Play(std::int32_t note, std::int32_t velocity = 100) {
    TPluginLockGuard lock(*this);
    if (velocity > 0) NoteOn(voice_test::Note(note, velocity));
    else NoteOff(voice_test::Note(note, 0));
  }

  TDSPSynthVoice& SynthVoice(std::int32_t i) { return *VoiceAs<TDSPSynthVoice>(i); }

  std::int32_t ControlUpdates = 0;

 private:
  void Control(TDSPSynthVoice& v) {
    if (v.ControlCounter != -1) {
      v.Age += Settings->SamplesPerMs;
      v.Env1.Retrigger(v.Age);
      v.Env2.Retrigger(v.Age);
    }
    UpdateVoiceLevels(v);
    UpdateVoiceFilters(v);
    for (std::int32_t j = 0; j < Settings->SamplesPerMs; ++j) v.Seq1.OutBuffer[j] *= Kwp().GainLevel;
    v.ControlCounter = 0;
    ++ControlUpdates;
  }
};

// A plug-in set up as a host would, whose first process call has applied
// program 0 (and so built its voices).
inline std::unique_ptr<TKwpTestPlugin> MakeKwpPlugin() {
  auto plugin = plugin_test::MakePlugin<TKwpTestPlugin>();
  plugin_test::TStereoBuffers out(64);
  plugin->ProcessReplacing(nullptr, out.Pointers, 64);
  return plugin;
}

// Sets a parameter by its real value through the host's entry.
using voice_test::SetReal;

// One internal block straight through RenderVoices; the interleaved result.
inline const float* RenderBlock(TKwpTestPlugin& p) {
  TPluginLockGuard lock(p);
  p.RenderVoices();
  return p.GetOutputBuffer();
}

}  // namespace kwp_test
