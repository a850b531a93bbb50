#include "service/Daemon.h"

#include "service/DaemonController.h"

namespace brenlow {

void TDaemon::SetStatus(TCurrentStatus status) {
  status_ = status;
  waitHint_ = 0;
  ReportStatus();
}

void TDaemon::ReportStatus(DWORD waitHintMs) {
  waitHint_ = waitHintMs;
  ReportStatus();
}

void TDaemon::ReportStatus() {
  if (Controller != nullptr) Controller->ReportStatus();
}

}  // namespace brenlow
