// The records of the "XDSPSBNK" sample-bank file format, laid out byte for
// byte as they are stored (all numbers little-endian). The reader copies
// them straight from the file and keeps them whole, unknown bytes included;
// the bank generator writes them the same way. Header-only and free of any
// library dependency so that build-time tools can use it.
//
// Short strings in these records are a length byte followed by the
// characters in a fixed-size field; a length beyond its field is clamped.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

static_assert(std::endian::native == std::endian::little,
              "the bank records are copied to and from little-endian files as they are");

inline constexpr char kSampleBankMagic[8] = {'X', 'D', 'S', 'P', 'S', 'B', 'N', 'K'};
// Version written by this system's own tools; the reader also takes the
// older compressed forms below "1.51".
inline constexpr char kSampleBankVersion[4] = {'1', '.', '6', '8'};
inline constexpr std::int32_t kSampleBankBanks = 128;
inline constexpr std::int32_t kSampleBankPrograms = 128;
// Spare values and bytes allocated after every sample's data, so that an
// interpolation reading up to two frames past the end stays inside it.
inline constexpr std::int32_t kSampleSpareValues = 96;
inline constexpr std::int32_t kSampleSpareBytes = 128;
// Largest compressed chunk of the "1.50" form.
inline constexpr std::int32_t kSampleBankChunkLimit = 110000;

// Loop modes of a sample or a zone override. Values above 3 play as no loop.
enum : std::uint8_t {
  kLoopNone = 0,
  kLoopForward = 1,
  kLoopForwardReverse = 2,
  kLoopAlternating = 3,
};

// Text of a short-string field; the length byte is clamped to the field.
template <std::size_t N>
std::string ShortStrText(const std::uint8_t (&field)[N]) {
  const std::size_t length = std::min<std::size_t>(field[0], N - 1);
  return std::string(reinterpret_cast<const char*>(field + 1), length);
}

// Stores text (cut to the field) and zero-fills the rest of the field.
template <std::size_t N>
void SetShortStr(std::uint8_t (&field)[N], std::string_view text) {
  const std::size_t length = std::min<std::size_t>(text.size(), std::min<std::size_t>(N - 1, 255));
  std::memset(field, 0, N);
  field[0] = static_cast<std::uint8_t>(length);
  std::memcpy(field + 1, text.data(), length);
}

// Clamps a stored length byte to its field; the characters stay as read.
template <std::size_t N>
void ClampShortStr(std::uint8_t (&field)[N]) {
  if (field[0] > N - 1) field[0] = static_cast<std::uint8_t>(N - 1);
}

// Bank header, 352 bytes.
struct TSampleBankHeaderRec {
  char Tag1[4];              // "BANK"
  char Tag2[4];              // "KNAB"
  char Version[4];           // version text, stored only
  std::uint8_t Name[130];    // short string: bank name
  std::uint8_t Text[66];     // short string: second text
  std::int16_t SampleCount;  // +208
  std::uint8_t Stored210[6];
  std::int16_t ProgramCount;  // +216
  std::uint8_t Stored218[134];
};
static_assert(sizeof(TSampleBankHeaderRec) == 352);
static_assert(offsetof(TSampleBankHeaderRec, Name) == 12);
static_assert(offsetof(TSampleBankHeaderRec, Text) == 142);
static_assert(offsetof(TSampleBankHeaderRec, SampleCount) == 208);
static_assert(offsetof(TSampleBankHeaderRec, ProgramCount) == 216);

// Sample header, 116 bytes.
struct TSampleHeaderRec {
  std::uint8_t LoopMode;  // kLoop...
  std::uint8_t Stored1[3];
  std::int32_t LoopStart;  // frames
  std::int32_t LoopEnd;    // frames, exclusive: reaching it wraps to LoopStart
  std::int32_t Length;     // 16-bit values (two per frame for stereo)
  std::uint8_t RootKey;    // MIDI note that plays at the header's rate
  std::uint8_t Name[65];   // short string
  std::uint16_t ID;        // +82, referenced by the zones
  std::int32_t Stored84;
  float SampleScale;  // +88: stored integer -> signal value
  std::int32_t Stored92;
  std::int32_t Stored96;
  std::uint8_t Stored100[16];
};
static_assert(sizeof(TSampleHeaderRec) == 116);
static_assert(offsetof(TSampleHeaderRec, LoopStart) == 4);
static_assert(offsetof(TSampleHeaderRec, Length) == 12);
static_assert(offsetof(TSampleHeaderRec, RootKey) == 16);
static_assert(offsetof(TSampleHeaderRec, Name) == 17);
static_assert(offsetof(TSampleHeaderRec, ID) == 82);
static_assert(offsetof(TSampleHeaderRec, SampleScale) == 88);

// The canonical 44-byte RIFF/WAVE header stored with every sample.
struct TRiffWaveHeaderRec {
  char Riff[4];             // "RIFF"
  std::uint32_t RiffSize;   // 36 + data bytes
  char Wave[4];             // "WAVE"
  char Fmt[4];              // "fmt "
  std::uint32_t FmtSize;    // 16
  std::uint16_t Format;     // 1 = PCM
  std::uint16_t Channels;   // +22: 1 mono, 2 interleaved stereo
  std::int32_t SampleRate;  // +24: Hz at which the root key plays
  std::uint32_t ByteRate;
  std::uint16_t BlockAlign;
  std::uint16_t BitsPerSample;
  char Data[4];  // "data"
  std::uint32_t DataSize;
};
static_assert(sizeof(TRiffWaveHeaderRec) == 44);
static_assert(offsetof(TRiffWaveHeaderRec, Channels) == 22);
static_assert(offsetof(TRiffWaveHeaderRec, SampleRate) == 24);

// One of the zone's three LFOs, 28 bytes.
struct TSampleLfoRec {
  std::uint8_t On;
  std::uint8_t Waveform;  // oscillator waveform index
  std::uint8_t Pad2[2];
  float Rate;    // as a pitch: frequency = PitchToFreq(Rate) x 10
  float Amount;  // oscillator gain
  float DelayMs;
  std::uint8_t ResetPhase;  // restart the phase at note start
  std::uint8_t Pad17[3];
  float Env1Depth;  // depth of zone envelope 1 on the LFO
  float Env2Depth;
};
static_assert(sizeof(TSampleLfoRec) == 28);
static_assert(offsetof(TSampleLfoRec, ResetPhase) == 16);

// One of the zone's two shaper stages, 32 bytes.
struct TSampleShaperRec {
  std::uint8_t On;
  std::uint8_t Pad1[3];
  float Amount;
  std::int16_t Type;  // shaper type index
  std::uint8_t Stored10[22];
};
static_assert(sizeof(TSampleShaperRec) == 32);

// Zone record, 804 bytes: one key range of a program, its sample and the
// settings of its play state. Times are milliseconds, pitches semitones.
struct TSampleZoneRec {
  float Gain;             // +0
  float GainLfo[3];       // +4
  float Pan;              // +16, 0 left .. 1 right
  float PanLfo[3];        // +20
  float PitchLfo[3];      // +32
  std::uint8_t LowKey;    // +44, inclusive
  std::uint8_t HighKey;   // +45, inclusive
  std::int8_t Transpose;  // +46, semitones
  std::uint8_t Pad47;
  float FineTune;       // +48, semitones
  std::uint8_t Env1On;  // +52
  std::uint8_t Pad53[3];
  std::int32_t Env1AttackMs;    // +56
  std::int32_t Env1DecayMs;     // +60
  std::int32_t Env1Sustain1Ms;  // +64
  std::int32_t Env1RiseMs;      // +68
  std::int32_t Env1FallMs;      // +72
  std::int32_t Env1Sustain2Ms;  // +76
  float Env1SustainLevel;       // +80
  std::int32_t Env1ReleaseMs;   // +84
  std::uint8_t Env1SustainOn;   // +88
  std::uint8_t Env2On;          // +89
  std::uint8_t Pad90[2];
  std::int32_t Env2AttackMs;    // +92
  std::int32_t Env2DecayMs;     // +96
  std::int32_t Env2Sustain1Ms;  // +100
  std::int32_t Env2RiseMs;      // +104
  std::int32_t Env2FallMs;      // +108
  std::int32_t Env2Sustain2Ms;  // +112
  float Env2SustainLevel;       // +116
  std::int32_t Env2ReleaseMs;   // +120
  std::uint8_t Env2SustainOn;   // +124
  std::uint8_t Filter1On;       // +125
  std::uint8_t Filter1Type;     // +126
  std::uint8_t Pad127;
  float Filter1Cutoff;       // +128
  float Filter1Resonance;    // +132
  float Filter1Param3;       // +136
  float Filter1Lfo[3];       // +140
  float Filter1Env[2];       // +152
  std::uint8_t Filter2On;    // +160
  std::uint8_t Filter2Type;  // +161
  std::uint8_t Pad162[2];
  float Filter2Cutoff;     // +164
  float Filter2Resonance;  // +168
  float Filter2Param3;     // +172
  float Filter2Lfo[3];     // +176
  float Filter2Env[2];     // +188
  TSampleLfoRec Lfo[3];    // +196, +224, +252
  std::uint8_t DistOn;     // +280
  std::uint8_t Pad281[3];
  float DistHighLevel;          // +284
  float DistLowLevel;           // +288
  float DistHighThreshold;      // +292
  float DistLowThreshold;       // +296
  float DistMix;                // +300
  std::uint8_t Params304[20];   // +304..323
  TSampleShaperRec Shaper[2];   // +324, +356
  std::int32_t PitchSweepOn;    // +388
  float PitchSweepStart;        // +392
  float PitchSweepEnd;          // +396
  float PitchSweepMs;           // +400
  std::uint8_t PitchReleaseOn;  // +404
  std::uint8_t Pad405[3];
  float PitchReleaseOffset;     // +408
  float PitchReleaseMs;         // +412
  std::uint8_t LegatoAttackOn;  // +416
  std::uint8_t Pad417[3];
  float LegatoAttackMs;   // +420
  std::uint8_t ModEnvOn;  // +424
  std::uint8_t Pad425[3];
  float PosModBase[3];           // +428
  float PosModEnvAmount[3];      // +440
  std::uint16_t PosModWaveform;  // +452 (the index is the low byte)
  std::uint8_t PosModMode;       // +454, 0..3
  std::uint8_t Pad455;
  std::int32_t ModEnvAttackMs;   // +456
  std::int32_t ModEnvDecayMs;    // +460
  float ModEnvSustainLevel;      // +464
  std::int32_t ModEnvHold;       // +468 (low byte)
  std::int32_t ModEnvReleaseMs;  // +472
  std::uint8_t Stored476[66];    // +476..541
  std::uint16_t SampleID;        // +542
  std::uint32_t SampleRef;       // +544, a 32-bit slot: the resolved sample is kept beside the record
  float Param548;                // +548
  float Env2LevelAmount;         // +552
  std::uint8_t Env1Curve;        // +556: 1..8 raise to the power n + 1
  std::uint8_t Env2Curve;        // +557
  std::uint8_t Pad558[2];
  std::int32_t Env1DelayMs;         // +560
  std::int32_t Env2DelayMs;         // +564
  std::int32_t Env1HoldMs;          // +568
  std::int32_t Env2HoldMs;          // +572
  std::uint8_t LoopModeOverride;    // +576
  std::uint8_t LoopMode;            // +577
  std::uint8_t LoopPointsOverride;  // +578
  std::uint8_t Pad579;
  std::int32_t LoopStart;        // +580
  std::int32_t LoopEnd;          // +584
  std::uint8_t RootKeyOverride;  // +588
  std::uint8_t RootKey;          // +589
  std::uint8_t Filter1RangeHz;   // +590
  std::uint8_t Filter2RangeHz;   // +591
  std::uint8_t LfoPitchMode[3];  // +592
  std::int8_t Env1PitchSemis;    // +595
  std::int8_t Env1PitchCents;    // +596
  std::int8_t Env2PitchSemis;    // +597
  std::int8_t Env2PitchCents;    // +598
  std::uint8_t Pad599;
  std::int16_t PitchTracking;  // +600, percent (the low half of a 32-bit field)
  std::int16_t PitchTrackingHigh;
  float LevelKeyTrack;         // +604
  float Filter1KeyTrack;       // +608
  float Filter2KeyTrack;       // +612
  float Env1HoldKeyTrack;      // +616
  float Env1DecayKeyTrack;     // +620
  float Env2HoldKeyTrack;      // +624
  float Env2DecayKeyTrack;     // +628
  std::uint8_t Env1Table;      // +632
  std::uint8_t Env2Table;      // +633
  std::uint8_t ScaleOverride;  // +634
  std::uint8_t Pad635;
  float SampleScale;            // +636
  std::uint8_t Params640[164];  // +640..803
};
static_assert(sizeof(TSampleZoneRec) == 804);
static_assert(offsetof(TSampleZoneRec, LowKey) == 44);
static_assert(offsetof(TSampleZoneRec, FineTune) == 48);
static_assert(offsetof(TSampleZoneRec, Env1SustainOn) == 88);
static_assert(offsetof(TSampleZoneRec, Env2AttackMs) == 92);
static_assert(offsetof(TSampleZoneRec, Filter1Cutoff) == 128);
static_assert(offsetof(TSampleZoneRec, Filter2On) == 160);
static_assert(offsetof(TSampleZoneRec, Filter2Env) == 188);
static_assert(offsetof(TSampleZoneRec, Lfo) == 196);
static_assert(offsetof(TSampleZoneRec, DistOn) == 280);
static_assert(offsetof(TSampleZoneRec, DistMix) == 300);
static_assert(offsetof(TSampleZoneRec, Shaper) == 324);
static_assert(offsetof(TSampleZoneRec, PitchSweepOn) == 388);
static_assert(offsetof(TSampleZoneRec, PitchReleaseOn) == 404);
static_assert(offsetof(TSampleZoneRec, LegatoAttackOn) == 416);
static_assert(offsetof(TSampleZoneRec, ModEnvOn) == 424);
static_assert(offsetof(TSampleZoneRec, PosModWaveform) == 452);
static_assert(offsetof(TSampleZoneRec, ModEnvAttackMs) == 456);
static_assert(offsetof(TSampleZoneRec, ModEnvReleaseMs) == 472);
static_assert(offsetof(TSampleZoneRec, SampleID) == 542);
static_assert(offsetof(TSampleZoneRec, SampleRef) == 544);
static_assert(offsetof(TSampleZoneRec, Env2LevelAmount) == 552);
static_assert(offsetof(TSampleZoneRec, Env1Curve) == 556);
static_assert(offsetof(TSampleZoneRec, Env1DelayMs) == 560);
static_assert(offsetof(TSampleZoneRec, LoopModeOverride) == 576);
static_assert(offsetof(TSampleZoneRec, LoopStart) == 580);
static_assert(offsetof(TSampleZoneRec, RootKeyOverride) == 588);
static_assert(offsetof(TSampleZoneRec, LfoPitchMode) == 592);
static_assert(offsetof(TSampleZoneRec, Env1PitchSemis) == 595);
static_assert(offsetof(TSampleZoneRec, PitchTracking) == 600);
static_assert(offsetof(TSampleZoneRec, LevelKeyTrack) == 604);
static_assert(offsetof(TSampleZoneRec, Env2DecayKeyTrack) == 628);
static_assert(offsetof(TSampleZoneRec, Env1Table) == 632);
static_assert(offsetof(TSampleZoneRec, SampleScale) == 636);
static_assert(offsetof(TSampleZoneRec, Params640) == 640);

// The zone scale default: 1/32767 (float bits 0x38000100).
inline constexpr std::uint32_t kDefaultZoneScaleBits = 0x38000100u;

// The values a program without template gets for its template zone.
inline void SetZoneDefaults(TSampleZoneRec& z) {
  std::memset(&z, 0, sizeof z);
  z.Gain = 1.0f;
  z.Pan = 0.5f;
  z.LowKey = 0;
  z.HighKey = 127;
  z.Env1On = 1;
  z.Env1AttackMs = 1;
  z.Env1DecayMs = 1;
  z.Env1SustainLevel = 1.0f;
  z.Env1ReleaseMs = 4;
  z.Env1SustainOn = 1;
  z.Env2AttackMs = 1;
  z.Env2DecayMs = 1;
  z.Env2SustainLevel = 1.0f;
  z.Env2ReleaseMs = 4;
  z.Env2SustainOn = 1;
  z.Filter1Cutoff = 4096.0f;
  z.Filter1Resonance = 0.1f;
  z.Filter1Param3 = 0.5f;
  z.Filter2Cutoff = 4096.0f;
  z.Filter2Resonance = 0.1f;
  z.Filter2Param3 = 0.5f;
  for (TSampleLfoRec& lfo : z.Lfo) {
    lfo.Waveform = 6;
    lfo.Amount = 1.0f;
    lfo.ResetPhase = 1;
  }
  z.DistHighLevel = 0.6f;
  z.DistLowLevel = -0.2f;
  z.DistHighThreshold = 1.2f;
  z.DistLowThreshold = -0.4f;
  for (TSampleShaperRec& shaper : z.Shaper) shaper.Amount = 0.5f;
  z.PitchSweepStart = -12.0f;
  z.PitchSweepMs = 100.0f;
  z.PitchReleaseOffset = -12.0f;
  z.PitchReleaseMs = 100.0f;
  z.LegatoAttackMs = 100.0f;
  for (float& v : z.PosModBase) v = 0.5f;
  for (float& v : z.PosModEnvAmount) v = 0.5f;
  z.PosModWaveform = 6;
  z.ModEnvAttackMs = 50;
  z.ModEnvDecayMs = 100;
  z.ModEnvSustainLevel = 0.5f;
  z.ModEnvHold = 1;
  z.ModEnvReleaseMs = 100;
  z.Param548 = 1.0f;
  z.Env1Curve = 1;
  z.RootKey = 60;
  z.PitchTracking = 100;
  z.SampleScale = std::bit_cast<float>(kDefaultZoneScaleBits);
}

// The canonical PCM header for 16-bit data.
inline TRiffWaveHeaderRec MakeRiffWaveHeader(std::uint16_t channels, std::int32_t rate, std::uint32_t dataBytes) {
  TRiffWaveHeaderRec h{};
  std::memcpy(h.Riff, "RIFF", 4);
  h.RiffSize = 36 + dataBytes;
  std::memcpy(h.Wave, "WAVE", 4);
  std::memcpy(h.Fmt, "fmt ", 4);
  h.FmtSize = 16;
  h.Format = 1;
  h.Channels = channels;
  h.SampleRate = rate;
  h.BlockAlign = static_cast<std::uint16_t>(channels * 2);
  h.ByteRate = static_cast<std::uint32_t>(rate) * h.BlockAlign;
  h.BitsPerSample = 16;
  std::memcpy(h.Data, "data", 4);
  h.DataSize = dataBytes;
  return h;
}
