// A small instrument on the effects rack for its tests: it feeds the rack a
// known signal (a test-given stereo input, plus a short sine burst per
// note) and keeps nothing else of a voice layer.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "engines/voicerack_gfx_synth.h"
#include "tests/framework/core/plugin_test_support.h"

namespace rack_test {

class TRackTestPlugin : public TVoicerackGFXSynth {
 public:
  // Length of the burst a note plays.
  static constexpr double kBurstMs = 20.0;

  TRackTestPlugin() {
    EffectName = "RackTest";
    SetUniqueIDChars('R', 'k', 'T', 's');
  }

  void NoteOn(const TMidiEventRec& e) override {
    Burst.Note = e.Data1;
    Burst.Sample = 0;
  }

  // One internal block: the input (then the burst) into the mix buffers,
  // then the rack.
  void RenderVoices() override {
    float* left = MixLeft();
    float* right = MixRight();
    const std::int32_t n = Settings->BlockSize;
    const auto burstLength = static_cast<std::int64_t>(kBurstMs * Settings->SampleRate / 1000.0);
    bool signal = false;
    for (std::int32_t i = 0; i < n; ++i) {
      float l = 0.0f;
      float r = 0.0f;
      if (InputPosition < InputLeft.size()) {
        l = InputLeft[InputPosition];
        r = InputRight[InputPosition];
        ++InputPosition;
      }
      if (Burst.Note >= 0 && Burst.Sample < burstLength) {
        const double t = static_cast<double>(Burst.Sample++) / Settings->SampleRate;
        const auto s = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 220.0 * t));
        l += s;
        r += s;
      }
      left[i] = l;
      right[i] = r;
      signal |= l != 0.0f || r != 0.0f;
    }
    BlockHasSignal = signal;
    ProcessFX();
  }

  // Sets an FX parameter by its real value, as an edit does.
  void SetFx(int fx, float real) { SetParameterReal(FxParamIndex(fx), real); }
  float GetFx(int fx) { return GetParameterReal(FxParamIndex(fx)); }

  // The stereo input the next blocks play (replacing what was left).
  void Feed(std::vector<float> left, std::vector<float> right) {
    InputLeft = std::move(left);
    InputRight = std::move(right);
    InputPosition = 0;
  }

  // One internal block straight through RenderVoices, as the render loop
  // calls it; the interleaved result.
  const float* RenderBlock() {
    RenderVoices();
    return GetOutputBuffer();
  }

  std::array<TFxUnit, kFxEffectCount> CurrentChain() const {
    std::array<TFxUnit, kFxEffectCount> chain{};
    for (int i = 0; i < kFxEffectCount; ++i) chain[static_cast<std::size_t>(i)] = ChainAt(i);
    return chain;
  }

  std::int32_t CoreSilenceCount() const { return SilenceCount; }
  float* ValueSlotOf(std::int32_t i) { return ValueSlot(i); }

  std::vector<float> InputLeft;
  std::vector<float> InputRight;
  std::size_t InputPosition = 0;
  struct {
    std::int32_t Note = -1;
    std::int64_t Sample = 0;
  } Burst;
};

// A rack plug-in set up as a host would (rate, block size, resume) whose
// first process call has applied program 0.
inline std::unique_ptr<TRackTestPlugin> MakeRack(float sampleRate = 44100.0f) {
  auto plugin = plugin_test::MakePlugin<TRackTestPlugin>(sampleRate);
  plugin_test::TStereoBuffers out(64);
  plugin->ProcessReplacing(nullptr, out.Pointers, 64);
  return plugin;
}

// FX indexes the tests use by name.
enum : int {
  kFxOn = 0,
  kFxPreShift = 1,
  kFxPostShift = 2,
  kRvbIdx = 3,
  kDistIdx = 4,
  kPhsIdx = 5,
  kDlyIdx = 6,
  kCrsIdx = 7,
  kXfltIdx = 8,
  kEqIdx = 9,
  kFxPreAmp = 10,
  kRvbOn = 12,
  kRvbMode = 17,
  kRvbSize = 18,
  kRvbGain = 19,
  kRvbPan = 20,
  kRvbInvL = 22,
  kRvbFlt1Type = 25,
  kRvbFlt2Type = 30,
  kDistOn = 35,
  kDistInvL = 39,
  kDstLF1On = 43,
  kDstLF1Typ = 44,
  kDstLF1C = 45,
  kDstRF1Typ = 54,
  kDistTypeL = 65,
  kDistTypeR = 66,
  kDistClpMode = 68,
  kDistChnMode = 72,
  kPhsOn = 74,
  kPhsL = 80,
  kPhsR = 81,
  kPhsStrL = 94,
  kPhsStrR = 95,
  kPhsShift = 96,
  kPhsChnMode = 97,
  kDlyOn = 99,
  kDlyLengthUnit = 100,
  kDlyMix = 101,
  kDlyGain = 102,
  kDlyL = 103,
  kDlyR = 104,
  kDlyLFBK = 109,
  kDlyRFBK = 110,
  kDlyDry = 123,
  kChrsOn = 124,
  kXfltOn = 153,
  kXfltShift = 199,
  kEqOn = 205,
  kFxModOn = 223,
  kFxLfo1Frq = 224,
  kFxLfo1Amp = 230,
  kFxLfo1Wave = 236,
};

// FX index of slot n's source, target and amount (n = 1..16).
inline int MSrc(int n) { return kFxFirstSlotParam + 3 * (n - 1); }
inline int MDst(int n) { return MSrc(n) + 1; }
inline int MAmt(int n) { return MSrc(n) + 2; }

// A rack that runs (steady input) with the matrix on.
inline std::unique_ptr<TRackTestPlugin> MakeModulatedRack() {
  auto p = MakeRack();
  p->SetFx(kFxOn, 1);
  p->SetFx(kFxModOn, 1);
  p->Feed(std::vector<float>(44 * 20000, 0.1f), std::vector<float>(44 * 20000, 0.1f));
  return p;
}

// Slot n feeds target from source at amount (1000 is unit depth).
inline void Route(TRackTestPlugin& p, int slot, int source, int target, float amount = 1000) {
  p.SetFx(MSrc(slot), static_cast<float>(source));
  p.SetFx(MDst(slot), static_cast<float>(target));
  p.SetFx(MAmt(slot), amount);
}

}  // namespace rack_test
