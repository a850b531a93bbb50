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
