#include "check/ServiceCheck.h"

#include "common/AsciiText.h"
#include "common/SystemError.h"
#include "service/DaemonDef.h"
#include "service/DaemonMapperUnit1.h"

namespace brenlow {
namespace {

TCheckLine StartTypeLine(DWORD startType) {
  switch (startType) {
    case SERVICE_AUTO_START:
      return {clOk, "service start type: automatic"};
    case SERVICE_DEMAND_START:
      return {clWarn, "service start type: manual, so it does not start at boot"};
    case SERVICE_DISABLED:
      return {clFail, "service start type: disabled, so it cannot start"};
    default:
      return {clWarn, "service start type: " + std::to_string(startType) + ", not automatic"};
  }
}

TCheckLine RecoveryLine(const TServiceFacts& facts) {
  const std::string name = "service recovery actions: ";
  if (facts.RecoveryError == ERROR_INVALID_LEVEL)
    return {clOk, name + "this system does not report them, " + ErrorText(facts.RecoveryError) +
                      "; --install sets them"};
  if (facts.RecoveryError != 0)
    return {clWarn, name + "cannot be read: " + ErrorText(facts.RecoveryError)};
  std::string restarts;
  for (const SC_ACTION& action : facts.RecoveryActions)
    if (action.Type == SC_ACTION_RESTART)
      restarts += (restarts.empty() ? "" : ", ") + std::to_string(action.Delay) + " ms";
  if (restarts.empty())
    return {clWarn, name +
                        "none, so the service is not restarted after a crash "
                        "(brenlow.exe --install sets them)"};
  return {clOk, name + "restart after " + restarts + "; the count starts again after " +
                    std::to_string(facts.RecoveryResetSeconds) + " s without a failure"};
}

}  // namespace

std::vector<TCheckLine> ServiceLines(const std::string& serviceName, const TServiceFacts& facts,
                                     const std::string& programPath,
                                     const std::string& runArguments) {
  const std::string name = "service " + serviceName + ": ";
  if (facts.OpenError == ERROR_SERVICE_DOES_NOT_EXIST)
    return {{clFail, name + "not installed (brenlow.exe --install installs it)"}};
  if (facts.OpenError != 0)
    return {{clFail, name + "cannot be opened: " + ErrorText(facts.OpenError)}};
  std::vector<TCheckLine> lines{{clOk, name + "installed"}};
  if (facts.ConfigError != 0) {
    lines.push_back(
        {clFail, "service configuration: cannot be read: " + ErrorText(facts.ConfigError)});
  } else {
    const std::string expected = ServiceCommandLine(programPath, runArguments);
    // A path without a space is registered unquoted; quoted, it means the same.
    const std::string quoted = ServiceCommandLine("\"" + programPath + "\"", runArguments);
    if (SameTextAscii(facts.CommandLine, expected) || SameTextAscii(facts.CommandLine, quoted))
      lines.push_back({clOk, "service command line: " + facts.CommandLine});
    else
      lines.push_back({clFail, "service command line: " + facts.CommandLine + ", not " + expected +
                                   " (reinstall it from this folder)"});
    lines.push_back(StartTypeLine(facts.StartType));
  }
  if (facts.StatusError != 0)
    lines.push_back({clFail, "service state: cannot be read: " + ErrorText(facts.StatusError)});
  else if (facts.State == SERVICE_RUNNING)
    lines.push_back(
        {clOk, "service state: running, process id " + std::to_string(facts.ProcessId)});
  else
    lines.push_back({clWarn, "service state: " + ServiceStateText(facts.State) +
                                 (facts.State == SERVICE_PAUSED ? " (the work goes on)" : "")});
  lines.push_back(RecoveryLine(facts));
  return lines;
}

std::vector<TCheckLine> CheckService(const std::string& programPath) {
  const TDaemonMapper1 mapper;
  const TDaemonDef& def = mapper.DaemonDefs[0];
  return ServiceLines(def.Name(), ReadServiceFacts(def.Name()), programPath, def.RunArguments);
}

}  // namespace brenlow
