#pragma once
// brenlow.exe --check, and the same checks when the service starts.

#include <functional>
#include <string>
#include <vector>

#include "check/CheckLine.h"
#include "config/AgentSettings.h"

namespace brenlow {

// The checks of what the service reads and runs, as whoever calls them sees it: the settings it
// loaded, the permissions of this program's layout, the interpreter and the scripts.
std::vector<TCheckLine> StartChecks(const TAgentSettings& loaded);

// brenlow.exe --check: every check, its lines written as each group is done, and the exit code
// of CheckExitCode. Nothing on the host is changed.
int RunCheckCommand(const std::function<void(const std::string&)>& write);

// The Warning written at a start for these problems; empty when there are none.
std::string StartWarningText(const std::vector<TCheckLine>& problems);

// Runs StartChecks on a one-shot thread of its own, so the start is not held by the interpreter's
// run, records its FAIL lines in the service's live status, and writes StartWarningText of what
// it finds to AgentEventLog (nothing when all is well).
void StartStartupCheck(const TAgentSettings& loaded);

}  // namespace brenlow
