#include "service/DaemonClasses.h"

namespace brenlow {

// ADAPTER (for the merge of the agent): until TDaemon1 of agent/DaemonUnit1.h is in the tree,
// "TDaemon1" is a daemon without hooks, so the service starts, runs and stops doing nothing.
// With the agent merged this becomes std::make_unique<TDaemon1>().
void RegisterDaemonClasses(TDaemonRegistry& registry) {
  registry.RegisterDaemonClass("TDaemon1", [] { return std::make_unique<TDaemon>(); });
}

}  // namespace brenlow
