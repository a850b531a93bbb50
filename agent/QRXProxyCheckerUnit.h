#pragma once
// The companion health monitor's unit. It also holds AgentEventLog, the process-wide event log
// writer through which the agent's workers report.

#include "eventlog/EventLog.h"

namespace brenlow {

// The event source every agent report is written under.
inline constexpr const char* kAgentEventSource = "Tevrin Inner Service";

// The process-wide writer, source "Tevrin Inner Service". It lives until the process ends and
// is never destroyed, so a worker may write to it at any moment; it stays inactive until the
// first entry.
TEventLog& AgentEventLog();

// Creates AgentEventLog and registers its source with the running executable as message file.
// Called on the main thread before anything else, whatever the command line says; a failed
// registration is silent.
void CreateAgentEventLog();

}  // namespace brenlow
