// A small bank that exercises every part of the sample-bank format: mono and
// stereo samples, a zone whose sample is missing, a program with a template,
// names out of sorted order.
#pragma once

#include <cstring>
#include <vector>

#include "tools/samplebank/sample_bank_writer.h"

namespace small_bank {

inline TBankSampleSpec MakeSample(const char* name, std::uint16_t id, std::uint16_t channels, std::int32_t length,
                                  std::uint8_t loopMode, std::int32_t loopStart, std::int32_t loopEnd,
                                  std::uint8_t root, std::int32_t rate) {
  TBankSampleSpec s;
  s.Header.LoopMode = loopMode;
  s.Header.LoopStart = loopStart;
  s.Header.LoopEnd = loopEnd;
  s.Header.Length = length;
  s.Header.RootKey = root;
  SetShortStr(s.Header.Name, name);
  s.Header.ID = id;
  s.Header.SampleScale = 1.0f / 32767.0f;
  s.Riff = MakeRiffWaveHeader(channels, rate, static_cast<std::uint32_t>(length) * 2);
  for (std::int32_t k = 0; k < length; ++k) s.Data.push_back(static_cast<std::int16_t>(k * 97 % 20000 - 10000));
  return s;
}

inline TSampleZoneRec Zone(std::uint16_t sampleId, std::uint8_t low, std::uint8_t high) {
  TSampleZoneRec z;
  SetZoneDefaults(z);
  z.SampleID = sampleId;
  z.LowKey = low;
  z.HighKey = high;
  // Values that the older versions' conversions reset.
  z.Env1Curve = 3;
  z.Env2On = 1;
  z.Env2SustainLevel = 0.25f;
  z.LoopModeOverride = 1;
  z.LoopMode = 2;
  z.PitchTracking = 50;
  z.RootKeyOverride = 1;
  z.RootKey = 40;
  z.Filter1RangeHz = 0;
  z.ScaleOverride = 1;
  z.SampleScale = 0.5f;
  z.Lfo[1].DelayMs = 20.0f;
  return z;
}

// Samples "Zeta" (id 7, mono), "Alpha" (id 3, stereo), "Mid" (id 9, mono);
// program 5 "Lead" with zones on ids 7, 3 and the missing 99; program 0
// "Pad" with a template and one zone on id 9.
inline TBankSpec Make() {
  TBankSpec bank;
  bank.Name = "  Small Bank  ";
  bank.Text = "for tests";
  bank.Samples.push_back(MakeSample("Zeta", 7, 1, 100, kLoopForward, 10, 80, 48, 44100));
  bank.Samples.push_back(MakeSample("Alpha", 3, 2, 64, kLoopAlternating, 0, 32, 60, 22050));
  bank.Samples.push_back(MakeSample("Mid", 9, 1, 10, kLoopNone, 0, 0, 72, 48000));
  TBankProgramSpec lead;
  lead.Number = 5;
  lead.Name = "Lead";
  lead.Zones = {Zone(7, 0, 59), Zone(3, 60, 127), Zone(99, 0, 127)};
  TBankProgramSpec pad;
  pad.Number = 0;
  pad.Name = "Pad";
  pad.HasTemplate = true;
  pad.Template = Zone(0, 10, 20);
  pad.Zones = {Zone(9, 0, 127)};
  bank.Programs = {lead, pad};
  return bank;
}

}  // namespace small_bank
