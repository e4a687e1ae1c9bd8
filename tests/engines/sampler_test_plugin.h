// The finished instrument (TRumbleon2) set up as a host would, for the
// tests of the sampler layers: helpers that set parameters through the
// host's entry, play notes as MIDI events and render internal blocks.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engines/rumbleon2.h"
#include "tests/framework/core/plugin_test_support.h"
#include "tests/support/test_support.h"

namespace sampler_test {

// Parameter ids the tests use (the synthesis layer's by its table).
enum : std::int32_t {
  kVoices = 14,
  kGlideTime = 15,
  kEnv1Attack = 20,
  kEnv1Release = 23,
  kInterpolation = 17,
  kOsc1Amount = 30,
  kOsc1Pan = 31,
  kOsc1Patch = 32,
  kOsc1Tune = 33,
  kOsc1Fine = 34,
  kOsc1Env1 = 36,
  kOsc2Amount = 51,
  kOsc2Pan = 52,
  kOsc2Patch = 53,
  kOsc1PitchLfo1 = 99,
  kOsc1PattStart = 109,
  kOsc1PattEnd = 110,
  kOsc1PattTime = 111,
  kOsc1PrelEnd = 112,
  kOsc1PrelTime = 113,
  kOsc1ScaleTune = 124,
  kOsc1RootKey = 125,
  kOsc2ScaleTune = 126,
  kOsc2RootKey = 127,
  kFilter1 = 62,
  kShape = 94,
  kShapeType = 96,
  kPmMethod = 98,
  kFxOn = 374,
  kDlyOn = 374 + 99,
};

// A host's view of one instrument: its effect record and output buffers.
class TInstrument {
 public:
  explicit TInstrument(float sampleRate = 44100.0f) : Plugin(plugin_test::MakePlugin<TRumbleon2>(sampleRate)) {
    // The first process call applies program 0 and builds the voices.
    Render(64);
  }

  TRumbleon2& P() { return *Plugin; }
  TVstEffect* Effect() { return Plugin->GetEffect(); }

  // Sets a parameter by its real value through the host's entry.
  void Set(std::int32_t id, float real) {
    Effect()->setParameter(Effect(), id, Plugin->ParamInfo[static_cast<std::size_t>(id)].NormFromReal(real));
  }
  // The next process call starts with these events.
  void NoteOn(int key, int velocity = 100) {
    Events.Add(0, 0x90, static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(velocity));
  }
  void NoteOff(int key) { Events.Add(0, 0x80, static_cast<std::uint8_t>(key), 0); }
  void ProgramChange(int program) { Events.Add(0, 0xC0, static_cast<std::uint8_t>(program), 0); }
  // value 0..16383, 8192 the centre.
  void PitchBend(int value) {
    Events.Add(0, 0xE0, static_cast<std::uint8_t>(value & 0x7F), static_cast<std::uint8_t>((value >> 7) & 0x7F));
  }

  // frames through the host's process entry (events first); the output is
  // kept in Out.
  void Render(std::int32_t frames) {
    const TVstEvents* list = Events.Build();
    plugin_test::Dispatch(Effect(), kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(list));
    Events = plugin_test::TEventList();
    Out = std::make_unique<plugin_test::TStereoBuffers>(static_cast<std::size_t>(frames));
    Effect()->processReplacing(Effect(), nullptr, Out->Pointers, frames);
  }
  // The same frames, collected.
  void RenderInto(std::int32_t frames, std::vector<float>& left, std::vector<float>& right) {
    Render(frames);
    left.insert(left.end(), Out->Left.begin(), Out->Left.end());
    right.insert(right.end(), Out->Right.begin(), Out->Right.end());
  }
  // One internal block straight through RenderVoices (no host buffers).
  void RenderBlock() { Plugin->RenderVoices(); }

  TDSPSamplerInstrVoice2& Voice(std::int32_t i) { return *Plugin->InstrVoice(i); }
  // The lowest held voice playing key, or null.
  TDSPSamplerInstrVoice2* Playing(int key) {
    for (std::int32_t i = 0; i < Plugin->VoiceCount(); ++i) {
      TDSPSamplerInstrVoice2* v = Plugin->InstrVoice(i);
      if (v != nullptr && !v->IsFree() && v->Note == key) return v;
    }
    return nullptr;
  }
  std::int32_t SoundingVoices() {
    std::int32_t n = 0;
    for (std::int32_t i = 0; i < Plugin->VoiceCount(); ++i)
      if (Plugin->InstrVoice(i) != nullptr && !Plugin->InstrVoice(i)->IsFree()) ++n;
    return n;
  }

  std::unique_ptr<TRumbleon2> Plugin;
  plugin_test::TEventList Events;
  std::unique_ptr<plugin_test::TStereoBuffers> Out;
};

// The factory bank the build writes (resources/factorybank.fxb, the
// module's FACTORYBANKFXB); empty when it is missing. The test executables
// do not embed it.
inline const std::vector<std::uint8_t>& FactoryBank() {
  static const std::vector<std::uint8_t> bytes = [] {
    const std::string path = testing_support::EnvOr("RUMBLEON_BINARY_DIR", ".") + "/resources/factorybank.fxb";
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  return bytes;
}

}  // namespace sampler_test
