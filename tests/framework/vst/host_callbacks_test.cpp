// The host-callback wrappers that the plug-in does not send itself, against a
// host that records every call, and the speaker-arrangement operations.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/framework/core/plugin_test_support.h"

namespace {

struct TCall {
  std::int32_t Opcode;
  std::int32_t Index;
  std::intptr_t Value;
  void* Ptr;
  float Opt;
  bool operator==(const TCall&) const = default;
};

// Records every call; answers Answer, and writes AnswerText into a text
// request's buffer (at most TextBytes bytes, without a terminator when it
// fills them).
struct TRecordingHost {
  static inline std::vector<TCall> Calls;
  static inline std::intptr_t Answer = 0;
  static inline std::string AnswerText;
  static inline std::size_t TextBytes = 0;

  static std::intptr_t Callback(TVstEffect* /*effect*/, std::int32_t opcode, std::int32_t index, std::intptr_t value,
                                void* ptr, float opt) {
    Calls.push_back({opcode, index, value, ptr, opt});
    if (opcode == kHostVersion) return 2400;
    if ((opcode == kHostGetVendorString || opcode == kHostGetProductString) && ptr != nullptr)
      std::memcpy(ptr, AnswerText.data(), std::min(TextBytes, AnswerText.size()));
    return Answer;
  }
};

struct HostCallbacks : ::testing::Test {
  void SetUp() override {
    Plugin.InitPlugin(&TRecordingHost::Callback);
    TRecordingHost::Calls.clear();
    TRecordingHost::Answer = 0;
  }
  // The one call a wrapper made.
  TCall Only() {
    EXPECT_EQ(TRecordingHost::Calls.size(), 1u);
    TCall c = TRecordingHost::Calls.empty() ? TCall{} : TRecordingHost::Calls.front();
    TRecordingHost::Calls.clear();
    return c;
  }
  plugin_test::TSineTestPlugin Plugin;
};

}  // namespace

TEST_F(HostCallbacks, EachWrapperSendsItsPublishedOpcodeAndArgumentPlaces) {
  int token = 0;
  void* p = &token;
  struct TExpect {
    const char* Name;
    std::function<void(AudioEffectX&)> Call;
    TCall Sent;
  };
  const std::vector<TExpect> cases = {
      {"currentId", [](AudioEffectX& x) { x.GetCurrentUniqueId(); }, {2, 0, 0, nullptr, 0}},
      {"idle", [](AudioEffectX& x) { x.MasterIdle(); }, {3, 0, 0, nullptr, 0}},
      {"pinConnected in", [](AudioEffectX& x) { x.IsInputConnected(3); }, {4, 3, 0, nullptr, 0}},
      {"pinConnected out", [](AudioEffectX& x) { x.IsOutputConnected(5); }, {4, 5, 1, nullptr, 0}},
      {"tempoAt", [](AudioEffectX& x) { x.TempoAt(4410); }, {10, 0, 4410, nullptr, 0}},
      {"automatable", [](AudioEffectX& x) { x.GetNumAutomatableParameters(); }, {11, 0, 0, nullptr, 0}},
      {"quantization", [](AudioEffectX& x) { x.GetParameterQuantization(); }, {12, 0, 0, nullptr, 0}},
      {"needIdle", [](AudioEffectX& x) { x.NeedIdle(); }, {14, 0, 0, nullptr, 0}},
      {"sizeWindow", [](AudioEffectX& x) { x.SizeWindow(640, 480); }, {15, 640, 480, nullptr, 0}},
      {"sampleRate", [](AudioEffectX& x) { x.UpdateSampleRate(); }, {16, 0, 0, nullptr, 0}},
      {"blockSize", [](AudioEffectX& x) { x.UpdateBlockSize(); }, {17, 0, 0, nullptr, 0}},
      {"inputLatency", [](AudioEffectX& x) { x.GetInputLatency(); }, {18, 0, 0, nullptr, 0}},
      {"outputLatency", [](AudioEffectX& x) { x.GetOutputLatency(); }, {19, 0, 0, nullptr, 0}},
      {"previousPlug", [](AudioEffectX& x) { x.GetPreviousPlug(1); }, {20, 1, 0, nullptr, 0}},
      {"nextPlug", [](AudioEffectX& x) { x.GetNextPlug(2); }, {21, 2, 0, nullptr, 0}},
      {"replaceOrAccumulate", [](AudioEffectX& x) { x.WillProcessReplacing(); }, {22, 0, 0, nullptr, 0}},
      {"processLevel", [](AudioEffectX& x) { x.GetCurrentProcessLevel(); }, {23, 0, 0, nullptr, 0}},
      {"automationState", [](AudioEffectX& x) { x.GetAutomationState(); }, {24, 0, 0, nullptr, 0}},
      {"offlineStart", [p](AudioEffectX& x) { x.OfflineStart(p, 3, 1); }, {25, 1, 3, p, 0}},
      {"offlineRead", [p](AudioEffectX& x) { x.OfflineRead(p, 7, true); }, {26, 1, 7, p, 0}},
      {"offlineWrite", [p](AudioEffectX& x) { x.OfflineWrite(p, 9); }, {27, 0, 9, p, 0}},
      {"offlinePass", [](AudioEffectX& x) { x.OfflineGetCurrentPass(); }, {28, 0, 0, nullptr, 0}},
      {"offlineMetaPass", [](AudioEffectX& x) { x.OfflineGetCurrentMetaPass(); }, {29, 0, 0, nullptr, 0}},
      {"outputRate", [](AudioEffectX& x) { x.SetOutputSampleRate(48000.0f); }, {30, 0, 0, nullptr, 48000.0f}},
      {"outputArrangement", [](AudioEffectX& x) { x.GetOutputSpeakerArrangement(); }, {31, 0, 0, nullptr, 0}},
      {"vendorVersion", [](AudioEffectX& x) { x.GetHostVendorVersion(); }, {34, 0, 0, nullptr, 0}},
      {"vendorSpecific", [p](AudioEffectX& x) { x.HostVendorSpecific(5, 6, p, 0.5f); }, {35, 5, 6, p, 0.5f}},
      {"canDo", [](AudioEffectX& x) { x.HostCanDo(nullptr); }, {37, 0, 0, nullptr, 0}},
      {"language", [](AudioEffectX& x) { x.GetHostLanguage(); }, {38, 0, 0, nullptr, 0}},
      {"openWindow", [p](AudioEffectX& x) { x.OpenWindow(p); }, {39, 0, 0, p, 0}},
      {"closeWindow", [p](AudioEffectX& x) { x.CloseWindow(p); }, {40, 0, 0, p, 0}},
      {"directory", [](AudioEffectX& x) { x.GetDirectory(); }, {41, 0, 0, nullptr, 0}},
      {"updateDisplay", [](AudioEffectX& x) { x.UpdateDisplay(); }, {42, 0, 0, nullptr, 0}},
      {"fileSelector", [p](AudioEffectX& x) { x.OpenFileSelector(p); }, {45, 0, 0, p, 0}},
      {"inputArrangement", [](AudioEffectX& x) { x.GetInputSpeakerArrangement(); }, {49, 0, 0, nullptr, 0}},
  };
  for (const TExpect& c : cases) {
    c.Call(Plugin);
    EXPECT_EQ(Only(), c.Sent) << c.Name;
  }
}

// The notices of an edit each follow a tempo request on the same thread
// (hosts that keep their tempo per thread set the thread up with it).
TEST_F(HostCallbacks, EditNoticesEachFollowATempoRequest) {
  Plugin.BeginEdit(12);
  Plugin.SetParameterAutomated(12, 0.25f);
  Plugin.EndEdit(12);
  const TCall tempo{10, 0, 0, nullptr, 0};
  EXPECT_EQ(TRecordingHost::Calls,
            (std::vector<TCall>{
                tempo, {43, 12, 0, nullptr, 0}, tempo, {0, 12, 0, nullptr, 0.25f}, tempo, {44, 12, 0, nullptr, 0}}));
}

TEST_F(HostCallbacks, AnswersComeBackAndHostTextsStayWithinOurBuffer) {
  TRecordingHost::Answer = 1234567;
  EXPECT_EQ(Plugin.TempoAt(0), 1234567);
  EXPECT_FALSE(Plugin.IsInputConnected(0)) << "the host answers 0 for a connected pin";
  TRecordingHost::Calls.clear();
  TRecordingHost::Answer = 1;
  TRecordingHost::AnswerText = "Some Host";
  TRecordingHost::TextBytes = 10;  // with its terminator
  std::string text;
  EXPECT_TRUE(Plugin.GetHostVendorString(text));
  EXPECT_EQ(text, "Some Host");
  EXPECT_EQ(Only().Opcode, kHostGetVendorString);
  // A host that fills the whole buffer without a terminator.
  TRecordingHost::AnswerText.assign(2 * AudioEffectX::kHostTextCapacity, 'x');
  TRecordingHost::TextBytes = AudioEffectX::kHostTextCapacity;
  EXPECT_TRUE(Plugin.GetHostProductString(text));
  EXPECT_EQ(text.size(), AudioEffectX::kHostTextCapacity - 1);
  EXPECT_EQ(Only().Opcode, kHostGetProductString);
}

TEST(SpeakerArrangement, AllocationIsZeroedHoldsItsCountAndRefusesBadCounts) {
  TVstSpeakerArrangement* a = nullptr;
  ASSERT_TRUE(AudioEffectX::AllocateArrangement(&a, 12));
  EXPECT_EQ(a->numChannels, 12);
  EXPECT_EQ(a->type, 0);
  // Every byte of the twelve speakers, beyond the eight the record declares.
  const auto* bytes = reinterpret_cast<const unsigned char*>(AudioEffectX::SpeakerAt(a, 0));
  for (std::size_t i = 0; i < 12 * sizeof(TVstSpeakerProperties); ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(reinterpret_cast<const char*>(AudioEffectX::SpeakerAt(a, 11)) - reinterpret_cast<const char*>(a),
            8 + 112 * 11);
  // Allocating again frees the old one (the sanitizer build sees a leak otherwise).
  ASSERT_TRUE(AudioEffectX::AllocateArrangement(&a, 0));
  EXPECT_FALSE(AudioEffectX::AllocateArrangement(&a, -1));
  EXPECT_EQ(a, nullptr);
  EXPECT_FALSE(AudioEffectX::AllocateArrangement(&a, AudioEffectX::kMaxArrangementChannels + 1));
  EXPECT_FALSE(AudioEffectX::DeallocateArrangement(&a));
}

TEST(SpeakerArrangement, MatchingCopiesTypeAndEverySpeaker) {
  TVstSpeakerArrangement* from = nullptr;
  TVstSpeakerArrangement* to = nullptr;
  ASSERT_TRUE(AudioEffectX::AllocateArrangement(&from, 10));
  from->type = 7;
  for (std::int32_t i = 0; i < 10; ++i) {
    TVstSpeakerProperties* s = AudioEffectX::SpeakerAt(from, i);
    s->azimuth = 0.1f * static_cast<float>(i);
    s->radius = 1.0f + static_cast<float>(i);
    s->type = 100 + i;
    std::snprintf(s->name, sizeof s->name, "Speaker %d", i);
  }
  // An unterminated name is cut inside its field.
  std::memset(AudioEffectX::SpeakerAt(from, 9)->name, 'n', sizeof(TVstSpeakerProperties::name));
  ASSERT_TRUE(AudioEffectX::AllocateArrangement(&to, 1));
  ASSERT_TRUE(AudioEffectX::MatchArrangement(&to, from));
  EXPECT_EQ(to->type, 7);
  ASSERT_EQ(to->numChannels, 10);
  for (std::int32_t i = 0; i < 9; ++i) {
    const TVstSpeakerProperties* s = AudioEffectX::SpeakerAt(to, i);
    EXPECT_EQ(s->azimuth, 0.1f * static_cast<float>(i));
    EXPECT_EQ(s->radius, 1.0f + static_cast<float>(i));
    EXPECT_EQ(s->type, 100 + i);
    EXPECT_EQ(std::string(s->name), "Speaker " + std::to_string(i));
  }
  EXPECT_EQ(std::strlen(AudioEffectX::SpeakerAt(to, 9)->name), sizeof(TVstSpeakerProperties::name) - 1);
  EXPECT_FALSE(AudioEffectX::MatchArrangement(&to, nullptr));
  AudioEffectX::DeallocateArrangement(&from);
  AudioEffectX::DeallocateArrangement(&to);
}
