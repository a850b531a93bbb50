#pragma once
// The agent's settings in brenlow.ini, read in one place for the service's start, --check and
// --test, so that all three see the same values.

#include <string>

namespace brenlow {

// Section [General] of brenlow.ini, each value as the file gives it (empty when missing).
struct TAgentSettings {
  std::string PhpExePath;       // PHP_EXE_PATH
  std::string WebRootPath;      // WEB_ROOT_PATH
  std::string ScriptTimeLimit;  // ScriptTimeLimit, whole seconds as text
};

// Reads the settings from the file at path. A missing file gives empty values; a file that
// exists but cannot be read throws EFOpenError.
TAgentSettings ReadAgentSettings(const std::string& path);

}  // namespace brenlow
