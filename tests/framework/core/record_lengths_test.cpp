// Every stored record at its exact length: a record is read when all of its
// bytes are there (also with more behind it, which stay unread), and refused
// with the stream back where it began when one byte is missing; counts read
// from the input are bounded by the bytes that follow them, a negative count
// is refused; names at the most characters a field holds survive whole.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "framework/core/bank_format.h"
#include "framework/core/chunk_format.h"
#include "framework/core/sub_preset_format.h"

namespace {

using TBytes = std::vector<std::uint8_t>;
// Reads one record from the stream; true when it was read whole.
using TParse = std::function<bool(TStream&)>;

TBytes BytesOf(const TMemoryStream& s) { return {s.Bytes().begin(), s.Bytes().end()}; }

template <typename Write>
TBytes Written(Write write) {
  TMemoryStream s;
  write(s);
  return BytesOf(s);
}

// The record whole, with one byte more, and one byte short.
void ExpectReadAtItsExactLength(const TBytes& record, const TParse& parse, const std::string& what) {
  SCOPED_TRACE(what);
  const auto size = static_cast<std::int64_t>(record.size());
  {
    TMemoryStream s(record);
    EXPECT_TRUE(parse(s)) << "exact length";
    EXPECT_EQ(s.Position(), size);
  }
  {
    TBytes longer = record;
    longer.push_back(0x5A);
    TMemoryStream s(longer);
    EXPECT_TRUE(parse(s)) << "one byte more";
    EXPECT_EQ(s.Position(), size) << "the byte behind it is not read";
  }
  {
    TMemoryStream s(std::span<const std::uint8_t>(record.data(), record.size() - 1));
    EXPECT_FALSE(parse(s)) << "one byte short";
    EXPECT_EQ(s.Position(), 0) << "a refused record leaves the stream where it began";
  }
}

bool ProgramRecord(TStream& s) {
  TProgramImage image;
  std::string error;
  return ParseProgramRecordData(s, image, error) == TReadResult::Read;
}

bool BankChunk(TStream& s) {
  TChunkImage image;
  std::string error;
  return ParseBankChunkPrograms(s, image, error);
}

bool SubPresetItem(TStream& s) {
  TSubPresetItemImage image;
  std::string error;
  return ParseSubPresetItem(s, image, error) == TReadResult::Read;
}

bool SubPresetGroup(TStream& s) {
  TSubPresetGroupImage image;
  std::string error;
  return ParseSubPresetGroup(s, image, error) == TReadResult::Read;
}

bool SubPresetBlock(TStream& s) {
  TSubPresetBlockImage image;
  std::string error;
  return ParseSubPresetBlock(s, image, error) == TReadResult::Read;
}

bool Fxb(TStream& s) {
  TFxbImage image;
  std::string error;
  return ParseFxb(s, image, error);
}

const std::int32_t kId = PackFourBytes("SnTs");

// ---- exact lengths

// The smallest records (an empty name, no values) packed as tightly as the
// format allows: counts that exactly fill the bytes behind them are read.
TEST(RecordLengths, RecordsOfTheSmallestSizeThatExactlyFillTheInputAreRead) {
  ExpectReadAtItsExactLength(Written([](TStream& s) { WriteProgramRecordData(s, "", {}); }), ProgramRecord,
                             "an empty program record");
  ExpectReadAtItsExactLength(Written([](TStream& s) {
                               WriteProgramRecordData(s, "Bass", {0.25f, 0.5f});
                             }),
                             ProgramRecord, "a program record with values");
  for (std::int32_t count : {1, 3, 7}) {
    ExpectReadAtItsExactLength(Written([count](TStream& s) {
                                 WriteBankChunkHead(s, count);
                                 for (std::int32_t i = 0; i < count; ++i) WriteProgramRecordData(s, "", {});
                               }),
                               BankChunk, "a bank chunk of " + std::to_string(count) + " empty programs");
    TSubPresetGroupRec group;
    group.Id = 40;
    group.SubPresets.assign(static_cast<std::size_t>(count), TSubPresetRec{});
    ExpectReadAtItsExactLength(Written([&group](TStream& s) { WriteSubPresetGroupRecord(s, group); }), SubPresetGroup,
                               "a group of " + std::to_string(count) + " empty sub-presets");
    std::vector<std::unique_ptr<TSubPresetGroupRec>> groups;
    for (std::int32_t i = 0; i < count; ++i) {
      groups.push_back(std::make_unique<TSubPresetGroupRec>());
      groups.back()->Id = 10 + i;
    }
    ExpectReadAtItsExactLength(Written([&groups](TStream& s) { WriteSubPresetBlock(s, groups); }), SubPresetBlock,
                               "a block of " + std::to_string(count) + " empty groups");
  }
  ExpectReadAtItsExactLength(Written([](TStream& s) { WriteSubPresetItemRecord(s, 11, TSubPresetRec{}); }),
                             SubPresetItem, "an empty sub-preset");
  ExpectReadAtItsExactLength(
      Written([](TStream& s) { WriteCurrentProgramBlock(s, 5); }),
      [](TStream& s) {
        std::int16_t program = -1;
        std::string error;
        return ParseCurrentProgramBlock(s, program, error) == TReadResult::Read && program == 5;
      },
      "the current program block");
  ExpectReadAtItsExactLength(
      Written([](TStream& s) {
        WriteParamSnapshotData(s, {0.5f, 1.0f});
      }),
      [](TStream& s) {
        std::vector<float> values;
        std::string error;
        return ParseParamSnapshotData(s, values, error) == TReadResult::Read &&
               values == std::vector<float>{0.5f, 1.0f};
      },
      "the parameter snapshot");
}

TEST(RecordLengths, BanksAreReadAtTheirExactLengthInEveryLayout) {
  const TBytes chunk = Written([](TStream& s) {
    WriteBankChunkHead(s, 1);
    WriteProgramRecordData(s, "One", {0.5f});
  });
  const TBytes ours = Written([&chunk](TStream& s) { WriteFxbChunkBank(s, kId, 1100, 1, chunk); });
  ASSERT_EQ(ours.size(), 164 + chunk.size());
  ExpectReadAtItsExactLength(ours, Fxb, "a chunk bank with 4 reserved bytes");
  // The usual layout: no reserved bytes, byte size = file length - 8.
  TBytes usual = ours;
  usual.erase(usual.begin() + 160, usual.begin() + 164);
  const auto size = static_cast<std::int32_t>(usual.size() - 8);
  for (int i = 0; i < 4; ++i) usual[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  ExpectReadAtItsExactLength(usual, Fxb, "a chunk bank in the usual layout");
  for (std::int32_t programs : {0, 1, 3}) {
    ExpectReadAtItsExactLength(Written([programs](TStream& s) {
                                 WriteFxbRegularHeader(s, kId, 1100, programs, 2);
                                 for (std::int32_t i = 0; i < programs; ++i)
                                   WriteFxProgram(s, kId, 1100, "P", {0.25f, 0.75f});
                               }),
                               Fxb, "a regular bank of " + std::to_string(programs) + " programs");
  }
}

TEST(RecordLengths, StateHeadsBlocksAndTheOlderFormAreReadAtTheirExactLength) {
  ExpectReadAtItsExactLength(
      Written([](TStream& s) { WriteStateHead(s, 3, "My Bank"); }),
      [](TStream& s) {
        TStateImage image;
        std::string error;
        return ParseStateHead(s, image, error) == TReadResult::Read && image.Program == 3 &&
               image.BankName == "My Bank";
      },
      "the state's head");
  const std::uint8_t payload[3] = {1, 2, 3};
  ExpectReadAtItsExactLength(
      Written([&payload](TStream& s) { WriteStateBlock(s, "abcD", 1, payload); }),
      [](TStream& s) {
        TStateImage image;
        std::string error;
        return ParseStateBlock(s, "abcD", 3, image, error) == TReadResult::Read;
      },
      "a state block");
  ExpectReadAtItsExactLength(
      Written([](TStream& s) {
        WriteMagic(s, kOldStateMagic);
        WriteInt32(s, 7);
        WriteInt32(s, 2);
        for (const char* text : {"a", ""}) {
          WriteInt32(s, 1);
          WriteLongStr(s, text);
        }
      }),
      [](TStream& s) {
        std::string error;
        return SkipOldState(s, error) == TReadResult::Read;
      },
      "the older state form");
}

// ---- counts read from the input

// A count below zero is refused, never taken for an empty list.
TEST(RecordCounts, NegativeCountsAreRefusedAndLeaveTheStreamWhereItWas) {
  auto refused = [](const TBytes& bytes, const TParse& parse, const char* what) {
    TMemoryStream s(bytes);
    EXPECT_FALSE(parse(s)) << what;
    EXPECT_EQ(s.Position(), 0) << what;
  };
  refused(Written([](TStream& s) {
            WriteMagic(s, kProgramRecordMagic);
            WriteInt16(s, kOwnRecordVersion);
            WriteLongStr(s, "x");
            WriteInt32(s, -1);
            WriteInt32(s, 0);
          }),
          ProgramRecord, "a program record of -1 values");
  refused(Written([](TStream& s) { WriteBankChunkHead(s, -1); }), BankChunk, "a bank chunk of -1 programs");
  refused(Written([](TStream& s) {
            WriteMagic(s, kSubPresetGroupMagic);
            WriteInt16(s, kSubPresetRecordVersion);
            WriteInt16(s, 10);
            WriteInt32(s, -1);
            WriteSubPresetItemRecord(s, 10, TSubPresetRec{});
          }),
          SubPresetGroup, "a group of -1 sub-presets");
  refused(Written([](TStream& s) { WriteFxbRegularHeader(s, kId, 1100, -1, 2); }), Fxb,
          "a regular bank of -1 programs");
  refused(
      Written([](TStream& s) {
        WriteMagic(s, kOldStateMagic);
        WriteInt32(s, 7);
        WriteInt32(s, -1);
      }),
      [](TStream& s) {
        std::string error;
        return SkipOldState(s, error) == TReadResult::Read;
      },
      "the older state form with -1 entries");
}

// ---- names at the most characters their field holds

TEST(RecordNames, AProgramNameOfTheMostCharactersSurvivesAnFxbProgramWhole) {
  auto readBack = [](const std::string& name) {
    TMemoryStream s;
    WriteFxbRegularHeader(s, kId, 1100, 1, 1);
    WriteFxProgram(s, kId, 1100, name, {0.5f});
    s.SetPosition(0);
    TFxbImage bank;
    std::string error;
    EXPECT_TRUE(ParseFxb(s, bank, error)) << error;
    return bank.Programs.empty() ? std::string("?") : bank.Programs[0].Name;
  };
  const std::string most(kFxProgramNameMax, 'n');
  EXPECT_EQ(readBack(most), most);
  EXPECT_EQ(readBack(most + "x"), most) << "one more is cut";
  EXPECT_EQ(readBack("Sub"), "Sub");
  // A record from elsewhere that fills its 28-byte field (with or without
  // a terminator) keeps every character.
  for (std::size_t length : {27u, 28u}) {
    TMemoryStream s;
    WriteFxbRegularHeader(s, kId, 1100, 1, 1);
    WriteFxProgram(s, kId, 1100, "", {0.5f});
    std::memset(s.Memory() + kFxbRegularHeaderSize + 28, 'm', length);
    s.SetPosition(0);
    TFxbImage bank;
    std::string error;
    ASSERT_TRUE(ParseFxb(s, bank, error)) << error;
    EXPECT_EQ(bank.Programs[0].Name, std::string(length, 'm'));
  }
}

TEST(RecordNames, ASubPresetNameOfTheMostCharactersSurvivesWholeWrittenAndRead) {
  const std::string most(kSubPresetNameMax, 'n');
  EXPECT_EQ(ClampSubPresetName(most), most);
  EXPECT_EQ(ClampSubPresetName(most + "x"), most);
  EXPECT_EQ(ClampSubPresetName(" " + most + " "), most);
  // Written: at most the 36 characters.
  for (const std::string& name : {most, most + "xyz"}) {
    TMemoryStream s;
    WriteSubPresetItemRecord(s, 11, TSubPresetRec{name, {}});
    s.SetPosition(0);
    TSubPresetItemImage item;
    std::string error;
    ASSERT_EQ(ParseSubPresetItem(s, item, error), TReadResult::Read) << error;
    EXPECT_EQ(item.Name, most);
    EXPECT_EQ(s.Size(), 4 + 2 + 2 + 2 + 1 + static_cast<std::int64_t>(most.size()) + 4);
  }
  // Read: a record from elsewhere with a longer name gives the 36.
  TMemoryStream s;
  WriteMagic(s, kSubPresetItemMagic);
  WriteInt16(s, kSubPresetRecordVersion);
  WriteInt16(s, 11);
  WriteShortStr(s, std::string(60, 'L'));
  WriteInt32(s, 0);
  s.SetPosition(0);
  TSubPresetItemImage item;
  std::string error;
  ASSERT_EQ(ParseSubPresetItem(s, item, error), TReadResult::Read) << error;
  EXPECT_EQ(item.Name, std::string(kSubPresetNameMax, 'L'));
}

}  // namespace
