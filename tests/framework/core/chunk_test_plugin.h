// A test instrument for chunks, banks, state and sub-presets: the sine test
// instrument with four sub-preset groups (two effect-like ones and the two
// sequencer groups), a sound that depends on program values only through
// ParameterChanged, and a state block of its own appended the way an
// instrument layer appends one.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
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
  // Param 10 is the gain (0..1).
  static constexpr std::int32_t kGainParam = 10;
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
    TSineTestPlugin::ParameterChanged(i);
  }

  // The sine instrument's voices (amplitude 0.25) at the program's gain.
  void RenderVoices() override {
    TSineTestPlugin::RenderVoices();
    float* out = GetOutputBuffer();
    for (std::int32_t j = 0; j < Settings->StereoLength; ++j) out[j] *= 4.0f * Gain;
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
  // When set, each report checks from another thread that Watched's lock is free.
  static inline bool CheckLockFree = false;
  static inline const TDSPBasePlugin* Watched = nullptr;
  static inline bool LockHeldDuringReport = false;

 private:
  static std::vector<std::string>& Texts() {
    static std::vector<std::string> texts;
    return texts;
  }
  static void Hook(std::string_view text) {
    Texts().emplace_back(text);
    if (CheckLockFree && Watched != nullptr) {
      bool free = false;
      std::thread probe([&free] {
        free = Watched->InstanceMutex().try_lock();
        if (free) Watched->InstanceMutex().unlock();
      });
      probe.join();
      if (!free) LockHeldDuringReport = true;
    }
  }
  TErrorReportHook Previous = nullptr;
};

// For the fuzz targets: one instance for the whole run, whose readers' error
// reports are dropped.
inline TChunkTestPlugin& QuietSharedPlugin() {
  static std::unique_ptr<TChunkTestPlugin> plugin = [] {
    SetErrorReportHook([](std::string_view) {});
    return plugin_test::MakePlugin<TChunkTestPlugin>();
  }();
  return *plugin;
}

// A fuzz input whose first byte chooses what the rest is.
inline std::vector<std::uint8_t> WithModeByte(std::uint8_t mode, std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> out(bytes.size() + 1, mode);
  std::copy(bytes.begin(), bytes.end(), out.begin() + 1);
  return out;
}

}  // namespace chunk_test
