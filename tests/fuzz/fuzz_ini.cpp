// Fuzz target: the configuration file's parser and the setting lookup.
// Every input is parsed as it is, and also turned into a well-formed file whose values must
// read back unchanged.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/AsciiText.h"
#include "config/IniParser.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/support/Latin1Utf16.h"

namespace {

using brenlow::TIniFileSection;

bool Same(const std::vector<TIniFileSection>& a, const std::vector<TIniFileSection>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].Name != b[i].Name || a[i].Keys.size() != b[i].Keys.size()) return false;
    for (size_t k = 0; k < a[i].Keys.size(); ++k)
      if (a[i].Keys[k].Name != b[i].Keys[k].Name || a[i].Keys[k].Value != b[i].Keys[k].Value)
        return false;
  }
  return true;
}

bool HasLineEnd(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }
bool Trimmed(const std::string& text) {
  return text.empty() || (!IsBlank(text.front()) && !IsBlank(text.back()));
}

std::string Without(std::string text, const char* bytes) {
  std::string kept;
  for (char c : text)
    if (std::string(bytes).find(c) == std::string::npos) kept += c;
  return kept;
}

using brenlow::test::AsUtf16;
using brenlow::test::Latin1;

// What every parse must give: nothing found holds a line end or surrounding blanks.
void CheckFound(const std::vector<TIniFileSection>& sections) {
  for (const TIniFileSection& section : sections) {
    FUZZ_CHECK(!HasLineEnd(section.Name));
    for (const auto& key : section.Keys) {
      FUZZ_CHECK(!HasLineEnd(key.Name) && !HasLineEnd(key.Value));
      FUZZ_CHECK(Trimmed(key.Name) && Trimmed(key.Value));
      const std::string value = brenlow::ReadSetting(sections, section.Name, key.Name, "\n");
      FUZZ_CHECK(value == "\n" || !HasLineEnd(value));
    }
  }
}

// Any bytes: parsing is repeatable, the line-end style does not matter, and nothing found
// holds a line end, also when the bytes are read as UTF-16.
void CheckAnyBytes(const std::string& bytes) {
  const auto utf16 = brenlow::ParseIniFile("\xFF\xFE" + bytes, Latin1);
  FUZZ_CHECK(Same(utf16, brenlow::ParseIniFile("\xFF\xFE" + bytes, Latin1)));
  CheckFound(utf16);
  CheckFound(brenlow::ParseIniFile(bytes, Latin1));

  const auto sections = brenlow::ParseIniFile(bytes);
  FUZZ_CHECK(Same(sections, brenlow::ParseIniFile(bytes)));
  FUZZ_CHECK(Same(sections, brenlow::ParseIniFile(bytes + "\n")));

  std::string unixEnds;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    unixEnds += bytes[i] == '\r' ? '\n' : bytes[i];
  }
  FUZZ_CHECK(Same(sections, brenlow::ParseIniFile(unixEnds)));
  CheckFound(sections);
}

// A well-formed file built from the pieces of the input: one section, then key="value" lines.
// The first key of each name must give back its value exactly, under any letter case.
void CheckWellFormed(const std::vector<std::string>& pieces, bool byteOrderMark,
                     const std::string& lineEnd) {
  std::string section = Without(pieces[0], "\r\n");
  if (section.empty() || section.front() == ';') section.insert(0, "S");
  std::vector<std::string> names;
  std::vector<std::string> values;
  for (size_t i = 1; i < pieces.size(); i += 2) {
    std::string name = Without(pieces[i], "\r\n=");
    while (!name.empty() && IsBlank(name.front())) name.erase(0, 1);
    while (!name.empty() && IsBlank(name.back())) name.pop_back();
    if (name.empty() || name.front() == ';') name.insert(0, "k");
    names.push_back(name);
    values.push_back(i + 1 < pieces.size() ? Without(pieces[i + 1], "\r\n") : std::string());
  }

  std::string text = "[" + section + "]" + lineEnd;
  for (size_t i = 0; i < names.size(); ++i) text += names[i] + "=\"" + values[i] + "\"" + lineEnd;
  const std::string file = (byteOrderMark ? "\xEF\xBB\xBF" : "") + text;
  const auto sections = brenlow::ParseIniFile(file);
  FUZZ_CHECK(sections.size() == 1 && sections[0].Name == section);
  FUZZ_CHECK(sections[0].Keys.size() == names.size());
  // The same file saved as UTF-16 reads back the same.
  FUZZ_CHECK(Same(sections, brenlow::ParseIniFile(AsUtf16(text), Latin1)));

  for (size_t i = 0; i < names.size(); ++i) {
    bool first = true;
    for (size_t j = 0; j < i; ++j) first = first && !brenlow::SameTextAscii(names[j], names[i]);
    if (!first) continue;
    FUZZ_CHECK(brenlow::ReadSetting(sections, section, names[i], "") == values[i]);
    FUZZ_CHECK(brenlow::ReadSetting(sections, brenlow::fuzz::SwapCase(section),
                                    brenlow::fuzz::SwapCase(names[i]), "") == values[i]);
  }
  FUZZ_CHECK(brenlow::ReadSetting(sections, section + "\x01", "k", "fallback") == "fallback");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckAnyBytes(bytes);
  static const char* const kLineEnds[] = {"\r\n", "\n", "\r"};
  CheckWellFormed(brenlow::fuzz::SplitAtNul(data, size), size % 2 == 1, kLineEnds[size % 3]);
  return 0;
}
