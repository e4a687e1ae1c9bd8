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
