#include "service/DaemonController.h"

#include "common/SystemError.h"
#include "service/Daemon.h"
#include "service/DaemonApp.h"
#include "service/DaemonErrors.h"
#include "service/DaemonThread.h"

namespace brenlow {

TDaemonController::TDaemonController(TServiceHostCalls& calls, TDaemon* daemon,
                                     SIZE_T threadStackSize)
    : Daemon(daemon),
      calls_(calls),
      threadStackSize_(threadStackSize),
      lastStatus_(csStopped),
      idle_(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}

bool TDaemonController::WaitIdle(DWORD timeoutMs) const {
  return WaitForSingleObject(idle_.get(), timeoutMs) == WAIT_OBJECT_0;
}

void TDaemonController::Main(DWORD argc, LPSTR* argv) {
  ResetEvent(idle_.get());
  try {
    Params.clear();
    for (DWORD i = 1; i < argc; ++i) Params.emplace_back(argv[i] ? argv[i] : "");
    const std::string name =
        argc > 0 && argv[0] ? argv[0] : (Daemon->Definition ? Daemon->Definition->Name() : "");
    statusHandle_ = calls_.RegisterServiceCtrlHandlerExA(name.c_str(), &ControlHandler, this);
    if (statusHandle_ == nullptr)
      calls_.ServiceLogError(Format("Could not register control handler, error code %lu",
                                    static_cast<unsigned long>(calls_.GetLastError())));
    Daemon->SetStatus(csStartPending);
    RunControlThread();
  } catch (...) {
    const std::string name = Daemon->Definition ? Daemon->Definition->Name() : "";
    calls_.ServiceLogInfo("Failed to start daemon " + name + " : " + CurrentExceptionMessage());
    // Without a control thread nothing would ever end the start: report it as failed, so the
    // service manager does not wait for it and the process can end.
    if (Daemon->Definition != nullptr)
      Daemon->Definition->WinBindings.Win32ExitCode = ERROR_EXCEPTION_IN_SERVICE;
    Daemon->SetStatus(csStopped);
  }
  SetEvent(idle_.get());
}

void TDaemonController::RunControlThread() {
  TDaemonThread thread(*Daemon, calls_, controlThreadId_);
  Daemon->DaemonThread = &thread;
  struct Forget {
    TDaemonController& c;
    ~Forget() {
      c.controlThreadId_ = 0;
      c.Daemon->DaemonThread = nullptr;
    }
  } forget{*this};
  thread.Start(threadStackSize_);
  thread.WaitFor();
}

DWORD WINAPI TDaemonController::ControlHandler(DWORD code, DWORD eventType, LPVOID eventData,
                                               LPVOID context) {
  if (context != nullptr) {
    static_cast<TDaemonController*>(context)->ForwardControl(code, eventType);
  } else if (TCustomDaemonApplication* app = TCustomDaemonApplication::Current()) {
    app->Calls().ServiceLogError(
        Format("Not handling Control message without control context: (%lu %lu %lld).",
               static_cast<unsigned long>(code), static_cast<unsigned long>(eventType),
               static_cast<long long>(reinterpret_cast<INT_PTR>(eventData))));
  }
  return NO_ERROR;
}

void TDaemonController::ForwardControl(DWORD code, DWORD eventType) {
  const DWORD thread = controlThreadId_;
  if (thread == 0) return;
  // A control posted before the thread has its queue is lost; only an interrogation can come
  // then, since a starting service accepts no controls.
  calls_.PostThreadMessageA(thread, ControlMessage, code, static_cast<LPARAM>(eventType));
}

void TDaemonController::ReportStatus() {
  if (Daemon == nullptr) {
    calls_.ServiceLogError(": No daemon for status report");
    return;
  }
  const TDaemonDef* def = Daemon->Definition;
  if (def == nullptr) {
    calls_.ServiceLogError(": No daemon definition for status report");
    return;
  }
  const TCurrentStatus status = Daemon->Status();
  if (def->LogStatusReport)
    calls_.ServiceLogInfo("Daemon " + def->DisplayName + " current status: " + StatusName(status));
  SERVICE_STATUS report = BuildServiceStatus(*def, status, lastStatus_, checkPoint_);
  if (Daemon->WaitHint() != 0) report.dwWaitHint = Daemon->WaitHint();
  checkPoint_ = report.dwCheckPoint;
  lastStatus_ = status;
  if (!calls_.SetServiceStatus(statusHandle_, &report))
    calls_.ServiceLogError(SystemErrorText(calls_.GetLastError()));
}

}  // namespace brenlow
