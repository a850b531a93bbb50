#include "status/StatusCommand.h"

#include <exception>

#include "common/UniqueHandle.h"
#include "status/StatusBoard.h"
#include "status/StatusLayout.h"

namespace brenlow {
namespace {

using namespace status_value;

// A missing value, or one of another type, reads as 0 or empty: an older or newer service may
// not write every value.
DWORD Number(HKEY key, const char* name, bool* present = nullptr) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  const bool found =
      RegGetValueA(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
  if (present) *present = found;
  return found ? value : 0;
}

uint64_t Time(HKEY key, const char* name) {
  uint64_t value = 0;
  DWORD size = sizeof(value);
  return RegGetValueA(key, nullptr, name, RRF_RT_REG_QWORD, nullptr, &value, &size) == ERROR_SUCCESS
             ? value
             : 0;
}

std::string Text(HKEY key, const char* name) {
  char value[256];
  DWORD size = sizeof(value);
  if (RegGetValueA(key, nullptr, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return {};
  return std::string(value);
}

UniqueRegKey OpenForReading(HKEY parent, const std::string& path) {
  UniqueRegKey key;
  if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return {};
  return key;
}

uint64_t ProcessCreationTime(DWORD processId) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!process || !GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

TServiceState QueryServiceState(const std::string& serviceName) {
  TServiceState state;
  state.Name = serviceName;
  const UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    state.QueryError = GetLastError();
    return state;
  }
  const UniqueServiceHandle service(
      OpenServiceA(manager.get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
  if (!service) {
    state.QueryError = GetLastError();
    return state;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    state.QueryError = GetLastError();
    return state;
  }
  state.State = status.dwCurrentState;
  state.ProcessId = status.dwProcessId;
  if (state.ProcessId != 0) state.ProcessCreated = ProcessCreationTime(state.ProcessId);
  return state;
}

TAgentStatus ReadAgentStatus(HKEY root, const std::string& path,
                             const std::vector<std::string>& scripts) {
  TAgentStatus status;
  const UniqueRegKey key = OpenForReading(root, path);
  if (!key) return status;
  status.Present = true;
  status.ProcessId = Number(key.get(), kProcessId);
  status.Started = Time(key.get(), kStarted);

  if (const UniqueRegKey companion = OpenForReading(key.get(), kCompanionSubkey)) {
    TCompanionStatus& c = status.Companion;
    c.Present = true;
    c.ProcessId = Number(companion.get(), kProcessId);
    c.Starts = Number(companion.get(), kStarts);
    c.Kills = Number(companion.get(), kKills);
    c.LastProbe = Time(companion.get(), kLastProbe);
    c.LastProbeResult = Text(companion.get(), kLastProbeResult);
    c.LastGoodProbe = Time(companion.get(), kLastGoodProbe);
    c.ProbeFailures = Number(companion.get(), kProbeFailures);
  }

  for (const std::string& name : scripts) {
    TScriptStatus s;
    s.Script = name;
    if (const UniqueRegKey script = OpenForReading(key.get(), name)) {
      s.Present = true;
      s.Period = Number(script.get(), kPeriod);
      s.Runs = Number(script.get(), kRuns);
      s.FailuresInARow = Number(script.get(), kFailuresInARow);
      s.Running = Number(script.get(), kRunning) != 0;
      s.LastStart = Time(script.get(), kLastStart);
      s.LastDuration = Number(script.get(), kLastDuration);
      s.LastExitCode = Number(script.get(), kLastExitCode, &s.HasExitCode);
      s.LastError = Number(script.get(), kLastError);
    }
    status.Scripts.push_back(std::move(s));
  }
  return status;
}

int RunStatusCommand(const std::string& serviceName, const std::vector<std::string>& scripts,
                     const std::function<void(const std::string&)>& write) {
  try {
    // A restart between the two reads shows as a status written by another process: unknown.
    const TServiceState service = QueryServiceState(serviceName);
    const TAgentStatus status = ReadAgentStatus(HKEY_LOCAL_MACHINE, kStatusKeyPath, scripts);
    const TStatusReport report = MakeStatusReport(service, status, FileTimeNow());
    write(report.Text);
    return report.Result;
  } catch (const std::exception& e) {
    // Out of memory, say: a monitoring check must read "unknown", not the host's exit code 1.
    write(std::string("UNKNOWN: the status could not be read: ") + e.what() + "\r\n");
    return crUnknown;
  }
}

}  // namespace brenlow
