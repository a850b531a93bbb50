#include "config/IniParser.h"

#include <type_traits>

#include "common/AsciiText.h"

namespace brenlow {
namespace {

// Every code from 0x00 to 0x20 counts as blank: spaces, tabs and control characters.
template <typename Char>
bool IsBlank(Char c) {
  return static_cast<std::make_unsigned_t<Char>>(c) <= 0x20;
}

template <typename Char>
std::basic_string_view<Char> Trim(std::basic_string_view<Char> text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

template <typename Char>
std::vector<std::basic_string_view<Char>> SplitLines(std::basic_string_view<Char> text) {
  std::vector<std::basic_string_view<Char>> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool Findable(const std::string& name) { return !name.empty() && name.front() != ';'; }

// The file's rules over lines of either width. convert turns a name or value into the
// single-byte text the caller gets, or nothing when it cannot.
template <typename Char, typename Convert>
std::vector<TIniFileSection> ParseLines(const std::vector<std::basic_string_view<Char>>& lines,
                                        const Convert& convert) {
  const auto name = [&](std::basic_string_view<Char> text) {
    return convert(text).value_or(std::string());
  };
  std::vector<TIniFileSection> sections;
  for (std::basic_string_view<Char> line : lines) {
    line = Trim(line);
    if (line.empty()) continue;
    // A comment before any section starts a section of its own, which can never be asked for.
    if (line.front() == ';' && sections.empty()) {
      sections.push_back({name(line), {}});
    } else if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      sections.push_back({name(line.substr(1, line.size() - 2)), {}});
    } else if (sections.empty()) {
      continue;
    } else if (line.front() == ';') {
      sections.back().Keys.push_back({name(line), {}});
    } else if (const size_t equals = line.find('='); equals != line.npos) {
      std::optional<std::string> value = convert(Trim(line.substr(equals + 1)));
      sections.back().Keys.push_back(
          {name(Trim(line.substr(0, equals))), value.value_or(std::string()), !value});
    } else {
      std::optional<std::string> value = convert(line);
      sections.back().Keys.push_back({{}, value.value_or(std::string()), !value});
    }
  }
  return sections;
}

}  // namespace

std::vector<TIniFileSection> ParseIniFile(std::string_view bytes) {
  std::vector<std::string_view> lines = SplitLines(bytes);
  if (!lines.empty() && lines.front().substr(0, 3) == "\xEF\xBB\xBF")
    lines.front().remove_prefix(3);
  return ParseLines(lines, [](std::string_view text) { return std::optional(std::string(text)); });
}

std::vector<TIniFileSection> ParseIniFile(std::string_view bytes,
                                          const TToSingleByte& toSingleByte) {
  if (bytes.substr(0, 2) != "\xFF\xFE") return ParseIniFile(bytes);
  // Little-endian code units after the mark; a last odd byte is no character.
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8));
  return ParseLines(SplitLines(std::u16string_view(text)), toSingleByte);
}

std::string ReadSetting(const std::vector<TIniFileSection>& sections, const std::string& section,
                        const std::string& key, const std::string& fallback) {
  if (!Findable(section) || !Findable(key)) return fallback;
  for (const TIniFileSection& candidate : sections) {
    if (!SameTextAscii(candidate.Name, section)) continue;
    // Only the first section of that name counts.
    for (const TIniFileKey& entry : candidate.Keys) {
      if (!SameTextAscii(entry.Name, key)) continue;
      if (entry.ValueUnconvertible) return fallback;
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
