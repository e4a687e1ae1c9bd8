// The finished instrument's stored forms end to end: which layer owns each
// parameter id, FXB banks, host chunks and the saved state at the
// instrument's real size (664 values, ten sub-preset groups), damaged input
// of that size, and sub-preset files between its real groups.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "framework/base/messages.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using sampler_test::TInstrument;
using TBytes = std::vector<std::uint8_t>;

constexpr std::int32_t kParams = 664;
constexpr std::int32_t kPrograms = 128;
// Ids of the core's empty default records, which no layer describes.
constexpr std::int32_t kFirstUnowned = 39;
constexpr std::int32_t kLastUnowned = 48;
// Sub-preset groups: the effects, the whole rack, the two sequencers.
constexpr std::int32_t kReverbGroup = 10;
constexpr std::int32_t kChorusGroup = 12;
constexpr std::int32_t kDelayGroup = 14;
constexpr std::int32_t kRackGroup = 17;
constexpr std::int32_t kSeq1Group = 40;
constexpr std::int32_t kSeq2Group = 41;
constexpr std::int32_t kGroupIds[] = {10, 11, 12, 13, 14, 15, 16, 17, 40, 41};

TBytes BytesOf(const TMemoryStream& s) { return {s.Bytes().begin(), s.Bytes().end()}; }

std::int32_t BigEndian32(const TBytes& b, std::size_t at) {
  return static_cast<std::int32_t>((std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
                                   (std::uint32_t{b[at + 2]} << 8) | b[at + 3]);
}

float BigEndianFloat(const TBytes& b, std::size_t at) {
  const auto bits = static_cast<std::uint32_t>(BigEndian32(b, at));
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::string Scratch(const std::string& name) { return testing_support::ScratchDir() + "/" + name; }

void WriteFile(const std::string& path, const TBytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Collects reported messages (and keeps them off stderr) while it lives.
class TMessages {
 public:
  TMessages() {
    Previous = SetErrorReportHook(&Hook);
    Texts().clear();
  }
  ~TMessages() { SetErrorReportHook(Previous); }
  const std::vector<std::string>& Reported() const { return Texts(); }

 private:
  static std::vector<std::string>& Texts() {
    static std::vector<std::string> texts;
    return texts;
  }
  static void Hook(std::string_view text) { Texts().emplace_back(text); }
  TErrorReportHook Previous = nullptr;
};

// Every value of three programs moved off its default, names, and two
// sub-presets in every group (the test executables carry no factory bank,
// so the instrument starts from its defaults).
void Edit(TRumbleon2& p, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (const std::int32_t program : {0, 5, 127}) {
    p.SelectProgram(program);
    for (std::int32_t id = 10; id < kParams; ++id) p.SetParameterValue(id, unit(rng));
    p.SetProgramNameAt(program, "Edited " + std::to_string(program));
  }
  p.SetParameterValue(0, 0.37f);  // a global value
  for (const std::int32_t group : kGroupIds) {
    p.StoreSubPresetAs(group, "First " + std::to_string(group));
    for (const std::int32_t id : p.FindSubPresetGroup(group)->Params) p.SetParameterValue(id, unit(rng));
    p.StoreSubPresetAs(group, "Second " + std::to_string(group));
  }
  p.SelectProgram(0);
}

TBytes ChunkBank(TRumbleon2& p) {
  TMemoryStream s;
  p.SaveBankToStream(s);
  return BytesOf(s);
}

TBytes HostChunk(TRumbleon2& p) {
  TMemoryStream s;
  p.SaveChunk(s, false);
  return BytesOf(s);
}

TBytes State(TRumbleon2& p) {
  TMemoryStream s;
  p.SaveState(s);
  return BytesOf(s);
}

// A note held for `frames`, then as many frames of release: the left
// channel followed by the right.
std::vector<float> PlayedNote(TInstrument& inst, int key, std::int32_t frames) {
  std::vector<float> left, right;
  inst.NoteOn(key);
  inst.RenderInto(frames, left, right);
  inst.NoteOff(key);
  inst.RenderInto(frames, left, right);
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

// ---- the parameter layout

TEST(Rumbleon2Layout, EveryParameterIdHasExactlyOneOwner) {
  TInstrument inst;
  TRumbleon2& p = inst.P();
  ASSERT_EQ(p.GetParamCount(), kParams);
  std::int32_t core = 0, synthesis = 0, oscillators = 0, sequencers = 0, rack = 0;
  for (std::int32_t id = 0; id < kParams; ++id) {
    const bool isCore = id < TDSPPluginX::kBaseParamCount;
    const bool isSynthesis = p.KwpLocalOfParam(id) >= 0;
    const bool isOscillator = FindOscParamRow(id) != nullptr;
    const bool isSequencer = p.SeqLocalOfParam(id) >= 0;
    const bool isRack = p.FxIndexOfParam(id) >= 0;
    const int owners = isCore + isSynthesis + isOscillator + isSequencer + isRack;
    core += isCore;
    synthesis += isSynthesis;
    oscillators += isOscillator;
    sequencers += isSequencer;
    rack += isRack;
    if (id >= kFirstUnowned && id <= kLastUnowned) {
      EXPECT_EQ(owners, 0) << id;
      EXPECT_TRUE(p.ParamInfo[static_cast<std::size_t>(id)].Name.empty()) << id;
    } else {
      EXPECT_EQ(owners, 1) << id;
      EXPECT_FALSE(p.ParamInfo[static_cast<std::size_t>(id)].Name.empty()) << id;
    }
  }
  EXPECT_EQ(core, 10);
  EXPECT_EQ(synthesis, 167);
  EXPECT_EQ(oscillators, 49);
  EXPECT_EQ(sequencers, 138);
  EXPECT_EQ(rack, 290);
  // Each layer's map is one to one.
  for (std::int32_t local = 0; local < 167; ++local) EXPECT_EQ(p.KwpLocalOfParam(p.KwpParamIndex(local)), local);
  for (std::int32_t local = 0; local < 138; ++local) EXPECT_EQ(p.SeqLocalOfParam(p.SeqParamIndex(local)), local);
  for (int fx = 0; fx < 290; ++fx) EXPECT_EQ(p.FxIndexOfParam(p.FxParamIndex(fx)), fx);
  // Exactly past each layer's last local index, and past the last id.
  EXPECT_EQ(p.KwpParamIndex(167), -1);
  EXPECT_EQ(p.SeqParamIndex(138), -1);
  EXPECT_EQ(p.FxParamIndex(290), -1);
  EXPECT_EQ(p.KwpLocalOfParam(kParams), -1);
  EXPECT_EQ(p.SeqLocalOfParam(kParams), -1);
  EXPECT_EQ(p.FxIndexOfParam(kParams), -1);
  EXPECT_EQ(FindOscParamRow(kParams), nullptr);
}

TEST(Rumbleon2Layout, TheUnownedIdsChangeNothingYouCanHear) {
  auto play = [](float unowned) {
    TInstrument inst;
    for (std::int32_t id = kFirstUnowned; id <= kLastUnowned; ++id)
      inst.Effect()->setParameter(inst.Effect(), id, unowned);
    return PlayedNote(inst, 40, 4096);
  };
  const std::vector<float> quiet = play(0.0f);
  EXPECT_GT(testing_support::Rms(quiet), 0.01);
  EXPECT_EQ(play(1.0f), quiet);
}

// ---- banks, chunks and the state

TEST(Rumbleon2Formats, AChunkBankIsItsFileLengthAndReadsBackByteForByte) {
  TInstrument a;
  Edit(a.P(), 1);
  const TBytes bank = ChunkBank(a.P());
  ASSERT_GT(bank.size(), 164u);
  EXPECT_EQ(BigEndian32(bank, 4), static_cast<std::int32_t>(bank.size()));
  EXPECT_EQ(BigEndian32(bank, 24), kPrograms);
  EXPECT_EQ(BigEndian32(bank, 156), static_cast<std::int32_t>(bank.size()) - 164);

  TInstrument b;
  TMemoryStream s(bank);
  ASSERT_TRUE(b.P().LoadBankFromStream(s));
  EXPECT_EQ(ChunkBank(b.P()), bank);
  EXPECT_EQ(HostChunk(b.P()), HostChunk(a.P()));
  EXPECT_EQ(b.P().GetProgramNameAt(127), "Edited 127");
  for (const std::int32_t group : kGroupIds) EXPECT_EQ(b.P().FindSubPresetGroup(group)->SubPresets.size(), 2u) << group;
}

TEST(Rumbleon2Formats, ARegularBankHoldsEveryValueBigEndianIn347348Bytes) {
  TInstrument a;
  Edit(a.P(), 2);
  a.P().ChunkMode = false;
  const TBytes bank = ChunkBank(a.P());
  ASSERT_EQ(bank.size(), 347348u) << "212 + 128 x (56 + 4 x 664)";
  EXPECT_EQ(std::string(bank.begin() + 8, bank.begin() + 12), "FxBk");
  constexpr std::size_t kRecord = 56 + 4 * kParams;
  for (const std::int32_t program : {0, 5, 127}) {
    const std::size_t record = 212 + static_cast<std::size_t>(program) * kRecord;
    EXPECT_EQ(std::string(bank.begin() + static_cast<std::ptrdiff_t>(record + 8),
                          bank.begin() + static_cast<std::ptrdiff_t>(record + 12)),
              "FxCk");
    EXPECT_EQ(BigEndian32(bank, record + 24), kParams);
    const std::vector<float>& values = a.P().Programs[static_cast<std::size_t>(program)].Values;
    for (std::int32_t id = 10; id < kParams; ++id)
      ASSERT_EQ(BigEndianFloat(bank, record + 56 + 4 * static_cast<std::size_t>(id)),
                values[static_cast<std::size_t>(id)])
          << program << " " << id;
    EXPECT_EQ(BigEndianFloat(bank, record + 56), 0.37f) << "a global value, from its descriptor";
  }

  TInstrument b;
  b.P().ChunkMode = false;
  TMemoryStream s(bank);
  ASSERT_TRUE(b.P().LoadBankFromStream(s));
  EXPECT_EQ(ChunkBank(b.P()), bank);
}

// A program that runs every layer: both oscillators, filter envelope,
// sequencer 1 and the rack with delay, chorus and reverb (a room from its
// table).
void MakeBusyProgram(TInstrument& inst) {
  auto set = [&inst](std::int32_t id, float real) { inst.Set(id, real); };
  set(sampler_test::kOsc2Patch, 4);
  set(sampler_test::kOsc2Amount, 800);
  set(sampler_test::kFilter1, 1);
  set(64, 1200);  // cutoff, Hz
  set(68, 1200);  // cutoff->Env2
  set(236, 1);    // Seq1 on
  set(272, 100);  // Seq1ToPitch: one semitone per step unit
  set(274, 12);   // step 2 an octave up
  set(sampler_test::kFxOn, 1);
  set(sampler_test::kDlyOn, 1);
  set(374 + 124, 1);  // ChrsOn
  set(374 + 12, 1);   // RvbOn
  set(374 + 17, 2);   // RvbMode: a room from the table
}

TEST(Rumbleon2Formats, ARecalledStateIsTheSameInstrumentAndSoundsTheSame) {
  TInstrument a;
  MakeBusyProgram(a);
  a.P().StoreSubPresetAs(kSeq1Group, "Octave");
  const TBytes state = State(a.P());

  TInstrument b;
  TMemoryStream s(state);
  ASSERT_TRUE(b.P().LoadState(s));
  EXPECT_EQ(State(b.P()), state);

  a.Render(64);
  b.Render(64);  // the recalled program applies at the next block
  const std::vector<float> original = PlayedNote(a, 45, 8192);
  const std::vector<float> recalled = PlayedNote(b, 45, 8192);
  EXPECT_GT(testing_support::Rms(original), 0.01);
  ASSERT_EQ(recalled.size(), original.size());
  // The effects add anti-denormal noise (about 1e-20) from a table shared by
  // every instance; one instance rendering before the other starts it at
  // another place. Anything audible is identical.
  float difference = 0.0f;
  for (std::size_t i = 0; i < original.size(); ++i)
    difference = std::max(difference, std::fabs(recalled[i] - original[i]));
  EXPECT_LT(difference, 1e-9f);
}

TEST(Rumbleon2Formats, CutAndDamagedBanksChunksAndStatesChangeNothing) {
  TMessages quiet;
  TInstrument source;
  Edit(source.P(), 3);
  const TBytes bank = ChunkBank(source.P());
  const TBytes chunk = HostChunk(source.P());
  const TBytes state = State(source.P());

  TInstrument target;
  Edit(target.P(), 4);
  const TBytes before = HostChunk(target.P());
  const TBytes stateBefore = State(target.P());

  // Cuts through the headers, the first records, every thousandth byte and
  // the sub-preset block at the end.
  auto cuts = [](std::size_t size) {
    std::vector<std::size_t> at;
    for (std::size_t n = 0; n < size; ++n)
      if (n < 400 || n % 1009 == 0 || n + 400 > size) at.push_back(n);
    return at;
  };
  for (const std::size_t n : cuts(bank.size())) {
    TMemoryStream s(TBytes(bank.begin(), bank.begin() + static_cast<std::ptrdiff_t>(n)));
    ASSERT_FALSE(target.P().LoadBankFromStream(s)) << n;
  }
  for (const std::size_t n : cuts(chunk.size())) {
    // Cut right before its 8-byte current-program block, a chunk is whole in
    // the form written before that block existed.
    if (n == chunk.size() - 8) continue;
    TMemoryStream s(TBytes(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n)));
    ASSERT_FALSE(target.P().LoadChunk(s, static_cast<std::int64_t>(n), false)) << n;
  }
  for (const std::size_t n : cuts(state.size())) {
    // A state cut right after the bank, or after its "dXPx" block, is a
    // whole state without the optional blocks that follow (7 bytes each).
    TMemoryStream s(TBytes(state.begin(), state.begin() + static_cast<std::ptrdiff_t>(n)));
    if (target.P().LoadState(s)) {
      ASSERT_GE(n, state.size() - 14) << "only the optional tail may be missing";
      TMemoryStream back(stateBefore);
      ASSERT_TRUE(target.P().LoadState(back));
    }
  }
  EXPECT_EQ(HostChunk(target.P()), before);
  EXPECT_EQ(State(target.P()), stateBefore);
  EXPECT_FALSE(quiet.Reported().empty()) << "refusals are reported";

  // Random damage: a refusal changes nothing; whatever loads is in range.
  std::mt19937 rng(7);
  for (int round = 0; round < 120; ++round) {
    TBytes bytes = round % 2 == 0 ? bank : chunk;
    const std::size_t span = round % 3 == 0 ? 2000 : bytes.size();
    for (int e = 0; e < 4; ++e) bytes[rng() % span] = static_cast<std::uint8_t>(rng());
    const TBytes was = HostChunk(target.P());
    TMemoryStream s(bytes);
    const bool loaded = round % 2 == 0 ? target.P().LoadBankFromStream(s)
                                       : target.P().LoadChunk(s, static_cast<std::int64_t>(bytes.size()), false);
    if (!loaded) {
      ASSERT_EQ(HostChunk(target.P()), was) << round;
      continue;
    }
    for (const TProgramRec& program : target.P().Programs)
      for (const float v : program.Values) ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << round;
  }
}

// ---- sub-preset files between the instrument's groups

struct Rumbleon2SubPresets : ::testing::Test {
  TBytes AllSubPresets() {
    TMemoryStream s;
    Inst.P().WriteSubPresets(s);
    return BytesOf(s);
  }
  std::vector<float> Values(std::int32_t group) {
    std::vector<float> v;
    for (const std::int32_t id : Inst.P().FindSubPresetGroup(group)->Params)
      v.push_back(Inst.P().GetParameterValue(id));
    return v;
  }
  TInstrument Inst;
};

TEST_F(Rumbleon2SubPresets, ASequencerOneBankLoadsIntoSequencerTwo) {
  TRumbleon2& p = Inst.P();
  Inst.Set(237, 16);  // Seq1Steps
  Inst.Set(274, 12);  // Seq1Step2
  p.StoreSubPresetAs(kSeq1Group, "Octaves");
  Inst.Set(274, 7);
  p.StoreSubPresetAs(kSeq1Group, "Fifths");
  const std::vector<float> fifths = Values(kSeq1Group);
  const std::string path = Scratch("sequencer1.spf");
  ASSERT_TRUE(p.SaveSubPresetBankFile(kSeq1Group, path));

  ASSERT_TRUE(p.LoadSubPresetBankFile(kSeq2Group, path, true));
  const auto& list = p.FindSubPresetGroup(kSeq2Group)->SubPresets;
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].Name, "Fifths");
  p.ApplySubPreset(kSeq2Group, 1);
  EXPECT_EQ(Values(kSeq2Group), fifths) << "sequencer 2 plays sequencer 1's pattern";
  EXPECT_EQ(p.GetParameterReal(305 + 1), 16.0f);  // Seq2Steps
}

TEST_F(Rumbleon2SubPresets, AnEffectsFileIsRefusedByAnotherGroupWithTheMessageAndChangesNothing) {
  TRumbleon2& p = Inst.P();
  Inst.Set(374 + 12, 1);  // RvbOn
  p.StoreSubPresetAs(kReverbGroup, "Room");
  const std::string bankPath = Scratch("reverb.spf");
  const std::string itemPath = Scratch("room.spi");
  ASSERT_TRUE(p.SaveSubPresetBankFile(kReverbGroup, bankPath));
  ASSERT_TRUE(p.SaveSubPresetFile(kReverbGroup, 0, itemPath));
  p.StoreSubPresetAs(kChorusGroup, "Keep");
  const TBytes before = AllSubPresets();
  const std::vector<float> chorus = Values(kChorusGroup), delay = Values(kDelayGroup), rack = Values(kRackGroup);

  TMessages messages;
  EXPECT_FALSE(p.LoadSubPresetBankFile(kChorusGroup, bankPath, true));
  EXPECT_FALSE(p.LoadSubPresetBankFile(kRackGroup, bankPath, true));
  EXPECT_FALSE(p.LoadSubPresetBankFile(kSeq1Group, bankPath, true));
  EXPECT_EQ(p.LoadSubPresetFile(kDelayGroup, itemPath), -1);
  ASSERT_EQ(messages.Reported().size(), 4u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(messages.Reported()[static_cast<std::size_t>(i)],
              "The sub-preset bank is not for this sub-preset group.");
  EXPECT_EQ(messages.Reported()[3], "That sub-preset file is not for this sub-preset group.");
  EXPECT_EQ(AllSubPresets(), before);
  EXPECT_EQ(Values(kChorusGroup), chorus);
  EXPECT_EQ(Values(kDelayGroup), delay);
  EXPECT_EQ(Values(kRackGroup), rack);

  // The sequencers' own files are refused by an effect group as well.
  p.StoreSubPresetAs(kSeq1Group, "Walk");
  const std::string seqPath = Scratch("walk.spf");
  ASSERT_TRUE(p.SaveSubPresetBankFile(kSeq1Group, seqPath));
  EXPECT_FALSE(p.LoadSubPresetBankFile(kReverbGroup, seqPath, true));
  EXPECT_EQ(p.FindSubPresetGroup(kReverbGroup)->SubPresets.size(), 1u);
}

TEST_F(Rumbleon2SubPresets, CutSequencerFilesChangeNothing) {
  TRumbleon2& p = Inst.P();
  p.StoreSubPresetAs(kSeq1Group, "A");
  p.StoreSubPresetAs(kSeq1Group, "B");
  TMemoryStream group;
  p.WriteSubPresetGroup(group, kSeq1Group);
  const TBytes bytes = BytesOf(group);
  ASSERT_GT(bytes.size(), 2u * 69u * 4u) << "69 values a sub-preset";
  const TBytes before = AllSubPresets();
  const std::string path = Scratch("cut.spf");
  TMessages quiet;
  for (std::size_t n = 0; n < bytes.size(); n += (n < 64 ? 1 : 13)) {
    WriteFile(path, TBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)));
    ASSERT_FALSE(p.LoadSubPresetBankFile(kSeq2Group, path, true)) << n;
    ASSERT_EQ(p.LoadSubPresetFile(kSeq2Group, path), -1) << n;
  }
  EXPECT_EQ(AllSubPresets(), before);
}

}  // namespace
