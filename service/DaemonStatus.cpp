#include "service/DaemonStatus.h"

namespace brenlow {

const char* StatusName(TCurrentStatus status) {
  switch (status) {
    case csStopped:
      return "Stopped";
    case csStartPending:
      return "Start Pending";
    case csStopPending:
      return "Stop Pending";
    case csRunning:
      return "Running";
    case csContinuePending:
      return "Continue Pending";
    case csPausePending:
      return "Pause Pending";
    case csPaused:
      return "Paused";
  }
  return "";
}

DWORD StatusState(TCurrentStatus status) {
  switch (status) {
    case csStopped:
      return SERVICE_STOPPED;
    case csStartPending:
      return SERVICE_START_PENDING;
    case csStopPending:
      return SERVICE_STOP_PENDING;
    case csRunning:
      return SERVICE_RUNNING;
    case csContinuePending:
      return SERVICE_CONTINUE_PENDING;
    case csPausePending:
      return SERVICE_PAUSE_PENDING;
    case csPaused:
      return SERVICE_PAUSED;
  }
  return SERVICE_STOPPED;
}

bool IsPendingStatus(TCurrentStatus status) {
  return status == csStartPending || status == csStopPending || status == csContinuePending ||
         status == csPausePending;
}

DWORD ControlsAccepted(const TDaemonDef& def, TCurrentStatus status) {
  if (status == csStartPending) return 0;
  DWORD accepted = SERVICE_ACCEPT_SHUTDOWN;
  if (def.Options.Contains(doAllowStop)) accepted |= SERVICE_ACCEPT_STOP;
  if (def.Options.Contains(doAllowPause)) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  return accepted;
}

SERVICE_STATUS BuildServiceStatus(const TDaemonDef& def, TCurrentStatus status,
                                  TCurrentStatus lastReported, DWORD lastCheckPoint) {
  const TWinBindings& w = def.WinBindings;
  SERVICE_STATUS s{};
  s.dwServiceType = ServiceTypeValue(w.ServiceType);
  s.dwCurrentState = StatusState(status);
  s.dwControlsAccepted = ControlsAccepted(def, status);
  s.dwCheckPoint = IsPendingStatus(status) && status == lastReported ? lastCheckPoint + 1 : 0;
  s.dwWaitHint = static_cast<DWORD>(w.WaitHint);
  s.dwServiceSpecificExitCode = w.ServiceExitCode;
  s.dwWin32ExitCode = w.ServiceExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : w.Win32ExitCode;
  return s;
}

}  // namespace brenlow
