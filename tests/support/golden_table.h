// Golden tables: measured figures stored as readable text in the source tree
// beside the test that checks them, so a change of sound shows in review as a
// diff of that file. Setting RUMBLEON_REGENERATE_GOLDEN=1 in the environment
// makes the tests rewrite their tables from what they measure now (and then
// pass); commit the rewritten files with the change that meant them.
//
// Format: '#' starts a comment line; every other line is a row: a key of a
// fixed number of words, then numbers, then optionally "  # " and a note for
// the reader (a program's name). Rows stay in the order they were written.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct TGoldenRow {
  std::vector<std::string> Key;
  std::vector<double> Values;
  std::string Note;
};

// True when RUMBLEON_REGENERATE_GOLDEN is set (and not "0").
bool RegenerateGolden();

// Writes the comment lines (each gets its "# "), the column header and the
// rows, the values with `decimals` decimals, aligned in columns. False when
// the file cannot be written.
bool WriteGoldenTable(const std::string& path, const std::vector<std::string>& comments,
                      const std::vector<std::string>& columns, const std::vector<TGoldenRow>& rows, int decimals);

// Reads the rows (keyWords words of key, then the values); false with error
// set when the file is missing or a row cannot be read.
bool ReadGoldenTable(const std::string& path, std::size_t keyWords, std::vector<TGoldenRow>& rows, std::string& error);

// The row's key as one text ("24DB-LP 44100 2000").
std::string KeyText(const TGoldenRow& row);

}  // namespace testing_support
