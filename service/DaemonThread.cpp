#include "service/DaemonThread.h"

#include "service/Daemon.h"
#include "service/DaemonErrors.h"

namespace brenlow {

TDaemonThread::TDaemonThread(TDaemon& daemon, TServiceHostCalls& calls,
                             std::atomic<DWORD>& announcedId)
    : daemon_(daemon), calls_(calls), announcedId_(announcedId) {}

void TDaemonThread::Start(SIZE_T stackSize) {
  handle_.reset(CreateThread(nullptr, stackSize, &ThreadProc, this,
                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!handle_) RaiseOSError(::GetLastError());
}

void TDaemonThread::WaitFor() const {
  if (handle_) WaitForSingleObject(handle_.get(), INFINITE);
}

DWORD WINAPI TDaemonThread::ThreadProc(LPVOID self) {
  auto* thread = static_cast<TDaemonThread*>(self);
  thread->announcedId_ = GetCurrentThreadId();
  thread->Execute();
  return 0;
}

void TDaemonThread::Execute() {
  // An error escaping the start hook (or OnExecute) must not leave the service reported as
  // starting forever: it is logged and the service reported stopped, so the process ends.
  try {
    bool ok = true;
    if (daemon_.OnStart) daemon_.OnStart(&daemon_, ok);
    if (!ok) {
      daemon_.SetStatus(csStopped);
      return;
    }
    // Controls can be posted to this thread only once it has a message queue. It must exist
    // before "running" is reported: the service manager may send a stop right after it.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    daemon_.SetStatus(csRunning);
    if (daemon_.OnExecute) {
      daemon_.OnExecute(&daemon_);
      return;
    }
    while (!terminated_) ProcessControlMessages(true);
    ProcessControlMessages(false);  // what is still queued
  } catch (...) {
    StartFailed(CurrentExceptionMessage());
  }
}

void TDaemonThread::StartFailed(const std::string& message) {
  const TDaemonDef* def = daemon_.Definition;
  calls_.ServiceLogError("Failed to start daemon " + (def ? def->Name() : std::string()) + " : " +
                         message);
  if (daemon_.Definition != nullptr)
    daemon_.Definition->WinBindings.Win32ExitCode = ERROR_EXCEPTION_IN_SERVICE;
  daemon_.SetStatus(csStopped);
}

void TDaemonThread::ProcessControlMessages(bool wait) {
  for (;;) {
    if (wait && terminated_) return;
    MSG msg;
    if (wait) {
      // While paused only the next control is taken; it is then handled as always. Waiting in
      // the queue replaces suspending the thread, so a control that arrives just as the pause
      // completes can never be missed.
      const UINT filter = paused_ ? ControlMessage : 0;
      const BOOL got = GetMessageA(&msg, nullptr, filter, filter);
      if (got == 0 || got == -1) return;
    } else if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      return;
    }
    if (msg.hwnd == nullptr && msg.message == ControlMessage) {
      HandleControlCode(static_cast<DWORD>(msg.wParam));
      paused_ = daemon_.Status() == csPaused;
    } else {
      DispatchMessageA(&msg);
    }
  }
}

void TDaemonThread::HandleControlCode(DWORD code) {
  const TCurrentStatus previous = daemon_.Status();
  bool ok = true;
  try {
    switch (code) {
      case SERVICE_CONTROL_STOP:
        daemon_.SetStatus(csStopPending);
        if (daemon_.OnStop) daemon_.OnStop(&daemon_, ok);
        if (ok) {
          daemon_.SetStatus(csStopped);
          terminated_ = true;
        }
        break;
      case SERVICE_CONTROL_PAUSE:
        daemon_.SetStatus(csPausePending);
        if (daemon_.OnPause) daemon_.OnPause(&daemon_, ok);
        if (ok) daemon_.SetStatus(csPaused);
        break;
      case SERVICE_CONTROL_CONTINUE:
        daemon_.SetStatus(csContinuePending);
        if (daemon_.OnContinue) daemon_.OnContinue(&daemon_, ok);
        if (ok) daemon_.SetStatus(csRunning);
        break;
      case SERVICE_CONTROL_INTERROGATE:
        daemon_.ReportStatus();
        break;
      case SERVICE_CONTROL_SHUTDOWN:
        daemon_.SetStatus(csStopPending);
        // The system is going down: stop whatever the hook does.
        try {
          if (daemon_.OnShutDown) daemon_.OnShutDown(&daemon_);
        } catch (...) {
        }
        daemon_.SetStatus(csStopped);
        terminated_ = true;
        break;
      default:
        if (daemon_.OnControlCode) {
          bool handled = true;
          daemon_.OnControlCode(&daemon_, code, handled);
        }
        break;
    }
    if (!ok) daemon_.SetStatus(previous);
  } catch (...) {
    // A hook that raised leaves the service as it was; the error goes no further.
    daemon_.SetStatus(previous);
  }
}

}  // namespace brenlow
