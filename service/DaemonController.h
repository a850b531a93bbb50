#pragma once
// The controller of one daemon: the service main that the service manager calls, the control
// handler that forwards controls to the control thread, and the status reports.

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "service/DaemonStatus.h"
#include "service/HostCalls.h"

namespace brenlow {

class TDaemon;

// Stack of the control thread, which runs the daemon's hooks.
inline constexpr SIZE_T kControlThreadStackSize = 4 * 1024 * 1024;

class TDaemonController {
 public:
  TDaemonController(TServiceHostCalls& calls, TDaemon* daemon,
                    SIZE_T threadStackSize = kControlThreadStackSize);
  TDaemonController(const TDaemonController&) = delete;
  TDaemonController& operator=(const TDaemonController&) = delete;

  TDaemon* Daemon;
  // The arguments after the service name that the service manager passed to the service main.
  std::vector<std::string> Params;

  // Service main for this controller's service: registers the control handler, reports start
  // pending, runs the control thread and returns when it has ended.
  void Main(DWORD argc, LPSTR* argv);
  // Sends the daemon's current status to the service manager.
  void ReportStatus();
  // Waits until no service main of this controller is running; false when timeoutMs passed.
  bool WaitIdle(DWORD timeoutMs) const;

  // The control handler given to RegisterServiceCtrlHandlerExA; context is the controller.
  static DWORD WINAPI ControlHandler(DWORD code, DWORD eventType, LPVOID eventData, LPVOID context);

 private:
  void ForwardControl(DWORD code, DWORD eventType);
  void RunControlThread();

  TServiceHostCalls& calls_;
  const SIZE_T threadStackSize_;
  SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
  TCurrentStatus lastStatus_;
  DWORD checkPoint_ = 0;
  // Read by the control handler on the dispatcher's thread: 0 while no control thread exists.
  std::atomic<DWORD> controlThreadId_{0};
  UniqueHandle idle_;  // manual-reset event, set while no service main runs
};

}  // namespace brenlow
