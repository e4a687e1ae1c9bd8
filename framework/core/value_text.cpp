#include "framework/core/value_text.h"

#include <charconv>
#include <cmath>

#include "framework/base/base_math.h"
#include "framework/core/name_lists.h"

std::string FixedNumber(double value, int decimals) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (decimals < 0) decimals = 0;
  if (decimals > 3) decimals = 3;
  // to_chars rounds correctly, which differs from the mask only at exact
  // ties (ties to even there). value * 10^decimals is exact in long double
  // (a 53-bit mantissa times at most 10 bits), so a tie is detected exactly
  // and moved one ulp away from zero, which then rounds away from zero.
  long double scaled = static_cast<long double>(value);
  for (int i = 0; i < decimals; ++i) scaled *= 10.0L;
  if (std::fabs(scaled - std::trunc(scaled)) == 0.5L) value = std::nextafter(value, value < 0 ? -HUGE_VAL : HUGE_VAL);
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  std::string text(buffer, result.ptr);
  if (!text.empty() && text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return text;
}

std::string TrimmedNumber(double value) {
  std::string text = FixedNumber(value, 2);
  if (text.find('.') == std::string::npos) return text;
  while (!text.empty() && text.back() == '0') text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

namespace {

std::string IntegerText(std::int32_t v) { return std::to_string(v); }
std::string TwoDecimals(double v) { return FixedNumber(v, 2); }

// (value - min) / (max - min) with a degenerate range counting as 0.
double RangeFraction(double value, double min, double max) {
  const double range = max - min;
  return range == 0.0 ? 0.0 : (value - min) / range;
}

// Sets text from a fixed choice row: names[r - first] when it exists and is
// not null, else leaves text alone.
template <std::size_t N>
void Choice(std::string& text, std::int32_t r, std::int32_t first, const char* const (&names)[N]) {
  const std::int64_t i = std::int64_t{r} - first;
  if (i >= 0 && i < static_cast<std::int64_t>(N) && names[i]) text = names[i];
}

}  // namespace

void FormatParamValue(std::uint16_t kind, std::string& text, float value, float min, float max) {
  const std::int32_t r = RoundF(value);
  const double v = value;
  switch (kind) {
    case kDisplayNumber:
      text = FracF(v) < 0.01f ? IntegerText(r) : TrimmedNumber(v);
      break;
    case kDisplayInteger:
    case kDisplayFineTune:
    case kDisplayBendRange:
    case kDisplayIntegerSpare:
      text = IntegerText(r);
      break;
    case kDisplayOffOn: {
      static const char* const kNames[] = {"Off", "On"};
      Choice(text, r, 0, kNames);
      break;
    }
    case kDisplayWaveform:
      NameListText(TNameListId::Waveform, r, text);
      break;
    case kDisplayLowHighPass: {
      static const char* const kNames[] = {"LP", "HP"};
      Choice(text, r, 0, kNames);
      break;
    }
    case kDisplayFilterRouting: {
      static const char* const kNames[] = {"VCF->LP/HP", "LP/HP->VCF"};
      Choice(text, r, 0, kNames);
      break;
    }
    case kDisplayEqType: {
      static const char* const kNames[] = {"LPF", "HPF",        "BPF Skirt Gain", "BPF Peak Gain", "Notch",
                                           "APF", "Peaking EQ", "Low Shelf",      "High Shelf"};
      Choice(text, r, 1, kNames);
      break;
    }
    case kDisplayLengthUnit: {
      static const char* const kNames[] = {"ms", "Tick"};
      Choice(text, r, 0, kNames);
      break;
    }
    case kDisplayWetDryTarget: {
      static const char* const kNames[] = {"Off", "Wet", "Dry", "Both"};
      Choice(text, r, 1, kNames);
      break;
    }
    case kDisplayManualAuto: {
      static const char* const kNames[] = {"Manual", "Auto"};
      Choice(text, r, 1, kNames);
      break;
    }
    case kDisplayMinusSixteenths:
      text = "-" + IntegerText(r) + "/16";
      break;
    case kDisplaySixteenths:
      text = IntegerText(r) + "/16";
      break;
    case kDisplayTenthsMs:
      text = TwoDecimals(v / 10.0) + " ms";
      break;
    case kDisplayFilterMode: {
      static const char* const kNames[] = {"Lowpass", "Highpass", "Bandpass", "Notch"};
      Choice(text, r, 1, kNames);
      break;
    }
    case kDisplayInertia:
      text = value == 0.0f ? std::string("Inertia Off") : TwoDecimals(v);
      break;
    case kDisplaySemitones:
      text = TrimmedNumber(v) + " semiTones";
      break;
    case kDisplayTrimmedNumber:
      text = TrimmedNumber(v);
      break;
    case kDisplayDoubledPercent:
      text = TwoDecimals(RangeFraction(v, min, max) * 200.0) + "%";
      break;
    case kDisplayPitchAsHz:
      // A pitch shown as its frequency: 69 is 440 Hz.
      text = TwoDecimals(static_cast<double>(6.875L * std::pow(std::pow(2.0L, 1.0L / 12.0L), v + 3.0L))) + " Hz";
      break;
    case kDisplayPan127:
      text = TwoDecimals(v / 127.0 * 2.0 - 1.0) + (value <= 64.0f ? " L" : " R");
      break;
    case kDisplayPan32767:
      text = TwoDecimals(v / 32767.0 * 2.0 - 1.0) + (value <= 16383.0f ? " L" : " R");
      break;
    case kDisplayPercentOf64:
      text = TwoDecimals(v * 100.0 / 64.0) + "%";
      break;
    case kDisplayPercent:
      text = TwoDecimals(RangeFraction(v, min, max) * 100.0) + "%";
      break;
    case kDisplayTwoDecimals:
      text = TwoDecimals(v);
      break;
    case kDisplayShaper:
      NameListText(TNameListId::Shaper, r, text);
      break;
    case kDisplayFilterType:
      NameListText(TNameListId::FilterType, r, text);
      break;
    case kDisplayKey:
      text = GetKeyName(r);
      break;
    case kDisplayHz:
      text = TwoDecimals(v) + " Hz";
      break;
    case kDisplayHundredths:
      text = TwoDecimals(v / 100.0);
      break;
    case kDisplayMilliHz:
      text = TwoDecimals(v / 1000.0) + " Hz";
      break;
    case kDisplayKhz:
      text = TwoDecimals(v / 1000.0) + " khz";
      break;
    case kDisplayModulationMethod:
      text = r == 0 ? "Frq" : r == 1 ? "Pitch" : "???";
      break;
    case kDisplayInterpolation:
      NameListText(TNameListId::Interpolation, r, text);
      break;
    case kDisplayFmAlgorithm:
      text = GetFMAlgorithmName(r);
      break;
    case kDisplaySignedPercentOfMax:
      // Percent of the maximum, keeping the sign; a zero maximum counts as 0.
      text = TwoDecimals(max == 0.0f ? 0.0 : SignF(value) * std::fabs(v) * 100.0 / max) + "%";
      break;
    case kDisplayReserved:
      text = "Do Not Use";
      break;
    case kDisplayShaperRoute:
      text = r == 0 ? "Pre-Filter" : r == 1 ? "Post-Filter" : "";
      break;
    case kDisplayPowerOfTwo:
      text = TwoDecimals(RoundF(std::exp2(value)));
      break;
    case kDisplayNoiseFilterType: {
      static const char* const kNames[] = {"LP", "HP", "BP", "BR"};
      text = "RND";
      Choice(text, r, 1, kNames);
      break;
    }
    case kDisplayFraction:
      text = TwoDecimals(RangeFraction(v, min, max));
      break;
    case kDisplayBipolarFraction:
      text = TwoDecimals(RangeFraction(v, min, max) * 2.0 - 1.0);
      break;
    case kDisplayDoubledFraction:
      text = TwoDecimals(RangeFraction(v, min, max) * 2.0);
      break;
    case kDisplayOctaveMode:
      NameListText(TNameListId::OctaveMode, r, text);
      break;
    case kDisplaySequencerStep:
      text = r == -64 ? "Off" : r == 64 ? "Tie" : IntegerText(r);
      break;
    case kDisplaySequencerTargetMode:
      text = GetSequencerTargetModeName(r);
      break;
    case kDisplayReverbMode:
      text = GetReverbModeName(r);
      break;
    case kDisplayInterpMode:
      text = GetInterpModeName(r);
      break;
    case kDisplayDistortionCurve:
      NameListText(TNameListId::DistortionCurve, r, text);
      break;
    case kDisplayCentsAsRatio:
      text = FixedNumber(CentsToRatio(value), value < 9.99f ? 3 : 1);
      break;
    case kDisplayCurveLaw:
      NameListText(TNameListId::CurveLaw, r, text);
      break;
    case kDisplayScaleBy:
      text = GetScaleByName(r);
      break;
    case kDisplayAmp60:
      text = FixedNumber(NormToAmp60(value * 0.001f), 3);
      break;
    default:
      break;
  }
  if (text.size() > kValueTextMax) text.resize(kValueTextMax);
}
