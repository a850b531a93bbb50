#include "service/DaemonMapperUnit1.h"

namespace brenlow {

TDaemonMapper1::TDaemonMapper1() {
  // Everything not set here keeps the defaults of a new definition: own process, start type
  // stBoot (installed as automatic), errors ignored, stop and pause accepted; recovery after a
  // crash is the one addition.
  TDaemonDef& def = DaemonDefs.Add();
  def.DaemonClassName = "TDaemon1";
  def.SetName("TevrinInternalSvc");
  def.DisplayName = "Tevrin Internal Service";
  def.Description = "Tevrin inner service";
  // Back after a crash: 5 s after the first failure, 30 s after the second, then a minute after
  // each later one; a day without a failure counts as a fresh start.
  def.WinBindings.RestartDelays = {5000, 30000, 60000};
  def.WinBindings.FailureResetPeriod = 24 * 60 * 60;
}

}  // namespace brenlow
