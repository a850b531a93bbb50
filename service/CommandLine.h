#pragma once
// The program's command line: which command it selects, and the usage text.

#include <string>
#include <vector>

namespace brenlow {

enum TDaemonCommand { dcInstall, dcUninstall, dcRun, dcCheck, dcStatus, dcUsage };

// True when one of the arguments, after its leading "-" or "--", equals shortName or longName,
// compared case-sensitively: "-x", "--x", "-long" and "--long" all select. After "--" the rest
// is first cut before its first "=" ("--long=value" and "--x=value" select too); after a
// single "-" nothing is cut.
bool HasOption(const std::vector<std::string>& args, char shortName, const std::string& longName);
// True when one of the arguments is "/" + name with ASCII letter case ignored.
bool HasSlashCommand(const std::vector<std::string>& args, const std::string& name);

// The first command present, in the order install, uninstall, run, check, status; dcUsage when
// none is. The administrator's commands come last, so a command line that selected one of the
// service's commands before they existed still selects it.
TDaemonCommand FindCommand(const std::vector<std::string>& args);

// The lines of the usage text, each ended with CR LF: the program, then one line per command.
std::string UsageText(const std::string& programPath);

}  // namespace brenlow
