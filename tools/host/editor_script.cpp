#include "tools/host/editor_script.h"

#include <charconv>
#include <sstream>

#include "framework/base/printable_text.h"

namespace {

bool ParseInt(const std::string& text, int& value, int lo, int hi) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value >= lo && value <= hi;
}

bool ParseButton(const std::string& text, int& button) {
  if (text.empty() || text == "left") button = 1;
  else if (text == "middle") button = 2;
  else if (text == "right") button = 3;
  else return ParseInt(text, button, 1, 9);
  return true;
}

}  // namespace

bool ParseEditorScript(const std::string& text, std::vector<TEditorStep>& steps, std::string& error) {
  steps.clear();
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    auto bad = [&](const std::string& why) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    TEditorStep step;
    step.Line = number;
    const std::string& command = w[0];
    if (command == "move") {
      step.Kind = TEditorStep::TKind::Move;
      if (w.size() != 3 || !ParseInt(w[1], step.X, -32768, 32767) || !ParseInt(w[2], step.Y, -32768, 32767))
        return bad("move needs X and Y in pixels");
    } else if (command == "press" || command == "release") {
      step.Kind = command == "press" ? TEditorStep::TKind::Press : TEditorStep::TKind::Release;
      if (w.size() > 2 || !ParseButton(w.size() == 2 ? w[1] : "", step.Button))
        return bad(command + " takes a button: left, middle, right or 1 to 9");
    } else if (command == "wait") {
      step.Kind = TEditorStep::TKind::Wait;
      if (w.size() != 2 || !ParseInt(w[1], step.Milliseconds, 0, 600000))
        return bad("wait needs milliseconds (0 to 600000)");
    } else if (command == "key") {
      step.Kind = TEditorStep::TKind::Key;
      if (w.size() != 2) return bad("key needs one key name");
      step.Text = w[1];
    } else if (command == "screenshot") {
      step.Kind = TEditorStep::TKind::Screenshot;
      if (w.size() != 2) return bad("screenshot needs a file name");
      step.Text = w[1];
    } else {
      return bad("unknown command '" + PrintableText(command) + "'");
    }
    steps.push_back(step);
  }
  return true;
}
