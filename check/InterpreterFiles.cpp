#include "check/InterpreterFiles.h"

#include <windows.h>

#include <algorithm>

#include "common/AsciiText.h"
#include "common/ExecutableDirectory.h"
#include "common/FileIdentity.h"
#include "common/RegistryStrings.h"
#include "common/UniqueHandle.h"

namespace brenlow {
namespace {

// Where PHP's Windows builds look for extensions when no settings file names a folder.
constexpr const char* kDefaultExtensionFolder = "C:\\php\\ext";

std::string Trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

bool IsAbsolute(const std::string& path) {
  return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
         path.rfind("\\\\", 0) == 0;
}

std::string InFolder(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '\\' || folder.back() == '/' ? folder + name : folder + "\\" + name;
}

// A path as a run resolves it: relative ones from the system folder, where the runs start.
std::string Resolved(const std::string& path, const std::string& systemFolder) {
  return IsAbsolute(path) ? path : InFolder(systemFolder, path);
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t at = 0;
  while (at <= list.size()) {
    const size_t end = std::min(list.find(';', at), list.size());
    std::string item = Trimmed(list.substr(at, end - at));
    if (item.size() >= 2 && item.front() == '"' && item.back() == '"')
      item = item.substr(1, item.size() - 2);
    if (!item.empty()) items.push_back(item);
    at = end + 1;
  }
  return items;
}

std::string ReadText(const std::string& path) {
  const UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string text;
  if (!file) return text;
  char buffer[65536];
  DWORD got = 0;
  // Settings files are small; a huge one is read as far as it matters for this.
  while (text.size() < (16u << 20) && ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) &&
         got > 0)
    text.append(buffer, got);
  return text;
}

// What the settings files say about extensions: the last extension_dir, and every extension.
struct TExtensionSettings {
  std::string Folder;
  std::vector<std::string> Names;
};

// PHP's ini form: "name = value", the value in double quotes or up to a ";".
void ReadExtensionSettings(const std::string& path, TExtensionSettings& settings) {
  const std::string text = ReadText(path);
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = Trimmed(text.substr(at, end - at));
    at = end + 1;
    const size_t equals = line.find('=');
    if (line.empty() || line[0] == ';' || line[0] == '[' || equals == std::string::npos) continue;
    const std::string name = Trimmed(line.substr(0, equals));
    std::string value = Trimmed(line.substr(equals + 1));
    if (!value.empty() && value[0] == '"')
      value = value.substr(1, value.find('"', 1) - 1);
    else
      value = Trimmed(value.substr(0, value.find(';')));
    if (value.empty()) continue;
    if (SameTextAscii(name, "extension_dir"))
      settings.Folder = value;
    else if (SameTextAscii(name, "extension") || SameTextAscii(name, "zend_extension"))
      settings.Names.push_back(value);
  }
}

// The .ini files of a folder, in name order as PHP reads them.
std::vector<std::string> IniFilesIn(const std::string& folder) {
  std::vector<std::string> files;
  WIN32_FIND_DATAA found;
  const UniqueFindHandle find(FindFirstFileA(InFolder(folder, "*.ini").c_str(), &found));
  if (!find) return files;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      files.push_back(InFolder(folder, found.cFileName));
  } while (FindNextFileA(find.get(), &found));
  std::sort(files.begin(), files.end());
  return files;
}

void AddFolder(std::vector<TLoadedPath>& loads, const std::string& folder,
               const std::string& role) {
  loads.push_back({folder, true, KindOf(folder) != fkFolder, role});
}

// One machine-wide variable as the registry keeps it, expanded; empty when it is not set.
std::string MachineVariable(const std::string& name) {
  const char* key = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
  DWORD size = 0;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
          ERROR_SUCCESS ||
      size == 0)
    return {};
  std::string value(size, '\0');
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key, name.c_str(), RRF_RT_REG_SZ, nullptr, value.data(),
                   &size) != ERROR_SUCCESS)
    return {};
  value.resize(value.find('\0') == std::string::npos ? value.size() : value.find('\0'));
  return value;
}

// The service's own variables (its Environment value, "NAME=value" strings).
std::vector<std::string> ServiceVariables(const std::string& serviceName) {
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
  return RegistryStrings(HKEY_LOCAL_MACHINE, key.c_str(), "Environment");
}

// The variable as the service's runs get it: the service's own value wins.
std::string ServiceVariable(const std::vector<std::string>& own, const std::string& name) {
  for (const std::string& variable : own) {
    const size_t equals = variable.find('=', 1);
    if (equals != std::string::npos && SameTextAscii(variable.substr(0, equals), name))
      return variable.substr(equals + 1);
  }
  return MachineVariable(name);
}

std::string IniFilePath(HKEY key, const char* subkey) {
  char value[MAX_PATH * 2];
  DWORD size = sizeof(value);
  if (RegGetValueA(key, subkey, "IniFilePath", RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS)
    return {};
  return value;
}

std::string SystemPath(UINT(WINAPI* get)(LPSTR, UINT)) {
  char path[MAX_PATH];
  const UINT length = get(path, sizeof(path));
  return length > 0 && length < sizeof(path) ? std::string(path, length) : std::string();
}

}  // namespace

std::vector<TLoadedPath> InterpreterLoads(const TInterpreterSearch& search) {
  std::vector<TLoadedPath> loads;
  TExtensionSettings extensions;

  // The places for php-cli.ini and php.ini, by group: PHPRC, the registry's, beside php.exe, the
  // Windows folder. The registry's versions are judged together, whichever PHP asks first. A
  // PHPRC that names a file is judged as settings, and the search goes on as if it named none.
  std::vector<std::vector<std::string>> places;
  if (KindOf(search.Phprc) == fkFile) {
    loads.push_back({search.Phprc, false, false, "PHP's settings, named by PHPRC"});
    ReadExtensionSettings(search.Phprc, extensions);
  } else if (!search.Phprc.empty()) {
    places.push_back({search.Phprc});
  }
  places.push_back(search.RegistryIniPaths);
  places.push_back({ExecutableDirectoryOf(search.PhpExePath)});
  places.push_back({search.WindowsFolder});
  for (const std::vector<std::string>& group : places) {
    bool found = false;
    for (const std::string& place : group) {
      if (place.empty()) continue;
      AddFolder(loads, place, "where PHP looks for php-cli.ini and php.ini");
      for (const char* name : {"php-cli.ini", "php.ini"}) {
        const std::string file = InFolder(place, name);
        if (KindOf(file) != fkFile) continue;
        loads.push_back({file, false, false, "PHP's settings"});
        if (!found) ReadExtensionSettings(file, extensions);
        found = true;
      }
    }
    if (found) break;
  }

  for (const std::string& folder : SplitList(search.ScanDirs)) {
    AddFolder(loads, folder, "a folder of PHP_INI_SCAN_DIR");
    for (const std::string& file : IniFilesIn(folder)) {
      loads.push_back({file, false, false, "PHP's settings, from PHP_INI_SCAN_DIR"});
      ReadExtensionSettings(file, extensions);
    }
  }

  // Extensions named alone are looked for in the extension folder, as given or as php_<name>.dll;
  // one named by a path is loaded from there.
  const std::string folder = Resolved(
      extensions.Folder.empty() ? kDefaultExtensionFolder : extensions.Folder, search.SystemFolder);
  bool inFolder = false;
  for (const std::string& name : extensions.Names) {
    if (name.find_first_of("\\/") != std::string::npos) {
      const std::string path = Resolved(name, search.SystemFolder);
      AddFolder(loads, ExecutableDirectoryOf(path), "the folder of a PHP extension");
      if (KindOf(path) == fkFile) loads.push_back({path, false, false, "a PHP extension"});
      continue;
    }
    if (!inFolder) AddFolder(loads, folder, "PHP's extension folder");
    inFolder = true;
    for (const std::string& file : {name, "php_" + name + ".dll"})
      if (KindOf(InFolder(folder, file)) == fkFile)
        loads.push_back({InFolder(folder, file), false, false, "a PHP extension"});
  }

  for (const std::string& path : search.PathFolders)
    AddFolder(loads, Resolved(path, search.SystemFolder), "a folder on the service's PATH");
  return loads;
}

TInterpreterSearch InterpreterSearchFor(const std::string& phpExePath, bool php32,
                                        const std::string& serviceName) {
  TInterpreterSearch search;
  search.PhpExePath = phpExePath;
  const std::vector<std::string> own = ServiceVariables(serviceName);
  search.Phprc = ServiceVariable(own, "PHPRC");
  search.ScanDirs = ServiceVariable(own, "PHP_INI_SCAN_DIR");
  // The machine's Path and, when the service sets its own, that one too.
  search.PathFolders = SplitList(MachineVariable("Path"));
  for (const std::string& variable : own)
    if (SameTextAscii(variable.substr(0, variable.find('=')), "PATH"))
      for (const std::string& folder : SplitList(variable.substr(variable.find('=') + 1)))
        search.PathFolders.push_back(folder);

  // HKLM\SOFTWARE\PHP in the interpreter's own view: its version keys (x.y.z, x.y, x), then the
  // key itself. Every version's path counts: the check does not ask which version this is.
  UniqueRegKey php;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\PHP", 0,
                    KEY_READ | (php32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY),
                    php.put()) == ERROR_SUCCESS) {
    char name[256];
    for (DWORD i = 0;; ++i) {
      DWORD size = sizeof(name);
      if (RegEnumKeyExA(php.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      const std::string path = IniFilePath(php.get(), name);
      if (!path.empty()) search.RegistryIniPaths.push_back(path);
    }
    const std::string path = IniFilePath(php.get(), nullptr);
    if (!path.empty()) search.RegistryIniPaths.push_back(path);
  }
  search.WindowsFolder = SystemPath(GetSystemWindowsDirectoryA);
  search.SystemFolder = SystemPath(GetSystemDirectoryA);
  return search;
}

}  // namespace brenlow
