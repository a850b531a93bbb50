#include "service/CommandLine.h"

#include "common/AsciiText.h"

namespace brenlow {

bool HasOption(const std::vector<std::string>& args, char shortName, const std::string& longName) {
  for (const auto& arg : args) {
    if (arg.size() < 2 || arg[0] != '-') continue;
    std::string rest = arg.substr(1);
    if (rest[0] == '-') {
      rest.erase(0, 1);
      const std::size_t eq = rest.find('=');
      if (eq != std::string::npos) rest.resize(eq);
    }
    if (rest == std::string(1, shortName) || rest == longName) return true;
  }
  return false;
}

bool HasSlashCommand(const std::vector<std::string>& args, const std::string& name) {
  for (const auto& arg : args)
    if (!arg.empty() && arg[0] == '/' && SameTextAscii(arg.substr(1), name)) return true;
  return false;
}

TDaemonCommand FindCommand(const std::vector<std::string>& args) {
  if (HasOption(args, 'i', "install") || HasSlashCommand(args, "install")) return dcInstall;
  if (HasOption(args, 'u', "uninstall") || HasSlashCommand(args, "uninstall")) return dcUninstall;
  if (HasOption(args, 'r', "run")) return dcRun;
  if (HasOption(args, 'c', "check")) return dcCheck;
  if (HasOption(args, 's', "status")) return dcStatus;
  return dcUsage;  // help, and no command at all
}

std::string UsageText(const std::string& programPath) {
  return "Usage: " + programPath + " [command]\r\n" +
         "Where command is one of the following:\r\n"
         "  -i --install   To install the program as a service\r\n"
         "  -u --uninstall To uninstall the service\r\n"
         "  -r --run       To run the service\r\n"
         "  -c --check     To check the installation and its settings\r\n"
         "  -s --status    To show what the running service does\r\n";
}

}  // namespace brenlow
