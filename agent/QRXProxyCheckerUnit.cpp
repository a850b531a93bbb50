#include "agent/QRXProxyCheckerUnit.h"

#include <chrono>
#include <memory>
#include <utility>

#include "agent/ExecuteAndCollect.h"
#include "common/OverlappedIo.h"
#include "common/SystemError.h"
#include "common/UniqueHandle.h"

namespace brenlow {

TEventLog& AgentEventLog() {
  // Deliberately never deleted: the launcher and the monitor may write until the process ends,
  // and no destructor at exit may race them. The system closes the handle with the process.
  static TEventLog* const log = [] {
    auto* created = new TEventLog();
    created->SetIdentification(kAgentEventSource);
    return created;
  }();
  return *log;
}

void CreateAgentEventLog() { AgentEventLog().RegisterSource(""); }

// --- Counter -----------------------------------------------------------------------------------

namespace {

// The companion is killed once the counter is above this.
constexpr int32_t kKillThreshold = 9;

TProbeDecision DecisionAt(int32_t failCount, const char* warning, TProbePause pause) {
  TProbeDecision decision;
  decision.FailCount = failCount;
  decision.Kill = failCount > kKillThreshold;
  decision.Warning = decision.Kill ? warning : nullptr;
  decision.Pause = pause;
  return decision;
}

}  // namespace

TProbeDecision DecideProbe(int32_t failCount, TProbeOutcome outcome) {
  switch (outcome) {
    case poWaitFailed: {
      // At the threshold the kill's pause is the only one.
      TProbeDecision decision = DecisionAt(failCount + 1, kNoPipeWarning, ppFailedWait);
      if (decision.Kill) decision.Pause = ppNone;
      return decision;
    }
    case poOpenFailed:
    case poSendFailed:
      return DecisionAt(failCount, nullptr, ppFailedOpen);
    case poGoodReply:
      return DecisionAt(0, nullptr, ppProbe);
    case poForeignServer:
      return DecisionAt(failCount + 1, kNoPipeWarning, ppProbe);
    case poBadReply:
    case poRaised:
      break;
  }
  return DecisionAt(failCount + 1, kNoCoordinatorWarning, ppProbe);
}

const char* ProbeOutcomeText(TProbeOutcome outcome) {
  switch (outcome) {
    case poWaitFailed:
      return "no pipe";
    case poOpenFailed:
      return "open failed";
    case poSendFailed:
      return "send failed";
    case poGoodReply:
      return "good reply";
    case poBadReply:
      return "bad reply";
    case poForeignServer:
      return "foreign server";
    case poRaised:
      break;
  }
  return "error";
}

// --- Pipe calls ----------------------------------------------------------------------------------

namespace {

class SystemPipeApi final : public ProbePipeApi {
 public:
  BOOL WaitNamedPipeA(const char* name, DWORD timeoutMs) override {
    return ::WaitNamedPipeA(name, timeoutMs);
  }
  HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                     DWORD disposition, DWORD flags, HANDLE templateFile) override {
    return ::CreateFileA(name, access, shareMode, security, disposition, flags, templateFile);
  }
  BOOL WriteFile(HANDLE pipe, const void* data, DWORD size, DWORD* written,
                 DWORD timeoutMs) override {
    return Bounded(true, pipe, const_cast<void*>(data), size, written, timeoutMs);
  }
  BOOL ReadFile(HANDLE pipe, void* data, DWORD size, DWORD* read, DWORD timeoutMs) override {
    return Bounded(false, pipe, data, size, read, timeoutMs);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
  BOOL GetNamedPipeServerProcessId(HANDLE pipe, ULONG* processId) override {
    return ::GetNamedPipeServerProcessId(pipe, processId);
  }

 private:
  // The operation's owner cancels it at the deadline and waits for its end before returning.
  // The probe has one operation at a time on its pipe, whose own handle then signals the end:
  // no event to make and close at every probe.
  static BOOL Bounded(bool write, HANDLE pipe, void* data, DWORD size, DWORD* done,
                      DWORD timeoutMs) {
    OverlappedIo io(TEndSignal::Handle);
    *done = 0;
    return io.Ready() &&
           (write ? io.StartWrite(pipe, data, size) : io.StartRead(pipe, data, size)) &&
           io.Await(timeoutMs, *done);
  }
};

// The probe's pipe handle, closed through the same interface that opened it, on every way out
// of the probe. Closing keeps GetLastError() of the call that failed.
class ProbeHandle {
 public:
  ProbeHandle(ProbePipeApi& api, HANDLE handle) : api_(api), handle_(handle) {}
  ~ProbeHandle() {
    if (!valid()) return;
    const DWORD error = GetLastError();
    api_.CloseHandle(handle_);
    SetLastError(error);
  }
  ProbeHandle(const ProbeHandle&) = delete;
  ProbeHandle& operator=(const ProbeHandle&) = delete;

  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  ProbePipeApi& api_;
  HANDLE handle_;
};

}  // namespace

std::string CompanionImagePath(const std::string& directory) {
  const bool separated =
      !directory.empty() && (directory.back() == '\\' || directory.back() == '/');
  return directory + (separated ? "" : "\\") + kCompanionImageName;
}

ProbePipeApi& SystemProbePipeApi() {
  static SystemPipeApi* const api = new SystemPipeApi();
  return *api;
}

void RunCommandAndForget(const std::string& executable, const std::vector<std::string>& arguments) {
  ExecuteAndDrain(executable, arguments);
}

TProbeExchange ExchangeProbe(ProbePipeApi& api, DWORD waitTimeoutMs, DWORD exchangeTimeoutMs,
                             const TServerJudge& judgeServer) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point began = Clock::now();
  TProbeExchange probe;
  const auto finish = [&](TProbeOutcome outcome, DWORD error) {
    probe.Outcome = outcome;
    probe.Error = error;
    probe.ElapsedMs = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
    return probe;
  };
  if (!api.WaitNamedPipeA(ProbePipeName, waitTimeoutMs))
    return finish(poWaitFailed, GetLastError());
  // The service runs as LocalSystem and the pipe's name can be taken by any local process: the
  // server gets to identify this client, never to act as it.
  const ProbeHandle pipe(
      api, api.CreateFileA(ProbePipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT |
                               SECURITY_IDENTIFICATION,
                           nullptr));
  if (!pipe.valid()) return finish(poOpenFailed, GetLastError());
  // Whoever created the pipe first serves it: only the companion of the program's own folder is
  // asked, and only its reply is believed.
  ULONG server = 0;
  if (!api.GetNamedPipeServerProcessId(pipe.get(), &server))
    return finish(poForeignServer, GetLastError());
  probe.ServerProcessId = server;
  TProcessJudgement judged = judgeServer(server);
  probe.ServerVerdict = judged.Verdict;
  probe.ServerPath = std::move(judged.Path);
  probe.ServerAccount = std::move(judged.Account);
  if (judged.Verdict != cvCompanion) return finish(poForeignServer, judged.Error);
  // One buffer for request and reply: a reply that never comes leaves the request's 0 in it.
  // The write and the read share one deadline: a server that takes the connection and then
  // never reads, or never answers, costs one bounded exchange.
  unsigned char buffer = 0;
  DWORD written = 0;
  const ULONGLONG sent = GetTickCount64();
  if (!api.WriteFile(pipe.get(), &buffer, 1, &written, exchangeTimeoutMs)) {
    const DWORD error = GetLastError();
    // A request nobody took is a reply that never came.
    return finish(error == ERROR_TIMEOUT ? poBadReply : poSendFailed, error);
  }
  const ULONGLONG spent = GetTickCount64() - sent;
  const DWORD left = spent < exchangeTimeoutMs ? static_cast<DWORD>(exchangeTimeoutMs - spent) : 0;
  // A read that fails or runs out of time leaves the 0 in the buffer.
  DWORD read = 0;
  const BOOL readDone = api.ReadFile(pipe.get(), &buffer, 1, &read, left);
  const DWORD readError = readDone ? 0 : GetLastError();
  probe.Replied = readDone && read == 1;
  probe.Reply = buffer;
  return finish(buffer == 1 ? poGoodReply : poBadReply, readError);
}

// --- TProxyCheckerThread -----------------------------------------------------------------------

TProxyCheckerThread::TProxyCheckerThread(TProxyCheckerSettings settings)
    : settings_(std::move(settings)), record_(*settings_.Status) {}

TProxyCheckerThread* TProxyCheckerThread::Create(TProxyCheckerSettings settings) {
  // Owned here until its thread runs, so a thread that cannot be created frees it again.
  std::unique_ptr<TProxyCheckerThread> monitor(new TProxyCheckerThread(std::move(settings)));
  monitor->StartUnreleased();
  return monitor.release();
}

void TProxyCheckerThread::KillCompanion(const TCommandRunner& run) {
  // The first argument is two double quotes and /C, which the quoting rule leaves as it is.
  for (const char* image : {"qrx_proxy.exe", "qrx_proxy_debug.exe"})
    run("cmd", {"\"\"/C", "taskkill", "/im", image, "/f", "/t"});
}

void TProxyCheckerThread::Execute() {
  for (;;) {
    RunCycle();
    if (StopRequested()) return;
  }
}

void TProxyCheckerThread::RunCycle() {
  try {
    const TProbeOutcome outcome = Probe();
    Apply(outcome, DecideProbe(FailCount(), outcome));
    return;
  } catch (...) {
    // Raised while probing (the pipe handle has been closed on the way out) or while killing
    // after a failed wait: it counts as a failed probe, and the cycle goes on as after one.
  }
  try {
    Apply(poRaised, DecideProbe(FailCount(), poRaised));
  } catch (...) {
    // Raised again, by the kill: the monitor must not end, so it only keeps its rhythm.
    Pause(ppProbe);
  }
}

TProbeOutcome TProxyCheckerThread::Probe() {
  // The companion the launcher holds is known by its process id alone, the cheapest check there
  // is and one no other process can pass; any other server is judged against the trusted file.
  const TProbeExchange probe = ExchangeProbe(
      *settings_.Pipe, settings_.WaitTimeoutMs, settings_.ExchangeTimeoutMs, [this](DWORD server) {
        if (!settings_.Companion->Holds(server))
          return settings_.JudgeServer(server, settings_.TrustedServer());
        TProcessJudgement held;
        held.Verdict = cvCompanion;
        return held;
      });
  switch (probe.Outcome) {
    case poWaitFailed:
      settings_.Log->LogInfo(std::string("Error waiting pipe. Error num = ") +
                             std::to_string(probe.Error));
      break;
    case poOpenFailed:
    case poSendFailed:
      // A failed send has the same text as a failed open: log watchers match on it.
      settings_.Log->LogError(std::string("Error CreateFile pipe. Error num = ") +
                              std::to_string(probe.Error));
      break;
    case poGoodReply:
    case poBadReply:
    case poRaised:
    case poForeignServer:  // shown by the status's last probe result, and by --check
      break;
  }
  return probe.Outcome;
}

void TProxyCheckerThread::Apply(TProbeOutcome outcome, const TProbeDecision& decision) {
  FailCount_.store(decision.FailCount, std::memory_order_relaxed);
  record_.Probed(ProbeOutcomeText(outcome), outcome == poGoodReply, decision.FailCount);
  if (decision.Kill) {
    settings_.Log->LogWarning(decision.Warning);
    KillCompanion(settings_.RunCommand);
    record_.Killed();
    settings_.PauseFor(settings_.KillPauseMs);
    FailCount_.store(0, std::memory_order_relaxed);
  }
  Pause(decision.Pause);
}

void TProxyCheckerThread::Pause(TProbePause pause) {
  switch (pause) {
    case ppNone:
      return;
    case ppFailedWait:
      settings_.PauseFor(settings_.FailedWaitPauseMs);
      return;
    case ppFailedOpen:
      settings_.PauseFor(settings_.FailedOpenPauseMs);
      return;
    case ppProbe:
      settings_.PauseFor(settings_.ProbePauseMs);
      return;
  }
}

}  // namespace brenlow
