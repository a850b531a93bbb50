#include "check/TestCommand.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "check/CheckLine.h"
#include "check/Checks.h"
#include "common/AsciiText.h"
#include "common/SystemError.h"
#include "common/UniqueHandle.h"
#include "config/AgentSettings.h"
#include "config/IniFile.h"

namespace brenlow {
namespace {

// An exit code's meaning where it points at the host rather than at the script.
std::string ExitCodeHint(DWORD code) {
  return code == 0xC0000135 ? " (a DLL the interpreter needs was not found)" : "";
}

std::string Seconds(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f s", static_cast<double>(ms) / 1000.0);
  return text;
}

std::string ScriptNames() {
  std::string text;
  for (const TScriptScheduleRow& row : ScriptSchedule)
    text += "  " + std::string(row.ScriptFile) + "\r\n";
  return text;
}

std::string AccountName() {
  char name[257];
  DWORD size = sizeof(name);
  return GetUserNameA(name, &size) ? std::string(name) : "unknown";
}

// Writes through out on a thread of its own, in the order given; the destructor waits until
// everything is written.
class TQueuedOutput {
 public:
  explicit TQueuedOutput(const TTestOutput& out);
  ~TQueuedOutput();
  TQueuedOutput(const TQueuedOutput&) = delete;
  TQueuedOutput& operator=(const TQueuedOutput&) = delete;

  void Write(bool error, std::string text);  // never waits for the writing

 private:
  void Drain();  // the thread: writes what is queued until the destructor says done

  const TTestOutput& out_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::pair<bool, std::string>> queue_;
  bool done_ = false;
  std::thread thread_;  // last: it starts once the rest is made
};

TQueuedOutput::TQueuedOutput(const TTestOutput& out) : out_(out), thread_([this] { Drain(); }) {}

TQueuedOutput::~TQueuedOutput() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  ready_.notify_one();
  thread_.join();
}

void TQueuedOutput::Write(bool error, std::string text) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    queue_.emplace_back(error, std::move(text));
  }
  ready_.notify_one();
}

void TQueuedOutput::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return done_ || !queue_.empty(); });
    if (queue_.empty()) return;
    auto [error, text] = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    (error ? out_.WriteError : out_.Write)(text);
    lock.lock();
  }
}

}  // namespace

const TScriptScheduleRow* FindScheduledScript(const std::string& name) {
  for (const TScriptScheduleRow& row : ScriptSchedule)
    if (SameTextAscii(row.ScriptFile, name)) return &row;
  return nullptr;
}

size_t TShownStream::Take(size_t size) {
  const uint64_t room = total_ < limit_ ? limit_ - total_ : 0;
  total_ += size;
  return static_cast<size_t>(std::min<uint64_t>(room, size));
}

int TestExitCode(const TChildOutcome& outcome) {
  if (!outcome.Started || !outcome.Ended || outcome.TimedOut) return 2;
  return outcome.ExitCode == 0 ? 0 : 1;
}

std::string TestOutcomeLine(const TChildOutcome& outcome, uint64_t elapsedMs, int32_t timeLimitMs) {
  if (!outcome.Started) return "Could not be run: " + ErrorText(outcome.Error) + "\r\n";
  if (outcome.TimedOut)
    return "Reached its time limit of " + std::to_string(timeLimitMs / 1000) + " s after " +
           Seconds(elapsedMs) +
           (outcome.Ended ? " and was ended with the processes it started.\r\n"
                          : " and could not be ended: " + ErrorText(outcome.Error) + "\r\n");
  if (!outcome.Ended)
    return "Its end could not be awaited after " + Seconds(elapsedMs) + ": " +
           ErrorText(outcome.Error) + "\r\n";
  return "Ended with exit code " + ExitCodeText(outcome.ExitCode) + ExitCodeHint(outcome.ExitCode) +
         " after " + Seconds(elapsedMs) + ".\r\n";
}

bool ServiceMayRunScripts(const TServiceFacts& service) {
  return service.OpenError == 0 && service.StatusError == 0 && service.State != 0 &&
         service.State != SERVICE_STOPPED;
}

int RunTestCommand(const std::string& script, const std::string& serviceName,
                   const TTestOutput& out) {
  const TScriptScheduleRow* row = FindScheduledScript(script);
  if (row == nullptr) {
    out.Write((script.empty() ? std::string("No script named")
                              : "\"" + script + "\" is not one of the scripts") +
              ". Name one of these (letter case does not matter):\r\n" + ScriptNames());
    return 2;
  }
  if (ServiceMayRunScripts(ReadServiceFacts(serviceName)))
    out.Write("Note: the service " + serviceName +
              " is running and runs this script on its own schedule: its run and this one may "
              "overlap.\r\n");

  const std::string configPath = ConfigFilePath();
  TAgentSettings settings;
  try {
    settings = ReadAgentSettings(configPath);
  } catch (const EFOpenError& e) {
    out.Write(std::string("The settings cannot be read: ") + e.what() + "\r\n");
    return 2;
  }
  for (const auto& [key, value] :
       {std::pair<const char*, const std::string&>{"PHP_EXE_PATH", settings.PhpExePath},
        {"WEB_ROOT_PATH", settings.WebRootPath}})
    if (value.empty())
      out.Write(std::string(key) + " is not set in " + configPath +
                " (the service's runs fail the same way; brenlow.exe --check shows every "
                "setting).\r\n");

  // The service's children start in the system folder, and an interpreter that misses a DLL
  // must fail at once rather than wait for someone to close the system's error box: the same
  // here, so that relative paths and such failures come out as they do for the service.
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, sizeof(system));
  if (length > 0 && length < sizeof(system)) SetCurrentDirectoryA(system);
  SetErrorMode(kServiceErrorMode);

  const std::string commandLine =
      ScriptCommandLine(settings.PhpExePath, settings.WebRootPath, row->ScriptFile);
  const int32_t timeLimitMs = ScriptTimeLimitFromSetting(settings.ScriptTimeLimit);
  out.Write("Settings: " + configPath + "\r\nCommand line: " + commandLine + "\r\nTime limit: " +
            (timeLimitMs > 0 ? std::to_string(timeLimitMs / 1000) + " s (ScriptTimeLimit)"
                             : std::string("none (ScriptTimeLimit is not set)")) +
            "\r\nAccount: " + AccountName() + " (the service runs as LocalSystem)\r\n");

  // Others must not be able to change what is about to run with an administrator's rights: the
  // interpreter, what it loads and the script are judged as --check judges them.
  TCheckedLayout layout = LayoutOfThisProgram();
  layout.PhpExePath = settings.PhpExePath;
  layout.WebRootPath = settings.WebRootPath;
  const std::vector<TCheckLine> found = Problems(CheckScriptPermissions(layout, row->ScriptFile));
  if (!found.empty()) out.Write(FormatCheckLines(found));
  if (CheckExitCode(found) == 2) {
    out.Write(
        "Nothing was run: others may change what it would run (brenlow.exe --check shows "
        "every check).\r\n");
    return 2;
  }
  if (const DWORD error = JoinJobEndingWithThisProcess())
    out.Write(
        "Note: this command could not put itself in a job, so what the script starts may "
        "outlive it: " +
        ErrorText(error) + "\r\n");
  out.Write("--- the script's standard output and standard error, as they come ---\r\n");
  return ShowRun(commandLine, timeLimitMs, out);
}

DWORD JoinJobEndingWithThisProcess() {
  UniqueHandle job(CreateJobObjectA(nullptr, nullptr));
  if (!job) return GetLastError();
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits)) ||
      !AssignProcessToJobObject(job.get(), GetCurrentProcess()))
    return GetLastError();
  // Never closed here: the system closes it as this process ends, however it ends, and the job
  // then ends everything in it. Closing it earlier would end this process too.
  job.release();
  return 0;
}

int ShowRun(const std::string& commandLine, int32_t timeLimitMs, const TTestOutput& out) {
  TShownStream shown[2] = {TShownStream(kTestShownBytes), TShownStream(kTestShownBytes)};
  char last = '\n';
  TChildOutcome outcome;
  ULONGLONG elapsed = 0;
  {
    // The pieces that are shown go to a writer thread: a console whose window holds a selection
    // blocks every write, and the run's loop, which keeps the time limit, must not wait for it.
    // What waits is bounded by the shown bytes of each stream.
    TQueuedOutput queued(out);
    const auto sink = [&](TOutputStream stream, const char* data, size_t size) {
      const size_t take = shown[stream == osError].Take(size);
      if (take == 0) return;
      queued.Write(stream == osError, std::string(data, take));
      last = data[take - 1];
    };
    const ULONGLONG started = GetTickCount64();
    outcome = ExecuteAndStream(commandLine, sink, ScriptRunOptions(timeLimitMs));
    elapsed = GetTickCount64() - started;
  }

  std::string end = last == '\n' ? "" : "\r\n";
  end += "--- end of the script's output ---\r\n";
  const char* names[2] = {"standard output", "standard error"};
  for (int i = 0; i < 2; ++i)
    if (shown[i].LeftOut() > 0)
      end += "The script's " + std::string(names[i]) + " was cut after " +
             std::to_string(kTestShownBytes) + " bytes: " + std::to_string(shown[i].LeftOut()) +
             " of its " + std::to_string(shown[i].Total()) + " bytes were left out.\r\n";
  out.Write(end + TestOutcomeLine(outcome, elapsed, timeLimitMs));
  return TestExitCode(outcome);
}

}  // namespace brenlow
