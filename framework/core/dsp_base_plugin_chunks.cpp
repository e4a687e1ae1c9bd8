// Program records, chunks, banks, state and snapshots in their minimal
// form: nothing is written and nothing is read, so the host's chunk and
// bank requests are answered from the programs as they stand. The formats
// of these records replace this file.
#include "framework/core/dsp_base_plugin.h"

std::int64_t TDSPBasePlugin::WriteProgramRecord(std::int32_t /*program*/, TStream& /*stream*/) { return 0; }

std::int64_t TDSPBasePlugin::ReadProgramRecord(std::int32_t /*program*/, TStream& /*stream*/,
                                               std::int64_t /*size*/) {
  return 0;
}

bool TDSPBasePlugin::LoadChunk(TStream& /*stream*/, std::int64_t /*size*/, bool /*isPreset*/) { return false; }

void TDSPBasePlugin::SaveChunk(TStream& /*stream*/, bool /*isPreset*/) {}

bool TDSPBasePlugin::LoadBankFromStream(TStream& /*stream*/) { return false; }

void TDSPBasePlugin::SaveBankToStream(TStream& /*stream*/) {}

void TDSPBasePlugin::SaveState(TStream& /*stream*/) {}

bool TDSPBasePlugin::LoadState(TStream& /*stream*/) { return false; }

bool TDSPBasePlugin::LoadParamSnapshot(TStream& /*stream*/) { return false; }

void TDSPBasePlugin::SaveParamSnapshot(TStream& /*stream*/, std::int32_t /*count*/) {}
