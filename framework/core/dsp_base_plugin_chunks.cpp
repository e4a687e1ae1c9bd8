// Program records, host chunks, FXB banks, the state block and the
// parameter snapshot of the plug-in base.
//
// Every reader works in two steps: it reads the whole input into an image
// (chunk_format.h, bank_format.h), checking each count and size against the
// bytes that remain, and only then applies the image under the instance lock.
// A damaged input is reported (ReportError, which never blocks) and changes
// nothing, not even the stream position.
//
// Threads: the host's chunk requests arrive on its main thread with the
// instance lock already held by the dispatcher; bank loading at set-up runs on
// the loading thread; the state messages on whichever thread sends them.
#include <algorithm>

#include "framework/base/messages.h"
#include "framework/core/dsp_base_plugin.h"

namespace {

// The next size bytes of the stream (at most what remains) as a stream of
// their own, so that no reader runs past them. The source is left after them.
TMemoryStream TakeBytes(TStream& stream, std::int64_t size) {
  size = std::clamp<std::int64_t>(size, 0, stream.Remaining());
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (!stream.ReadExact(bytes.data(), size)) bytes.clear();
  return TMemoryStream(bytes);
}

void ReportLoadError(std::string_view what, const std::string& error) {
  ShowMessage(TMessageKind::Error, std::string(what) + " could not be loaded: " + error + ".");
}

}  // namespace

std::vector<float> TDSPBasePlugin::ProgramRecordValues(std::int32_t program, std::int32_t first) {
  std::vector<float> values;
  const std::int32_t count = std::min(ParamCount, ParamCountAllocated());
  if (first < 0 || first >= count) return values;
  values.resize(static_cast<std::size_t>(count - first), 0.0f);
  const std::vector<float>* stored = IsValidProgram(program) ? &Programs[program].Values : nullptr;
  // The program as a whole: no edit of several values is half in it.
  TValueRightGuard whole(*this);
  for (std::int32_t i = first; i < count; ++i) {
    float v = 0.0f;
    if (ParamInfo[i].IsGlobal) v = LoadParamSlot(ParamInfo[i].Value);
    else if (stored != nullptr && i < static_cast<std::int32_t>(stored->size())) v = LoadParamSlot((*stored)[i]);
    values[static_cast<std::size_t>(i - first)] = v;
  }
  return values;
}

void TDSPBasePlugin::StoreProgramImage(std::int32_t program, const TProgramImage& image, std::int32_t first) {
  const bool valid = IsValidProgram(program);
  if (valid) Programs[program].Name = image.Name;
  const std::int32_t count = std::min(ParamCount, ParamCountAllocated());
  TValueRightGuard whole(*this);
  for (std::size_t j = 0; j < image.Values.size(); ++j) {
    const std::int64_t i = first + static_cast<std::int64_t>(j);
    if (i < 0) continue;
    if (i >= count) break;
    const float v = image.Values[j];
    if (ParamInfo[i].IsGlobal) StoreParamSlot(ParamInfo[i].Value, v);
    if (valid && i < static_cast<std::int64_t>(Programs[program].Values.size()))
      StoreParamSlot(Programs[program].Values[i], v);
  }
}

std::int64_t TDSPBasePlugin::WriteProgramRecord(std::int32_t program, TStream& stream) {
  TProgramDataGuard guard(*this);
  if (!IsValidProgram(program)) return 0;
  // A program with a blank name keeps its values: a host's saved state must
  // not lose the edits made to an unnamed program.
  return WriteProgramRecordData(stream, Programs[program].Name, ProgramRecordValues(program, 0));
}

std::int64_t TDSPBasePlugin::ReadProgramRecord(std::int32_t program, TStream& stream, std::int64_t size) {
  const std::int64_t start = stream.Position();
  TMemoryStream bytes = TakeBytes(stream, size);
  TProgramImage image;
  std::string error;
  const TReadResult r = ParseProgramRecordData(bytes, image, error);
  if (r != TReadResult::Read) {
    stream.SetPosition(start);
    if (r == TReadResult::Damaged) ReportLoadError("The program", error);
    return 0;
  }
  {
    TProgramDataGuard guard(*this);
    StoreProgramImage(program, image, 0);
  }
  stream.SetPosition(start + bytes.Position());
  return bytes.Position();
}

void TDSPBasePlugin::SaveChunk(TStream& stream, bool isPreset) {
  TProgramDataGuard guard(*this);
  if (isPreset) {
    // A current program outside the table still gives a well-formed record.
    if (WriteProgramRecord(CurrentProgram(), stream) == 0) WriteProgramRecordData(stream, {}, {});
    return;
  }
  const auto count = static_cast<std::int32_t>(Programs.size());
  WriteBankChunkHead(stream, count);
  for (std::int32_t i = 0; i < count; ++i) WriteProgramRecord(i, stream);
}

bool TDSPBasePlugin::ParseChunk(TStream& stream, bool isPreset, TChunkImage& image, std::string& error) {
  if (!isPreset) return ParseBankChunkPrograms(stream, image, error);
  TProgramImage program;
  const TReadResult r = ParseProgramRecordData(stream, program, error);
  if (r == TReadResult::Absent) error = "the preset chunk does not begin with \"PgCn\"";
  if (r != TReadResult::Read) return false;
  image.IsPreset = true;
  image.Programs.assign(1, std::move(program));
  return true;
}

void TDSPBasePlugin::ApplyChunk(const TChunkImage& image) {
  TProgramDataGuard guard(*this);
  if (image.IsPreset) {
    if (!image.Programs.empty()) StoreProgramImage(CurrentProgram(), image.Programs[0], 0);
    return;
  }
  const std::size_t count = std::min(image.Programs.size(), Programs.size());
  for (std::size_t i = 0; i < count; ++i) StoreProgramImage(static_cast<std::int32_t>(i), image.Programs[i], 0);
}

bool TDSPBasePlugin::LoadChunk(TStream& stream, std::int64_t size, bool isPreset) {
  const std::int64_t start = stream.Position();
  if (size < 0 || size > stream.Remaining()) {
    ReportLoadError("The chunk", "it declares " + std::to_string(size) + " bytes, but " +
                                     std::to_string(stream.Remaining()) + " are there");
    return false;
  }
  TMemoryStream bytes = TakeBytes(stream, size);
  TChunkImage image;
  std::string error;
  if (!ParseChunk(bytes, isPreset, image, error)) {
    stream.SetPosition(start);
    ReportLoadError("The chunk", error);
    return false;
  }
  {
    TProgramDataGuard guard(*this);
    ApplyChunk(image);
    // The host's project reopens on the program it was saved on. Only a
    // program that exists becomes current; a chunk without the number (or a
    // bank file or state, which carry their own) leaves it as it was.
    if (image.CurrentProgram && IsValidProgram(*image.CurrentProgram)) SetCurrentProgramNumber(*image.CurrentProgram);
  }
  RecallProgram();
  PostRefresh();
  return true;
}

bool TDSPBasePlugin::ParseBank(TStream& stream, TBankImage& image, std::string& error) {
  const std::int64_t start = stream.Position();
  TBankImage read;
  if (!ParseFxb(stream, read.File, error)) return false;
  if (read.File.IsChunk) {
    TMemoryStream chunk(read.File.Chunk);
    if (!ParseChunk(chunk, false, read.Chunk, error)) {
      stream.SetPosition(start);
      error = "its chunk: " + error;
      return false;
    }
  }
  image = std::move(read);
  return true;
}

void TDSPBasePlugin::ApplyBank(const TBankImage& image) {
  BeginProgramUpdate();
  if (image.File.IsChunk) {
    ApplyChunk(image.Chunk);
  } else {
    OnBeginLoadBank(image.File.Header.data());
    const std::size_t count = std::min(image.File.Programs.size(), Programs.size());
    for (std::size_t i = 0; i < count; ++i)
      StoreProgramImage(static_cast<std::int32_t>(i), image.File.Programs[i], FirstBankParam);
  }
  RecallProgram();
  EndProgramUpdate();
}

bool TDSPBasePlugin::LoadBankFromStream(TStream& stream) {
  TBankImage image;
  std::string error;
  if (!ParseBank(stream, image, error)) {
    ReportLoadError("The bank", error);
    return false;
  }
  ApplyBank(image);
  PostRefresh();
  return true;
}

void TDSPBasePlugin::SaveBankToStream(TStream& stream) {
  FixEmptyProgramNames();
  // Saving reads values and names only: the program data's lock is enough,
  // and the audio thread goes on.
  TProgramDataGuard guard(*this);
  const auto count = static_cast<std::int32_t>(Programs.size());
  if (ChunkMode) {
    TMemoryStream chunk;
    SaveChunk(chunk, false);
    WriteFxbChunkBank(stream, UniqueID, GetPluginVersion(), count, chunk.Bytes());
  } else {
    const std::int32_t values = std::max(0, std::min(ParamCount, ParamCountAllocated()) - FirstBankParam);
    WriteFxbRegularHeader(stream, UniqueID, GetPluginVersion(), count, values);
    for (std::int32_t i = 0; i < count; ++i)
      WriteFxProgram(stream, UniqueID, GetPluginVersion(), Programs[i].Name, ProgramRecordValues(i, FirstBankParam));
  }
}

bool TDSPBasePlugin::SaveBankFile(const std::string& path) {
  TMemoryStream bank;
  SaveBankToStream(bank);
  if (bank.SaveToFile(path)) return true;
  ShowMessage(TMessageKind::Error, "The bank could not be written to \"" + path + "\".");
  return false;
}

void TDSPBasePlugin::SaveState(TStream& stream) {
  TProgramDataGuard guard(*this);
  WriteStateHead(stream, static_cast<std::int16_t>(CurrentProgram()), BankName);
  SaveBankToStream(stream);
}

bool TDSPBasePlugin::ReadState(TStream& stream, TStateImage& image, std::string& error) {
  switch (ParseStateHead(stream, image, error)) {
    case TReadResult::Damaged:
      return false;
    case TReadResult::Read:
      if (!ParseBank(stream, image.Bank, error)) {
        error = "its bank: " + error;
        return false;
      }
      return true;
    case TReadResult::Absent:
      break;
  }
  switch (SkipOldState(stream, error)) {
    case TReadResult::Damaged:
      return false;
    case TReadResult::Read:
      image.Form = TStateImage::TForm::Old;
      return true;
    case TReadResult::Absent:
      break;
  }
  return true;
}

void TDSPBasePlugin::ApplyState(const TStateImage& image) {
  if (image.Form != TStateImage::TForm::Current) return;
  TPluginLockGuard guard(*this);
  TProgramDataGuard data(*this);
  BankName = image.BankName;
  // A number outside the table would leave every program value reading 0:
  // only a program that exists becomes current.
  if (image.Program >= 0 && image.Program < ProgramCount) SetCurrentProgramNumber(image.Program);
  ApplyBank(image.Bank);
}

bool TDSPBasePlugin::LoadState(TStream& stream) {
  const std::int64_t start = stream.Position();
  TStateImage image;
  std::string error;
  if (!ReadState(stream, image, error)) {
    stream.SetPosition(start);
    ReportLoadError("The plug-in state", error);
    return false;
  }
  {
    TPluginLockGuard guard(*this);
    TProgramDataGuard data(*this);
    ApplyState(image);
  }
  if (image.Form == TStateImage::TForm::Current) PostRefresh();
  return image.Form != TStateImage::TForm::None || !image.Blocks.empty();
}

bool TDSPBasePlugin::LoadParamSnapshot(TStream& stream) {
  std::vector<float> values;
  std::string error;
  const TReadResult r = ParseParamSnapshotData(stream, values, error);
  if (r == TReadResult::Damaged) ReportLoadError("The parameter snapshot", error);
  if (r != TReadResult::Read) return false;
  TPluginLockGuard guard(*this);
  const std::int32_t count = std::min<std::int32_t>(static_cast<std::int32_t>(values.size()), ParamCount);
  for (std::int32_t i = 0; i < count; ++i) SetParameterValue(i, values[static_cast<std::size_t>(i)]);
  return true;
}

void TDSPBasePlugin::SaveParamSnapshot(TStream& stream, std::int32_t count) {
  std::vector<float> values(static_cast<std::size_t>(std::max(0, count)));
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = GetParameterValue(static_cast<std::int32_t>(i));
  WriteParamSnapshotData(stream, values);
}
