#include "framework/base/printable_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What may drive a terminal is escaped; text, line ends and well-formed
// UTF-8 characters (the names of other languages) stay.
TEST(PrintableText, EscapesWhatCouldDriveATerminalAndKeepsText) {
  const struct {
    std::string In, Out;
  } cases[] = {
      {"two\nlines\tand a tab\r\n", "two\nlines\tand a tab\r\n"},
      {"\x1b[2Jclear", "\\x1B[2Jclear"},
      {"back\bspace\rover\x7f", "back\\x08space\\x0Dover\\x7F"},
      {"B\xC3\xA4sse \xE2\x82\xAC \xF0\x9F\x8E\xB8", "B\xC3\xA4sse \xE2\x82\xAC \xF0\x9F\x8E\xB8"},
      // C1 controls (CSI), Latin-1 bytes, cut, overlong and surrogate forms.
      {"\xC2\x9B"
       "2J",
       "\\xC2\\x9B2J"},
      {"B\xE4sse", "B\\xE4sse"},
      {"cut \xE2\x82", "cut \\xE2\\x82"},
      {"\xC0\xAF \xE0\x80\xAF \xED\xA0\x80 \xF4\x90\x80\x80",
       "\\xC0\\xAF \\xE0\\x80\\xAF \\xED\\xA0\\x80 \\xF4\\x90\\x80\\x80"},
  };
  for (const auto& c : cases) EXPECT_EQ(PrintableText(c.In), c.Out) << c.Out;
}

}  // namespace
