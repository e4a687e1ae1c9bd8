// A waveshaper chosen by a shape index among 51 slots; the voices own two
// and the sampler zones four. It always holds a shaper ("Shape Off" after
// construction). A shape change builds the new shaper in the holder's own
// storage (made once, for the largest class), so it allocates nothing; an
// index without a class keeps the current shaper.
//
// Threads: no lock of its own. The owner changes the shape under its lock,
// or on the audio thread that processes it.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "dsp/shapers/shaper.h"
#include "framework/base/in_place.h"

// Display names by shape index; empty where the slot has none.
extern const std::array<std::string_view, kShaperTypeMax + 1> ShaperTypeNames;
std::string_view ShaperTypeName(std::int32_t index);
// The shaper name list for value texts and menus: ShaperTypeName as a text.
std::string GetShaperName(std::int32_t index);

// A new shaper of the index, or null for an index without a class (13, 29,
// 35..49, or outside 0..50).
std::unique_ptr<TDSPShaper> CreateShaper(std::int32_t index);

class TDSPMultiShaper1 final : public TDSPShaper {
 public:
  TDSPMultiShaper1();
  ~TDSPMultiShaper1() override;

  // Rebuilds on every call (the new shaper's state starts afresh), even for
  // the current index.
  void SetShape(float value) override;
  // The inner shaper takes the multi-shaper's amount.
  void Update() override;
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  // Forwarded to the inner shaper: one indirect call per sample, or one per
  // buffer.
  float ProcessSample(float x) { return Inner->ProcessSample(x); }
  void ProcessSamples(float* buffer, std::int32_t count) { Inner->ProcessSamples(buffer, count); }
  void Tick() override;
  void ProcessBuffer(float* buffer) override { Inner->ProcessSamples(buffer, Settings->SamplesPerMs); }

  TDSPShaper& Shaper() const { return *Inner; }

 private:
  TInPlacePair<TDSPShaper> Storage;
  TDSPShaper* Inner = nullptr;
};
