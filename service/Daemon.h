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

 private:
  TCurrentStatus status_ = csStopped;
};

}  // namespace brenlow
