#include "tools/factorybank/param_keys.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "framework/core/dsp_plugin_x.h"

namespace {

// The sections of the instrument's parameter layout: a name and the id
// ranges (first, last) it covers.
struct TSectionRange {
  std::int16_t First, Last;
};
struct TSection {
  const char* Name;
  std::vector<TSectionRange> Ranges;
};

const std::vector<TSection>& Sections() {
  static const std::vector<TSection> kSections = {
      {"Base", {{0, 9}}},
      {"Master", {{10, 19}, {98, 98}}},
      {"Env1", {{20, 23}, {28, 28}, {119, 119}, {122, 122}, {128, 128}}},
      {"Env2", {{24, 27}, {29, 29}, {120, 121}, {123, 123}, {129, 129}}},
      {"Osc1", {{30, 38}, {49, 50}, {99, 103}, {109, 113}, {124, 125}}},
      {"Osc2", {{51, 61}, {104, 108}, {114, 118}, {126, 127}}},
      {"Filter1", {{62, 62}, {154, 154}}},
      {"Filter1L", {{63, 71}}},
      {"Filter1R", {{145, 153}}},
      {"Filter2", {{72, 72}, {164, 164}}},
      {"Filter2L", {{73, 81}}},
      {"Filter2R", {{155, 163}}},
      {"LFO1", {{82, 85}, {130, 134}}},
      {"LFO2", {{86, 89}, {135, 139}}},
      {"LFO3", {{90, 93}, {140, 144}}},
      {"Shape", {{94, 97}, {168, 168}}},
      {"ShapeR", {{165, 167}}},
      {"VMod", {{169, 235}}},
      {"Seq1", {{236, 304}}},
      {"Seq2", {{305, 373}}},
      {"Fx", {{374, 385}}},
      {"Reverb", {{386, 408}}},
      {"Distortion", {{409, 447}}},
      {"Phaser", {{448, 472}}},
      {"Delay", {{473, 497}}},
      {"Chorus", {{498, 526}}},
      {"XFilter", {{527, 578}}},
      {"EQ", {{579, 596}}},
      {"FxMod", {{597, 663}}},
  };
  return kSections;
}

std::int32_t SectionIndex(std::int32_t id) {
  const auto& sections = Sections();
  for (std::size_t s = 0; s < sections.size(); ++s)
    for (const TSectionRange& r : sections[s].Ranges)
      if (id >= r.First && id <= r.Last) return static_cast<std::int32_t>(s);
  return -1;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A number with its unit as a display text shows it: "4.10 khz" is 4100 in
// "hz"; "0.25 L" is 0.25 (the side letter only repeats the sign).
struct TNumber {
  double Value = 0.0;
  std::string Unit;
  double Step = 1.0;  // the value of the last digit written
};

std::optional<TNumber> ParseNumber(std::string_view text) {
  const std::string folded = FoldText(text);
  const char* begin = folded.data();
  const char* end = begin + folded.size();
  TNumber n;
  const auto result = std::from_chars(begin, end, n.Value);
  if (result.ec != std::errc() || !std::isfinite(n.Value)) return std::nullopt;
  const std::string_view digits(begin, static_cast<std::size_t>(result.ptr - begin));
  if (const std::size_t dot = digits.find('.'); dot != std::string_view::npos)
    n.Step = std::pow(10.0, -static_cast<double>(digits.size() - dot - 1));
  n.Unit = FoldText(std::string_view(result.ptr, static_cast<std::size_t>(end - result.ptr)));
  if (n.Unit == "khz") {
    n.Value *= 1000.0;
    n.Step *= 1000.0;
    n.Unit = "hz";
  }
  if (n.Unit == "l" || n.Unit == "r") n.Unit.clear();
  return n;
}

}  // namespace

std::string FoldText(std::string_view text) {
  std::string out;
  bool blank = false;
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

TParamKeys::TParamKeys(TDSPPluginX& plugin) : Plugin(plugin) {
  const std::int32_t count = plugin.GetParamCount();
  Entries.resize(static_cast<std::size_t>(count));
  for (std::int32_t id = 0; id < count; ++id) {
    TEntry& e = Entries[static_cast<std::size_t>(id)];
    e.Name = Lower(plugin.ParamInfo[static_cast<std::size_t>(id)].Name);
    e.Section = SectionIndex(id);
    e.Repeat = 1;
    for (std::int32_t j = 0; j < id; ++j) {
      const TEntry& o = Entries[static_cast<std::size_t>(j)];
      if (o.Section == e.Section && o.Name == e.Name) ++e.Repeat;
    }
  }
}

std::string_view TParamKeys::SectionOf(std::int32_t id) const {
  if (id < 0 || id >= static_cast<std::int32_t>(Entries.size())) return {};
  const std::int32_t s = Entries[static_cast<std::size_t>(id)].Section;
  return s < 0 ? std::string_view() : std::string_view(Sections()[static_cast<std::size_t>(s)].Name);
}

std::string TParamKeys::KeyOf(std::int32_t id) const {
  const TEntry& e = Entries[static_cast<std::size_t>(id)];
  const std::string& name = Plugin.ParamInfo[static_cast<std::size_t>(id)].Name;
  std::int32_t sameName = 0, sameInSection = 0;
  for (const TEntry& o : Entries) {
    sameName += o.Name == e.Name;
    sameInSection += o.Name == e.Name && o.Section == e.Section;
  }
  if (sameName == 1) return name;
  std::string key = std::string(SectionOf(id)) + "." + name;
  if (sameInSection > 1) key += "[" + std::to_string(e.Repeat) + "]";
  return key;
}

std::optional<std::int32_t> TParamKeys::Find(std::string_view key, std::string& error) const {
  const std::string folded = FoldText(key);
  if (folded.empty()) {
    error = "empty parameter name";
    return std::nullopt;
  }
  auto matches = [&](std::int32_t section, std::string_view name, std::int32_t repeat) {
    std::vector<std::int32_t> found;
    for (std::size_t id = 0; id < Entries.size(); ++id) {
      const TEntry& e = Entries[id];
      if (e.Name != name || (section >= 0 && e.Section != section) || (repeat > 0 && e.Repeat != repeat)) continue;
      found.push_back(static_cast<std::int32_t>(id));
    }
    return found;
  };
  std::vector<std::int32_t> found = matches(-1, folded, 0);
  if (found.empty()) {
    // "Section.Name" or "Section.Name[n]".
    const std::size_t dot = folded.find('.');
    if (dot != std::string::npos) {
      const std::string section = folded.substr(0, dot);
      std::string name = folded.substr(dot + 1);
      std::int32_t repeat = 0;
      if (!name.empty() && name.back() == ']') {
        const std::size_t open = name.rfind('[');
        if (open != std::string::npos) {
          const std::string digits = name.substr(open + 1, name.size() - open - 2);
          const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), repeat);
          if (r.ec != std::errc() || r.ptr != digits.data() + digits.size() || repeat < 1) {
            error = "bad repeat number in \"" + std::string(key) + "\"";
            return std::nullopt;
          }
          name = FoldText(name.substr(0, open));
        }
      }
      const auto& sections = Sections();
      for (std::size_t s = 0; s < sections.size(); ++s)
        if (Lower(sections[s].Name) == section) found = matches(static_cast<std::int32_t>(s), name, repeat);
    }
  }
  if (found.size() == 1) return found.front();
  if (found.empty()) {
    error = "no parameter is named \"" + std::string(key) + "\"";
  } else {
    error = "\"" + std::string(key) + "\" names " + std::to_string(found.size()) + " parameters:";
    for (const std::int32_t id : found) error += " " + KeyOf(id);
  }
  return std::nullopt;
}

std::string TParamKeys::TextOfReal(std::int32_t id, float real) const {
  return Plugin.GetParamDisplayText(TDSPPluginX::kQueryParam, id, real);
}

std::string TParamKeys::TextOf(std::int32_t id, float normalised) const {
  return TextOfReal(id, Plugin.ParamInfo[static_cast<std::size_t>(id)].RealFromNorm(normalised));
}

std::optional<float> TParamKeys::ValueFor(std::int32_t id, std::string_view value, std::string& error) const {
  const TParamInfoRec& info = Plugin.ParamInfo[static_cast<std::size_t>(id)];
  const std::string wanted = FoldText(value);
  const float lo = std::min(info.Min, info.Max), hi = std::max(info.Min, info.Max);
  auto normalised = [&](double real) { return std::clamp(info.NormFromReal(static_cast<float>(real)), 0.0f, 1.0f); };

  // A choice, or any whole value, by its text.
  const double first = std::ceil(lo), last = std::floor(hi);
  if (last - first <= 2048.0) {
    for (double r = first; r <= last; r += 1.0)
      if (FoldText(TextOfReal(id, static_cast<float>(r))) == wanted) return normalised(r);
  }

  // A number: the real value whose text shows the nearest number.
  const std::optional<TNumber> target = ParseNumber(value);
  if (!target) {
    error = "\"" + std::string(value) + "\" is not a value of " + KeyOf(id) + " (for example \"" + TextOfReal(id, lo) +
            "\" .. \"" + TextOfReal(id, hi) + "\")";
    return std::nullopt;
  }
  auto shown = [&](double real) { return ParseNumber(TextOfReal(id, static_cast<float>(real))); };
  const std::optional<TNumber> atLo = shown(lo), atHi = shown(hi);
  if (!atLo || !atHi) {
    error = KeyOf(id) + " does not show numbers at both ends of its range";
    return std::nullopt;
  }
  if (!target->Unit.empty() && target->Unit != atLo->Unit) {
    error = "unit \"" + target->Unit + "\" is not the unit of " + KeyOf(id) + " (\"" + atLo->Unit + "\")";
    return std::nullopt;
  }
  const double sign = atHi->Value >= atLo->Value ? 1.0 : -1.0;
  const double t = target->Value * sign;
  auto g = [&](double real) {
    const std::optional<TNumber> n = shown(real);
    return n ? n->Value * sign : -HUGE_VAL;
  };
  if (t < g(lo) - 1e-9 * std::fabs(t) - 1e-12 || t > g(hi) + 1e-9 * std::fabs(t) + 1e-12) {
    error = "\"" + std::string(value) + "\" is outside " + KeyOf(id) + " (\"" + TextOfReal(id, lo) + "\" .. \"" +
            TextOfReal(id, hi) + "\")";
    return std::nullopt;
  }
  // The first real whose text shows t or more, and the last one that shows
  // at most the number shown there: the middle of that stretch.
  auto firstAtLeast = [&](double x) {
    double a = lo, b = hi;
    if (g(a) >= x) return a;
    for (int i = 0; i < 64; ++i) {
      const double m = 0.5 * (a + b);
      (g(m) >= x ? b : a) = m;
    }
    return b;
  };
  auto lastAtMost = [&](double x) {
    double a = lo, b = hi;
    if (g(b) <= x) return b;
    for (int i = 0; i < 64; ++i) {
      const double m = 0.5 * (a + b);
      (g(m) <= x ? a : b) = m;
    }
    return a;
  };
  double above = firstAtLeast(t);
  double below = lastAtMost(t);
  // Between two texts: take the nearer one's stretch.
  if (below < above) {
    const double up = g(above), down = g(below);
    const double pick = (up - t <= t - down) ? up : down;
    above = firstAtLeast(pick);
    below = lastAtMost(pick);
  }
  double real = 0.5 * (above + below);
  // On the parameter's step grid when that shows the same text.
  if (info.Step > 0.0f) {
    const double snapped = lo + std::nearbyint((real - lo) / info.Step) * info.Step;
    if (snapped >= lo && snapped <= hi &&
        TextOfReal(id, static_cast<float>(snapped)) == TextOfReal(id, static_cast<float>(real)))
      real = snapped;
  }
  const std::optional<TNumber> result = shown(real);
  if (std::fabs(result->Value - target->Value) > 0.5 * result->Step * (1.0 + 1e-9) + 1e-12) {
    error = "\"" + std::string(value) + "\" is not a value " + KeyOf(id) + " can show; nearest \"" +
            TextOfReal(id, static_cast<float>(real)) + "\"";
    return std::nullopt;
  }
  return normalised(real);
}

void TParamKeys::ListKeys(std::ostream& out) const {
  for (std::size_t id = 0; id < Entries.size(); ++id) {
    const TParamInfoRec& info = Plugin.ParamInfo[id];
    if (info.Name.empty()) continue;
    const auto i = static_cast<std::int32_t>(id);
    out << id << "\t" << KeyOf(i) << "\t= " << TextOf(i, info.DefaultValue) << "\t(" << TextOfReal(i, info.Min)
        << " .. " << TextOfReal(i, info.Max) << ")\n";
  }
}

void TParamKeys::ListValues(std::int32_t id, std::ostream& out) const {
  const TParamInfoRec& info = Plugin.ParamInfo[static_cast<std::size_t>(id)];
  const double first = std::ceil(std::min(info.Min, info.Max)), last = std::floor(std::max(info.Min, info.Max));
  for (double r = first; r <= last && r - first <= 2048.0; r += 1.0)
    out << r << "\t" << TextOfReal(id, static_cast<float>(r)) << "\n";
}
