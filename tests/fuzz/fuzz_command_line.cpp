// Fuzz target: the command-line grammar and the usage text.
// The input is cut at NUL bytes into arguments; the last piece is also a program path for the
// usage text. The command found must be the one the written rule gives, whatever the order of
// the arguments and the letter case of the "/" forms.

#include <algorithm>
#include <string>
#include <vector>

#include "service/CommandLine.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

using brenlow::TDaemonCommand;

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The rule as the usage text and the manual state it, written out independently.
bool Selects(const std::string& arg, char shortName, const std::string& longName, bool slashForm) {
  if (slashForm && arg.size() > 1 && arg[0] == '/' && Lower(arg.substr(1)) == longName) return true;
  if (arg.rfind("--", 0) == 0) {
    const std::string name = arg.substr(2, arg.find('=', 2) - 2);
    return name == longName || name == std::string(1, shortName);
  }
  if (arg.size() >= 2 && arg[0] == '-') {
    const std::string name = arg.substr(1);
    return name == longName || name == std::string(1, shortName);
  }
  return false;
}

TDaemonCommand Expected(const std::vector<std::string>& args) {
  const auto any = [&](char s, const char* l, bool slash) {
    return std::any_of(args.begin(), args.end(),
                       [&](const std::string& a) { return Selects(a, s, l, slash); });
  };
  if (any('i', "install", true)) return brenlow::dcInstall;
  if (any('u', "uninstall", true)) return brenlow::dcUninstall;
  if (any('r', "run", false)) return brenlow::dcRun;
  if (any('c', "check", false)) return brenlow::dcCheck;
  if (any('s', "status", false)) return brenlow::dcStatus;
  if (any('t', "test", false)) return brenlow::dcTest;
  if (any('v', "version", false)) return brenlow::dcVersion;
  return brenlow::dcUsage;
}

// The script of the test command, by the same rule: the long form's text after "=", else the
// next argument.
std::string ExpectedTestScript(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (!Selects(args[i], 't', "test", false)) continue;
    const size_t eq = args[i].find('=');
    if (args[i].rfind("--", 0) == 0 && eq != std::string::npos) return args[i].substr(eq + 1);
    return i + 1 < args.size() ? args[i + 1] : "";
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = brenlow::fuzz::SplitAtNul(data, size);
  const TDaemonCommand found = brenlow::FindCommand(args);
  FUZZ_CHECK(found == Expected(args));
  FUZZ_CHECK(found == brenlow::FindCommand(args));
  FUZZ_CHECK(brenlow::TestScriptArgument(args) == ExpectedTestScript(args));
  // --status prints JSON when an argument is "-json", "--json" or "--json=...": no short form.
  FUZZ_CHECK(brenlow::StatusAsJson(args) ==
             std::any_of(args.begin(), args.end(), [](const std::string& a) {
               return a == "-json" || a == "--json" || a.rfind("--json=", 0) == 0;
             }));

  // Order does not matter, nor do arguments that start with neither "-" nor "/".
  std::vector<std::string> reordered(args.rbegin(), args.rend());
  reordered.push_back("plain");
  reordered.push_back("");
  FUZZ_CHECK(brenlow::FindCommand(reordered) == found);

  // The "/" forms ignore letter case; the "-" forms do not.
  std::vector<std::string> swapped;
  for (const std::string& arg : args)
    if (!arg.empty() && arg[0] == '/') swapped.push_back(brenlow::fuzz::SwapCase(arg));
  for (const char* name : {"install", "uninstall"})
    FUZZ_CHECK(brenlow::HasSlashCommand(swapped, name) == brenlow::HasSlashCommand(args, name));
  FUZZ_CHECK(!brenlow::HasOption({"-R", "--RUN", "/run"}, 'r', "run"));

  // The usage text: the program's line and one line per command, each ended with CR LF.
  const std::string& program = args.back();
  const std::string usage = brenlow::UsageText(program);
  const std::string head = "Usage: " + program + " [command]\r\n";
  FUZZ_CHECK(usage.compare(0, head.size(), head) == 0);
  const std::string rest = usage.substr(head.size());
  FUZZ_CHECK(std::count(rest.begin(), rest.end(), '\n') == 8);
  FUZZ_CHECK(rest.size() >= 2 && rest.compare(rest.size() - 2, 2, "\r\n") == 0);
  for (const char* line : {"  -i --install ", "  -u --uninstall ", "  -r --run ", "  -c --check ",
                           "  -s --status ", "  -t --test ", "  -v --version "})
    FUZZ_CHECK(rest.find(line) != std::string::npos);
  return 0;
}
