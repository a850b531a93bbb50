#include "config/IniParser.h"

#include "common/AsciiText.h"

namespace brenlow {
namespace {

// Every byte from 0x00 to 0x20 counts as blank: spaces, tabs and control characters.
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> SplitLines(std::string_view bytes) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\r' && bytes[i] != '\n') continue;
    lines.push_back(bytes.substr(start, i - start));
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < bytes.size()) lines.push_back(bytes.substr(start));
  return lines;
}

bool Findable(const std::string& name) { return !name.empty() && name.front() != ';'; }

}  // namespace

std::vector<TIniFileSection> ParseIniFile(std::string_view bytes) {
  std::vector<TIniFileSection> sections;
  bool first = true;
  for (std::string_view line : SplitLines(bytes)) {
    if (first && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    first = false;
    line = Trim(line);
    if (line.empty()) continue;
    // A comment before any section starts a section of its own, which can never be asked for.
    if (line.front() == ';' && sections.empty()) {
      sections.push_back({std::string(line), {}});
    } else if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      sections.push_back({std::string(line.substr(1, line.size() - 2)), {}});
    } else if (sections.empty()) {
      continue;
    } else if (line.front() == ';') {
      sections.back().Keys.push_back({std::string(line), {}});
    } else if (const size_t equals = line.find('='); equals != std::string_view::npos) {
      sections.back().Keys.push_back(
          {std::string(Trim(line.substr(0, equals))), std::string(Trim(line.substr(equals + 1)))});
    } else {
      sections.back().Keys.push_back({{}, std::string(line)});
    }
  }
  return sections;
}

std::string ReadSetting(const std::vector<TIniFileSection>& sections, const std::string& section,
                        const std::string& key, const std::string& fallback) {
  if (!Findable(section) || !Findable(key)) return fallback;
  for (const TIniFileSection& candidate : sections) {
    if (!SameTextAscii(candidate.Name, section)) continue;
    // Only the first section of that name counts.
    for (const TIniFileKey& entry : candidate.Keys) {
      if (!SameTextAscii(entry.Name, key)) continue;
      const std::string& value = entry.Value;
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front())
        return value.substr(1, value.size() - 2);
      return value;
    }
    return fallback;
  }
  return fallback;
}

}  // namespace brenlow
