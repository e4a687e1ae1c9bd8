// Host-side bank files: validation of the whole file before anything is
// applied, and application to a plug-in.
#include "tools/host/fx_bank.h"
#include "tools/host/input_file.h"

#include <gtest/gtest.h>

#include "tests/tools/host_process.h"
#include "tools/host/vst_host.h"

namespace {

TFxBank RegularBank() {
  TFxBank b;
  b.Version = 2;
  b.PluginId = 0x52745379;  // the test instrument
  b.PluginVersion = 1;
  b.CurrentProgram = 2;
  b.Programs = {{"Alpha", {0.1f, 0.2f, 0.3f}}, {"Beta", {0.4f, 0.5f, 0.6f}}, {"Gamma", {0.7f, 0.8f, 0.9f}}};
  b.NumPrograms = 3;
  return b;
}

TEST(FxBank, RegularAndChunkBanksRoundTrip) {
  const TFxBank regular = RegularBank();
  TFxBank back;
  std::string error;
  ASSERT_TRUE(ParseFxBank(WriteFxBank(regular), back, error)) << error;
  EXPECT_FALSE(back.IsChunk);
  EXPECT_EQ(back.CurrentProgram, 2);
  ASSERT_EQ(back.Programs.size(), 3u);
  EXPECT_EQ(back.Programs[1].Name, "Beta");
  EXPECT_EQ(back.Programs[2].Params, regular.Programs[2].Params);

  TFxBank chunk;
  chunk.IsChunk = true;
  chunk.PluginId = 0x4E764566;
  chunk.NumPrograms = 128;
  chunk.Chunk = {1, 2, 3, 4, 5};
  ASSERT_TRUE(ParseFxBank(WriteFxBank(chunk), back, error)) << error;
  EXPECT_TRUE(back.IsChunk);
  EXPECT_EQ(back.Chunk, chunk.Chunk);
  EXPECT_EQ(back.PluginId, chunk.PluginId);
}

TEST(FxBank, DamagedBanksAreRejectedWithReasons) {
  std::string error;
  TFxBank out;
  auto bytes = WriteFxBank(RegularBank());
  EXPECT_FALSE(ParseFxBank(std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1), out, error));
  EXPECT_NE(error.find("program 3 of the bank"), std::string::npos) << error;

  TFxBank chunk;
  chunk.IsChunk = true;
  chunk.Chunk.assign(100, 7);
  auto c = WriteFxBank(chunk);
  c[156 + 3] = 200;  // the chunk size now exceeds the bytes that follow
  EXPECT_FALSE(ParseFxBank(c, out, error));
  EXPECT_NE(error.find("chunk size (200) exceeds the"), std::string::npos) << error;

  auto wrongKind = WriteFxBank(RegularBank());
  wrongKind[8] = 'Q';
  EXPECT_FALSE(ParseFxBank(wrongKind, out, error));
  EXPECT_NE(error.find("not FBCh or FxBk"), std::string::npos) << error;
  EXPECT_FALSE(ParseFxBank(std::vector<std::uint8_t>{'C', 'c', 'n', 'K'}, out, error));
}

TEST(FxBank, RegularBankIsAppliedProgramByProgram) {
  TVstModule module;
  std::string error;
  ASSERT_TRUE(module.Load(TestSynthPath(), error)) << error;
  auto plugin = TVstPlugin::Open(module, error);
  ASSERT_TRUE(plugin) << error;
  ASSERT_TRUE(ApplyFxBank(*plugin, RegularBank(), error)) << error;
  EXPECT_EQ(plugin->Program(), 2);
  EXPECT_FLOAT_EQ(plugin->GetParameter(1), 0.8f);
  EXPECT_EQ(plugin->ProgramName(0), "Alpha");
  plugin->SetProgram(1);
  EXPECT_FLOAT_EQ(plugin->GetParameter(2), 0.6f);
  EXPECT_EQ(plugin->ProgramName(3), "Detuned");  // beyond the bank: untouched

  TFxBank other = RegularBank();
  other.PluginId = 0x41424344;
  EXPECT_FALSE(ApplyFxBank(*plugin, other, error));
  EXPECT_NE(error.find("'ABCD', this one is 'RtSy'"), std::string::npos) << error;
}

TEST(FxBank, ChunkBanksWithFourReservedBytesAfterTheSizeAreRead) {
  // Some plug-ins (ours) write 4 reserved bytes after the chunk size and
  // store the whole file length as the byte size.
  TFxBank bank;
  bank.IsChunk = true;
  bank.NumPrograms = 128;
  bank.Chunk = {'D', 'c', 'H', 'n', 'K', 9, 8, 7};
  std::vector<std::uint8_t> bytes = WriteFxBank(bank);
  bytes.insert(bytes.begin() + 160, 4, 0);
  const std::int32_t size = static_cast<std::int32_t>(bytes.size());
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  TFxBank read;
  std::string error;
  ASSERT_TRUE(ParseFxBank(bytes, read, error)) << error;
  EXPECT_EQ(read.Chunk, bank.Chunk);
}

TEST(FxBank, ChunkBankFromThePluginRestoresIt) {
  TVstModule module;
  std::string error;
  ASSERT_TRUE(module.Load(TestSynthPath(), error)) << error;
  auto plugin = TVstPlugin::Open(module, error);
  ASSERT_TRUE(plugin) << error;
  plugin->SetProgram(3);
  plugin->SetParameter(0, 0.125f);
  TFxBank bank;
  bank.IsChunk = true;
  bank.PluginId = plugin->Effect()->uniqueID;
  bank.NumPrograms = plugin->NumPrograms();
  bank.Chunk = plugin->GetChunk(false);
  const std::string path = WriteScratchFile("synth.fxb", WriteFxBank(bank));
  auto fresh = TVstPlugin::Open(module, error);
  std::vector<std::uint8_t> bytes;
  TFxBank read;
  ASSERT_TRUE(ReadInputFile(path, kStateFileMax, "a bank file", bytes, error) && ParseFxBank(bytes, read, error))
      << error;
  ASSERT_TRUE(ApplyFxBank(*fresh, read, error)) << error;
  EXPECT_EQ(fresh->Program(), 3);
  EXPECT_FLOAT_EQ(fresh->GetParameter(0), 0.125f);
}

}  // namespace
