#pragma once
// The companion health monitor: it probes qrx_proxy.exe over its named pipe every few seconds
// and, once ten probes since the last good answer have failed, kills the companion (and its
// debug build) so that the launcher starts a fresh one. The unit also holds AgentEventLog, the
// process-wide event log writer through which the agent's workers report.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/CompanionIdentity.h"
#include "agent/WorkerThread.h"
#include "common/ExecutableDirectory.h"
#include "eventlog/EventLog.h"
#include "status/StatusBoard.h"
#include "status/StatusRecords.h"

namespace brenlow {

// The event source every agent report is written under.
inline constexpr const char* kAgentEventSource = "Tevrin Inner Service";

// The process-wide writer, source "Tevrin Inner Service". It lives until the process ends and
// is never destroyed, so a worker may write to it at any moment; it stays inactive until the
// first entry.
TEventLog& AgentEventLog();

// Creates AgentEventLog and registers its source with the running executable as message file.
// Called on the main thread before anything else, whatever the command line says; a failed
// registration is silent.
void CreateAgentEventLog();

// --- Probe and counter ---------------------------------------------------------------------------

// The pipe the companion serves.
inline constexpr const char* ProbePipeName = "\\\\.\\pipe\\tevrin_qrx_proxy_pipe";

// The image name the launcher looks for and starts.
inline constexpr const char* kCompanionImageName = "qrx_proxy.exe";

// The companion's full path in a directory, unquoted: "<directory>\qrx_proxy.exe", with no
// second separator after a drive root such as "C:\".
std::string CompanionImagePath(const std::string& directory);

// The Warning written before a kill, by the path on which the counter reached the threshold.
inline constexpr const char* kNoPipeWarning = "Can not pipe to qrx_proxy. Drop qrx_proxy process.";
inline constexpr const char* kNoCoordinatorWarning =
    "Qrx proxy can not connect to coordinator. Drop qrx_proxy process.";

// What one probe came to.
enum TProbeOutcome {
  poWaitFailed,  // no instance of the pipe became free within the wait
  poOpenFailed,  // the pipe could not be opened
  poSendFailed,  // the request byte could not be sent (the write failed; one that ran out of
                 // time is a bad reply)
  poGoodReply,   // the companion answered 1
  poBadReply,    // it answered anything else, nothing, or nothing in time (or never took the
                 // request)
  poRaised,      // an error was raised while probing or killing
  // The pipe's server is not the companion of the program's own folder, or cannot be told:
  // nothing is sent to it and no reply is believed.
  poForeignServer,
};

// The outcome in the words of the status board's LastProbeResult: "good reply", "bad reply",
// "no pipe", "open failed", "send failed", "error", "foreign server".
const char* ProbeOutcomeText(TProbeOutcome outcome);

// The pause that ends a cycle, after the kill's own pause when there was a kill.
enum TProbePause {
  ppNone,        // after a kill that followed a failed wait: the kill's own pause only
  ppFailedWait,  // after a failed wait below the threshold
  ppFailedOpen,  // after a failed open or send
  ppProbe,       // after every completed probe
};

// How the monitor goes on after a probe.
struct TProbeDecision {
  int32_t FailCount = 0;          // the counter with this outcome counted (a kill then resets it)
  bool Kill = false;              // the threshold is reached: warn, kill, pause, reset to 0
  const char* Warning = nullptr;  // the Warning written before the kill; null without a kill
  TProbePause Pause = ppNone;
};

// The counter's rules. A failed wait, a bad reply, a raised error and a foreign server add one;
// a reply of 1 resets it; a failed open or send leaves it alone. Once it is above 9 the
// companion is killed, with the Warning of the path that got it there (a foreign server's is the
// one of a missing pipe: the companion's own pipe could not be reached). The kill is by image
// name, so it ends a foreign server of that name too.
TProbeDecision DecideProbe(int32_t failCount, TProbeOutcome outcome);

// The pipe calls of a probe. The monitor makes them through this interface so that tests can
// watch them and fail the ones a real pipe cannot be made to fail; the program uses
// SystemProbePipeApi(), which calls kernel32. A failing call leaves its code in GetLastError().
class ProbePipeApi {
 public:
  virtual BOOL WaitNamedPipeA(const char* name, DWORD timeoutMs) = 0;
  virtual HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode,
                             SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags,
                             HANDLE templateFile) = 0;
  // An overlapped write or read on a pipe opened with FILE_FLAG_OVERLAPPED that waits at most
  // timeoutMs for its end. One still under way then is cancelled, and has ended, before the
  // call returns; it fails with ERROR_TIMEOUT.
  virtual BOOL WriteFile(HANDLE pipe, const void* data, DWORD size, DWORD* written,
                         DWORD timeoutMs) = 0;
  virtual BOOL ReadFile(HANDLE pipe, void* data, DWORD size, DWORD* read, DWORD timeoutMs) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  // The id of the process that serves the pipe, by GetNamedPipeServerProcessId.
  virtual BOOL GetNamedPipeServerProcessId(HANDLE pipe, ULONG* processId) = 0;

 protected:
  // Nobody deletes an implementation through this interface; the system binding lives forever.
  ~ProbePipeApi() = default;
};

// The binding to the real functions. It is never destroyed.
ProbePipeApi& SystemProbePipeApi();

// How long a probe waits for a free instance of the pipe, and how long the request's write and
// the reply's read may take together.
inline constexpr DWORD kProbeWaitTimeoutMs = 5000;
inline constexpr DWORD kProbeExchangeTimeoutMs = 5000;

// What one exchange with the companion's pipe came to.
struct TProbeExchange {
  TProbeOutcome Outcome = poWaitFailed;  // never poRaised: an error raised passes to the caller
  // The system error of the call that failed: the wait, the open, the server's identification,
  // the send, or the reply's read (ERROR_TIMEOUT for a request or reply that ran out of time);
  // 0 when none failed.
  DWORD Error = 0;
  DWORD ServerProcessId = 0;  // the pipe's server, once the pipe is open (0: not known)
  // What the server was judged to be, its executable's full path (empty: not known or not read)
  // and the account it runs as (read only for the companion's own file).
  TCompanionVerdict ServerVerdict = cvUnknown;
  std::string ServerPath;
  TProcessAccount ServerAccount;
  bool Replied = false;     // a reply byte came
  unsigned char Reply = 0;  // that byte
  double ElapsedMs = 0;     // from the start of the wait to the end of the exchange
};

// Judges the process that serves the pipe, by its id.
using TServerJudge = std::function<TProcessJudgement(DWORD processId)>;

// One probe: wait up to waitTimeoutMs for a free instance of ProbePipeName, open it, have
// judgeServer confirm that its server is the companion, send the byte 0x00 and read one byte
// back, the write and the read sharing exchangeTimeoutMs; the handle is closed on every way out.
// Any local program may create the pipe first: one that is not the companion, or cannot be told,
// gets nothing (poForeignServer). Reports nothing. The monitor and the administrator's check
// both use it, so both see the companion the same way.
TProbeExchange ExchangeProbe(ProbePipeApi& api, DWORD waitTimeoutMs, DWORD exchangeTimeoutMs,
                             const TServerJudge& judgeServer);

// Runs a program with its arguments and waits for its end.
using TCommandRunner =
    std::function<void(const std::string& executable, const std::vector<std::string>& arguments)>;

// ExecuteAndDrain in its argument form, with its outcome dropped.
void RunCommandAndForget(const std::string& executable, const std::vector<std::string>& arguments);

// What the monitor works with. The defaults are the product's; tests shorten the waits and
// replace the collaborators.
struct TProxyCheckerSettings {
  DWORD WaitTimeoutMs = kProbeWaitTimeoutMs;
  DWORD ExchangeTimeoutMs = kProbeExchangeTimeoutMs;
  // Pause after a failed wait below the threshold. A missing pipe fails the wait at once: the
  // pause spreads the ten failed waits over about ten seconds, which is how long a companion
  // has after its start to open its pipe before it is killed, and keeps the log calm.
  DWORD FailedWaitPauseMs = 1000;
  DWORD FailedOpenPauseMs = 1000;  // pause after a failed open or send
  DWORD KillPauseMs = 3000;        // pause after each kill
  DWORD ProbePauseMs = 5000;       // pause after every completed probe
  TEventLog* Log = &AgentEventLog();
  ProbePipeApi* Pipe = &SystemProbePipeApi();
  TCommandRunner RunCommand = RunCommandAndForget;  // runs the task killer
  std::function<void(DWORD)> PauseFor = ::Sleep;    // waits out the pauses above
  TStatusBoard* Status = &ServiceStatusBoard();     // where probes and kills are recorded
  // The companion's full path. Besides the process the launcher holds, only that file, running
  // as the service itself runs, is trusted to serve the pipe.
  std::function<std::string()> TrustedServer = [] {
    return CompanionImagePath(ExecutableDirectory());
  };
  // Where the launcher holds the companion it waits on: a server with its process id is the
  // companion without further ado.
  const TCompanionProcess* Companion = &ServiceCompanion();
  // Judges a server the launcher does not hold against the trusted path.
  std::function<TProcessJudgement(DWORD processId, const std::string& trusted)> JudgeServer =
      JudgeAsCompanion;
};

// The companion health monitor. Its cycle: wait for the pipe, open it, send 0x00, read one byte
// (1 is healthy), close; count the outcome; kill at the threshold; pause. Every failure is
// reported and handled inside the cycle; none ends the thread. Nobody frees the monitor; it
// runs until the process ends.
class TProxyCheckerThread : public TWorkerThread {
 public:
  // Creates a monitor and starts its thread at once; the first probe comes without a delay.
  static TProxyCheckerThread* Create(TProxyCheckerSettings settings = {});

  // Ends every qrx_proxy.exe and then every qrx_proxy_debug.exe, each with the processes it
  // started, by running cmd ""/C taskkill /im <image> /f /t through run, one after the other.
  // Reports nothing, whatever the task killer finds.
  static void KillCompanion(const TCommandRunner& run = RunCommandAndForget);

  // Failed probes since the last good reply or the last kill.
  int32_t FailCount() const { return FailCount_.load(std::memory_order_relaxed); }

 protected:
  explicit TProxyCheckerThread(TProxyCheckerSettings settings);
  void Execute() override;

  // One cycle: a probe, its counting, a kill when one is due, and the cycle's pause.
  void RunCycle();

 private:
  TProbeOutcome Probe();
  void Apply(TProbeOutcome outcome, const TProbeDecision& decision);
  void Pause(TProbePause pause);

  const TProxyCheckerSettings settings_;
  TCompanionRecord record_;
  // Written by the monitor's thread alone; atomic only so that tests may read it.
  std::atomic<int32_t> FailCount_{0};
};

}  // namespace brenlow
