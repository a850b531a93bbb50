#include "config/IniFile.h"

#include <windows.h>

#include "agent/ExecutableDirectory.h"
#include "common/SystemError.h"
#include "common/UniqueHandle.h"

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

char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Names compare with a to z equal to A to Z; every other byte must match exactly.
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

bool Findable(const std::string& name) { return !name.empty() && name.front() != ';'; }

std::wstring ToWide(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(size > 0 ? size : 0, L'\0');
  if (size > 0)
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

}  // namespace

EFOpenError::EFOpenError(const std::string& fileName)
    : std::runtime_error("Unable to open file \"" + fileName + "\"") {}

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
    if (!SameName(candidate.Name, section)) continue;
    // Only the first section of that name counts.
    for (const TIniFileKey& entry : candidate.Keys) {
      if (!SameName(entry.Name, key)) continue;
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

TIniFile::TIniFile(const std::string& fileName) : fileName_(fileName) {
  // The path is a single-byte text; the wide file functions get it through the ANSI code page.
  const std::wstring widePath = ToWide(fileName);
  const DWORD attributes = GetFileAttributesW(widePath.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;

  // Other readers are welcome, writers are not: a file being written is not read half-done.
  UniqueHandle file(CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw EFOpenError(fileName);
  std::string bytes;
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) throw EFOpenError(fileName);
    if (got == 0) break;
    bytes.append(buffer, got);
  }
  sections_ = ParseIniFile(bytes);
}

std::string TIniFile::ReadSetting(const std::string& section, const std::string& key,
                                  const std::string& fallback) const {
  return brenlow::ReadSetting(sections_, section, key, fallback);
}

std::string ConfigFilePathFor(const std::string& executablePath) {
  return ExecutableDirectoryOf(executablePath) + "\\brenlow.ini";
}

std::string ConfigFilePath() { return ConfigFilePathFor(ExecutablePath()); }

}  // namespace brenlow
