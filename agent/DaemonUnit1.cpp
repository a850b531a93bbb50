#include "agent/DaemonUnit1.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>

#include "common/AsciiText.h"
#include "common/SystemError.h"
#include "common/UniqueHandle.h"
#include "config/IniFile.h"

namespace brenlow {
namespace {

int32_t CeilingDivide(int32_t value, int32_t divisor) {
  const int64_t v = value;
  return static_cast<int32_t>(v >= 0 ? (v + divisor - 1) / divisor : -(-v / divisor));
}

// A negative wait would turn into a wait of weeks once passed to Sleep.
void SleepMs(int32_t ms) { Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0); }

// One engine for every runner, seeded once, behind a lock: the runners draw at the same moment.
class FirstDelaySource {
 public:
  FirstDelaySource() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    std::random_device device;
    std::seed_seq seed{device(), static_cast<unsigned>(counter.LowPart),
                       static_cast<unsigned>(counter.HighPart),
                       static_cast<unsigned>(GetCurrentProcessId())};
    engine_.seed(seed);
  }

  int32_t Draw(int32_t count) {
    std::uniform_int_distribution<int32_t> distribution(0, count - 1);
    const std::lock_guard<std::mutex> lock(mutex_);
    return distribution(engine_);
  }

 private:
  std::mutex mutex_;
  std::mt19937 engine_;
};

}  // namespace

const std::array<TScriptScheduleRow, 12> ScriptSchedule = {{
    {"task.upstream.sync.php", 3000},
    {"task.listener.scan.php", 60000},
    {"task.reach.probe.php", 3000},
    {"task.host.inventory.php", 60000},
    {"task.unix.facts.php", 60000},
    {"task.signin.audit.php", 300000},
    {"task.web.uptime.php", 60000},
    {"task.directory.accounts.php", 600000},
    {"task.web.names.php", 3600000},
    {"task.rule.actions.php", 60000},
    {"task.integrity.scan.php", 60000},
    {"task.netdev.poll.php", 60000},
}};

std::string ScriptCommandLine(const std::string& phpExePath, const std::string& webRootPath,
                              const std::string& scriptFile) {
  return "\"" + phpExePath + "\" \"" + webRootPath + "\\scripts\\" + scriptFile + "\"";
}

int32_t ScriptTimeLimitFromSetting(const std::string& setting) {
  constexpr int64_t kLargestSeconds = INT32_MAX / 1000;
  size_t at = setting.empty() || (setting[0] != '+' && setting[0] != '-') ? 0 : 1;
  if (at == setting.size()) return 0;
  int64_t seconds = 0;
  for (; at < setting.size(); ++at) {
    if (setting[at] < '0' || setting[at] > '9') return 0;
    seconds = std::min(seconds * 10 + (setting[at] - '0'), kLargestSeconds + 1);
  }
  if (setting[0] == '-') return 0;
  return static_cast<int32_t>(std::min(seconds, kLargestSeconds) * 1000);
}

TRunOptions ScriptRunOptions(int32_t timeLimitMs) {
  return TRunOptions{.TimeLimitMs = static_cast<DWORD>(std::max(timeLimitMs, 0))};
}

TFirstDelayRange FirstDelayRange(int32_t period) {
  return {CeilingDivide(period, 100), CeilingDivide(period, 10)};
}

int32_t DrawFirstDelay(int32_t period) {
  static FirstDelaySource source;
  const TFirstDelayRange range = FirstDelayRange(period);
  if (range.hi <= range.lo) return range.lo;
  return range.lo + source.Draw(range.hi - range.lo);
}

// --- TCustomThread -----------------------------------------------------------------------------

TCustomThread::TCustomThread(int32_t period, std::string commandLine, TRunnerTimings timings)
    : Period_(period),
      CommandLine_(std::move(commandLine)),
      timings_(std::move(timings)),
      record_(*timings_.Status, *timings_.Log, timings_.Script, Period_),
      run_(timings_.Runs->NewRun(timings_.Script)) {
  // Under way from the start, so that a stop that comes before the runner's thread runs finds it.
  if (timings_.LeftRun) run_.Adopt(*timings_.LeftRun);
}

std::shared_ptr<TCustomThread> TCustomThread::Create(int32_t period, std::string commandLine,
                                                     TRunnerTimings timings) {
  return CreateAs<TCustomThread>(period, std::move(commandLine), std::move(timings));
}

void TCustomThread::Execute() {
  if (timings_.LeftRun) WaitForLeftRun();
  SleepMs(timings_.FirstDelay(Period_));
  for (;;) {
    try {
      RunOnce();
    } catch (...) {
      // A run that fails in any way costs only that run; the schedule goes on.
    }
    SleepMs(timings_.Pause(Period_));
    if (StopRequested()) return;
  }
}

namespace {

// A run's outcome as the status records it: which step failed, if any.
TRunEnd RunEndOf(const TChildOutcome& outcome) {
  TRunEnd end;
  end.TimedOut = outcome.TimedOut;
  end.ExitCode = outcome.ExitCode;
  end.Error = outcome.Error;
  if (!outcome.Started)
    end.FailedStep = TRunEnd::fsStart;
  else if (!outcome.Ended)
    end.FailedStep = outcome.TimedOut ? TRunEnd::fsEndAtLimit : TRunEnd::fsWait;
  return end;
}

}  // namespace

void TCustomThread::ReportLimitReached(bool ended, DWORD error) {
  timings_.Log->LogWarning("Script " + timings_.Script + " ran longer than its limit of " +
                           std::to_string(TimeLimitMs() / 1000) + " s and " +
                           (ended ? std::string("was ended with the processes it started")
                                  : "could not be ended: " + ErrorText(error)) +
                           ".");
}

void TCustomThread::RunOnce() {
  if (run_.Closed()) return;
  // What the script prints is of no use here, and keeping it would let a script stuck printing
  // grow the service without bound.
  record_.RunStarting();
  const TChildOutcome outcome =
      ExecuteAndDrain(CommandLine_, run_.Options(ScriptRunOptions(TimeLimitMs())));
  // A run ended by the stop is reported by the stop, with the others; the status is gone.
  if (run_.EndedAtStop()) return;
  if (outcome.TimedOut) ReportLimitReached(outcome.Ended, outcome.Error);
  record_.RunEnded(RunEndOf(outcome));
}

void TCustomThread::WaitForLeftRun() {
  TLeftRun& left = *timings_.LeftRun;
  if (left.ScriptProcess) {
    record_.WaitingFor(left.Marks.front().Id);
    DWORD wait = INFINITE;
    if (TimeLimitMs() > 0) {
      // Counted from the run's own start, not from this start of the service.
      const uint64_t deadline =
          left.Marks.front().Created + static_cast<uint64_t>(TimeLimitMs()) * 10000;
      const uint64_t now = FileTimeNow();
      wait = now >= deadline ? 0 : static_cast<DWORD>((deadline - now) / 10000);
    }
    if (WaitForSingleObject(left.ScriptProcess.get(), wait) == WAIT_TIMEOUT &&
        !run_.EndedAtStop()) {
      const bool ended = TerminateProcess(left.ScriptProcess.get(), kTimeLimitExitCode) != FALSE;
      const DWORD error = GetLastError();
      WaitForSingleObject(left.ScriptProcess.get(), 10000);
      ReportLimitReached(ended, error);
    }
    record_.WaitingFor(0);
  }
  // With a limit, what the run started goes with it, as it would have in the process that
  // started it.
  if (TimeLimitMs() > 0)
    for (const UniqueHandle& other : left.Others) TerminateProcess(other.get(), kTimeLimitExitCode);
  run_.Ended();
}

// --- TRunQRXProxyThread -----------------------------------------------------------------------

bool ImageNameMatches(std::string_view entryName, std::string_view imageName) {
  const size_t last = entryName.find_last_of("\\/:");
  const std::string_view fileName =
      last == std::string_view::npos ? entryName : entryName.substr(last + 1);
  // ASCII letters only: the names are compared byte for byte otherwise, whatever the code page,
  // so two names that a locale might call equal still differ here.
  return SameTextAscii(fileName, imageName) || SameTextAscii(entryName, imageName);
}

std::string CompanionPath(const std::string& directory) {
  return "\"" + directory + "\\" + kCompanionImageName + "\"";
}

SHELLEXECUTEINFOA CompanionStartInfo(const std::string& path) {
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof(info);
  info.fMask =
      SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOZONECHECKS | SEE_MASK_NOASYNC;
  info.lpFile = path.c_str();
  info.nShow = SW_HIDE;
  return info;
}

DWORD ShellExecuteError(const SHELLEXECUTEINFOA& info) {
  // The shell sets the last error on failure; should it not, its result code (SE_ERR_*, which
  // for the usual causes equals the system's code) is what is left.
  const DWORD error = GetLastError();
  if (error != 0) return error;
  const auto result = reinterpret_cast<INT_PTR>(info.hInstApp);
  return result > 0 && result <= 32 ? static_cast<DWORD>(result) : ERROR_GEN_FAILURE;
}

TRunQRXProxyThread::TRunQRXProxyThread(TRunQRXProxySettings settings)
    : settings_(std::move(settings)),
      record_(*settings_.Status),
      stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

void TRunQRXProxyThread::OnStopRequested() noexcept {
  if (stop_) SetEvent(stop_.get());
}

bool TRunQRXProxyThread::WaitUnlessStopped(HANDLE handle, DWORD timeoutMs) const {
  if (stop_) {
    const HANDLE waits[] = {stop_.get(), handle};
    return WaitForMultipleObjects(handle ? 2 : 1, waits, FALSE, timeoutMs) != WAIT_OBJECT_0;
  }
  // Without the event, the stop flag is looked at once a cycle's pause.
  if (!handle) {
    Sleep(timeoutMs);
    return !StopRequested();
  }
  while (WaitForSingleObject(handle, settings_.CycleSleepMs) == WAIT_TIMEOUT)
    if (StopRequested()) return false;
  return true;
}

TRunQRXProxyThread* TRunQRXProxyThread::Create(TRunQRXProxySettings settings) {
  // Owned here until its thread runs, so a thread that cannot be created frees it again.
  std::unique_ptr<TRunQRXProxyThread> launcher(new TRunQRXProxyThread(std::move(settings)));
  launcher->StartUnreleased();
  return launcher.release();
}

std::vector<DWORD> TRunQRXProxyThread::ProcessIdsOf(const std::string& imageName) {
  // The single-byte entry, whose size the walk must announce.
  static_assert(sizeof(PROCESSENTRY32) == 304);
  std::vector<DWORD> ids;
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  // The walk goes on after a match and ends only when a call fails.
  for (BOOL ok = Process32First(snapshot.get(), &entry); ok;
       ok = Process32Next(snapshot.get(), &entry)) {
    const std::string_view name(entry.szExeFile, strnlen(entry.szExeFile, MAX_PATH));
    if (ImageNameMatches(name, imageName)) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

UniqueHandle OpenProcessForWait(DWORD processId) {
  return UniqueHandle(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
}

UniqueHandle TRunQRXProxyThread::TestAndStart() {
  const std::vector<DWORD> running = ProcessIdsOf(kCompanionImageName);
  if (!running.empty()) {
    // Any user may run a program of that name, the companion's own file among them, and keep it
    // running: only the companion's file running as this service counts. A process that ended
    // after the list was taken, its id given to another, is judged as that other one.
    const TCompanionJudge judge(CompanionImagePath(settings_.Directory()), OwnProcessAccount(),
                                settings_.Facts);
    for (const DWORD id : running) {
      UniqueHandle process = settings_.OpenForWait(id);
      if (process && judge.Judge(process.get()).Verdict == cvCompanion) {
        record_.WaitingOn(id);
        return process;  // any one will do: when it ends, the next test looks for the others
      }
    }
  }
  settings_.Log->LogInfo("Starting qrx_proxy process.");
  const std::string path = CompanionPath(settings_.Directory());
  SHELLEXECUTEINFOA info = CompanionStartInfo(path);
  // Whether the companion runs is seen by the next test; a start that gives no process handle
  // leaves nothing to wait for. A start the shell refused is reported with its reason: without
  // it an administrator sees only the start tried again and again.
  UniqueHandle started;
  if (settings_.ShellExecuteEx(info)) {
    started.reset(info.hProcess);
  } else {
    const DWORD error = ShellExecuteError(info);
    settings_.Log->LogError("Cannot start qrx_proxy process: " + ErrorText(error));
  }
  record_.Started(started ? GetProcessId(started.get()) : 0);
  return started;
}

void TRunQRXProxyThread::Execute() {
  // The companion waited on is held for the monitor until it ends or the launcher stops.
  TCompanionProcess& held = *settings_.Companion;
  struct ReleasedAtEnd {
    TCompanionProcess& held;
    ~ReleasedAtEnd() { held.Release(); }
  } const releasedAtEnd{held};
  for (;;) {
    const ULONGLONG tested = GetTickCount64();
    HANDLE companion = nullptr;
    try {
      companion = held.Hold(TestAndStart());
    } catch (...) {
      // Dropped: the next cycle finds no companion and tries again.
    }
    // Nothing but the companion's end, or a stop, wakes the launcher while the companion runs:
    // an idle host pays for no timer.
    if (companion && !WaitUnlessStopped(companion, INFINITE)) return;
    held.Release();
    // A cycle lasts at least the pause: a start that gives no process is looked for again a
    // pause later, and a companion that ends as soon as it starts (or a process that lingers in
    // the list after its end) cannot make the launcher spin.
    const ULONGLONG elapsed = GetTickCount64() - tested;
    if (elapsed < settings_.CycleSleepMs &&
        !WaitUnlessStopped(nullptr, static_cast<DWORD>(settings_.CycleSleepMs - elapsed)))
      return;
    if (StopRequested()) return;
  }
}

// --- TDaemon1 ----------------------------------------------------------------------------------

TDaemon1::TDaemon1(TRunnerTimings runnerTimings, TCompanionStarters companionStarters,
                   TStartCheckStarter startCheck, TStatusBoard& status)
    : runnerTimings_(std::move(runnerTimings)),
      companionStarters_(std::move(companionStarters)),
      startCheck_(std::move(startCheck)),
      status_(status) {
  OnStart = [this](TDaemon* Sender, bool& OK) { DataModuleStart(Sender, OK); };
  OnStop = [this](TDaemon* Sender, bool& OK) { DataModuleStop(Sender, OK); };
  // A shutdown does not call the stop hook; the counts of left-out entries are written all the
  // same while the process is sure to run.
  OnShutDown = [this](TDaemon*) { runnerTimings_.Log->WriteLeftOutReports(); };
}

void TDaemon1::DataModuleStart(TDaemon*, bool&) {
  // The runs, and everything they start, inherit it.
  SetErrorMode(kServiceErrorMode);

  // The status of this start only, made before any worker that writes to it: whatever an
  // earlier process left (it may have crashed) goes. A board that cannot be made leaves the
  // service without a status and --status says so; the work itself does not depend on it.
  status_.Open(GetCurrentProcessId(), FileTimeNow());

  // Steps 1 to 4: read the settings; the reader is released before any runner starts.
  // A file that exists but cannot be read throws here, before any worker has started.
  const TAgentSettings settings = ReadAgentSettings(ConfigFilePath());
  PhpExePath_ = settings.PhpExePath;
  WebRootPath_ = settings.WebRootPath;
  ScriptTimeLimitMs_ = ScriptTimeLimitFromSetting(settings.ScriptTimeLimit);
  // What the previous process of the service left under way: no script runs beside such a run.
  leftRuns_ = runnerTimings_.Runs->Open();

  // What the service has just read, and what it will run, is checked as the service's account
  // sees it; one Warning lists what is wrong. It runs on its own, so the start goes on at once.
  if (startCheck_) startCheck_(settings);

  // Step 5: one runner per script, in table order. Each starts its first delay at once.
  for (const TScriptScheduleRow& row : ScriptSchedule)
    AddScriptThread(row.Period, ScriptCommandLine(PhpExePath_, WebRootPath_, row.ScriptFile),
                    row.ScriptFile);

  // Step 6: the companion launcher. Nothing keeps a reference to it; it runs on its own.
  companionStarters_.StartLauncher();

  // Step 7: the companion health monitor, likewise left to run on its own.
  companionStarters_.StartMonitor();

  // A run left for a script that is no longer scheduled is not waited for.
  leftRuns_.clear();

  // Step 8: return, leaving OK as the host set it.
}

void TDaemon1::DataModuleStop(TDaemon*, bool&) {
  // Only flags the runners; none is waited for. A runner that has already ended has released
  // itself and is skipped.
  for (const std::weak_ptr<TCustomThread>& entry : ScriptThreads_) {
    if (const std::shared_ptr<TCustomThread> runner = entry.lock()) runner->RequestStop();
  }
  // Without a limit the runs under way go on as long as they need, and the next start waits
  // for them; with one, none outlives the stop.
  if (ScriptTimeLimitMs_ > 0) EndRunsAtStop();
  runnerTimings_.Runs->RemoveIfEmpty();
  // A stopped service shows no status; a run still finishing writes to a key that is gone.
  status_.Remove();
  // Entries left out for repeating are counted in the log before the service reports stopped,
  // after which the process may be ended at any moment.
  runnerTimings_.Log->WriteLeftOutReports();
}

void TDaemon1::EndRunsAtStop() {
  // No run starts from now on; those under way are waited for.
  struct TPending {
    TRunUnderWay* run;
    std::string script;
    TRunUnderWay::TUnderWay underWay;
  };
  std::vector<TPending> pending;
  for (const std::weak_ptr<TCustomThread>& entry : ScriptThreads_)
    if (const std::shared_ptr<TCustomThread> runner = entry.lock())
      if (auto underWay = runner->RunUnderWay().Close())
        pending.push_back({&runner->RunUnderWay(), runner->Script(), std::move(*underWay)});
  // A run whose limit comes first is ended there by its runner (with its Warning), so the wait
  // lasts at most the smaller of the remaining limits and the stop's wait.
  const ULONGLONG end = GetTickCount64() + runnerTimings_.StopWaitMs;
  // Time for ending what is still under way, in the wait hint.
  constexpr DWORD kEndingMs = 5000;
  for (;;) {
    std::erase_if(pending, [](const TPending& p) {
      return WaitForSingleObject(p.underWay.Process.get(), 0) != WAIT_TIMEOUT;
    });
    const ULONGLONG now = GetTickCount64();
    if (pending.empty() || now >= end) break;
    const DWORD left = static_cast<DWORD>(end - now);
    ReportStatus(left + kEndingMs);
    std::vector<HANDLE> processes;
    for (const TPending& p : pending) processes.push_back(p.underWay.Process.get());
    // One wake a second at most, to report the stop's progress; pending holds at most a runner
    // per script, well below the 64 handles a wait takes.
    WaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(), FALSE,
                           std::min<DWORD>(left, 1000));
  }
  std::string ended;
  for (const TPending& p : pending) {
    if (!p.run->EndAtStop()) continue;
    WaitForSingleObject(p.underWay.Process.get(), kEndingMs);
    const uint64_t now = FileTimeNow();
    const uint64_t ran = (now - std::min(p.underWay.Started, now)) / 10000000;
    ended += (ended.empty() ? "" : "\r\n") +
             ("Script " + p.script + " was ended at the service's stop after " +
              std::to_string(ran) + " s.");
  }
  if (!ended.empty()) runnerTimings_.Log->LogInfo(ended);
}

void TDaemon1::AddScriptThread(int32_t period, const std::string& commandLine,
                               const std::string& script) {
  // Room first, so a runner, once running, is sure to be recorded.
  if (ScriptThreads_.size() == ScriptThreads_.capacity())
    ScriptThreads_.reserve(ScriptThreads_.empty() ? 16 : 2 * ScriptThreads_.size());
  TRunnerTimings timings = runnerTimings_;
  timings.TimeLimitMs = ScriptTimeLimitMs_;
  timings.Script = script;
  if (const auto left = leftRuns_.find(script); left != leftRuns_.end()) {
    timings.LeftRun = std::move(left->second);
    leftRuns_.erase(left);
  }
  ScriptThreads_.push_back(TCustomThread::Create(period, commandLine, std::move(timings)));
}

}  // namespace brenlow
