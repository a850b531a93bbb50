#include "check/VersionCommand.h"

#include <cstdio>
#include <vector>

#include "common/SystemError.h"

namespace brenlow {
namespace {

// A text of the version information's string table for one language and code page; empty when
// the table has no such value.
std::string StringValue(const std::vector<char>& info, const std::string& table,
                        const std::string& name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string path = "\\StringFileInfo\\" + table + "\\" + name;
  if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr || length == 0)
    return {};
  std::string text(value, length);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  return text;
}

}  // namespace

std::string VersionLine(const TVersionText& version, const std::string& fileName) {
  return version.Product + " " + version.Version + " (" + fileName +
         (version.Commit.empty() ? "" : ", commit " + version.Commit) + ")\r\n";
}

DWORD ReadVersionText(const std::string& path, TVersionText& version) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return GetLastError();
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data())) return GetLastError();
  // The string table of the first language the file declares (ours declares one).
  struct TLanguage {
    WORD Language;
    WORD CodePage;
  };
  TLanguage* languages = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&languages), &length) ||
      length < sizeof(TLanguage))
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
  char table[9];
  std::snprintf(table, sizeof(table), "%04x%04x", languages[0].Language, languages[0].CodePage);
  version.Product = StringValue(info, table, "ProductName");
  version.Version = StringValue(info, table, "ProductVersion");
  version.Commit = StringValue(info, table, "SourceCommit");
  return version.Product.empty() || version.Version.empty() ? ERROR_RESOURCE_NAME_NOT_FOUND : 0;
}

int RunVersionCommand(const std::function<void(const std::string&)>& write) {
  const std::string path = ExecutablePath();
  TVersionText version;
  if (const DWORD error = ReadVersionText(path, version)) {
    write("The version information of " + path + " cannot be read: " + ErrorText(error) + "\r\n");
    return 1;
  }
  write(VersionLine(version, path.substr(path.find_last_of("\\/:") + 1)));
  return 0;
}

}  // namespace brenlow
