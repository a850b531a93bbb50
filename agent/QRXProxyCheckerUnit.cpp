#include "agent/QRXProxyCheckerUnit.h"

namespace brenlow {

TEventLog& AgentEventLog() {
  // Deliberately never deleted: the launcher and the monitor may write until the process ends,
  // and no destructor at exit may race them. The system closes the handle with the process.
  static TEventLog* const log = [] {
    auto* created = new TEventLog();
    created->SetIdentification(kAgentEventSource);
    return created;
  }();
  return *log;
}

void CreateAgentEventLog() { AgentEventLog().RegisterSource(""); }

}  // namespace brenlow
