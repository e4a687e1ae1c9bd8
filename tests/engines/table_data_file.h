// Reading the parameter tables' data files (engines/data/*.tsv) back in the
// tests, to check the rows the generator compiled from them: the column
// names and the cells of every row, and a comparison of each column with
// the compiled rows through an accessor per column.
#pragma once

#include <gtest/gtest.h>

#include <charconv>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace table_test {

struct TDataFile {
  std::vector<std::string> Columns;
  std::vector<std::vector<std::string>> Rows;

  int Column(const std::string& name) const {
    for (std::size_t i = 0; i < Columns.size(); ++i) {
      if (Columns[i] == name) return static_cast<int>(i);
    }
    ADD_FAILURE() << "no column " << name;
    return 0;
  }
  const std::string& Cell(std::size_t row, const std::string& column) const {
    return Rows.at(row).at(static_cast<std::size_t>(Column(column)));
  }
  int Int(std::size_t row, const std::string& column) const { return std::stoi(Cell(row, column)); }
  float Float(std::size_t row, const std::string& column) const { return std::stof(Cell(row, column)); }
};

inline std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    cells.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return cells;
    start = tab + 1;
  }
}

// engines/data/<name> of the source tree (RUMBLEON_SOURCE_DIR).
inline TDataFile ReadDataFile(const std::string& name) {
  const std::string path = testing_support::EnvOr("RUMBLEON_SOURCE_DIR", ".") + "/engines/data/" + name;
  std::ifstream in(path);
  TDataFile file;
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return file;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cells = SplitTabs(line);
    if (file.Columns.empty()) {
      for (const std::string& cell : cells) file.Columns.push_back(cell.substr(0, cell.find(':')));
    } else {
      file.Rows.push_back(std::move(cells));
    }
  }
  return file;
}

// Shortest text of a float, so "0.1" in a file and 0.1f in a row compare equal.
inline std::string FloatText(float value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

template <class T>
std::string IntText(T value) {
  return std::to_string(static_cast<long long>(value));
}

template <class TRow>
using TAccessor = std::function<std::string(const TRow&)>;

// Every column of the file must have an accessor and every cell must equal
// what the compiled row holds; float columns compare as floats.
template <class TRow, std::size_t N>
void ExpectRowsMatch(const TDataFile& file, const TRow (&rows)[N], const std::map<std::string, TAccessor<TRow>>& fields,
                     const std::set<std::string>& floats) {
  ASSERT_EQ(file.Columns.size(), fields.size()) << "columns were added or removed: update this test";
  ASSERT_EQ(file.Rows.size(), N);
  for (std::size_t c = 0; c < file.Columns.size(); ++c) {
    const std::string& column = file.Columns[c];
    const auto field = fields.find(column);
    ASSERT_NE(field, fields.end()) << "no accessor for column " << column;
    for (std::size_t r = 0; r < N; ++r) {
      std::string expected = file.Rows[r][c];
      if (floats.count(column)) expected = FloatText(std::stof(expected));
      EXPECT_EQ(field->second(rows[r]), expected) << "row " << r << ", column " << column;
    }
  }
}

}  // namespace table_test
