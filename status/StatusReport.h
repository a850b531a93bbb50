#pragma once
// The --status report: what the service manager says of the service and what its status key
// holds, as plain values, turned into plain words and the exit code of a monitoring check.
// No Windows call here: the command gathers the values, these functions decide.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace brenlow {

// One script's subkey.
struct TScriptStatus {
  std::string Script;
  bool Present = false;  // the subkey exists
  DWORD Period = 0;      // ms
  DWORD Runs = 0;
  DWORD FailuresInARow = 0;
  bool Running = false;
  DWORD WaitingFor = 0;    // a process of a run the previous start left under way
  uint64_t LastStart = 0;  // FILETIME; 0 before the first run
  DWORD LastDuration = 0;  // ms
  bool HasExitCode = false;
  DWORD LastExitCode = 0;
  DWORD LastError = 0;
  DWORD LastFailedStep = 0;  // as TRunEnd::TFailedStep; 0 from a service that does not write it
};

// The companion's subkey.
struct TCompanionStatus {
  bool Present = false;
  DWORD ProcessId = 0;
  DWORD Starts = 0;
  DWORD Kills = 0;
  uint64_t LastProbe = 0;  // FILETIME; 0 before the first probe
  std::string LastProbeResult;
  uint64_t LastGoodProbe = 0;
  DWORD ProbeFailures = 0;
};

// The whole key. Scripts come in the order the command asked for them.
struct TAgentStatus {
  bool Present = false;  // the key exists and could be read
  DWORD ProcessId = 0;
  uint64_t Started = 0;  // FILETIME
  // When the process that wrote the key was created (FILETIME); 0 when an older service wrote it.
  uint64_t ProcessCreated = 0;
  // The checks made at the start have ended, with these failures (none when all passed).
  bool StartChecked = false;
  std::vector<std::string> StartCheckFailures;
  TCompanionStatus Companion;
  std::vector<TScriptStatus> Scripts;
};

// What the service manager says.
struct TServiceState {
  std::string Name;
  DWORD QueryError = 0;  // 0, ERROR_SERVICE_DOES_NOT_EXIST, or why it could not be asked
  DWORD State = 0;       // SERVICE_RUNNING, ...
  DWORD ProcessId = 0;
  uint64_t ProcessCreated = 0;  // FILETIME of the service process's creation; 0 when unknown
};

// The exit codes of monitoring checks.
enum TCheckResult { crOk = 0, crWarning = 1, crCritical = 2, crUnknown = 3 };

// A run under way longer than this many periods, and at least kLongRunFloorMs, is a warning.
inline constexpr uint64_t kLongRunPeriods = 10;
inline constexpr uint64_t kLongRunFloorMs = 10 * 60 * 1000;
// Probes are failing when no good reply has come for this long (counted from the service's
// start when there has been none): ten failed probes, the kill and the first probes of a fresh
// companion fit well inside it.
inline constexpr uint64_t kProbeSilenceMs = 60 * 1000;

// A script with no run under way whose next run has been due for longer than its period and
// this is overdue: its runner has ended, or the service's process hangs.
inline constexpr uint64_t kOverdueSlackMs = 60 * 1000;

struct TStatusReport {
  TCheckResult Result = crUnknown;
  // Why the verdict is not OK, in the order the first line gives them; empty when it is OK.
  std::vector<std::string> Reasons;
  // Whether the report shows the status key: the service works and the key is its own.
  bool Live = false;
  std::string Text;  // lines ended with CR LF
};

// A script's next run: when it is due (FILETIME; 0 while a run is under way, before the first run
// has ended, or without status), and how long past due it is when it is overdue (0 otherwise).
struct TNextRun {
  uint64_t Due = 0;
  uint64_t OverdueMs = 0;
};
TNextRun NextRunOf(const TScriptStatus& script, uint64_t now);

// "OK", "WARNING", "CRITICAL" or "UNKNOWN".
const char* CheckResultWord(TCheckResult result);

// Whether the key was written by the service process the service manager runs now, rather
// than left by an earlier one that ended without removing it.
bool StatusIsLive(const TServiceState& service, const TAgentStatus& status);

// The report at time now (FILETIME): a first line with the verdict and its reasons, the
// service, then (while it runs) what the checks at its start failed, the companion and one line
// per script.
TStatusReport MakeStatusReport(const TServiceState& service, const TAgentStatus& status,
                               uint64_t now);

// Spans in plain words: "0.4 s" below ten seconds when tenths are asked for, else "12 s",
// "4 min 5 s", "3 h 12 min", "2 d 3 h".
std::string SpanText(uint64_t ms, bool tenths = false);
// A count with its thousands set apart by blanks: "1 214".
std::string CountText(uint64_t count);

}  // namespace brenlow
