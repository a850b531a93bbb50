#pragma once
// The daemon object: the service's hooks, called by the service host while the service runs,
// and the status the host reports for it.

#include <windows.h>

#include <functional>

#include "service/DaemonStatus.h"

namespace brenlow {

class TDaemon;
class TDaemonController;
class TDaemonThread;

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

  // Set by the host: the daemon's definition, its controller while the run command lasts, and
  // its control thread while the service runs.
  TDaemonDef* Definition = nullptr;
  TDaemonController* Controller = nullptr;
  TDaemonThread* DaemonThread = nullptr;

  TCurrentStatus Status() const { return status_; }
  // Sets the status and reports it to the service manager at once.
  void SetStatus(TCurrentStatus status);
  // Reports the current status again; a hook doing long work in a pending status calls this to
  // show progress (each repeat advances the check point).
  void ReportStatus();
  // The same, with how long the work may still take in milliseconds: the service manager waits
  // that long for the next report before it takes the service for hung. It holds for the
  // reports of this status; a new status goes back to the definition's wait hint.
  void ReportStatus(DWORD waitHintMs);
  // The wait hint given for the current status; 0 when none was.
  DWORD WaitHint() const { return waitHint_; }

 private:
  TCurrentStatus status_ = csStopped;
  DWORD waitHint_ = 0;
};

}  // namespace brenlow
