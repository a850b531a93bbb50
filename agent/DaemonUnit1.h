#pragma once
// The agent's daemon object: the start hook that reads the configuration and starts the
// workers, the stop hook that asks the script runners to stop, the periodic runner that runs
// one script again and again, and the companion launcher that keeps qrx_proxy.exe running.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/CompanionIdentity.h"
#include "agent/ExecuteAndCollect.h"
#include "agent/QRXProxyCheckerUnit.h"
#include "agent/RunRecord.h"
#include "agent/WorkerThread.h"
#include "common/ExecutableDirectory.h"
#include "common/UniqueHandle.h"
#include "config/AgentSettings.h"
#include "service/Daemon.h"
#include "status/StatusBoard.h"
#include "status/StatusRecords.h"

namespace brenlow {

// One script of the schedule: its file below "<web root>\scripts\" and its period.
struct TScriptScheduleRow {
  const char* ScriptFile;
  int32_t Period;  // milliseconds
};

// The twelve scripts, in the order in which the start hook creates their runners.
extern const std::array<TScriptScheduleRow, 12> ScriptSchedule;

// The command line of one script: "<php>" "<web root>\scripts\<script>", every piece verbatim.
std::string ScriptCommandLine(const std::string& phpExePath, const std::string& webRootPath,
                              const std::string& scriptFile);

// The range a runner's first delay is drawn from: lo = ceiling(period / 100) up to, not
// including, hi = ceiling(period / 10).
struct TFirstDelayRange {
  int32_t lo;
  int32_t hi;
};
TFirstDelayRange FirstDelayRange(int32_t period);

// A first delay drawn uniformly from FirstDelayRange(period); lo when the range is empty.
// Safe to call from several threads at once.
int32_t DrawFirstDelay(int32_t period);

// How a runner turns its period into waits, how long a run may last, where and under which name
// its runs are recorded and where it reports, and how long a stop waits for runs with a limit.
// The defaults are the product's; tests shorten the waits.
struct TRunnerTimings {
  // The wait before the first run.
  std::function<int32_t(int32_t period)> FirstDelay = DrawFirstDelay;
  // The pause after each run, measured from the run's end.
  std::function<int32_t(int32_t period)> Pause = [](int32_t period) { return period; };
  // The longest a run may last, in milliseconds; 0 (or less) means no limit. A run that reaches
  // it is ended together with every process it started, and a Warning says so.
  int32_t TimeLimitMs = 0;
  // The name the runs are recorded and reported under: the script's file name, as the schedule
  // gives it ("task.upstream.sync.php"). The start hook sets it.
  std::string Script;
  // Where each run's start and end are recorded (nothing is while the board is not open).
  TStatusBoard* Status = &ServiceStatusBoard();
  // Where a script that keeps failing, and its recovery, are reported.
  TEventLog* Log = &AgentEventLog();
  // Where the runs under way are recorded for the next start, and reached by the stop hook.
  TRunRecord* Runs = &ServiceRunRecord();
  // A run of the script that an earlier process of the service left under way: the first run
  // waits for it to end (with a limit, ends it at the limit counted from its own start). The
  // start hook sets it.
  std::shared_ptr<TLeftRun> LeftRun;
  // With a time limit, the longest a stop waits for the runs under way to end by themselves
  // before it ends them.
  DWORD StopWaitMs = 10000;
};

// The ScriptTimeLimit setting (whole seconds) as a run's limit in milliseconds: 0, no limit, for
// an empty text, anything but an optional sign and digits, 0 and a negative number; a number of
// seconds too large for 32-bit milliseconds gives the largest limit there is (about 24 days).
int32_t ScriptTimeLimitFromSetting(const std::string& setting);

// How one run of a script is made: with its time limit (0, none) as the limit of its job.
TRunOptions ScriptRunOptions(int32_t timeLimitMs);

// A periodic script runner: after its first delay it runs its command line, pauses for its
// period and, unless a stop has been requested by then, runs it again. It checks the stop flag
// only after each pause, so a stop lets the current delay, run and pause finish. It records
// every run under the script's file name on the status board. It releases itself when it ends;
// hold it through std::weak_ptr to reach it while it runs.
class TCustomThread : public TWorkerThread {
 public:
  // Creates a runner and starts its thread at once.
  static std::shared_ptr<TCustomThread> Create(int32_t period, std::string commandLine,
                                               TRunnerTimings timings = {});

  int32_t Period() const { return Period_; }
  const std::string& CommandLine() const { return CommandLine_; }
  int32_t TimeLimitMs() const { return timings_.TimeLimitMs; }
  const std::string& Script() const { return timings_.Script; }
  // The run it has under way, if any; it outlives the runner.
  TRunUnderWay& RunUnderWay() const { return run_; }

 protected:
  TCustomThread(int32_t period, std::string commandLine, TRunnerTimings timings);

  // Creates a runner of a derived class (its constructor takes the same three values) and
  // starts it.
  template <typename T>
  static std::shared_ptr<T> CreateAs(int32_t period, std::string commandLine,
                                     TRunnerTimings timings) {
    std::shared_ptr<T> runner(new T(period, std::move(commandLine), std::move(timings)));
    StartSelfReleasing(runner);
    return runner;
  }

  void Execute() override;

  // One run of the command line; its output is read and thrown away. A run that reaches the
  // time limit is ended with every process it started and reported with a Warning. Once a stop
  // has closed the run under way to new runs, nothing is run.
  virtual void RunOnce();

 private:
  // Waits for the run an earlier process left under way to end, or with a limit ends it there.
  void WaitForLeftRun();
  // The Warning of a run ended at its limit.
  void ReportLimitReached(bool ended, DWORD error);

  const int32_t Period_;
  const std::string CommandLine_;
  const TRunnerTimings timings_;
  TScriptRecord record_;
  TRunUnderWay& run_;
};

// --- Companion launcher ------------------------------------------------------------------------

// Whether a process entry's executable-file name stands for imageName: either the name's
// file-name part (what follows its last "\", "/" or ":") or the whole name equals imageName.
// Only the ASCII letters are compared without case; every other byte must be equal.
bool ImageNameMatches(std::string_view entryName, std::string_view imageName);

// The companion's path in a directory, quoted for ShellExecuteA: "<directory>\qrx_proxy.exe".
// A drive root keeps its own separator, so "C:\" gives "C:\\qrx_proxy.exe".
std::string CompanionPath(const std::string& directory);

// How the launcher asks the shell to start the companion at path: no owner window, the file's
// default verb, no parameters, no working directory (the companion inherits the service's),
// hidden; the process handle kept so its end can be waited for; no error dialog; no zone check
// (a companion copied from a download carries the mark of the web, and the attachment check
// could wait for an answer on a desktop nobody sees); and a start that is over when the call
// returns (the launcher's thread has no message loop). path must outlive the record.
SHELLEXECUTEINFOA CompanionStartInfo(const std::string& path);

// Why the shell refused a start: the last error, read right after the call, or else the
// shell's result code in info.
DWORD ShellExecuteError(const SHELLEXECUTEINFOA& info);

// A process found running, opened so that its end can be waited for and it can be judged; empty
// when it cannot be opened.
UniqueHandle OpenProcessForWait(DWORD processId);

// What the launcher works with. The defaults are the product's; tests change them.
struct TRunQRXProxySettings {
  // The directory the companion lies in.
  std::function<std::string()> Directory = ExecutableDirectory;
  // The pause after a test that found no companion to wait on. Tests of the process list are
  // also never closer together than this, so a companion that ends at once after each start is
  // started at most once per pause.
  DWORD CycleSleepMs = 1000;
  // Where each start is reported.
  TEventLog* Log = &AgentEventLog();
  // Opens a process named qrx_proxy.exe found by its id so that it can be judged and its end
  // waited for; an empty handle when it cannot be opened (it has ended in between, or access is
  // denied).
  std::function<UniqueHandle(DWORD processId)> OpenForWait = OpenProcessForWait;
  // How the executable and account of a process found running are read.
  TProcessFacts Facts;
  // Asks the shell to start the companion; false when it did not, with the reason in
  // GetLastError() (or info.hInstApp).
  std::function<BOOL(SHELLEXECUTEINFOA& info)> ShellExecuteEx = [](SHELLEXECUTEINFOA& info) {
    return ::ShellExecuteExA(&info);
  };
  // Where the companion waited on and each start are recorded.
  TStatusBoard* Status = &ServiceStatusBoard();
  // Where the companion waited on is held, for the monitor to know its pipe's server by.
  TCompanionProcess* Companion = &ServiceCompanion();
};

// The companion launcher: it looks for the companion among the processes named qrx_proxy.exe
// and, when it is not there, reports "Starting qrx_proxy process." and starts the companion
// hidden from its directory; a start the shell refuses is reported as an Error with the system's
// code and text. Only the companion's own file (by identity) running as the service itself runs
// counts: anything else of that name, from any folder or of any user, is left alone and keeps
// nothing from being started.
// While a companion runs (one it found or one it started), it holds that process for the monitor,
// waits for it to end, waking for nothing else, and then looks again at once, so an idle host
// sees no process-list walks and no timer, and a killed companion is back within moments. A
// start that gives no process falls back to looking again after a cycle's pause. A companion
// that cannot be started is tried again by the next cycle. A stop request ends every wait at
// once; the companion stays.
// Nobody frees the launcher; it runs until the process ends.
class TRunQRXProxyThread : public TWorkerThread {
 public:
  // Creates a launcher and starts its thread at once; the first test comes without a delay.
  static TRunQRXProxyThread* Create(TRunQRXProxySettings settings = {});

  // The ids of every running process that has imageName by ImageNameMatches, in the order of
  // the process list; empty when the list cannot be had.
  static std::vector<DWORD> ProcessIdsOf(const std::string& imageName);

 protected:
  explicit TRunQRXProxyThread(TRunQRXProxySettings settings);
  void Execute() override;
  void OnStopRequested() noexcept override;

 private:
  // Waits until handle (if any) is signalled, timeoutMs has passed or a stop is requested; false
  // on a stop. Without a handle it is a pause that a stop cuts short.
  bool WaitUnlessStopped(HANDLE handle, DWORD timeoutMs) const;

  // One test of the process list, with the start when no companion runs. Returns the process
  // to wait for: the first process found that the judge calls the companion, or the one just
  // started; empty when there is none.
  UniqueHandle TestAndStart();

  const TRunQRXProxySettings settings_;
  TCompanionRecord record_;
  // Set by a stop request (manual reset). Should it not have been made, the waits look at the
  // stop flag once a cycle's pause instead.
  const UniqueHandle stop_;
};

// --- Daemon object -----------------------------------------------------------------------------

// Steps 6 and 7 of the start hook: start the companion launcher, then the health monitor. The
// product starts the real workers; a test that calls the hook without wanting companions
// started or killed in its process replaces them.
struct TCompanionStarters {
  std::function<void()> StartLauncher = [] { TRunQRXProxyThread::Create(); };
  std::function<void()> StartMonitor = [] { TProxyCheckerThread::Create(); };
};

// The step of the start hook after the settings are read: the check of the settings just loaded,
// the interpreter, the scripts and the permissions, which reports what it finds wrong in one
// Warning. The program's entry hands in the product's check, which runs on a thread of its own so
// the start goes on at once; without one nothing is checked.
using TStartCheckStarter = std::function<void(const TAgentSettings& loaded)>;

// The service's daemon object. Its constructor binds OnStart to DataModuleStart and OnStop to
// DataModuleStop.
class TDaemon1 : public TDaemon {
 public:
  // status: the board the start hook opens afresh and the stop hook removes.
  explicit TDaemon1(TRunnerTimings runnerTimings = {}, TCompanionStarters companionStarters = {},
                    TStartCheckStarter startCheck = {},
                    TStatusBoard& status = ServiceStatusBoard());

  // Start hook: opens the status board, reads the configuration (the two paths and the scripts'
  // time limit), starts one runner per row of ScriptSchedule and then the companion's workers.
  // Leaves OK as it is. An unreadable configuration file throws before any worker starts.
  void DataModuleStart(TDaemon* Sender, bool& OK);
  // Stop hook: asks every runner that still runs to stop, removes the status, writes how many
  // entries the agent's writer left out for repeating. Without a time limit it returns at once;
  // with one it first waits for the runs under way to end, each at most until its limit and no
  // longer than the stop's wait, reporting stop pending meanwhile, then ends those still under
  // way and names them in one Information entry.
  void DataModuleStop(TDaemon* Sender, bool& OK);

  // Creates and starts one runner, with the time limit read by the last start, and appends it
  // to ScriptThreads. Its runs are recorded under script (the schedule's file name).
  void AddScriptThread(int32_t period, const std::string& commandLine,
                       const std::string& script = {});

  // Every runner ever created, in creation order. Entries are never removed; an entry expires
  // once its runner has ended and released itself.
  const std::vector<std::weak_ptr<TCustomThread>>& ScriptThreads() const { return ScriptThreads_; }
  const std::string& PhpExePath() const { return PhpExePath_; }
  const std::string& WebRootPath() const { return WebRootPath_; }
  int32_t ScriptTimeLimitMs() const { return ScriptTimeLimitMs_; }

 private:
  // The stop's wait for the runs under way, and their end, with a time limit.
  void EndRunsAtStop();

  std::vector<std::weak_ptr<TCustomThread>> ScriptThreads_;
  std::string PhpExePath_;
  std::string WebRootPath_;
  int32_t ScriptTimeLimitMs_ = 0;
  // What the previous process left under way, by script, until the runners take it.
  std::map<std::string, std::shared_ptr<TLeftRun>> leftRuns_;
  const TRunnerTimings runnerTimings_;
  const TCompanionStarters companionStarters_;
  const TStartCheckStarter startCheck_;
  TStatusBoard& status_;
};

}  // namespace brenlow
