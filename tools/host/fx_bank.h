// VST bank files (.fxb) as a host reads them: a chunk bank ("FBCh") is
// handed to the plug-in's setChunk, a regular bank ("FxBk") is applied
// program by program through setProgram, setProgramName and setParameter.
// Integers and floats in these files are big-endian.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class TVstPlugin;

struct TFxProgram {
  std::string Name;  // at most 27 characters
  std::vector<float> Params;
};

struct TFxBank {
  std::int32_t Version = 1;   // 1, or 2 with the current program
  std::int32_t PluginId = 0;  // the plug-in's unique ID
  std::int32_t PluginVersion = 0;
  std::int32_t CurrentProgram = -1;  // version 2 only
  bool IsChunk = false;
  std::int32_t NumPrograms = 0;
  std::vector<std::uint8_t> Chunk;   // chunk banks
  std::vector<TFxProgram> Programs;  // regular banks
};

// Validates the whole file before anything is applied; the error names the
// fault.
bool ParseFxBank(std::span<const std::uint8_t> bytes, TFxBank& bank, std::string& error);
std::vector<std::uint8_t> WriteFxBank(const TFxBank& bank);

// Checks the bank's plug-in ID against the plug-in and applies it; false
// when the plug-in refuses a chunk bank (setChunk answers 0).
bool ApplyFxBank(TVstPlugin& plugin, const TFxBank& bank, std::string& error);
