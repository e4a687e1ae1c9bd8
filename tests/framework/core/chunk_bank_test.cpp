// Host chunks, FXB banks, the state block and the parameter snapshot:
// byte layouts, round trips, what a recalled chunk sounds like, and damaged
// input that must change nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/bank_format.h"
#include "framework/core/chunk_format.h"
#include "tests/framework/core/chunk_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using namespace plugin_test;
using namespace chunk_test;
using TBytes = std::vector<std::uint8_t>;

TBytes BytesOf(const TMemoryStream& s) { return {s.Bytes().begin(), s.Bytes().end()}; }

std::int32_t BigEndianAt(const TBytes& b, std::size_t offset) {
  return static_cast<std::int32_t>((std::uint32_t{b[offset]} << 24) | (std::uint32_t{b[offset + 1]} << 16) |
                                   (std::uint32_t{b[offset + 2]} << 8) | std::uint32_t{b[offset + 3]});
}

std::int32_t LittleEndianAt(const TBytes& b, std::size_t offset) {
  return static_cast<std::int32_t>(std::uint32_t{b[offset]} | (std::uint32_t{b[offset + 1]} << 8) |
                                   (std::uint32_t{b[offset + 2]} << 16) | (std::uint32_t{b[offset + 3]} << 24));
}

std::string TextAt(const TBytes& b, std::size_t offset, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(b.data() + offset), n);
}

struct ChunkTest : ::testing::Test {
  void SetUp() override { TTestHost::Reset(); }

  std::unique_ptr<TChunkTestPlugin> Make() { return MakePlugin<TChunkTestPlugin>(); }

  // Distinct values in every program, some names, a global value and a few
  // sub-presets.
  std::unique_ptr<TChunkTestPlugin> MakeEdited() {
    auto p = Make();
    for (std::int32_t prog = 0; prog < p->GetProgramCount(); ++prog) {
      for (std::int32_t i = 10; i < p->GetParamCount(); ++i)
        p->Programs[prog].Values[i] = static_cast<float>((prog * 31 + i * 7) % 101) / 100.0f;
      if (prog % 3 != 0) p->Programs[prog].Name = "Prog " + std::to_string(prog);
    }
    p->SetParameterValue(13, 0.625f);  // global
    p->SetParameterValue(0, 0.4f);     // volume, global
    p->SelectProgram(2);
    p->StoreSubPresetAs(TChunkTestPlugin::kReverb, "Hall");
    p->StoreSubPresetAs(TChunkTestPlugin::kSeq1, "Walk");
    p->SelectProgram(0);
    return p;
  }

  static bool Load(TDSPBasePlugin& p, const TBytes& bytes, bool isPreset = false) {
    TMemoryStream s(bytes);
    return p.LoadChunk(s, static_cast<std::int64_t>(bytes.size()), isPreset);
  }

  // The state of an edited instrument with the given program, bank name and
  // flags.
  TBytes EditedState(std::int32_t program, const std::string& bankName, std::uint8_t stateFlag,
                     std::uint8_t layerFlag) {
    auto a = MakeEdited();
    a->SelectProgram(program);
    a->BankName = bankName;
    a->StateFlag = stateFlag;
    a->LayerFlag = layerFlag;
    TMemoryStream state;
    a->SaveState(state);
    return BytesOf(state);
  }

  static TBytes Bank(TDSPBasePlugin& p) {
    TMemoryStream s;
    p.SaveBankToStream(s);
    return BytesOf(s);
  }
};

// A bank chunk keeps at most kMaxBankPrograms programs: exactly that many
// are all kept, one more is read past (what follows stays in step) and
// dropped.
TEST(ChunkFormat, ABankChunkKeepsExactlyTheMostProgramsAndReadsPastMore) {
  for (std::int32_t count : {kMaxBankPrograms - 1, kMaxBankPrograms, kMaxBankPrograms + 1}) {
    TMemoryStream s;
    WriteBankChunkHead(s, count);
    for (std::int32_t i = 0; i < count; ++i) WriteProgramRecordData(s, "P" + std::to_string(i), {0.25f});
    WriteInt32(s, 0x5A5A5A5A);  // what follows the records
    s.SetPosition(0);
    TChunkImage chunk;
    std::string error;
    ASSERT_TRUE(ParseBankChunkPrograms(s, chunk, error)) << count << ": " << error;
    ASSERT_EQ(static_cast<std::int32_t>(chunk.Programs.size()), std::min(count, kMaxBankPrograms)) << count;
    EXPECT_EQ(chunk.Programs.back().Name, "P" + std::to_string(std::min(count, kMaxBankPrograms) - 1)) << count;
    std::int32_t after = 0;
    ASSERT_TRUE(ReadInt32(s, after)) << count;
    EXPECT_EQ(after, 0x5A5A5A5A) << count;
  }
}

// The same limit in a regular bank file: exactly the most programs are all
// kept, one more is read past and dropped.
TEST(ChunkFormat, ARegularBankKeepsExactlyTheMostProgramsAndReadsPastMore) {
  for (std::int32_t count : {kMaxBankPrograms, kMaxBankPrograms + 1}) {
    TMemoryStream s;
    WriteFxbRegularHeader(s, PackFourBytes("SnTs"), 1100, count, 1);
    for (std::int32_t i = 0; i < count; ++i)
      WriteFxProgram(s, PackFourBytes("SnTs"), 1100, "P" + std::to_string(i), {0.5f});
    const std::int64_t end = s.Position();
    s.SetPosition(0);
    TFxbImage bank;
    std::string error;
    ASSERT_TRUE(ParseFxb(s, bank, error)) << count << ": " << error;
    EXPECT_EQ(bank.NumPrograms, count);
    ASSERT_EQ(static_cast<std::int32_t>(bank.Programs.size()), kMaxBankPrograms) << count;
    EXPECT_EQ(bank.Programs.back().Name, "P" + std::to_string(kMaxBankPrograms - 1)) << count;
    EXPECT_EQ(s.Position(), end) << count;
  }
}

TEST(ChunkFormat, AProgramRecordIsLaidOutFieldByField) {
  TMemoryStream s;
  const std::vector<float> values = {0.0f, 0.5f, 1.0f};
  const std::int64_t n = WriteProgramRecordData(s, "  Deep Sub ", values);
  const TBytes b = BytesOf(s);
  ASSERT_EQ(n, static_cast<std::int64_t>(b.size()));
  ASSERT_EQ(b.size(), 4u + 2 + 4 + 8 + 4 + 3 * 4);
  EXPECT_EQ(TextAt(b, 0, 4), "PgCn");
  EXPECT_EQ(b[4], 2);
  EXPECT_EQ(b[5], 0);
  EXPECT_EQ(LittleEndianAt(b, 6), 8) << "the name is written trimmed";
  EXPECT_EQ(TextAt(b, 10, 8), "Deep Sub");
  EXPECT_EQ(LittleEndianAt(b, 18), 3);
  EXPECT_EQ(LittleEndianAt(b, 26), static_cast<std::int32_t>(__builtin_bit_cast(std::uint32_t, 0.5f)));

  for (std::size_t cut = 0; cut < b.size(); ++cut) {
    TMemoryStream part(std::span<const std::uint8_t>(b.data(), cut));
    TProgramImage image;
    std::string error;
    EXPECT_NE(ParseProgramRecordData(part, image, error), TReadResult::Read) << cut;
    EXPECT_EQ(part.Position(), 0) << "a record cut at " << cut << " leaves the stream where it was";
  }
}

TEST_F(ChunkTest, AChunkBankIsItsFileLengthAndReadsBackIdentically) {
  auto a = MakeEdited();
  const TBytes bank = Bank(*a);
  ASSERT_GT(bank.size(), 200u);
  EXPECT_EQ(TextAt(bank, 0, 4), "CcnK");
  EXPECT_EQ(BigEndianAt(bank, 4), static_cast<std::int32_t>(bank.size())) << "byte size is the whole file length";
  EXPECT_EQ(TextAt(bank, 8, 4), "FBCh");
  EXPECT_EQ(BigEndianAt(bank, 12), 1);
  EXPECT_EQ(BigEndianAt(bank, 16), PackFourBytes("SnTs"));
  EXPECT_EQ(BigEndianAt(bank, 20), 1100);
  EXPECT_EQ(BigEndianAt(bank, 24), 128);
  EXPECT_EQ(BigEndianAt(bank, 156), static_cast<std::int32_t>(bank.size()) - 164);
  EXPECT_EQ(BigEndianAt(bank, 160), 0);
  EXPECT_EQ(TextAt(bank, 164, 5), "DcHnK") << "the chunk starts at 164, not 160";

  auto b = Make();
  TMemoryStream s(bank);
  ASSERT_TRUE(b->LoadBankFromStream(s));
  EXPECT_EQ(s.Position(), static_cast<std::int64_t>(bank.size()));
  EXPECT_EQ(Bank(*b), bank);
  EXPECT_EQ(b->GetProgramNameAt(4), "Prog 4");
  EXPECT_EQ(b->Programs[77].Values[20], a->Programs[77].Values[20]);
  EXPECT_EQ(b->GetParameterValue(13), 0.625f);
  ASSERT_EQ(b->FindSubPresetGroup(TChunkTestPlugin::kSeq1)->SubPresets.size(), 1u);
  EXPECT_FALSE(b->IsProgramPending()) << "a resumed plug-in applies the loaded bank's program at once";
}

TEST_F(ChunkTest, AChunkBankSavedByAHostWithTheUsualHeaderLoadsToo) {
  auto a = MakeEdited();
  TBytes bank = Bank(*a);
  // The usual layout: the chunk right after its size, byte size = length - 8.
  bank.erase(bank.begin() + 160, bank.begin() + 164);
  const std::int32_t size = static_cast<std::int32_t>(bank.size()) - 8;
  for (int i = 0; i < 4; ++i) bank[4 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  auto b = Make();
  TMemoryStream s(bank);
  ASSERT_TRUE(b->LoadBankFromStream(s));
  EXPECT_EQ(s.Position(), static_cast<std::int64_t>(bank.size()));
  EXPECT_EQ(b->Programs[77].Values[20], a->Programs[77].Values[20]);
  EXPECT_EQ(b->GetProgramNameAt(4), "Prog 4");
}

TEST_F(ChunkTest, ARegularBankHasTheSizeTheFormatImpliesAndReadsBackIdentically) {
  auto a = MakeEdited();
  a->ChunkMode = false;
  const TBytes bank = Bank(*a);
  const std::int64_t n = a->GetParamCount();
  ASSERT_EQ(static_cast<std::int64_t>(bank.size()), 212 + 128 * (56 + 4 * n));
  EXPECT_EQ(RegularBankByteSize(128, n), static_cast<std::int64_t>(bank.size()));
  EXPECT_EQ(BigEndianAt(bank, 4), static_cast<std::int32_t>(bank.size()));
  EXPECT_EQ(TextAt(bank, 8, 4), "FxBk");
  EXPECT_EQ(BigEndianAt(bank, 24), 128);
  // Program 1's record.
  const std::size_t p1 = 212 + (56 + 4 * n);
  EXPECT_EQ(TextAt(bank, p1, 4), "CcnK");
  EXPECT_EQ(BigEndianAt(bank, p1 + 4), 48 + 4 * n);
  EXPECT_EQ(TextAt(bank, p1 + 8, 4), "FxCk");
  EXPECT_EQ(BigEndianAt(bank, p1 + 24), n);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bank[p1 + 28])), "Prog 1");
  EXPECT_EQ(BigEndianAt(bank, p1 + 56 + 4 * 20),
            static_cast<std::int32_t>(__builtin_bit_cast(std::uint32_t, a->Programs[1].Values[20])))
      << "values are big-endian floats";

  auto b = Make();
  b->ChunkMode = false;
  TMemoryStream s(bank);
  ASSERT_TRUE(b->LoadBankFromStream(s));
  EXPECT_EQ(Bank(*b), bank);

  // From the first bank parameter on only.
  a->FirstBankParam = 10;
  EXPECT_EQ(static_cast<std::int64_t>(Bank(*a).size()), 212 + 128 * (56 + 4 * (n - 10)));
}

TEST_F(ChunkTest, ARegularBankOfTheFinishedInstrumentsSixHundredSixtyFourValuesIs347348Bytes) {
  auto p = MakePlugin<TWideTestPlugin>();
  ASSERT_EQ(p->GetParamCount(), 664);
  p->ChunkMode = false;
  TMemoryStream s;
  p->SaveBankToStream(s);
  EXPECT_EQ(s.Size(), 347348);
  EXPECT_EQ(RegularBankByteSize(128, 664), 347348);
}

TEST_F(ChunkTest, BlankNamedProgramsKeepTheirValuesThroughTheHostsChunk) {
  auto a = MakeEdited();
  ASSERT_TRUE(TrimText(a->GetProgramNameAt(6)).empty());
  a->Programs[6].Values[20] = 0.875f;
  void* data = nullptr;
  const auto size = Dispatch(a->GetEffect(), kEffGetChunk, 0, 0, &data);
  ASSERT_GT(size, 0);
  const TBytes chunk(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);

  auto b = Make();
  ASSERT_EQ(Dispatch(b->GetEffect(), kEffSetChunk, 0, size, const_cast<std::uint8_t*>(chunk.data())), size);
  EXPECT_EQ(b->Programs[6].Values[20], 0.875f);
  for (std::int32_t i = 10; i < 24; ++i) {
    if (b->ParamInfo[i].IsGlobal) continue;
    EXPECT_EQ(b->Programs[6].Values[i], a->Programs[6].Values[i]) << i;
  }
  EXPECT_EQ(b->ChunkBytes(), chunk);
}

TEST_F(ChunkTest, RecordsWithoutValuesLeaveTheirProgramsAsTheyAre) {
  // Older writers stored blank-named programs with no values.
  auto p = Make();
  p->Programs[1].Values[20] = 0.3f;
  TMemoryStream s;
  WriteBankChunkHead(s, 2);
  WriteProgramRecordData(s, "First", std::vector<float>(24, 0.5f));
  WriteProgramRecordData(s, "", {});
  ASSERT_TRUE(Load(*p, BytesOf(s)));
  EXPECT_EQ(p->Programs[0].Values[20], 0.5f);
  EXPECT_EQ(p->Programs[1].Values[20], 0.3f);
  EXPECT_EQ(p->GetProgramNameAt(0), "First");
}

TEST_F(ChunkTest, LoadedValuesAreClampedAndNaNBecomesZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> values(24, 0.5f);
  values[15] = 1.7f;
  values[16] = -3.0f;
  values[17] = nan;
  values[18] = inf;
  values[13] = nan;  // global

  auto p = Make();
  TMemoryStream chunk;
  WriteBankChunkHead(chunk, 1);
  WriteProgramRecordData(chunk, "X", values);
  ASSERT_TRUE(Load(*p, BytesOf(chunk)));
  EXPECT_EQ(p->Programs[0].Values[15], 1.0f);
  EXPECT_EQ(p->Programs[0].Values[16], 0.0f);
  EXPECT_EQ(p->Programs[0].Values[17], 0.0f);
  EXPECT_EQ(p->Programs[0].Values[18], 1.0f);
  EXPECT_EQ(p->GetParameterValue(13), 0.0f);

  // The same through a regular bank, whose floats are big-endian.
  auto q = Make();
  TMemoryStream bank;
  WriteFxbRegularHeader(bank, PackFourBytes("SnTs"), 1100, 1, 24);
  WriteFxProgram(bank, PackFourBytes("SnTs"), 1100, "Y", values);
  bank.SetPosition(0);
  ASSERT_TRUE(q->LoadBankFromStream(bank));
  EXPECT_EQ(q->GetProgramNameAt(0), "Y");
  EXPECT_EQ(q->Programs[0].Values[15], 1.0f);
  EXPECT_EQ(q->Programs[0].Values[17], 0.0f);
  EXPECT_EQ(q->Programs[0].Values[20], 0.5f);
}

TEST_F(ChunkTest, SurplusProgramsAndValuesAreSkippedSoTheSubPresetsBehindThemStillLoad) {
  TMemoryStream chunk;
  WriteBankChunkHead(chunk, 130);
  for (int i = 0; i < 130; ++i) {
    std::vector<float> values(30, static_cast<float>(i) / 200.0f);  // six more than the plug-in has
    WriteProgramRecordData(chunk, "P" + std::to_string(i), values);
  }
  TSubPresetGroupRec reverb;
  reverb.Id = TChunkTestPlugin::kReverb;
  reverb.SubPresets = {{"Room", {0.1f, 0.2f, 0.3f}}};
  std::vector<std::unique_ptr<TSubPresetGroupRec>> groups;
  groups.push_back(std::make_unique<TSubPresetGroupRec>(reverb));
  WriteSubPresetBlock(chunk, groups);

  auto p = Make();
  ASSERT_TRUE(Load(*p, BytesOf(chunk)));
  EXPECT_EQ(p->GetProgramNameAt(127), "P127");
  EXPECT_EQ(p->Programs[127].Values[23], 127.0f / 200.0f);
  EXPECT_EQ(p->Programs[127].Values.size(), 24u);
  const auto& list = p->FindSubPresetGroup(TChunkTestPlugin::kReverb)->SubPresets;
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Name, "Room");
  EXPECT_EQ(list[0].Values, (std::vector<float>{0.1f, 0.2f, 0.3f}));
}

TEST_F(ChunkTest, DamagedBanksAndChunksAreRefusedWithAReasonAndChangeNothing) {
  auto source = MakeEdited();
  const TBytes bank = Bank(*source);
  const TBytes chunk = source->ChunkBytes();
  source->ChunkMode = false;
  const TBytes regular = Bank(*source);

  auto patched = [](TBytes b, std::size_t offset, std::string_view text) {
    std::memcpy(b.data() + offset, text.data(), text.size());
    return b;
  };
  auto bigEndian = [](TBytes b, std::size_t offset, std::int32_t v) {
    for (int k = 0; k < 4; ++k)
      b[offset + k] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (24 - 8 * k));
    return b;
  };
  auto littleEndian = [](TBytes b, std::size_t offset, std::int32_t v) {
    for (int k = 0; k < 4; ++k) b[offset + k] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * k));
    return b;
  };
  const std::vector<std::pair<std::string, TBytes>> badBanks = {
      {"not CcnK", patched(bank, 0, "CcnX")},
      {"neither FBCh nor FxBk", patched(bank, 8, "FxCk")},
      {"chunk without DcHnK", patched(bank, 164, "DcHnX")},
      {"chunk size past the end", bigEndian(bank, 156, static_cast<std::int32_t>(bank.size()))},
      {"negative chunk size", bigEndian(bank, 156, -5)},
      {"program count past the chunk", littleEndian(bank, 164 + 7, 1 << 30)},
      {"negative program count", littleEndian(bank, 164 + 7, -1)},
      {"value count past the chunk", littleEndian(bank, 164 + 11 + 4 + 2 + 4, 1 << 29)},  // program 0 is unnamed
      {"regular program count past the file", bigEndian(regular, 24, 100000)},
      {"regular program without FxCk", patched(regular, 212 + 8, "FxBk")},
      {"regular value count past the file", bigEndian(regular, 212 + 24, 1 << 28)},
      {"header only", TBytes(bank.begin(), bank.begin() + 100)},
      {"empty", TBytes{}},
  };
  auto target = MakeEdited();
  target->SelectProgram(5);
  const TBytes before = target->ChunkBytes();
  TErrorCapture errors;
  for (const auto& [what, bytes] : badBanks) {
    TMemoryStream s(bytes);
    EXPECT_FALSE(target->LoadBankFromStream(s)) << what;
    EXPECT_EQ(s.Position(), 0) << what;
    EXPECT_EQ(target->ChunkBytes(), before) << what << " changed the plug-in";
  }
  ASSERT_EQ(errors.Reported().size(), badBanks.size());
  EXPECT_NE(errors.Reported()[1].find("FBCh"), std::string::npos) << errors.Reported()[1];

  // Every cut of a bank and of a chunk that is not whole.
  for (std::size_t cut = 0; cut < bank.size(); cut += 61) {
    TMemoryStream s(std::span<const std::uint8_t>(bank.data(), cut));
    EXPECT_FALSE(target->LoadBankFromStream(s)) << cut;
  }
  for (std::size_t cut = 0; cut < regular.size(); cut += 97) {
    TMemoryStream s(std::span<const std::uint8_t>(regular.data(), cut));
    EXPECT_FALSE(target->LoadBankFromStream(s)) << cut;
  }
  std::size_t accepted = 0;
  for (std::size_t cut = 0; cut < chunk.size(); cut += 13) {
    TMemoryStream s(std::span<const std::uint8_t>(chunk.data(), cut));
    // Only a cut where the sub-preset block would begin is a whole chunk.
    if (target->LoadChunk(s, static_cast<std::int64_t>(cut), false)) ++accepted;
    else EXPECT_EQ(target->ChunkBytes(), before) << cut;
  }
  EXPECT_LE(accepted, 1u);
  EXPECT_EQ(target->CurrentProgram(), 5);
}

TEST_F(ChunkTest, FuzzedChunksNeverCrashAndAFailedLoadChangesNothing) {
  auto source = MakeEdited();
  const TBytes chunk = source->ChunkBytes();
  auto target = Make();
  target->StoreSubPresetAs(TChunkTestPlugin::kDistortion, "Fuzz");
  TErrorCapture errors;
  std::mt19937 rng(1234);
  for (int round = 0; round < 400; ++round) {
    TBytes bytes = chunk;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % bytes.size();
      switch (rng() % 4) {
        case 0:
          bytes[at] = static_cast<std::uint8_t>(rng());
          break;
        case 1:
          bytes[at] ^= 0x80;
          break;
        case 2:
          bytes.resize(at + 1);
          break;
        default:
          bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(rng()));
          break;
      }
    }
    const TBytes before = target->ChunkBytes();
    if (!Load(*target, bytes)) {
      ASSERT_EQ(target->ChunkBytes(), before) << "round " << round;
    } else {
      // Whatever was taken in is within range and writes back loadable.
      for (const TProgramRec& prog : target->Programs)
        for (float v : prog.Values) ASSERT_TRUE(v >= 0.0f && v <= 1.0f);
      auto again = Make();
      ASSERT_TRUE(Load(*again, target->ChunkBytes()));
    }
  }
}

TEST_F(ChunkTest, AChunkFromTheHostIsHeardAtTheNextBlock) {
  auto p = Make();
  TVstEffect* e = p->GetEffect();
  p->SetParameterValue(TChunkTestPlugin::kGainParam, 0.5f);
  TEventList events;
  events.Add(0, 0x90, 60, 100);
  Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
  TStereoBuffers out(2048);
  e->processReplacing(e, nullptr, out.Pointers, 2048);
  EXPECT_NEAR(testing_support::Peak(std::span<const float>(out.Left).subspan(1024)), 0.5f, 0.01f);

  void* data = nullptr;
  const auto size = Dispatch(e, kEffGetChunk, 0, 0, &data);
  const TBytes chunk(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
  // What the rings still hold (a block or two) comes out first.
  auto peakAfterRings = [&out] { return testing_support::Peak(std::span<const float>(out.Left).subspan(200)); };
  p->SetParameterValue(TChunkTestPlugin::kGainParam, 0.1f);
  e->processReplacing(e, nullptr, out.Pointers, 2048);
  EXPECT_NEAR(peakAfterRings(), 0.1f, 0.01f);

  ASSERT_EQ(Dispatch(e, kEffSetChunk, 0, size, const_cast<std::uint8_t*>(chunk.data())), size);
  EXPECT_FALSE(p->IsProgramPending()) << "applied at once, on the host's thread";
  e->processReplacing(e, nullptr, out.Pointers, 2048);
  EXPECT_NEAR(peakAfterRings(), 0.5f, 0.01f) << "the recalled gain is heard from the next block on";
}

TEST_F(ChunkTest, ARecalledChunkRendersIdenticalAudio) {
  auto render = [](TChunkTestPlugin& p) {
    TVstEffect* e = p.GetEffect();
    TEventList events;
    events.Add(10, 0x90, 45, 100);
    events.Add(3000, 0x90, 52, 100);
    Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
    std::vector<float> all;
    for (int block = 0; block < 8; ++block) {
      TStereoBuffers out(700);
      e->processReplacing(e, nullptr, out.Pointers, 700);
      all.insert(all.end(), out.Left.begin(), out.Left.end());
      all.insert(all.end(), out.Right.begin(), out.Right.end());
    }
    return all;
  };
  auto a = MakeEdited();
  a->SelectProgram(4);
  a->SetParameterValue(TChunkTestPlugin::kGainParam, 0.3f);
  a->SetParameterValue(12, 0.5f);
  a->SetParameterValue(1, 0.3f);  // pan, global
  TMemoryStream chunk;
  a->SaveChunk(chunk, false);
  const std::vector<float> expected = render(*a);
  ASSERT_GT(testing_support::Peak(expected), 0.1f);

  auto b = Make();
  b->SelectProgram(4);
  ASSERT_TRUE(Load(*b, BytesOf(chunk)));
  EXPECT_EQ(render(*b), expected);
}

// A host project saved on a program reopens on it: the bank chunk ends
// with the current program ("CuPg"); a chunk written before that block
// existed (cut before it) still loads and leaves the current program.
TEST_F(ChunkTest, TheHostChunkCarriesTheCurrentProgramAndOlderChunksStillLoad) {
  auto a = MakeEdited();
  a->SelectProgram(37);
  a->SetParameterValue(12, 0.77f);
  const TBytes chunk = a->ChunkBytes();
  ASSERT_GE(chunk.size(), 8u);
  EXPECT_EQ(TextAt(chunk, chunk.size() - 8, 4), "CuPg");
  EXPECT_EQ(LittleEndianAt(chunk, chunk.size() - 4), 1 | (37 << 16)) << "version 1, program 37";

  auto b = Make();
  ASSERT_EQ(Dispatch(b->GetEffect(), kEffSetChunk, 0, static_cast<std::intptr_t>(chunk.size()),
                     const_cast<std::uint8_t*>(chunk.data())),
            static_cast<std::intptr_t>(chunk.size()));
  EXPECT_EQ(b->CurrentProgram(), 37);
  EXPECT_FLOAT_EQ(b->GetParameterValue(12), 0.77f);
  EXPECT_EQ(b->ChunkBytes(), chunk);

  auto c = Make();
  c->SelectProgram(5);
  const TBytes older(chunk.begin(), chunk.end() - 8);
  ASSERT_TRUE(Load(*c, older));
  EXPECT_EQ(c->CurrentProgram(), 5) << "an older chunk leaves the current program";
  EXPECT_EQ(c->Programs[37].Values[12], 0.77f);

  // A number outside the table, or a block cut short, is not taken.
  TBytes outside = chunk;
  outside[chunk.size() - 2] = 0x2C;
  outside[chunk.size() - 1] = 0x01;  // 300
  ASSERT_TRUE(Load(*c, outside));
  EXPECT_EQ(c->CurrentProgram(), 5);
  TErrorCapture errors;
  const TBytes before = c->ChunkBytes();
  for (std::size_t cut = 1; cut < 8; ++cut) {
    const TBytes damaged(chunk.begin(), chunk.end() - static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(Load(*c, damaged)) << cut;
  }
  EXPECT_EQ(c->ChunkBytes(), before);
  EXPECT_EQ(errors.Reported().size(), 7u);
}

TEST_F(ChunkTest, ARejectedChunkIsAnsweredZeroAndATakenOneItsSize) {
  auto p = Make();
  TVstEffect* e = p->GetEffect();
  const TBytes good = p->ChunkBytes();
  const TBytes before = good;
  TErrorCapture errors;
  TBytes damaged = good;
  damaged[0] = 'X';
  EXPECT_EQ(Dispatch(e, kEffSetChunk, 0, static_cast<std::intptr_t>(damaged.size()), damaged.data()), 0);
  TBytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
  EXPECT_EQ(Dispatch(e, kEffSetChunk, 0, static_cast<std::intptr_t>(cut.size()), cut.data()), 0);
  EXPECT_EQ(p->ChunkBytes(), before);
  TBytes copy = good;
  EXPECT_EQ(Dispatch(e, kEffSetChunk, 0, static_cast<std::intptr_t>(copy.size()), copy.data()),
            static_cast<std::intptr_t>(copy.size()));
}

TEST_F(ChunkTest, APresetChunkIsOneRecordOfTheCurrentProgram) {
  auto a = MakeEdited();
  a->SelectProgram(4);
  void* data = nullptr;
  const auto size = Dispatch(a->GetEffect(), kEffGetChunk, 1, 0, &data);
  const TBytes preset(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
  EXPECT_EQ(TextAt(preset, 0, 4), "PgCn");
  EXPECT_EQ(size, 4 + 2 + 4 + 6 + 4 + 24 * 4) << "no sub-preset block after a preset";

  auto b = Make();
  b->SelectProgram(7);
  const std::vector<float> program6 = b->Programs[6].Values;
  ASSERT_EQ(Dispatch(b->GetEffect(), kEffSetChunk, 1, size, const_cast<std::uint8_t*>(preset.data())), size);
  EXPECT_EQ(b->GetProgramNameAt(7), "Prog 4");
  EXPECT_EQ(b->Programs[7].Values[20], a->Programs[4].Values[20]);
  EXPECT_EQ(b->Programs[6].Values, program6);

  TErrorCapture errors;
  const TBytes bankChunk = a->ChunkBytes();
  EXPECT_FALSE(Load(*b, bankChunk, true)) << "a bank is not a preset";
  EXPECT_EQ(errors.Reported().size(), 1u);
}

TEST_F(ChunkTest, TheStateCarriesProgramBankNameBankAndTheLayersBlocks) {
  const TBytes bytes = EditedState(4, "Bass Set", 1, 7);
  TMemoryStream state(bytes);
  EXPECT_EQ(TextAt(bytes, 0, 8), "FxPlUgIn");
  EXPECT_EQ(bytes[8], 2);
  EXPECT_EQ(bytes[10], 4) << "current program";
  EXPECT_EQ(LittleEndianAt(bytes, 12), 8);
  EXPECT_EQ(TextAt(bytes, 16, 8), "Bass Set");
  EXPECT_EQ(TextAt(bytes, 24, 4), "CcnK");
  const std::size_t tail = bytes.size() - 14;
  EXPECT_EQ(TextAt(bytes, tail, 4), "dXPx");
  EXPECT_EQ(bytes[tail + 4], 1);
  EXPECT_EQ(bytes[tail + 6], 1);
  EXPECT_EQ(TextAt(bytes, tail + 7, 4), "tstB");
  EXPECT_EQ(bytes[tail + 13], 7);

  auto b = Make();
  ASSERT_TRUE(b->LoadState(state));
  EXPECT_EQ(state.Position(), state.Size());
  EXPECT_EQ(b->CurrentProgram(), 4);
  EXPECT_EQ(b->BankName, "Bass Set");
  EXPECT_EQ(b->StateFlag, 1);
  EXPECT_EQ(b->LayerFlag, 7);
  TMemoryStream again;
  b->SaveState(again);
  EXPECT_EQ(BytesOf(again), bytes);

  // The state messages reach the same operations.
  auto c = Make();
  state.SetPosition(0);
  c->HandlePluginMessage(TDSPPluginX::kMsgLoadState, &state, 0, 0, 0);
  EXPECT_EQ(c->LayerFlag, 7);
}

TEST_F(ChunkTest, AStateWithoutTheTailBlocksLoadsAndKeepsTheFlags) {
  TBytes bytes = EditedState(0, "Default Bank", 1, 1);
  bytes.resize(bytes.size() - 14);
  bytes.insert(bytes.end(), {'n', 'e', 'x', 't'});
  auto b = Make();
  b->StateFlag = 9;
  b->LayerFlag = 9;
  TMemoryStream s(bytes);
  ASSERT_TRUE(b->LoadState(s));
  EXPECT_EQ(b->StateFlag, 9);
  EXPECT_EQ(b->LayerFlag, 9);
  EXPECT_EQ(s.Position(), static_cast<std::int64_t>(bytes.size()) - 4) << "the stream stops where the blocks would be";
}

TEST_F(ChunkTest, TheOlderStateFormIsReadAndDropped) {
  TMemoryStream s;
  WriteMagic(s, kOldStateMagic);
  WriteInt32(s, 3);
  WriteInt32(s, 2);
  WriteInt32(s, 1);
  WriteLongStr(s, "old.fxb");
  WriteInt32(s, 2);
  WriteLongStr(s, "other.fxb");
  auto p = MakeEdited();
  const TBytes before = p->ChunkBytes();
  s.SetPosition(0);
  EXPECT_TRUE(p->LoadState(s));
  EXPECT_EQ(s.Position(), s.Size());
  EXPECT_EQ(p->ChunkBytes(), before);
}

TEST_F(ChunkTest, ADamagedStateChangesNothing) {
  const TBytes bytes = EditedState(9, "Other", 1, 5);

  auto b = Make();
  b->SelectProgram(2);
  const TBytes before = b->ChunkBytes();
  TErrorCapture errors;
  std::vector<std::size_t> cuts = {
      9, 14, 20, 30, 200, bytes.size() / 2, bytes.size() - 15, bytes.size() - 9, bytes.size() - 2};
  for (std::size_t cut : cuts) {
    TMemoryStream s(std::span<const std::uint8_t>(bytes.data(), cut));
    EXPECT_FALSE(b->LoadState(s)) << cut;
    EXPECT_EQ(s.Position(), 0) << cut;
  }
  EXPECT_EQ(errors.Reported().size(), cuts.size());
  EXPECT_EQ(b->ChunkBytes(), before);
  EXPECT_EQ(b->CurrentProgram(), 2);
  EXPECT_EQ(b->BankName, "Default Bank");
  EXPECT_EQ(b->StateFlag, 0);
  EXPECT_EQ(b->LayerFlag, 0);

  // A program number outside the table is not made current: far out, and
  // exactly the count; the last program is.
  for (std::int32_t number : {300, b->GetProgramCount(), b->GetProgramCount() - 1}) {
    TBytes outside = bytes;
    outside[10] = static_cast<std::uint8_t>(number & 0xFF);
    outside[11] = static_cast<std::uint8_t>(number >> 8);
    TMemoryStream s(outside);
    b->SelectProgram(2);
    ASSERT_TRUE(b->LoadState(s)) << number;
    EXPECT_EQ(b->CurrentProgram(), number < b->GetProgramCount() ? number : 2) << number;
    EXPECT_EQ(b->BankName, "Other");
  }
}

TEST_F(ChunkTest, ASnapshotClampsItsValuesAndIgnoresIndexesBeyondTheParameters) {
  auto p = Make();
  p->SetParameterValue(12, 0.25f);
  TMemoryStream saved;
  p->SaveParamSnapshot(saved, 30);
  EXPECT_EQ(saved.Size(), 4 + 2 + 4 + 30 * 4);

  std::vector<float> values(30, 0.5f);
  values[12] = 1.7f;
  values[15] = std::numeric_limits<float>::quiet_NaN();
  TMemoryStream s;
  WriteParamSnapshotData(s, values);
  s.SetPosition(0);
  ASSERT_TRUE(p->LoadParamSnapshot(s));
  EXPECT_EQ(p->GetParameterValue(12), 1.0f);
  EXPECT_EQ(p->GetParameterValue(15), 0.0f);
  EXPECT_EQ(p->GetParameterValue(20), 0.5f);

  TMemoryStream other(std::vector<std::uint8_t>{'X', 'p', 'R', 'm', 2, 0, 0, 0, 0, 0});
  EXPECT_FALSE(p->LoadParamSnapshot(other));
  EXPECT_EQ(other.Position(), 0);
}

TEST_F(ChunkTest, ChunksStatesAndSubPresetsChangeWhileTheAudioThreadRenders) {
  auto p = MakeEdited();
  TVstEffect* e = p->GetEffect();
  std::atomic<bool> stop{false};
  std::atomic<int> blocks{0};
  std::thread audio([&] {
    TStereoBuffers out(256);
    TEventList events;
    events.Add(0, 0x90, 40, 100);
    while (!stop.load()) {
      Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
      e->processReplacing(e, nullptr, out.Pointers, 256);
      blocks.fetch_add(1);
    }
  });
  TMemoryStream state;
  p->SaveState(state);
  const TBytes stateBytes = BytesOf(state);
  for (int round = 0; round < 40 || blocks.load() < 40; ++round) {
    void* data = nullptr;
    const auto size = Dispatch(e, kEffGetChunk, round % 2, 0, &data);
    TBytes chunk(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
    Dispatch(e, kEffSetChunk, round % 2, size, chunk.data());
    p->StoreSubPresetAs(TChunkTestPlugin::kReverb, "R" + std::to_string(round % 5));
    p->ApplySubPreset(TChunkTestPlugin::kReverb, round % 5);
    TMemoryStream s(stateBytes);
    p->LoadState(s);
    p->SelectProgram(round % 7);
  }
  stop.store(true);
  audio.join();
  // The state read last replaced the group's list with the one it carries.
  const auto& list = p->FindSubPresetGroup(TChunkTestPlugin::kReverb)->SubPresets;
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Name, "Hall");
}

TEST_F(ChunkTest, SaveBankFileWritesTheBankAndNamesAnUnnamedProgramZero) {
  auto p = Make();
  const std::string path = testing_support::ScratchDir() + "/bank_file_test.fxb";
  ASSERT_TRUE(p->SaveBankFile(path));
  EXPECT_EQ(p->GetProgramNameAt(0), "Default");
  TMemoryStream file;
  ASSERT_TRUE(file.LoadFromFile(path));
  EXPECT_EQ(BytesOf(file), Bank(*p));
  TErrorCapture errors;
  EXPECT_FALSE(p->SaveBankFile(testing_support::ScratchDir() + "/no/such/folder/x.fxb"));
  EXPECT_EQ(errors.Reported().size(), 1u);
}

}  // namespace
