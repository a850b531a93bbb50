#pragma once
// The daemon object: the service's hooks, called by the service host while the service runs.

#include <windows.h>

#include <functional>

namespace brenlow {

class TDaemon;

// Hook that reports success through OK, preset to true by the caller.
using TDaemonOKEvent = std::function<void(TDaemon* Sender, bool& OK)>;
// Hook with only a sender.
using TDaemonEvent = std::function<void(TDaemon* Sender)>;
// Hook for control codes the host does not know; Handled is preset to whether the hook is set.
using TCustomControlCodeEvent = std::function<void(TDaemon* Sender, DWORD ACode, bool& Handled)>;

class TDaemon {
 public:
  TDaemon() = default;
  virtual ~TDaemon() = default;
  TDaemon(const TDaemon&) = delete;
  TDaemon& operator=(const TDaemon&) = delete;

  TDaemonOKEvent OnStart;
  TDaemonOKEvent OnStop;
  TDaemonOKEvent OnPause;
  TDaemonOKEvent OnContinue;
  TDaemonEvent OnShutDown;
  TDaemonEvent OnExecute;
  TCustomControlCodeEvent OnControlCode;
  TDaemonEvent BeforeInstall;
  TDaemonEvent AfterInstall;
  TDaemonEvent BeforeUnInstall;
  TDaemonEvent AfterUnInstall;
};

}  // namespace brenlow
