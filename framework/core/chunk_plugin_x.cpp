// What the plug-in core adds to the chunk and the state: the sub-preset
// block after the bank chunk's programs and the "dXPx" block after the
// state's bank.
#include "framework/core/dsp_plugin_x.h"

namespace {
constexpr std::string_view kPluginStateMagic = "dXPx";
constexpr std::int16_t kPluginStateVersion = 1;
}  // namespace

void TDSPPluginX::SaveChunk(TStream& stream, bool isPreset) {
  TProgramDataGuard guard(*this);
  TDSPVSTBase::SaveChunk(stream, isPreset);
  if (isPreset) return;
  WriteSubPresets(stream);
  // A host project reopens on the program it was saved on.
  WriteCurrentProgramBlock(stream, static_cast<std::int16_t>(CurrentProgram()));
}

bool TDSPPluginX::ParseChunk(TStream& stream, bool isPreset, TChunkImage& image, std::string& error) {
  if (!TDSPVSTBase::ParseChunk(stream, isPreset, image, error)) return false;
  if (isPreset) return true;
  TSubPresetBlockImage block;
  switch (ParseSubPresetBlock(stream, block, error)) {
    case TReadResult::Damaged:
      return false;
    case TReadResult::Read:
      image.SubPresets = std::move(block);
      break;
    case TReadResult::Absent:
      break;
  }
  // A chunk written before the current program was stored ends here; what
  // follows in a newer one must be that block (later blocks after it are
  // left to later readers).
  if (stream.Remaining() == 0) return true;
  std::int16_t program = 0;
  switch (ParseCurrentProgramBlock(stream, program, error)) {
    case TReadResult::Damaged:
      return false;
    case TReadResult::Absent:
      error = "the chunk goes on after its sub-presets with something that is not a current program block";
      return false;
    case TReadResult::Read:
      image.CurrentProgram = program;
      break;
  }
  return true;
}

void TDSPPluginX::ApplyChunk(const TChunkImage& image) {
  TProgramDataGuard guard(*this);
  TDSPVSTBase::ApplyChunk(image);
  // A host chunk replaces the sub-presets of every group it carries.
  if (image.SubPresets) ApplySubPresetBlock(*image.SubPresets, true);
}

void TDSPPluginX::SaveState(TStream& stream) {
  TProgramDataGuard guard(*this);
  TDSPVSTBase::SaveState(stream);
  WriteStateBlock(stream, kPluginStateMagic, kPluginStateVersion, std::span<const std::uint8_t>(&StateFlag, 1));
}

bool TDSPPluginX::ReadState(TStream& stream, TStateImage& image, std::string& error) {
  if (!TDSPVSTBase::ReadState(stream, image, error)) return false;
  return ParseStateBlock(stream, kPluginStateMagic, 1, image, error) != TReadResult::Damaged;
}

void TDSPPluginX::ApplyState(const TStateImage& image) {
  TDSPVSTBase::ApplyState(image);
  if (const TStateBlockImage* block = image.FindBlock(kPluginStateMagic)) StateFlag = block->Payload[0];
}
