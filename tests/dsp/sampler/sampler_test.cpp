#include "dsp/sampler/sampler.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dsp/sampler/bank_messages.h"
#include "framework/base/streams.h"
#include "tests/dsp/sampler/small_bank.h"

namespace {

// Records every message; the store must never wait for an answer.
struct TMessageLog {
  static std::vector<std::pair<TBankMessageKind, std::string>>& Lines() {
    static std::vector<std::pair<TBankMessageKind, std::string>> lines;
    return lines;
  }
  static void Hook(TBankMessageKind kind, std::string_view text) { Lines().emplace_back(kind, std::string(text)); }
  TMessageLog() {
    Lines().clear();
    Previous = SetBankMessageHook(&Hook);
  }
  ~TMessageLog() { SetBankMessageHook(Previous); }
  bool Has(std::string_view text) const {
    for (const auto& line : Lines())
      if (line.second == text) return true;
    return false;
  }
  TBankMessageHook Previous;
};

bool Load(TSampler& store, const std::vector<std::uint8_t>& bytes, std::int32_t bank = 0) {
  TMemoryStream stream(bytes);
  store.NewBank(bank);
  return store.LoadBankFromStream(stream, bank, "test.bank");
}

std::vector<std::uint8_t> SmallBankFile(std::string_view version = "1.68") {
  return WriteSampleBank(small_bank::Make(), version);
}

template <typename T>
void Poke(std::vector<std::uint8_t>& bytes, std::size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// Offsets in the uncompressed small bank.
constexpr std::size_t kBody = 12;
constexpr std::size_t kFirstSample = kBody + 352 + 4;
constexpr std::size_t kFirstRiff = kFirstSample + 116;

TEST(SampleBankReader, ReadsTheCurrentFormatWholeAndResolvesZones) {
  TMessageLog log;
  std::vector<std::uint8_t> bytes = SmallBankFile();
  bytes.insert(bytes.end(), {1, 2, 3});  // whatever follows the bank stays unread
  TMemoryStream stream(bytes);
  TSampler store;
  store.NewBank(3);
  ASSERT_TRUE(store.LoadBankFromStream(stream, 3, "test.bank"));
  EXPECT_EQ(stream.Position(), static_cast<std::int64_t>(bytes.size() - 3)) << "every byte of the bank consumed";
  EXPECT_TRUE(log.Lines().empty());

  const TSampleBankRec* bank = store.Bank(3);
  ASSERT_NE(bank, nullptr);
  EXPECT_FALSE(bank->Modified);
  EXPECT_EQ(bank->FileName, "test.bank");
  EXPECT_EQ(store.GetBankName(3), "Small Bank");
  ASSERT_EQ(bank->Samples.size(), 3u);
  EXPECT_EQ(bank->Samples[0]->Name(), "Alpha");
  EXPECT_EQ(bank->Samples[1]->Name(), "Mid");
  EXPECT_EQ(bank->Samples[2]->Name(), "Zeta");

  const TSampleRec& alpha = *bank->Samples[0];
  EXPECT_EQ(alpha.Channels(), 2);
  EXPECT_EQ(alpha.SampleRate(), 22050);
  EXPECT_EQ(alpha.Frames(), 32);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(alpha.Data) % 16, 0u);
  const TBankSpec spec = small_bank::Make();
  const TBankSampleSpec& written = spec.Samples[1];
  for (std::int32_t k = 0; k < alpha.Length(); ++k) ASSERT_EQ(alpha.Data[k], written.Data[k]) << k;
  for (std::int32_t k = 0; k < kSampleSpareValues; ++k) ASSERT_EQ(alpha.Data[alpha.Length() + k], 0);

  const TSamplerProgramRec* lead = store.Program(3, 5);
  ASSERT_NE(lead, nullptr);
  EXPECT_EQ(lead->Name, "Lead");
  EXPECT_FALSE(lead->HasTemplate);
  ASSERT_EQ(lead->Zones.size(), 3u);
  EXPECT_EQ(lead->Zones[0].Sample, store.FindSampleByID(3, 7));
  EXPECT_EQ(lead->Zones[0].Sample->Name(), "Zeta");
  EXPECT_EQ(lead->Zones[1].Sample->Name(), "Alpha");
  EXPECT_EQ(lead->Zones[2].Sample, nullptr) << "identifier 99 names no sample";
  EXPECT_EQ(lead->Zones[1].Rec.Env1Curve, 3) << "current banks keep every zone field";
  EXPECT_EQ(lead->Template.Gain, 1.0f) << "no template: the defaults";
  EXPECT_EQ(std::bit_cast<std::uint32_t>(lead->Template.SampleScale), kDefaultZoneScaleBits);

  const TSamplerProgramRec* pad = store.Program(3, 0);
  ASSERT_NE(pad, nullptr);
  EXPECT_TRUE(pad->HasTemplate);
  EXPECT_EQ(pad->Template.LowKey, 10);
  EXPECT_EQ(pad->Zones[0].Sample->Name(), "Mid");
  EXPECT_EQ(store.Program(3, 1), nullptr);
}

TEST(SampleBankReader, Version103IsInflatedConvertedAndShifted) {
  TMessageLog log;
  TBankSpec spec = small_bank::Make();
  spec.Samples[0].FloatData.assign(100, 0.0f);
  spec.Samples[0].FloatData[0] = 0.12345f;
  spec.Samples[0].FloatData[1] = -7.0f;  // beyond the 16-bit range
  spec.Samples[0].FloatData[2] = -0.5f;
  spec.Samples[1].Header.LoopEnd = 64;  // at the length: moved below it
  TSampler store;
  ASSERT_TRUE(Load(store, WriteSampleBank(spec, "1.03")));
  EXPECT_TRUE(log.Has(kMsgBankConverted));
  const TSampleBankRec* bank = store.Bank(0);
  ASSERT_NE(bank, nullptr);
  EXPECT_TRUE(bank->Modified);

  const TSampleRec* zeta = store.FindSampleByID(0, 7);
  ASSERT_NE(zeta, nullptr);
  EXPECT_EQ(zeta->Data[0], 1235) << "0.12345 x 10000 rounds to 1235";
  EXPECT_EQ(zeta->Data[1], -32768);
  EXPECT_EQ(zeta->Data[2], -5000);
  EXPECT_EQ(zeta->Header.SampleScale, 0.0001f);
  EXPECT_EQ(zeta->Header.RootKey, 48 + 12);
  EXPECT_EQ(zeta->Header.LoopEnd, 81);
  const TSampleRec* alpha = store.FindSampleByID(0, 3);
  EXPECT_EQ(alpha->Header.RootKey, 72);
  EXPECT_EQ(alpha->Header.LoopEnd, 63) << "length 64 is not above 65: length - 1";
  EXPECT_EQ(alpha->Data[5], small_bank::Make().Samples[1].Data[5]) << "x 0.0001 written, x 10000 read back";

  const TSampleZoneRec& z = store.Program(0, 5)->Zones[0].Rec;
  EXPECT_EQ(z.Env1Curve, 0) << "below 1.49";
  EXPECT_EQ(store.Program(0, 5)->Zones[1].Rec.Lfo[1].DelayMs, 0.0f) << "below 1.49";
  EXPECT_EQ(z.LoopModeOverride, 0) << "below 1.50";
  EXPECT_EQ(z.PitchTracking, 100) << "below 1.50";
  EXPECT_EQ(z.RootKey, 60) << "below 1.50";
  EXPECT_EQ(z.Filter1RangeHz, 1) << "below 1.50";
  EXPECT_EQ(z.SampleScale, 0.0001f) << "below 1.51";
  EXPECT_EQ(z.ScaleOverride, 0) << "below 1.51";
  EXPECT_EQ(z.Env2On, 1) << "only 1.00 clears envelope 2";
  EXPECT_EQ(store.Program(0, 0)->Template.PitchTracking, 100) << "templates are converted too";
}

TEST(SampleBankReader, Version100ResetsEnvelopeTwo) {
  TSampler store;
  TMessageLog log;
  ASSERT_TRUE(Load(store, SmallBankFile("1.00")));
  const TSampleZoneRec& z = store.Program(0, 5)->Zones[0].Rec;
  EXPECT_EQ(z.Env2On, 0);
  EXPECT_EQ(z.Env2SustainLevel, 1.0f);
  EXPECT_EQ(z.Env2AttackMs, 0);
  EXPECT_EQ(store.FindSampleByID(0, 7)->Header.RootKey, 60) << "1.00 is also at most 1.03";
}

TEST(SampleBankReader, Version149KeepsRootsAndLaterFields) {
  TMessageLog log;
  TBankSpec spec = small_bank::Make();
  spec.Samples[0].FloatData.assign(100, 0.25f);
  TSampler store;
  ASSERT_TRUE(Load(store, WriteSampleBank(spec, "1.49")));
  EXPECT_EQ(store.FindSampleByID(0, 7)->Header.RootKey, 48);
  EXPECT_EQ(store.FindSampleByID(0, 7)->Header.LoopEnd, 80);
  EXPECT_EQ(store.FindSampleByID(0, 7)->Data[50], 2500);
  const TSampleZoneRec& z = store.Program(0, 5)->Zones[0].Rec;
  EXPECT_EQ(z.Env1Curve, 3) << "1.49 has the curves";
  EXPECT_EQ(z.PitchTracking, 100) << "but not the fields of 1.50";
}

TEST(SampleBankReader, Version150ReadsChunksAndEnforcesTheChunkLimit) {
  TMessageLog log;
  TSampler store;
  // Small chunks: the body spans many of them.
  ASSERT_TRUE(Load(store, WriteSampleBank(small_bank::Make(), "1.50", 1000)));
  const TSampleZoneRec& z = store.Program(0, 5)->Zones[0].Rec;
  EXPECT_EQ(z.LoopModeOverride, 1) << "1.50 has the loop overrides";
  EXPECT_EQ(z.ScaleOverride, 0) << "but not the scale override";
  EXPECT_EQ(store.FindSampleByID(0, 9)->Length(), 10);

  // Incompressible data in one chunk larger than 110000 bytes.
  TBankSpec big = small_bank::Make();
  std::mt19937 random(7);
  TBankSampleSpec& noise = big.Samples[2];
  noise.Header.Length = 60000;
  noise.FloatData.resize(60000);
  for (float& v : noise.FloatData) v = std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
  noise.Data.assign(60000, 0);
  ASSERT_TRUE(Load(store, WriteSampleBank(big, "1.50", 60000)));
  EXPECT_FALSE(Load(store, WriteSampleBank(big, "1.50", 1 << 20)));
  EXPECT_EQ(store.Bank(0), nullptr);
}

TEST(SampleBankReader, DamagedHeadersAreReportedAndLeaveTheSlotEmpty) {
  TSampler store;
  ASSERT_TRUE(Load(store, SmallBankFile()));  // a bank that the failures replace

  struct TCase {
    const char* What;
    std::size_t Offset;
    std::vector<std::uint8_t> Bytes;
    std::string_view Message;
  };
  const TCase cases[] = {
      {"magic", 0, {'Y'}, kMsgInvalidBank},
      {"version not a number", 9, {'x'}, kMsgInvalidBank},
      {"both header tags", kBody, {'b', 'a', 'n', 'k', 'k', 'n', 'a', 'b'}, kMsgInvalidHeader},
  };
  for (const TCase& c : cases) {
    TMessageLog log;
    std::vector<std::uint8_t> bytes = SmallBankFile();
    std::memcpy(bytes.data() + c.Offset, c.Bytes.data(), c.Bytes.size());
    ASSERT_TRUE(Load(store, SmallBankFile()));
    EXPECT_FALSE(Load(store, bytes)) << c.What;
    EXPECT_EQ(store.Bank(0), nullptr) << c.What;
    EXPECT_EQ(store.GetBankShortName(0), "Empty") << c.What;
    EXPECT_TRUE(log.Has(c.Message)) << c.What;
  }
  // One tag is enough.
  std::vector<std::uint8_t> bytes = SmallBankFile();
  std::memcpy(bytes.data() + kBody, "bank", 4);
  EXPECT_TRUE(Load(store, bytes));
}

TEST(SampleBankReader, CountsAndLengthsBeyondTheDataFail) {
  struct TCase {
    const char* What;
    std::size_t Offset;
    std::int64_t Value;
    int Size;
  };
  const std::size_t zeta = kFirstSample;
  const TCase cases[] = {
      {"sample count", kBody + 208, 4, 2},          {"negative sample count", kBody + 208, -1, 2},
      {"program count", kBody + 216, 3, 2},         {"header extension", kBody + 352, 0x7FFFFFFF, 4},
      {"negative extension", kBody + 352, -4, 4},   {"sample length", zeta + 12, 0x7FFFFFFF, 4},
      {"negative sample length", zeta + 12, -2, 4}, {"channel count 3", kFirstRiff + 22, 3, 2},
      {"channel count 0", kFirstRiff + 22, 0, 2},   {"sample rate 0", kFirstRiff + 24, 0, 4},
  };
  TMessageLog log;
  for (const TCase& c : cases) {
    std::vector<std::uint8_t> bytes = SmallBankFile();
    if (c.Size == 2) Poke(bytes, c.Offset, static_cast<std::int16_t>(c.Value));
    else Poke(bytes, c.Offset, static_cast<std::int32_t>(c.Value));
    TSampler store;
    EXPECT_FALSE(Load(store, bytes)) << c.What;
    EXPECT_EQ(store.Bank(0), nullptr) << c.What;
  }
  EXPECT_TRUE(log.Has(kMsgInvalidBank));
}

TEST(SampleBankReader, ProgramNumbersAreCheckedAndRepeatsReplaceTheEarlierZones) {
  TMessageLog log;
  TBankSpec spec = small_bank::Make();
  spec.Programs[1].Number = 128;
  TSampler store;
  EXPECT_FALSE(Load(store, WriteSampleBank(spec, "1.68")));

  spec = small_bank::Make();
  TBankProgramSpec again;
  again.Number = 5;
  again.Name = "Lead Again";
  again.Zones = {small_bank::Zone(9, 30, 40)};
  spec.Programs.push_back(again);
  ASSERT_TRUE(Load(store, WriteSampleBank(spec, "1.68")));
  const TSamplerProgramRec* p = store.Program(0, 5);
  EXPECT_EQ(p->Name, "Lead Again");
  ASSERT_EQ(p->Zones.size(), 1u);
  EXPECT_EQ(p->Zones[0].Sample->Name(), "Mid");
}

TEST(SampleBankReader, ShortStringLengthsAreClampedToTheirFields) {
  std::vector<std::uint8_t> bytes = SmallBankFile();
  bytes[kBody + 12] = 250;         // bank name: 130-byte field
  bytes[kFirstSample + 17] = 255;  // sample name: 65-byte field
  TSampler store;
  TMessageLog log;
  ASSERT_TRUE(Load(store, bytes));
  EXPECT_EQ(store.Bank(0)->Name().size(), 129u);
  EXPECT_EQ(store.FindSampleByID(0, 7)->Name().size(), 64u);
  EXPECT_EQ(store.FindSampleByID(0, 7)->Header.Name[0], 64) << "the stored length byte is clamped";
  EXPECT_EQ(store.GetSampleName(0, 2).size(), 20u);

  // At the limit: a length byte equal to the field's size is cut by one, one
  // less fills the field.
  for (std::uint8_t over : {0, 1}) {
    bytes[kBody + 12] = static_cast<std::uint8_t>(129 + over);
    bytes[kFirstSample + 17] = static_cast<std::uint8_t>(64 + over);
    ASSERT_TRUE(Load(store, bytes));
    EXPECT_EQ(store.Bank(0)->Name().size(), 129u) << int{over};
    EXPECT_EQ(store.FindSampleByID(0, 7)->Name().size(), 64u) << int{over};
    EXPECT_EQ(store.FindSampleByID(0, 7)->Header.Name[0], 64) << int{over};
  }

  TBankSpec spec = small_bank::Make();
  spec.Programs[0].Name = std::string(60, 'n');
  ASSERT_TRUE(Load(store, WriteSampleBank(spec, "1.68")));
  EXPECT_EQ(store.GetProgramName(0, 5).size(), 47u);
}

// Every prefix of a bank, and random damage to every version, is refused or
// read without a fault; a refused bank leaves its slot empty.
TEST(SampleBankReader, TruncatedAndDamagedBanksNeverCrash) {
  TMessageLog log;
  TSampler store;
  const std::vector<std::uint8_t> whole = SmallBankFile();
  for (std::size_t size = 0; size < whole.size(); ++size) {
    const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
    ASSERT_FALSE(Load(store, cut)) << size;
    ASSERT_EQ(store.Bank(0), nullptr) << size;
  }
  for (const char* version : {"1.03", "1.49", "1.50"}) {
    const std::vector<std::uint8_t> packed = WriteSampleBank(small_bank::Make(), version, 700);
    for (std::size_t size = 0; size < packed.size(); size += 3) {
      const std::vector<std::uint8_t> cut(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(size));
      ASSERT_FALSE(Load(store, cut)) << version << " " << size;
    }
  }

  std::mt19937 random(12345);
  for (int round = 0; round < 3000; ++round) {
    const char* version = round % 4 == 0 ? (round % 8 == 0 ? "1.50" : "1.49") : "1.68";
    std::vector<std::uint8_t> bytes = WriteSampleBank(small_bank::Make(), version, 900);
    const int edits = 1 + static_cast<int>(random() % 6);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % bytes.size();
      switch (random() % 4) {
        case 0:
          bytes[at] = static_cast<std::uint8_t>(random());
          break;
        case 1:
          bytes[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
          break;
        case 2:  // a large or negative count
          if (at + 4 <= bytes.size())
            Poke(bytes, at, static_cast<std::int32_t>(random()) | (random() % 2 ? 0 : -0x40000000));
          break;
        default:
          bytes.resize(at + 1);
          break;
      }
    }
    const bool ok = Load(store, bytes);
    const TSampleBankRec* bank = store.Bank(0);
    ASSERT_EQ(ok, bank != nullptr);
    if (!ok) continue;
    // A bank that was read is consistent: every resolved zone points into it.
    for (const TSamplerProgramRec& p : bank->Programs) {
      for (const TSampleZone& zone : p.Zones) {
        if (!zone.Sample) continue;
        bool found = false;
        for (const auto& s : bank->Samples) found = found || s.get() == zone.Sample;
        ASSERT_TRUE(found);
        ASSERT_EQ(zone.Sample->ID(), zone.Rec.SampleID);
      }
    }
  }
}

TEST(SampleStore, AMissingResourceLeavesBankZeroEmpty) {
  TSampler store;
  ASSERT_TRUE(Load(store, SmallBankFile()));
  EXPECT_FALSE(store.LoadBankFromResource("NO_SUCH_BANK"));
  EXPECT_EQ(store.Bank(0), nullptr);
}

TEST(SampleStore, NamesOfBanksProgramsAndSamples) {
  TMessageLog log;
  TSampler store;
  ASSERT_TRUE(Load(store, SmallBankFile(), 2));
  EXPECT_EQ(store.GetBankShortName(200), "Unknown");
  EXPECT_EQ(store.GetBankShortName(-1), "Unknown");
  EXPECT_EQ(store.GetBankShortName(1), "Empty");
  EXPECT_EQ(store.GetBankShortName(2), "  Small Bank  ");
  EXPECT_EQ(store.GetProgramShortName(200, 0), "Unknown");
  EXPECT_EQ(store.GetProgramShortName(2, 128), "Unknown");
  EXPECT_EQ(store.GetProgramShortName(1, 0), "Bank Empty");
  EXPECT_EQ(store.GetProgramShortName(2, 1), "Empty");
  EXPECT_EQ(store.GetProgramShortName(2, 5), "Lead");
  EXPECT_EQ(store.GetSampleName(2, 0), "Alpha");
  EXPECT_EQ(store.GetSampleName(2, 3), "Empty");
  EXPECT_EQ(store.GetSampleName(1, 0), "Empty");
  EXPECT_EQ(store.GetProgramName(1, 5), "");
  EXPECT_EQ(store.GetBankName(1), "");

  std::vector<std::string> names = {"keep"};
  store.GetBankNames(names);
  ASSERT_EQ(names.size(), 128u);
  EXPECT_EQ(names[0], "0-empty");
  EXPECT_EQ(names[2], "2-  Small Bank  ");
  store.GetProgramNames(2, names);
  EXPECT_EQ(names[5], "5-Lead");
  EXPECT_EQ(names[1], "1-");
  store.GetProgramNames(7, names);
  EXPECT_EQ(names[5], "5-");
}

TEST(SampleStore, DeletingASampleNeverLeavesAZonePointingAtIt) {
  TMessageLog log;
  TSampler store;
  ASSERT_TRUE(Load(store, SmallBankFile()));
  const std::uint32_t before = store.Generation(0);
  store.DeleteSample(0, 2, true);  // "Zeta", id 7
  EXPECT_NE(store.Generation(0), before);
  EXPECT_EQ(store.FindSampleByID(0, 7), nullptr);
  ASSERT_EQ(store.Program(0, 5)->Zones.size(), 2u) << "its zone is gone";
  EXPECT_EQ(store.Program(0, 5)->Zones[0].Rec.SampleID, 3);

  store.DeleteSample(0, 0, false);  // "Alpha", zones kept
  ASSERT_EQ(store.Program(0, 5)->Zones.size(), 2u);
  EXPECT_EQ(store.Program(0, 5)->Zones[0].Sample, nullptr);
  store.DeleteSample(0, 5, true);  // outside the list: nothing
  store.DeleteSample(9, 0, true);  // empty bank: nothing

  store.FreeProgram(0, 5);
  EXPECT_EQ(store.Program(0, 5), nullptr);
  EXPECT_EQ(store.GetProgramShortName(0, 5), "Empty");
  store.FreeBank(0);
  EXPECT_EQ(store.Bank(0), nullptr);
}

TEST(SampleStore, ZoneLoopIsMadeSafeForPlayback) {
  TSampleRec sample;
  sample.Header.Length = 200;  // 100 stereo frames
  sample.Riff.Channels = 2;
  sample.Header.LoopMode = kLoopForward;
  sample.Header.LoopStart = -5;
  sample.Header.LoopEnd = 150;
  TSampleZoneRec zone;
  SetZoneDefaults(zone);

  TZoneLoop loop = ResolveZoneLoop(zone, sample);
  EXPECT_EQ(loop.Mode, kLoopForward);
  EXPECT_EQ(loop.Start, 0);
  EXPECT_EQ(loop.End, 100) << "limited to the frames";

  zone.LoopPointsOverride = 1;
  zone.LoopStart = 40;
  zone.LoopEnd = 40;
  loop = ResolveZoneLoop(zone, sample);
  EXPECT_EQ(loop.Mode, kLoopNone) << "shorter than one frame";
  EXPECT_EQ(loop.End, 100);

  zone.LoopEnd = 41;
  zone.LoopModeOverride = 1;
  zone.LoopMode = 7;
  EXPECT_EQ(ResolveZoneLoop(zone, sample).Mode, kLoopNone) << "a mode above 3 plays as no loop";
  zone.LoopMode = kLoopAlternating;
  loop = ResolveZoneLoop(zone, sample);
  EXPECT_EQ(loop.Mode, kLoopAlternating);
  EXPECT_EQ(loop.Start, 40);
  EXPECT_EQ(loop.End, 41);

  sample.Header.SampleScale = 0.25f;
  EXPECT_EQ(ResolveZoneSampleScale(zone, sample), 0.25f);
  zone.ScaleOverride = 1;
  zone.SampleScale = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(ResolveZoneSampleScale(zone, sample), 0.0f);
  sample.Header.RootKey = 30;
  EXPECT_EQ(ResolveZoneRootKey(zone, sample), 30);
  zone.RootKeyOverride = 1;
  EXPECT_EQ(ResolveZoneRootKey(zone, sample), 60);
}

}  // namespace
