// A test instrument for chunks, banks, state and sub-presets: the sine test
// instrument with four sub-preset groups (two effect-like ones and the two
// sequencer groups), a sound that depends on program values only through
// ParameterChanged, and a state block of its own appended the way an
// instrument layer appends one.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "framework/base/messages.h"
#include "framework/core/dsp_plugin_x.h"
#include "tests/framework/core/plugin_test_support.h"

namespace chunk_test {

class TChunkTestPlugin : public plugin_test::TSineTestPlugin {
 public:
  // Groups: "Reverb" 10 (params 15..17), "Distortion" 11 (18..19),
  // "Sequencer1" 40 (20..21), "Sequencer2" 41 (22..23).
  enum : std::int32_t { kReverb = 10, kDistortion = 11, kSeq1 = 40, kSeq2 = 41 };
  // Param 10 is the gain (0..1), param 12 the pitch offset (0..12 semitones).
  static constexpr std::int32_t kGainParam = 10;
  static constexpr std::int32_t kPitchParam = 12;
  static constexpr std::string_view kBlockMagic = "tstB";

  void CreatePageButtons() override {
    TSineTestPlugin::CreatePageButtons();
    auto group = [this](std::int32_t id, std::string_view name, std::int32_t lo, std::int32_t hi) {
      AddSubPresetGroup(id, name);
      for (std::int32_t p = lo; p <= hi; ++p) AddSubPresetToGroup(id, p);
    };
    group(kReverb, "Reverb", 15, 17);
    group(kDistortion, "Distortion", 18, 19);
    group(kSeq1, "Sequencer1", 20, 21);
    group(kSeq2, " SEQUENCER2 ", 22, 23);
  }

  void ParameterChanged(std::int32_t i) override {
    if (i == kGainParam) Gain = GetParameterValue(kGainParam);
    if (i == kPitchParam) PitchOffset = 12.0f * GetParameterValue(kPitchParam);
    TSineTestPlugin::ParameterChanged(i);
  }

  void RenderVoices() override {
    ++RenderedBlocks;
    float* out = GetOutputBuffer();
    const std::int32_t n = Settings->BlockSize;
    for (std::int32_t j = 0; j < n; ++j) {
      float s = 0.0f;
      for (TVoice& v : Voices) {
        if (v.Note < 0) continue;
        s += Gain * static_cast<float>(std::sin(2.0 * M_PI * v.Phase));
        v.Phase += PitchToFreq(static_cast<float>(v.Note) + PitchOffset) / Settings->SampleRate;
        v.Phase -= std::floor(v.Phase);
      }
      out[2 * j] = s;
      out[2 * j + 1] = s;
    }
    DetectSignal(out, Settings->StereoLength);
  }

  // A layer's own state block: magic, version 1, one byte.
  void SaveState(TStream& stream) override {
    TSineTestPlugin::SaveState(stream);
    WriteStateBlock(stream, kBlockMagic, 1, std::span<const std::uint8_t>(&LayerFlag, 1));
  }
  bool ReadState(TStream& stream, TStateImage& image, std::string& error) override {
    if (!TSineTestPlugin::ReadState(stream, image, error)) return false;
    return ParseStateBlock(stream, kBlockMagic, 1, image, error) != TReadResult::Damaged;
  }
  void ApplyState(const TStateImage& image) override {
    TSineTestPlugin::ApplyState(image);
    if (const TStateBlockImage* block = image.FindBlock(kBlockMagic)) LayerFlag = block->Payload[0];
  }

  // The editor's name dialog: answers AnswerName, or cancels when empty.
  bool AskText(std::string_view /*caption*/, std::string_view /*prompt*/, std::string& text) override {
    AskedWith = text;
    if (AnswerName.empty()) return false;
    text = AnswerName;
    return true;
  }

  // The whole stored content (programs, descriptors' values, sub-presets) as
  // the chunk writer sees it.
  std::vector<std::uint8_t> ChunkBytes() {
    TMemoryStream s;
    SaveChunk(s, false);
    return {s.Bytes().begin(), s.Bytes().end()};
  }

  float Gain = 0.25f;
  float PitchOffset = 0.0f;
  std::uint8_t LayerFlag = 0;
  std::string AnswerName;
  std::string AskedWith;
};

// The finished instrument's parameter count on the test instrument.
class TWideTestPlugin : public plugin_test::TSineTestPlugin {
 public:
  TWideTestPlugin() { ParamCount = 664; }
};

// Reported error texts, collected while an instance lives.
class TErrorCapture {
 public:
  TErrorCapture() {
    Texts().clear();
    Previous = SetErrorReportHook(&Hook);
  }
  ~TErrorCapture() { SetErrorReportHook(Previous); }
  const std::vector<std::string>& Reported() const { return Texts(); }
  // When set, each report checks from another thread that the global lock is free.
  static inline bool CheckLockFree = false;
  static inline bool LockHeldDuringReport = false;

 private:
  static std::vector<std::string>& Texts() {
    static std::vector<std::string> texts;
    return texts;
  }
  static void Hook(std::string_view text) {
    Texts().emplace_back(text);
    if (CheckLockFree) {
      bool free = false;
      std::thread probe([&free] {
        free = GlobalPluginLock().try_lock();
        if (free) GlobalPluginLock().unlock();
      });
      probe.join();
      if (!free) LockHeldDuringReport = true;
    }
  }
  TErrorReportHook Previous = nullptr;
};

}  // namespace chunk_test
