// Reads the configuration file beside itself as the agent does and prints, one per line, the
// file's path and the values of PHP_EXE_PATH and WEB_ROOT_PATH of section General; on an error,
// its message and exit code 1.

#include <windows.h>

#include <exception>
#include <string>

#include "config/IniFile.h"

namespace {

void Print(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

}  // namespace

int main() {
  try {
    const std::string path = brenlow::ConfigFilePath();
    const brenlow::TIniFile config(path);
    Print(path + "\n" + config.ReadSetting("General", "PHP_EXE_PATH", "") + "\n" +
          config.ReadSetting("General", "WEB_ROOT_PATH", "") + "\n");
    return 0;
  } catch (const std::exception& error) {
    Print(std::string(error.what()) + "\n");
    return 1;
  }
}
