#include "tests/support/golden_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testing_support {

bool RegenerateGolden() {
  const char* v = std::getenv("RUMBLEON_REGENERATE_GOLDEN");
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

std::string KeyText(const TGoldenRow& row) {
  std::string text;
  for (const std::string& word : row.Key) text += (text.empty() ? "" : " ") + word;
  return text;
}

bool WriteGoldenTable(const std::string& path, const std::vector<std::string>& comments,
                      const std::vector<std::string>& columns, const std::vector<TGoldenRow>& rows, int decimals) {
  // Column widths: the widest of the header and every row's cell.
  std::vector<std::vector<std::string>> cells;
  for (const TGoldenRow& row : rows) {
    std::vector<std::string> line = row.Key;
    for (double v : row.Values) {
      char text[64];
      std::snprintf(text, sizeof text, "%.*f", decimals, v);
      line.push_back(text);
    }
    cells.push_back(std::move(line));
  }
  std::vector<std::size_t> width(columns.size(), 0);
  for (std::size_t c = 0; c < columns.size(); ++c) width[c] = columns[c].size() + (c == 0 ? 2 : 0);
  for (const auto& line : cells)
    for (std::size_t c = 0; c < line.size() && c < width.size(); ++c) width[c] = std::max(width[c], line[c].size());
  auto pad = [&](std::string text, std::size_t c, bool left) {
    const std::size_t w = c < width.size() ? width[c] : text.size();
    const std::string fill(w > text.size() ? w - text.size() : 0, ' ');
    return left ? text + fill : fill + text;
  };
  std::ofstream out(path);
  for (const std::string& comment : comments) out << "# " << comment << "\n";
  std::string header;
  for (std::size_t c = 0; c < columns.size(); ++c)
    header += (c == 0 ? "" : " ") + pad(c == 0 ? "# " + columns[c] : columns[c], c, c == 0);
  out << header << "\n";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::string line;
    for (std::size_t c = 0; c < cells[r].size(); ++c)
      line += (c == 0 ? "" : " ") + pad(cells[r][c], c, c < rows[r].Key.size());
    if (!rows[r].Note.empty()) line += "  # " + rows[r].Note;
    out << line << "\n";
  }
  return static_cast<bool>(out);
}

bool ReadGoldenTable(const std::string& path, std::size_t keyWords, std::vector<TGoldenRow>& rows, std::string& error) {
  rows.clear();
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    TGoldenRow row;
    const std::size_t note = line.find(" # ");
    if (note != std::string::npos) {
      row.Note = line.substr(note + 3);
      line.resize(note);
    }
    std::istringstream fields(line);
    std::string word;
    while (row.Key.size() < keyWords && fields >> word) row.Key.push_back(word);
    double v = 0;
    while (fields >> v) row.Values.push_back(v);
    if (row.Key.size() < keyWords || !fields.eof()) {
      error = path + ":" + std::to_string(number) + ": unreadable row";
      return false;
    }
    rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace testing_support
