// Entry point of brenlow.exe: the service host performs the one command of the command line.

#include <memory>
#include <string>
#include <vector>

#include "agent/DaemonUnit1.h"
#include "agent/QRXProxyCheckerUnit.h"
#include "check/CheckCommand.h"
#include "check/TestCommand.h"
#include "check/VersionCommand.h"
#include "service/DaemonApp.h"
#include "service/DaemonMapperUnit1.h"
#include "service/Win32HostCalls.h"
#include "status/StatusCommand.h"

int main(int argc, char** argv) {
  using namespace brenlow;
  // The agent's event source is registered in every mode, before the command line is examined.
  CreateAgentEventLog();

  TDaemonRegistry registry;
  registry.RegisterDaemonMapper("TDaemonMapper1",
                                [] { return std::make_unique<TDaemonMapper1>(); });
  // The daemon runs the checks of what it loaded at every start; it is handed them here, since
  // the checks look at the agent's work from above.
  registry.RegisterDaemonClass("TDaemon1", [] {
    return std::make_unique<TDaemon1>(TRunnerTimings{}, TCompanionStarters{}, StartStartupCheck);
  });

  TWin32HostCalls calls;
  THostOptions options;
  options.Check = [&calls] {
    return RunCheckCommand([&calls](const std::string& text) { calls.WriteOutput(text); });
  };
  options.Status = [&calls](bool json) {
    std::vector<std::string> scripts;
    for (const TScriptScheduleRow& row : ScriptSchedule) scripts.push_back(row.ScriptFile);
    const std::string service = TDaemonMapper1().DaemonDefs[0].Name();
    return RunStatusCommand(service, scripts, json,
                            [&calls](const std::string& text) { calls.WriteOutput(text); });
  };
  options.Test = [&calls](const std::string& script) {
    const std::string service = TDaemonMapper1().DaemonDefs[0].Name();
    return RunTestCommand(script, service,
                          {[&calls](const std::string& text) { calls.WriteOutput(text); },
                           [](const std::string& text) {
                             const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
                             DWORD written = 0;
                             if (err != nullptr && err != INVALID_HANDLE_VALUE)
                               WriteFile(err, text.data(), static_cast<DWORD>(text.size()),
                                         &written, nullptr);
                           }});
  };
  options.Version = [&calls] {
    return RunVersionCommand([&calls](const std::string& text) { calls.WriteOutput(text); });
  };
  TCustomDaemonApplication application(
      registry, calls, std::vector<std::string>(argv + 1, argv + argc), std::move(options));
  const int exitCode = application.Run();
  // The launcher and the watchdog still write after a stop: what they left out since is
  // counted in the log too. (The host's own writer does that when it is destroyed.)
  AgentEventLog().WriteLeftOutReports();
  return exitCode;
}
