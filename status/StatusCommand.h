#pragma once
// brenlow.exe --status: asks the service manager about the service, reads the status key, and
// prints the report. Its exit code is that of a monitoring check (see TCheckResult).

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "service/ServiceQuery.h"
#include "status/StatusReport.h"

namespace brenlow {

// What the service manager says of the service, as the report takes it; QueryError holds why it
// could not be asked.
TServiceState ServiceStateOf(const std::string& serviceName, const TServiceFacts& facts);

// The status key at path below root, with the given scripts' subkeys in that order. Present is
// false when the key cannot be opened, and for a subkey that is being written throughout the
// tenth of a second its reader waits for a moment between two changes, pausing with pause.
TAgentStatus ReadAgentStatus(HKEY root, const std::string& path,
                             const std::vector<std::string>& scripts,
                             const std::function<void(DWORD)>& pause = ::Sleep);

// The command: writes the report through write, in plain words or as one JSON object, and
// returns its exit code.
int RunStatusCommand(const std::string& serviceName, const std::vector<std::string>& scripts,
                     bool json, const std::function<void(const std::string&)>& write);

}  // namespace brenlow
