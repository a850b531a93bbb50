#pragma once
// The program's command line: which command it selects, and the usage text.

#include <string>
#include <vector>

namespace brenlow {

enum TDaemonCommand {
  dcInstall,
  dcUninstall,
  dcRun,
  dcCheck,
  dcStatus,
  dcTest,
  dcVersion,
  dcUsage
};

// True when one of the arguments, after its leading "-" or "--", equals shortName or longName,
// compared case-sensitively: "-x", "--x", "-long" and "--long" all select. After "--" the rest
// is first cut before its first "=" ("--long=value" and "--x=value" select too); after a
// single "-" nothing is cut. A shortName of '\0' gives the option no short form.
bool HasOption(const std::vector<std::string>& args, char shortName, const std::string& longName);
// The value given with the first argument that selects the option as HasOption does: after
// "--long=" or "--x=" the text after that first "=", otherwise the argument that follows; empty
// when there is none.
std::string OptionValue(const std::vector<std::string>& args, char shortName,
                        const std::string& longName);
// True when one of the arguments is "/" + name with ASCII letter case ignored.
bool HasSlashCommand(const std::vector<std::string>& args, const std::string& name);

// The first command present, in the order install, uninstall, run, check, status, test,
// version; dcUsage when none is. Commands added later come after the earlier ones, so a command
// line that selected a command before they existed still selects it.
TDaemonCommand FindCommand(const std::vector<std::string>& args);

// Whether --json is on the command line ("-json" and "--json=..." too; no short form): --status
// then prints one JSON object.
bool StatusAsJson(const std::vector<std::string>& args);

// The script named with the test command: OptionValue for -t and --test.
std::string TestScriptArgument(const std::vector<std::string>& args);

// The lines of the usage text, each ended with CR LF: the program, then one line per command.
std::string UsageText(const std::string& programPath);

}  // namespace brenlow
