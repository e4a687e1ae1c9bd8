// An effect-order edit (moving an effect rewrites all seven order values)
// lands whole and in the order of the host's calls, whichever thread makes
// it: the bank, the order values and a read right after the set are those
// of an instance that gets the same calls and does not stream.
#include <gtest/gtest.h>

#include "tests/module/audio_thread.h"

namespace {

using namespace module_render;

enum class TOn { Host, Audio };
enum class TState { Idle, Streaming, Stopped };  // Stopped: no calls, not suspended
enum class TThen { Program, ProgramChunk, BankChunk, AudioEdit };
struct TEditCase {
  const char* Name;
  TOn On;
  TState State;
  TThen Then;
};

class EffectOrder : public testing::TestWithParam<TEditCase> {};

TEST_P(EffectOrder, AnEditLandsAsWithoutStreaming) {
  const TEditCase& c = GetParam();
  const int first = ParamIndex("RvbIdx");
  std::unique_ptr<TVstPlugin> live = Streamable(100, 512, kVstProcessLevelRealtime),
                              reference = Streamable(100, 512, kVstProcessLevelRealtime);
  ASSERT_TRUE(live && reference && first >= 0);
  reference->SetProgram(103);
  const std::vector<std::uint8_t> programChunk = reference->GetChunk(true), bank = reference->GetChunk(false);
  live->SetProgram(103);
  // Work the audio thread does between two calls; held, it makes none.
  std::function<void()> work;
  std::atomic<bool> asked{false}, held{false};
  TAudioThread audio(*live, 512, true);
  audio.BeforeCall([&](std::size_t) {
    do {
      if (asked.load()) {
        work();
        asked.store(false);
      }
    } while (held.load());
  });
  const struct TLetGo {
    std::atomic<bool>& Held;
    ~TLetGo() { Held.store(false); }
  } letGo{held};
  auto onAudio = [&](std::function<void()> f) {
    work = std::move(f);
    asked.store(true);
    return WaitFor([&] { return !asked.load(); });
  };
  if (c.State != TState::Idle) {
    audio.Start();
    ASSERT_TRUE(audio.AwaitCalls(3));
  }
  // Held past two blocks and the grace, the audio thread counts as stopped.
  held.store(c.State == TState::Stopped);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int unlike = 0, misread = 0;
  for (int round = 0; round < 12; ++round) {
    const int id = first + round % 7, other = first + (round + 2) % 7;
    // Now and then a value that names no position.
    const float value = (round % 4 == 3 ? 9 : (round * 5 + 1) % 7) / 12.0f, otherValue = (round * 2 + 4) % 7 / 12.0f;
    float read = -1;
    auto edit = [&] {
      live->SetParameter(id, value);
      read = live->GetParameter(id);
    };
    if (c.On == TOn::Host) {
      edit();
    } else {
      ASSERT_TRUE(onAudio(edit));
    }
    reference->SetParameter(id, value);
    misread += read == reference->GetParameter(id) ? 0 : 1;
    for (TVstPlugin* p : {live.get(), reference.get()}) {
      if (c.Then == TThen::Program) p->SetProgram(100 + round * 3 % 10);
      const bool chunk = c.Then == TThen::ProgramChunk || c.Then == TThen::BankChunk;
      EXPECT_TRUE(!chunk ||
                  p->SetChunk(c.Then == TThen::BankChunk ? bank : programChunk, c.Then == TThen::ProgramChunk) != 0);
      if (c.Then != TThen::AudioEdit) continue;
      if (p == reference.get()) p->SetParameter(other, otherValue);
      else ASSERT_TRUE(onAudio([&] { live->SetParameter(other, otherValue); }));
    }
    // Whatever the audio thread still had to do is done.
    if (c.State == TState::Streaming) {
      ASSERT_TRUE(audio.AwaitCalls(3));
    }
    bool same = live->GetChunk(false) == reference->GetChunk(false);
    for (int k = 0; k < 7; ++k) same &= live->GetParameter(first + k) == reference->GetParameter(first + k);
    unlike += same ? 0 : 1;
  }
  EXPECT_EQ(unlike, 0) << "rounds of 12 whose bank or order values differ from the reference's";
  EXPECT_EQ(misread, 0) << "reads right after the set that differ from the reference's";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EffectOrder,
    testing::Values(TEditCase{"HostIdleProgram", TOn::Host, TState::Idle, TThen::Program},
                    TEditCase{"HostProgram", TOn::Host, TState::Streaming, TThen::Program},
                    TEditCase{"HostProgramChunk", TOn::Host, TState::Streaming, TThen::ProgramChunk},
                    TEditCase{"HostBankChunk", TOn::Host, TState::Streaming, TThen::BankChunk},
                    TEditCase{"HostAudioEdit", TOn::Host, TState::Streaming, TThen::AudioEdit},
                    TEditCase{"AudioProgram", TOn::Audio, TState::Streaming, TThen::Program},
                    TEditCase{"AudioBankChunk", TOn::Audio, TState::Streaming, TThen::BankChunk},
                    TEditCase{"HostStoppedProgram", TOn::Host, TState::Stopped, TThen::Program},
                    TEditCase{"AudioStoppedProgramChunk", TOn::Audio, TState::Stopped, TThen::ProgramChunk}),
    [](const testing::TestParamInfo<TEditCase>& info) { return info.param.Name; });

}  // namespace
