#include "framework/core/value_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <string>

#include "framework/core/name_lists.h"
#include "tests/support/test_support.h"

namespace {

// The parameter tables store display kinds as numbers: none may change.
constexpr TDisplayKind kPinnedKinds[] = {kDisplayNumber,
                                         kDisplayInteger,
                                         kDisplayOffOn,
                                         kDisplayWaveform,
                                         kDisplayLowHighPass,
                                         kDisplayFilterRouting,
                                         kDisplayEqType,
                                         kDisplayLengthUnit,
                                         kDisplayWetDryTarget,
                                         kDisplayManualAuto,
                                         kDisplayMinusSixteenths,
                                         kDisplaySixteenths,
                                         kDisplayTenthsMs,
                                         kDisplayFilterMode,
                                         kDisplayInertia,
                                         kDisplaySemitones,
                                         kDisplayTrimmedNumber,
                                         kDisplayFineTune,
                                         kDisplayDoubledPercent,
                                         kDisplayPitchAsHz,
                                         kDisplayBendRange,
                                         kDisplayPan127,
                                         kDisplayPan32767,
                                         kDisplayPercentOf64,
                                         kDisplayPercent,
                                         kDisplayTwoDecimals,
                                         kDisplayShaper,
                                         kDisplayFilterType,
                                         kDisplayIntegerSpare,
                                         kDisplaySampleBank,
                                         kDisplaySamplePatch,
                                         kDisplayKey,
                                         kDisplayHz,
                                         kDisplayHundredths,
                                         kDisplayMilliHz,
                                         kDisplayKhz,
                                         kDisplayModulationMethod,
                                         kDisplayInterpolation,
                                         kDisplayFmAlgorithm,
                                         kDisplaySignedPercentOfMax,
                                         kDisplayReserved,
                                         kDisplayShaperRoute,
                                         kDisplayPowerOfTwo,
                                         kDisplayNoiseFilterType,
                                         kDisplaySampleName,
                                         kDisplayFraction,
                                         kDisplayBipolarFraction,
                                         kDisplayDoubledFraction,
                                         kDisplayOctaveMode,
                                         kDisplaySequencerStep,
                                         kDisplaySequencerTargetMode,
                                         kDisplayReverbMode,
                                         kDisplayInterpMode,
                                         kDisplayDistortionCurve,
                                         kDisplayCentsAsRatio,
                                         kDisplayCurveLaw,
                                         kDisplayScaleBy,
                                         kDisplayAmp60};
constexpr std::uint16_t kPinnedKindNumbers[] = {
    8,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 34, 37, 38, 39, 40,
    42, 43, 44, 45, 46, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 72, 73, 74, 75};
constexpr bool KindsKeepTheirNumbers() {
  static_assert(std::size(kPinnedKinds) == std::size(kPinnedKindNumbers));
  for (std::size_t i = 0; i < std::size(kPinnedKinds); ++i)
    if (kPinnedKinds[i] != kPinnedKindNumbers[i]) return false;
  return true;
}
static_assert(KindsKeepTheirNumbers());

std::string Text(std::uint16_t kind, float value, float min = 0.0f, float max = 127.0f,
                 const std::string& preset = "<unchanged>") {
  std::string text = preset;
  FormatParamValue(kind, text, value, min, max);
  return text;
}

// Every case whose text holds a decimal separator, with the text it must give.
struct TCase {
  std::uint16_t Kind;
  float Value, Min, Max;
  const char* Expected;
};
const TCase kNumberCases[] = {
    {8, 3.005f, 0, 10, "3"},
    {8, 2.5f, 0, 10, "2.5"},
    {8, 2.0f, 0, 10, "2"},
    {8, 2.25f, 0, 10, "2.25"},
    {30, 64, 0, 127, "0.01 L"},
    {30, 65, 0, 127, "0.02 R"},
    {30, 0, 0, 127, "-1.00 L"},
    {30, 127, 0, 127, "1.00 R"},
    {31, 16383, 0, 32767, "0.00 L"},
    {21, 125, 0, 1000, "12.50 ms"},
    {23, 0.5f, 0, 1, "0.50"},
    {27, 50, 0, 100, "100.00%"},
    {28, 69, 0, 127, "440.00 Hz"},
    {32, 32, 0, 64, "50.00%"},
    {34, 25, 0, 100, "25.00%"},
    {37, 1.005f, 0, 2, "1.00"},
    {45, 1000, 0, 2000, "1000.00 Hz"},
    {46, 250, 0, 1000, "2.50"},
    {48, 1500, 0, 20000, "1.50 Hz"},
    {49, 12345, 0, 20000, "12.35 khz"},
    {53, -50, -100, 100, "-50.00%"},
    {53, 0, -100, 100, "0.00%"},
    {56, 3, 0, 10, "8.00"},
    {59, 75, 1, 100, "0.75"},
    {60, 100, -200, 200, "0.50"},
    {60, -200, -200, 200, "-1.00"},
    {61, 64, 0, 127, "1.01"},
    {61, 63.5f, 0, 127, "1.00"},
    {72, -1200, -13160, 12000, "0.500"},
    {72, 0, -13160, 12000, "1.000"},
    {72, 1200, -13160, 12000, "2.0"},
    {72, 12000, -13160, 12000, "1024.0"},
    {75, 1000, -1502, 1502, "1.000"},
    {75, 0, -1502, 1502, "0.000"},
    {75, -1000, -1502, 1502, "-1.000"},
    {25, 1.50f, 0, 2, "1.5"},
    {24, 12, -24, 24, "12 semiTones"},
};

void ExpectNumberCases() {
  for (const TCase& c : kNumberCases)
    EXPECT_EQ(Text(c.Kind, c.Value, c.Min, c.Max), c.Expected) << "kind " << c.Kind << " value " << c.Value;
}

// Runs body with LC_NUMERIC set to a locale whose decimal separator is ','.
// Uses an installed one when there is one, else builds de_DE with localedef
// into a scratch folder. Answers false when neither works.
bool WithCommaLocale(void (*body)()) {
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8", "de_DE"};
  const char* chosen = nullptr;
  for (const char* name : names)
    if (std::setlocale(LC_NUMERIC, name)) {
      chosen = name;
      break;
    }
  bool setLocPath = false;
  if (!chosen) {
    const std::string dir = testing_support::ScratchDir() + "/locales";
    const std::string command =
        "mkdir -p '" + dir + "' && localedef -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) {
      setenv("LOCPATH", dir.c_str(), 1);
      setLocPath = true;
      if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) chosen = "de_DE.UTF-8";
    }
  }
  const bool ok = chosen && std::localeconv()->decimal_point[0] == ',';
  if (ok) body();
  std::setlocale(LC_NUMERIC, "C");
  if (setLocPath) unsetenv("LOCPATH");
  return ok;
}

}  // namespace

TEST(ValueText, NumberKindsGiveTheirTexts) { ExpectNumberCases(); }

TEST(ValueText, NumberTextsKeepTheDotUnderACommaLocale) {
  if (!WithCommaLocale(&ExpectNumberCases))
    GTEST_SKIP() << "no locale with ',' as decimal separator is installed and localedef could not build one";
}

TEST(ValueText, FixedNumberRoundsTiesAwayFromZeroLikeTheMask) {
  EXPECT_EQ(FixedNumber(0.125, 2), "0.13");
  EXPECT_EQ(FixedNumber(-0.125, 2), "-0.13");
  EXPECT_EQ(FixedNumber(2.5, 0), "3");
  EXPECT_EQ(FixedNumber(0.0625, 3), "0.063");
  EXPECT_EQ(FixedNumber(0.285, 2), "0.28");  // 0.28499999... in binary: no tie
  EXPECT_EQ(FixedNumber(-0.001, 2), "0.00");
  EXPECT_EQ(FixedNumber(1e20, 2), "100000000000000000000.00");
  EXPECT_EQ(FixedNumber(std::numeric_limits<double>::quiet_NaN(), 2), "NAN");
  EXPECT_EQ(FixedNumber(-std::numeric_limits<double>::infinity(), 2), "-INF");
  EXPECT_EQ(TrimmedNumber(3.0), "3");
  EXPECT_EQ(TrimmedNumber(3.10), "3.1");
  EXPECT_EQ(TrimmedNumber(-0.004), "0");
}

TEST(ValueText, IntegerAndChoiceKinds) {
  EXPECT_EQ(Text(10, 12.4f), "12");
  EXPECT_EQ(Text(40, 2.5f), "2");  // round half to even
  EXPECT_EQ(Text(19, 3), "-3/16");
  EXPECT_EQ(Text(20, 3), "3/16");
  EXPECT_EQ(Text(63, -64), "Off");
  EXPECT_EQ(Text(63, 64), "Tie");
  EXPECT_EQ(Text(63, 12), "12");
  EXPECT_EQ(Text(11, 1), "On");
  EXPECT_EQ(Text(15, 9), "High Shelf");
  EXPECT_EQ(Text(17, 1), "Off");
  EXPECT_EQ(Text(22, 4), "Notch");
  EXPECT_EQ(Text(23, 0), "Inertia Off");
  EXPECT_EQ(Text(50, 7), "???");
  EXPECT_EQ(Text(54, 3), "Do Not Use");
  EXPECT_EQ(Text(55, 1), "Post-Filter");
  EXPECT_EQ(Text(55, 2), "");
  EXPECT_EQ(Text(57, 4), "BR");
  EXPECT_EQ(Text(57, 0), "RND");
  EXPECT_EQ(Text(52, 7), "None");
  EXPECT_EQ(Text(44, 9), "Unknown");
  EXPECT_EQ(Text(44, -7), "C-Flat");
  EXPECT_EQ(Text(64, 2), "Lvl+Oct");
  EXPECT_EQ(Text(65, 6), "Small");
  EXPECT_EQ(Text(65, 64), "");
  EXPECT_EQ(Text(66, 2), "Linear");
  EXPECT_EQ(Text(74, 1), "To-1");
}

TEST(ValueText, KindsAndChoicesWithoutTextLeaveTheCallersText) {
  for (const std::uint16_t kind : {0, 7, 9, 33, 35, 36, 41, 42, 43, 47, 58, 68, 69, 70, 71, 76, 1000})
    EXPECT_EQ(Text(kind, 5), "<unchanged>") << "kind " << kind;
  EXPECT_EQ(Text(11, 2), "<unchanged>");
  EXPECT_EQ(Text(13, -1), "<unchanged>");
  EXPECT_EQ(Text(15, 0), "<unchanged>");
  EXPECT_EQ(Text(18, 3), "<unchanged>");
}

TEST(ValueText, DegenerateRangeGivesFiniteTexts) {
  for (const std::uint16_t kind : {27, 34, 53, 59, 60, 61}) {
    const std::string text = Text(kind, 5, 5, 5);
    EXPECT_EQ(text.find_first_of("NI"), std::string::npos) << "kind " << kind << ": " << text;
  }
  EXPECT_EQ(Text(59, 5, 5, 5), "0.00");
  EXPECT_EQ(Text(60, 5, 5, 5), "-1.00");
  EXPECT_EQ(Text(53, 5, 0, 0), "0.00%");
}

namespace {
std::string FakeInterpolationName(std::int32_t i) {
  static const char* const kNames[] = {"None", "2 Point", "4 Point", "Linear", "Cubic"};
  return i >= 0 && i < 5 ? kNames[i] : "2 Point";
}
std::string LongName(std::int32_t) { return "A name well beyond twenty characters"; }
}  // namespace

TEST(ValueText, RegisteredListsShowAndUnregisteredListsLeaveTheText) {
  const TNameListFunc previous = RegisteredNameList(TNameListId::Interpolation);
  RegisterNameList(TNameListId::Interpolation, &FakeInterpolationName);
  EXPECT_EQ(Text(51, 9), "2 Point");
  EXPECT_EQ(Text(51, 4), "Cubic");
  RegisterNameList(TNameListId::Interpolation, nullptr);
  EXPECT_EQ(Text(51, 4), "<unchanged>");
  RegisterNameList(TNameListId::Interpolation, previous);

  const TNameListFunc previousWave = RegisteredNameList(TNameListId::Waveform);
  RegisterNameList(TNameListId::Waveform, &LongName);
  EXPECT_EQ(Text(12, 1), "A name well beyond t");  // cut to 20 characters
  RegisterNameList(TNameListId::Waveform, previousWave);
}
