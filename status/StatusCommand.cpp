#include "status/StatusCommand.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "common/RegistryStrings.h"
#include "common/UniqueHandle.h"
#include "service/ServiceQuery.h"
#include "status/StatusBoard.h"
#include "status/StatusJson.h"
#include "status/StatusLayout.h"

namespace brenlow {
namespace {

using namespace status_value;

// A missing value, or one of another type, reads as 0 or empty: an older or newer service may
// not write every value.
DWORD RegNumber(HKEY key, const char* name, bool* present = nullptr) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  const bool found =
      RegGetValueA(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
  if (present) *present = found;
  return found ? value : 0;
}

uint64_t RegTime(HKEY key, const char* name) {
  uint64_t value = 0;
  DWORD size = sizeof(value);
  return RegGetValueA(key, nullptr, name, RRF_RT_REG_QWORD, nullptr, &value, &size) == ERROR_SUCCESS
             ? value
             : 0;
}

std::string RegText(HKEY key, const char* name) {
  char value[256];
  DWORD size = sizeof(value);
  if (RegGetValueA(key, nullptr, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return {};
  return std::string(value);
}

void ReadScriptValues(HKEY script, TScriptStatus& s) {
  s.Period = RegNumber(script, kPeriod);
  s.Runs = RegNumber(script, kRuns);
  s.FailuresInARow = RegNumber(script, kFailuresInARow);
  s.Running = RegNumber(script, kRunning) != 0;
  s.WaitingFor = RegNumber(script, kWaitingFor);
  s.LastStart = RegTime(script, kLastStart);
  s.LastDuration = RegNumber(script, kLastDuration);
  s.LastExitCode = RegNumber(script, kLastExitCode, &s.HasExitCode);
  s.LastError = RegNumber(script, kLastError);
  s.LastFailedStep = RegNumber(script, kLastFailedStep);
}

void ReadCompanionValues(HKEY companion, TCompanionStatus& c) {
  c.ProcessId = RegNumber(companion, kProcessId);
  c.Starts = RegNumber(companion, kStarts);
  c.Kills = RegNumber(companion, kKills);
  c.LastProbe = RegTime(companion, kLastProbe);
  c.LastProbeResult = RegText(companion, kLastProbeResult);
  c.LastGoodProbe = RegTime(companion, kLastGoodProbe);
  c.ProbeFailures = RegNumber(companion, kProbeFailures);
}

// How long a reader tries for a moment between two changes of one subkey.
constexpr std::chrono::milliseconds kRereadBound{100};

// A worker may be writing a change of the subkey right now: reads until the values come from one
// moment between two changes (a change takes microseconds, and changes are milliseconds apart).
// False when no such moment came within kRereadBound: the subkey then shows as without status
// rather than in a state that never was. The bound is a time, not a count of pauses: a pause of
// one millisecond lasts a timer tick (about 15.6 ms) on Windows.
template <typename ReadValues>
bool ReadConsistently(HKEY key, const std::function<void(DWORD)>& pause, ReadValues read) {
  const auto deadline = std::chrono::steady_clock::now() + kRereadBound;
  for (int attempt = 0;; ++attempt) {
    bool counted = false;
    const DWORD before = RegNumber(key, kWriteCount, &counted);
    read(key);
    if (!counted) return true;  // a service that does not count its writes
    if (before % 2 == 0 && RegNumber(key, kWriteCount) == before) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pause(attempt < 10 ? 0 : 1);
  }
}

UniqueRegKey OpenForReading(HKEY parent, const std::string& path) {
  UniqueRegKey key;
  if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return {};
  return key;
}

}  // namespace

TServiceState ServiceStateOf(const std::string& serviceName, const TServiceFacts& facts) {
  TServiceState state;
  state.Name = serviceName;
  state.QueryError = facts.OpenError != 0 ? facts.OpenError : facts.StatusError;
  if (state.QueryError != 0) return state;
  state.State = facts.State;
  state.ProcessId = facts.ProcessId;
  state.ProcessCreated = facts.ProcessCreated;
  return state;
}

TAgentStatus ReadAgentStatus(HKEY root, const std::string& path,
                             const std::vector<std::string>& scripts,
                             const std::function<void(DWORD)>& pause) {
  TAgentStatus status;
  const UniqueRegKey key = OpenForReading(root, path);
  if (!key) return status;
  status.Present = true;
  status.ProcessId = RegNumber(key.get(), kProcessId);
  status.Started = RegTime(key.get(), kStarted);
  status.ProcessCreated = RegTime(key.get(), kProcessCreated);
  status.StartCheckFailures =
      RegistryStrings(key.get(), nullptr, kStartCheckFailures, &status.StartChecked);

  if (const UniqueRegKey companion = OpenForReading(key.get(), kCompanionSubkey))
    status.Companion.Present = ReadConsistently(
        companion.get(), pause, [&](HKEY k) { ReadCompanionValues(k, status.Companion); });

  for (const std::string& name : scripts) {
    TScriptStatus s;
    s.Script = name;
    if (const UniqueRegKey script = OpenForReading(key.get(), name))
      s.Present = ReadConsistently(script.get(), pause, [&](HKEY k) { ReadScriptValues(k, s); });
    status.Scripts.push_back(std::move(s));
  }
  return status;
}

int RunStatusCommand(const std::string& serviceName, const std::vector<std::string>& scripts,
                     bool json, const std::function<void(const std::string&)>& write) {
  TServiceState service;
  service.Name = serviceName;
  TAgentStatus status;
  TStatusReport report;
  uint64_t now = 0;
  try {
    // A restart between the two reads shows as a status written by another process: unknown.
    service = ServiceStateOf(serviceName, ReadServiceFacts(serviceName));
    status = ReadAgentStatus(HKEY_LOCAL_MACHINE, kStatusKeyPath, scripts);
    now = FileTimeNow();
    report = MakeStatusReport(service, status, now);
  } catch (const std::exception& e) {
    now = FileTimeNow();
    // Out of memory, say: a monitoring check must read "unknown", not the host's exit code 1.
    report = TStatusReport();
    report.Reasons.push_back(std::string("the status could not be read: ") + e.what());
    report.Text = "UNKNOWN: " + report.Reasons[0] + "\r\n";
  }
  write(json ? StatusJson(service, status, report, now) : report.Text);
  return report.Result;
}

}  // namespace brenlow
