#include "service/Daemon.h"

#include "service/DaemonController.h"

namespace brenlow {

void TDaemon::SetStatus(TCurrentStatus status) {
  status_ = status;
  ReportStatus();
}

void TDaemon::ReportStatus() {
  if (Controller != nullptr) Controller->ReportStatus();
}

}  // namespace brenlow
