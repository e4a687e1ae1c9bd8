// Value texts: the text the host and the editor show for a parameter's real
// value, chosen by the descriptor's display kind. Number texts always use
// '.' as the decimal separator, whatever locale the host has set.
//
// Pure functions; called on the host's thread that asks for a text and on
// the editor's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Value texts are short strings of at most this many characters.
inline constexpr std::size_t kValueTextMax = 20;

// Display kinds: the first field of a parameter descriptor, choosing the
// rule that turns its value into text. The parameter tables
// (engines/data/*.tsv) store them as numbers, so a kind never changes its
// number; a gap stays a gap.
enum TDisplayKind : std::uint16_t {
  kDisplayNumber = 8,  // integer when whole, else up to two decimals
  kDisplayInteger = 10,
  kDisplayOffOn = 11,
  kDisplayWaveform = 12,
  kDisplayLowHighPass = 13,      // "LP", "HP"
  kDisplayFilterRouting = 14,    // "VCF->LP/HP", "LP/HP->VCF"
  kDisplayEqType = 15,           // 1-based: "LPF" .. "High Shelf"
  kDisplayLengthUnit = 16,       // "ms", "Tick"
  kDisplayWetDryTarget = 17,     // 1-based: "Off", "Wet", "Dry", "Both"
  kDisplayManualAuto = 18,       // 1-based
  kDisplayMinusSixteenths = 19,  // "-n/16"
  kDisplaySixteenths = 20,       // "n/16"
  kDisplayTenthsMs = 21,         // value / 10, " ms"
  kDisplayFilterMode = 22,       // 1-based: "Lowpass" .. "Notch"
  kDisplayInertia = 23,          // 0 is "Inertia Off"
  kDisplaySemitones = 24,
  kDisplayTrimmedNumber = 25,
  kDisplayFineTune = 26,        // integer
  kDisplayDoubledPercent = 27,  // share of the range x 200 %
  kDisplayPitchAsHz = 28,       // a pitch (69 = 440 Hz) shown as its frequency
  kDisplayBendRange = 29,       // integer
  kDisplayPan127 = 30,          // 0..127, L/R
  kDisplayPan32767 = 31,        // 0..32767, L/R
  kDisplayPercentOf64 = 32,
  kDisplayPercent = 34,  // share of the range x 100 %
  kDisplayTwoDecimals = 37,
  kDisplayShaper = 38,
  kDisplayFilterType = 39,
  kDisplayIntegerSpare = 40,  // integer; no parameter uses it
  kDisplaySampleBank = 42,    // the sampler layer's (vr_sampler_base.h)
  kDisplaySamplePatch = 43,   // the sampler layer's
  kDisplayKey = 44,
  kDisplayHz = 45,
  kDisplayHundredths = 46,        // value / 100
  kDisplayMilliHz = 48,           // value / 1000, " Hz"
  kDisplayKhz = 49,               // value / 1000, " khz"
  kDisplayModulationMethod = 50,  // "Frq", "Pitch"
  kDisplayInterpolation = 51,
  kDisplayFmAlgorithm = 52,
  kDisplaySignedPercentOfMax = 53,
  kDisplayReserved = 54,         // "Do Not Use"
  kDisplayShaperRoute = 55,      // "Pre-Filter", "Post-Filter"
  kDisplayPowerOfTwo = 56,       // 2^value, rounded
  kDisplayNoiseFilterType = 57,  // 1-based "LP" .. "BR", else "RND"
  kDisplaySampleName = 58,       // the sampler layer's
  kDisplayFraction = 59,         // share of the range, 0..1
  kDisplayBipolarFraction = 60,  // share of the range, -1..1
  kDisplayDoubledFraction = 61,  // share of the range, 0..2
  kDisplayOctaveMode = 62,
  kDisplaySequencerStep = 63,  // -64 "Off", 64 "Tie"
  kDisplaySequencerTargetMode = 64,
  kDisplayReverbMode = 65,
  kDisplayInterpMode = 66,
  kDisplayDistortionCurve = 67,
  kDisplayCentsAsRatio = 72,
  kDisplayCurveLaw = 73,
  kDisplayScaleBy = 74,
  kDisplayAmp60 = 75,  // value / 1000 on the 60 dB amplitude curve
};

// Writes the display text of the real value into text (cut to
// kValueTextMax characters). Kinds without a rule, and choice indices
// without a text in their kind's row, leave text as the caller passed it,
// so a caller can preset a fallback. min and max are the descriptor's range;
// the percentage kinds treat a degenerate range (max = min) as a fraction 0.
void FormatParamValue(std::uint16_t kind, std::string& text, float value, float min, float max);

// value with exactly `decimals` decimals (0..3) and '.' as separator, like
// the format mask "0.00": exact ties round away from zero, and a result
// whose digits are all zero carries no minus sign. Non-finite values give
// "NAN", "INF" or "-INF".
std::string FixedNumber(double value, int decimals);
// FixedNumber(value, 2) without trailing zeros and without a trailing '.'.
std::string TrimmedNumber(double value);
