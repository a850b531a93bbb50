#pragma once
// The control thread of a running service: it calls the start hook, then handles one service
// control at a time, arriving from the control handler as thread messages.

#include <windows.h>

#include <atomic>

#include "common/UniqueHandle.h"
#include "service/HostCalls.h"

namespace brenlow {

class TDaemon;

// The thread message that carries a control code (wParam) and event type (lParam).
inline constexpr UINT ControlMessage = WM_USER + 1;

class TDaemonThread {
 public:
  // The thread stores its id in `announcedId` before it does anything else, so the control
  // handler can reach it from the first moment it could accept a control.
  TDaemonThread(TDaemon& daemon, TServiceHostCalls& calls, std::atomic<DWORD>& announcedId);
  TDaemonThread(const TDaemonThread&) = delete;
  TDaemonThread& operator=(const TDaemonThread&) = delete;

  // Creates the thread, running; raises EOSError when it cannot be created.
  void Start(SIZE_T stackSize);
  void WaitFor() const;

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);
  void Execute();
  void ProcessControlMessages(bool wait);
  void HandleControlCode(DWORD code);
  void StartFailed(const std::string& message);

  TDaemon& daemon_;
  TServiceHostCalls& calls_;
  std::atomic<DWORD>& announcedId_;
  UniqueHandle handle_;
  // Touched only on the control thread itself.
  bool terminated_ = false;
  bool paused_ = false;
};

}  // namespace brenlow
