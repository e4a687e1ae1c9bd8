#include "tools/factorybank/preset_source.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <string_view>

namespace {

std::string Trim(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return std::string(text.substr(b, e - b));
}

// The line without its comment: '#' at the start or after a blank (a note
// name such as "C#2" keeps its '#').
std::string_view StripComment(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i)
    if (line[i] == '#' && (i == 0 || std::isspace(static_cast<unsigned char>(line[i - 1])))) return line.substr(0, i);
  return line;
}

}  // namespace

bool ParsePresetText(const std::string& text, const std::string& name, std::vector<TPresetItem>& items,
                     std::string& error) {
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  bool inItem = false;
  while (std::getline(in, raw)) {
    ++number;
    const std::string where = name + ":" + std::to_string(number);
    const std::string line = Trim(StripComment(raw));
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) {
        error = where + ": a header is \"[name]\"";
        return false;
      }
      items.push_back(TPresetItem{Trim(std::string_view(line).substr(1, line.size() - 2)), where, {}});
      inItem = true;
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      error = where + ": expected \"key = value\" or a \"[header]\"";
      return false;
    }
    if (!inItem) {
      error = where + ": a setting before the first \"[header]\"";
      return false;
    }
    TPresetLine setting{Trim(std::string_view(line).substr(0, eq)), Trim(std::string_view(line).substr(eq + 1)), where};
    if (setting.Key.empty() || setting.Value.empty()) {
      error = where + ": a setting needs a key and a value";
      return false;
    }
    items.back().Lines.push_back(std::move(setting));
  }
  return true;
}

bool ParsePresetFile(const std::string& path, std::vector<TPresetItem>& items, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be read";
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  const std::size_t slash = path.find_last_of('/');
  return ParsePresetText(text.str(), slash == std::string::npos ? path : path.substr(slash + 1), items, error);
}
