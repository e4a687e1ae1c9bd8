// An effect-order edit (one of the seven order parameters; moving an effect
// rewrites all seven values) lands whole and in the order of the host's
// calls, whichever thread makes it and whatever the audio thread does: the
// values, what getChunk saves and what getParameter reads are those the
// same calls give an instance that does not stream.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/module/audio_thread.h"
#include "tests/module/module_render.h"

namespace {

using namespace module_render;

constexpr int kFrames = 512;

// Runs work on the audio thread between two of its calls (from its
// BeforeCall hook), and keeps it from calling while held: a host that
// stopped calling without suspending.
class TAudioSide {
 public:
  explicit TAudioSide(TAudioThread& audio) {
    audio.BeforeCall([this](std::size_t) {
      do {
        if (Asked.load()) {
          Work();
          Asked.store(false);
        }
        if (Held.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
      } while (Held.load());
    });
  }
  bool Run(std::function<void()> work) {
    Work = std::move(work);
    Asked.store(true);
    return WaitFor([&] { return !Asked.load(); });
  }
  void Hold(bool held) { Held.store(held); }

 private:
  std::function<void()> Work;
  std::atomic<bool> Asked{false}, Held{false};
};

enum class TOn { Host, Audio };
enum class TState { Idle, Streaming, Stopped };
// What follows the edit at once: a program change, a program chunk, a bank
// chunk, or another order value set on the audio thread.
enum class TThen { Program, ProgramChunk, BankChunk, AudioEdit };

struct TEditCase {
  const char* Name;
  TOn On;
  TState State;
  TThen Then;
};

std::string CaseName(const testing::TestParamInfo<TEditCase>& info) { return info.param.Name; }

class EffectOrder : public testing::TestWithParam<TEditCase> {};

// Opened on the bank, resumed, as a host that streams (or not) would.
std::unique_ptr<TVstPlugin> OpenOnBank(const std::vector<std::uint8_t>& bank) {
  std::string error;
  std::unique_ptr<TVstPlugin> plugin = OpenInstance(44100, kFrames, error);
  EXPECT_NE(plugin, nullptr) << error;
  if (plugin == nullptr) return nullptr;
  EXPECT_NE(plugin->SetChunk(bank, false), 0);
  plugin->SetSampleRate(44100);
  plugin->SetBlockSize(kFrames);
  plugin->SetProcessLevel(kVstProcessLevelRealtime);
  plugin->Resume();
  plugin->Dispatch(kEffStartProcess);
  return plugin;
}

TEST_P(EffectOrder, AnEditLandsAsWithoutStreaming) {
  const TEditCase& c = GetParam();
  const int first = ParamIndex("RvbIdx");
  ASSERT_GE(first, 0);
  auto order = [](int position) { return static_cast<float>(position) / 12.0f; };
  // A bank whose programs 100..109 have chains of their own, and two
  // program chunks of such programs.
  std::string error;
  std::unique_ptr<TVstPlugin> scratch = OpenInstance(44100, kFrames, error);
  ASSERT_NE(scratch, nullptr) << error;
  std::vector<std::vector<std::uint8_t>> programChunks;
  for (int k = 9; k >= 0; --k) {
    scratch->SetProgram(100 + k);
    scratch->SetParameter(first + k % 7, order((k * 3 + 2) % 7));
    scratch->SetParameter(first + (k + 3) % 7, order(k % 7));
    if (k % 5 == 2) programChunks.push_back(scratch->GetChunk(true));
  }
  const std::vector<std::uint8_t> bank = scratch->GetChunk(false);

  std::unique_ptr<TVstPlugin> live = OpenOnBank(bank), reference = OpenOnBank(bank);
  ASSERT_NE(live, nullptr);
  ASSERT_NE(reference, nullptr);
  std::unique_ptr<TAudioThread> audio;
  std::unique_ptr<TAudioSide> side;
  if (c.State != TState::Idle) {
    audio = std::make_unique<TAudioThread>(*live, kFrames, true);
    side = std::make_unique<TAudioSide>(*audio);
    audio->Start();
    ASSERT_TRUE(audio->AwaitCalls(3));
  }
  if (c.State == TState::Stopped) {
    side->Hold(true);
    // Past two blocks and the grace: the audio thread counts as stopped.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  constexpr int kRounds = 12;
  int unlike = 0, misread = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    const int id = first + round % 7;
    // Now and then a value that names no position (it leaves the chain).
    const float value = order(round % 4 == 3 ? 9 : (round * 5 + 1) % 7);
    const int other = first + (round + 2) % 7;
    const float otherValue = order((round * 2 + 4) % 7);
    float read = -1;
    auto edit = [&] {
      live->SetParameter(id, value);
      read = live->GetParameter(id);
    };
    if (c.On == TOn::Host) {
      edit();
    } else {
      ASSERT_TRUE(side->Run(edit));
    }
    reference->SetParameter(id, value);
    misread += read == reference->GetParameter(id) ? 0 : 1;
    switch (c.Then) {
      case TThen::Program:
        live->SetProgram(100 + (round * 3) % 10);
        reference->SetProgram(100 + (round * 3) % 10);
        break;
      case TThen::ProgramChunk:
        EXPECT_NE(live->SetChunk(programChunks[round % 2], true), 0);
        EXPECT_NE(reference->SetChunk(programChunks[round % 2], true), 0);
        break;
      case TThen::BankChunk:
        EXPECT_NE(live->SetChunk(bank, false), 0);
        EXPECT_NE(reference->SetChunk(bank, false), 0);
        break;
      case TThen::AudioEdit:
        ASSERT_TRUE(side->Run([&] { live->SetParameter(other, otherValue); }));
        reference->SetParameter(other, otherValue);
        break;
    }
    // Whatever the audio thread still had to do is done.
    if (c.State == TState::Streaming) {
      ASSERT_TRUE(audio->AwaitCalls(3));
    }
    bool same = live->GetChunk(false) == reference->GetChunk(false);
    for (int k = 0; k < 7; ++k) same &= live->GetParameter(first + k) == reference->GetParameter(first + k);
    unlike += same ? 0 : 1;
  }
  EXPECT_EQ(unlike, 0) << "rounds of " << kRounds << " whose bank or order values differ from the reference's";
  EXPECT_EQ(misread, 0) << "reads right after the set that differ from the reference's";
  if (audio) {
    side->Hold(false);
    audio->Stop();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EffectOrder,
    testing::Values(TEditCase{"HostIdleThenProgram", TOn::Host, TState::Idle, TThen::Program},
                    TEditCase{"HostIdleThenProgramChunk", TOn::Host, TState::Idle, TThen::ProgramChunk},
                    TEditCase{"HostStreamingThenProgram", TOn::Host, TState::Streaming, TThen::Program},
                    TEditCase{"HostStreamingThenProgramChunk", TOn::Host, TState::Streaming, TThen::ProgramChunk},
                    TEditCase{"HostStreamingThenBankChunk", TOn::Host, TState::Streaming, TThen::BankChunk},
                    TEditCase{"HostStreamingThenAudioEdit", TOn::Host, TState::Streaming, TThen::AudioEdit},
                    TEditCase{"AudioStreamingThenProgram", TOn::Audio, TState::Streaming, TThen::Program},
                    TEditCase{"AudioStreamingThenProgramChunk", TOn::Audio, TState::Streaming, TThen::ProgramChunk},
                    TEditCase{"AudioStreamingThenBankChunk", TOn::Audio, TState::Streaming, TThen::BankChunk},
                    TEditCase{"HostStoppedThenProgram", TOn::Host, TState::Stopped, TThen::Program},
                    TEditCase{"HostStoppedThenBankChunk", TOn::Host, TState::Stopped, TThen::BankChunk},
                    TEditCase{"AudioStoppedThenProgram", TOn::Audio, TState::Stopped, TThen::Program},
                    TEditCase{"AudioStoppedThenProgramChunk", TOn::Audio, TState::Stopped, TThen::ProgramChunk}),
    CaseName);

}  // namespace
