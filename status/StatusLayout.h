#pragma once
// Where the running service keeps its live status, and the names and types of its values. This
// is the interface that --status and the administrators' own tools (PowerShell, monitoring) read:
// keep names and meanings stable.
//
// The key is volatile: it is gone after a reboot, made afresh at every start of the service and
// removed when the service stops. Times are REG_QWORD FILETIMEs (UTC, 100-ns units since 1601),
// which PowerShell turns into dates with [DateTime]::FromFileTimeUtc. A value that is missing
// counts as 0.

namespace brenlow {

// Below HKEY_LOCAL_MACHINE, in the 64-bit view.
inline constexpr const char* kStatusKeyPath = "SOFTWARE\\Tevrin\\Tevrin Agent\\Status";

// Who may do what with the key and everything below it: SYSTEM and Administrators everything,
// any signed-in account (monitoring agents and their service accounts among them) read. Not
// inherited from above, so nothing granted on the product's key reaches it.
inline constexpr const char* kStatusKeySddl = "D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KR;;;AU)";

// Failed runs in a row at which a script counts as failing: the event log gets a Warning, and
// --status says WARNING.
inline constexpr unsigned kFailingStreak = 5;

// The subkey of the companion; each script has a subkey named by its file (task.*.php).
inline constexpr const char* kCompanionSubkey = "Companion";

namespace status_value {

// On the key itself: the service process that keeps the status.
inline constexpr const char* kProcessId = "ProcessId";  // REG_DWORD
inline constexpr const char* kStarted = "Started";      // REG_QWORD, when the service started
// REG_QWORD, the service process's creation time as the system keeps it: with ProcessId, it tells
// this process from a later one that was given the same id.
inline constexpr const char* kProcessCreated = "ProcessCreated";
// REG_MULTI_SZ, written once the checks made at this start have ended: what they found FAIL in
// what the service reads and runs (who may change it, what is missing), one line each as
// brenlow.exe --check words it, without its "FAIL"; no line when nothing failed. Missing while
// the checks still run. --status says WARNING while it holds a line.
inline constexpr const char* kStartCheckFailures = "StartCheckFailures";
// What separates, in such a line, what was found from the command that closes it.
inline constexpr const char* kCloseItWith = "; close it with: ";

// On each script's subkey.
inline constexpr const char* kPeriod = "Period";                  // REG_DWORD, ms
inline constexpr const char* kRuns = "Runs";                      // REG_DWORD, runs ended
inline constexpr const char* kFailuresInARow = "FailuresInARow";  // REG_DWORD
inline constexpr const char* kRunning = "Running";      // REG_DWORD, 1 while a run is under way
inline constexpr const char* kLastStart = "LastStart";  // REG_QWORD, start of the latest run
inline constexpr const char* kLastDuration =
    "LastDuration";  // REG_DWORD, ms, of the last run ended
// REG_DWORD, of the last run ended; absent when that run could not be started or awaited.
inline constexpr const char* kLastExitCode = "LastExitCode";
// REG_DWORD: the system error when the last run could not be started, awaited or ended at its
// time limit, 0 otherwise.
inline constexpr const char* kLastError = "LastError";
// REG_DWORD: the step of the last run that failed: 0 none (it ended), 1 its start, 2 the wait for
// its end, 3 ending it at its time limit.
inline constexpr const char* kLastFailedStep = "LastFailedStep";
// REG_DWORD: odd while a run's start or end is being written to the subkey, even otherwise. A
// reader that finds it odd, or changed by the time it has read the values, reads again.
inline constexpr const char* kWriteCount = "WriteCount";
// REG_DWORD: the script's process of a run that the previous start left under way, which the
// first run waits for; 0 once it has ended.
inline constexpr const char* kWaitingFor = "WaitingFor";

// On the companion's subkey; ProcessId (REG_DWORD) is the companion the launcher waits on, 0 when
// there is none, and WriteCount is odd while a start, a probe or a kill is being written.
inline constexpr const char* kStarts = "Starts";                    // REG_DWORD
inline constexpr const char* kKills = "Kills";                      // REG_DWORD
inline constexpr const char* kLastProbe = "LastProbe";              // REG_QWORD
inline constexpr const char* kLastProbeResult = "LastProbeResult";  // REG_SZ, see the monitor
inline constexpr const char* kLastGoodProbe = "LastGoodProbe";      // REG_QWORD
inline constexpr const char* kProbeFailures = "ProbeFailures";      // REG_DWORD, the kill counter

}  // namespace status_value
}  // namespace brenlow
