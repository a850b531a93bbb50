#include "service/DaemonMapperUnit1.h"

namespace brenlow {

TDaemonMapper1::TDaemonMapper1() {
  // Everything not set here keeps the defaults of a new definition: own process, start type
  // stBoot (installed as automatic), errors ignored, stop and pause accepted.
  TDaemonDef& def = DaemonDefs.Add();
  def.DaemonClassName = "TDaemon1";
  def.SetName("TevrinInternalSvc");
  def.DisplayName = "Tevrin Internal Service";
  def.Description = "Tevrin inner service";
}

}  // namespace brenlow
