#include "service/CommandLine.h"

#include "common/AsciiText.h"

namespace brenlow {

namespace {

// Whether arg selects the option; *value then points just after its "=" in the long form, or is
// npos when it has none.
bool Selects(const std::string& arg, char shortName, const std::string& longName,
             std::size_t* value) {
  if (arg.size() < 2 || arg[0] != '-') return false;
  std::string rest = arg.substr(1);
  std::size_t eq = std::string::npos;
  if (rest[0] == '-') {
    rest.erase(0, 1);
    eq = rest.find('=');
    if (eq != std::string::npos) rest.resize(eq);
  }
  *value = eq == std::string::npos ? eq : eq + 3;
  return (shortName != '\0' && rest == std::string(1, shortName)) || rest == longName;
}

}  // namespace

bool HasOption(const std::vector<std::string>& args, char shortName, const std::string& longName) {
  std::size_t value = 0;
  for (const auto& arg : args)
    if (Selects(arg, shortName, longName, &value)) return true;
  return false;
}

std::string OptionValue(const std::vector<std::string>& args, char shortName,
                        const std::string& longName) {
  std::size_t value = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!Selects(args[i], shortName, longName, &value)) continue;
    if (value != std::string::npos) return args[i].substr(value);
    return i + 1 < args.size() ? args[i + 1] : std::string();
  }
  return {};
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
  if (HasOption(args, 't', "test")) return dcTest;
  if (HasOption(args, 'v', "version")) return dcVersion;
  return dcUsage;  // help, and no command at all
}

bool StatusAsJson(const std::vector<std::string>& args) { return HasOption(args, '\0', "json"); }

std::string TestScriptArgument(const std::vector<std::string>& args) {
  return OptionValue(args, 't', "test");
}

std::string UsageText(const std::string& programPath) {
  return "Usage: " + programPath + " [command]\r\n" +
         "Where command is one of the following:\r\n"
         "  -i --install   To install the program as a service\r\n"
         "  -u --uninstall To uninstall the service\r\n"
         "  -r --run       To run the service\r\n"
         "  -c --check     To check the installation and its settings\r\n"
         "  -s --status    To show what the running service does; with --json as JSON\r\n"
         "  -t --test      To run one script once and show its output: -t <script>\r\n"
         "  -v --version   To show the version and the build's commit\r\n";
}

}  // namespace brenlow
