// Text from files and plug-ins (program and sub-preset names, script lines)
// in a form that is safe to print on a terminal: a name with an escape
// sequence, a backspace or a lone carriage return in it would otherwise
// recolour, move or overwrite what the terminal shows.
//
// Printable ASCII, line ends ("\n", "\r\n"), tabs and well-formed UTF-8
// characters stay as they are; every other byte (the C0 controls, DEL, the
// C1 controls U+0080..U+009F, bytes that are not well-formed UTF-8) is
// written as \xNN. Header-only, so that rumbleon-host, which links nothing
// of the plug-in, prints file text the same way. Allocates nothing but the
// string PrintableText returns; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace printable_text {

// The length of the well-formed UTF-8 character of two or more bytes at
// text[at] that is not a C1 control, or 0.
inline std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[at + k]); };
  const std::uint8_t lead = byte(0);
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    if (lead == 0xC2) low = 0xA0;  // U+0080..U+009F are the C1 controls
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
  return length;
}

}  // namespace printable_text

// Calls put(data, size) with the pieces of text's printable form, in order.
template <class TPut>
void ForEachPrintablePiece(std::string_view text, TPut&& put) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::size_t run = 0;  // start of the run of bytes that stay
  std::size_t at = 0;
  while (at < text.size()) {
    const auto c = static_cast<std::uint8_t>(text[at]);
    std::size_t keep = 0;
    if ((c >= 0x20 && c < 0x7F) || c == '\n' || c == '\t') keep = 1;
    else if (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') keep = 2;
    else if (c >= 0x80) keep = printable_text::Utf8Length(text, at);
    if (keep > 0) {
      at += keep;
      continue;
    }
    if (at > run) put(text.data() + run, at - run);
    const char escaped[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0x0F]};
    put(escaped, sizeof escaped);
    run = ++at;
  }
  if (at > run) put(text.data() + run, at - run);
}

inline std::string PrintableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachPrintablePiece(text, [&](const char* data, std::size_t size) { out.append(data, size); });
  return out;
}
