#include "config/IniFile.h"

#include <windows.h>

#include "common/ExecutableDirectory.h"
#include "common/SystemError.h"
#include "common/UniqueHandle.h"

namespace brenlow {
namespace {

std::wstring ToWide(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(size > 0 ? size : 0, L'\0');
  if (size > 0)
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// UTF-16 text in the ANSI code page, the form every setting is used in; nothing when a character
// has no form there (no best-fit guesses: a path must not silently become another path).
std::optional<std::string> ToAnsi(std::u16string_view text) {
  if (text.empty()) return std::string();
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  // A UTF-8 code page can hold every character but a lone surrogate, and refuses the default
  // character test: it reports those by failing instead.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* const usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int size =
      WideCharToMultiByte(CP_ACP, flags, wide, length, nullptr, 0, nullptr, usedDefaultOut);
  if (size <= 0 || usedDefault) return std::nullopt;
  std::string narrow(size, '\0');
  if (WideCharToMultiByte(CP_ACP, flags, wide, length, narrow.data(), size, nullptr,
                          usedDefaultOut) != size ||
      usedDefault)
    return std::nullopt;
  return narrow;
}

}  // namespace

EFOpenError::EFOpenError(const std::string& fileName)
    : std::runtime_error("Unable to open file \"" + fileName + "\"") {}

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
  // A file saved as UTF-16 (as PowerShell 5 writes it) reads as the same settings.
  sections_ = ParseIniFile(bytes, ToAnsi);
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
