#include "config/AgentSettings.h"

#include "config/IniFile.h"

namespace brenlow {

TAgentSettings ReadAgentSettings(const std::string& path) {
  // The reader is released before the values are used: nothing holds the file afterwards.
  const TIniFile config(path);
  TAgentSettings settings;
  settings.PhpExePath = config.ReadSetting("General", "PHP_EXE_PATH", "");
  settings.WebRootPath = config.ReadSetting("General", "WEB_ROOT_PATH", "");
  settings.ScriptTimeLimit = config.ReadSetting("General", "ScriptTimeLimit", "");
  return settings;
}

}  // namespace brenlow
