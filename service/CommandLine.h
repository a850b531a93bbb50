#pragma once
// The program's command line: which command it selects, and the usage text.

#include <string>
#include <vector>

namespace brenlow {

enum TDaemonCommand { dcInstall, dcUninstall, dcRun, dcUsage };

// True when one of the arguments, after its leading "-" or "--", equals shortName or longName,
// compared case-sensitively: "-x", "--x", "-long" and "--long" all select. After "--" the rest
// is first cut before its first "=" ("--long=value" and "--x=value" select too); after a
// single "-" nothing is cut.
bool HasOption(const std::vector<std::string>& args, char shortName, const std::string& longName);
// True when one of the arguments is "/" + name with ASCII letter case ignored.
bool HasSlashCommand(const std::vector<std::string>& args, const std::string& name);

// The first command present, in the order install, uninstall, run; dcUsage when none is.
TDaemonCommand FindCommand(const std::vector<std::string>& args);

// The five lines of the usage text, each ended with CR LF.
std::string UsageText(const std::string& programPath);

}  // namespace brenlow
