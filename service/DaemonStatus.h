#pragma once
// The daemon's status and how a status report is formed from it.

#include <windows.h>

#include "service/DaemonDef.h"

namespace brenlow {

enum TCurrentStatus {
  csStopped,
  csStartPending,
  csStopPending,
  csRunning,
  csContinuePending,
  csPausePending,
  csPaused
};

// "Stopped", "Start Pending", ... as status log lines show them.
const char* StatusName(TCurrentStatus status);
// SERVICE_STOPPED ... SERVICE_PAUSED.
DWORD StatusState(TCurrentStatus status);
bool IsPendingStatus(TCurrentStatus status);

// The controls a report announces: none while starting, otherwise shutdown and what the
// definition's options allow.
DWORD ControlsAccepted(const TDaemonDef& def, TCurrentStatus status);

// The report for `status`, given the status and check point reported last. A pending status
// reported again advances the check point; anything else starts it at 0. The caller stores
// dwCheckPoint and `status` as the new last report.
SERVICE_STATUS BuildServiceStatus(const TDaemonDef& def, TCurrentStatus status,
                                  TCurrentStatus lastReported, DWORD lastCheckPoint);

}  // namespace brenlow
