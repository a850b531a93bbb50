#pragma once
// What the PHP interpreter reads and loads besides php.exe, found as PHP for Windows finds it,
// with the environment the service's runs get. Whoever may change one of these, or put a file of
// theirs where it would be found first, has their code run with the service's rights.

#include <string>
#include <vector>

namespace brenlow {

// Where PHP looks, as plain values.
struct TInterpreterSearch {
  std::string PhpExePath;
  std::string Phprc;  // PHPRC: a folder, or the settings file itself
  // The IniFilePath values under HKLM\SOFTWARE\PHP: those of its version keys, then its own.
  std::vector<std::string> RegistryIniPaths;
  std::string WindowsFolder;
  std::string ScanDirs;      // PHP_INI_SCAN_DIR: folders separated by ";"
  std::string SystemFolder;  // where the runs start, which a relative path is taken from
  std::vector<std::string> PathFolders;  // the PATH the runs get
};

// A file or folder the interpreter reads or loads from.
struct TLoadedPath {
  std::string Path;
  bool Folder = false;
  // A folder that does not exist: it is judged by who may create it (in the nearest folder above
  // it that does).
  bool Missing = false;
  std::string Role;  // what it is to the interpreter: "PHP's settings", ...
};

// In the order PHP takes them. Settings: at each place in turn (PHPRC, the registry's paths, the
// folder of php.exe, the Windows folder) the place itself, where php-cli.ini or php.ini would be
// found, and whichever of them exists there; the search ends at the first place that holds one.
// Then each folder of PHP_INI_SCAN_DIR with the .ini files in it, the extension folder
// (extension_dir of those files, taken from the system folder when relative; PHP's own default
// otherwise) with the extensions named in them that exist there, extensions named by a path, and
// the folders on the PATH, where the system looks for a DLL found nowhere else.
std::vector<TLoadedPath> InterpreterLoads(const TInterpreterSearch& search);

// The search the service's runs make for this interpreter: PHPRC, PHP_INI_SCAN_DIR and Path as
// the machine's environment in the registry (expanded) and the service's own Environment value
// give them (the prompt's environment plays no part; both PATHs count), the registry in the view
// of the interpreter's bitness (php32: a 32-bit PHP), and the system's own folders.
TInterpreterSearch InterpreterSearchFor(const std::string& phpExePath, bool php32,
                                        const std::string& serviceName);

}  // namespace brenlow
