#pragma once
// The one reader of the service manager for the administrator's commands: what it keeps of a
// service (registration, state, recovery actions) and the process that runs it. Query rights only.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace brenlow {

// What the service manager says about a service.
struct TServiceFacts {
  // The call that failed first while opening the manager or the service (0 when it opened);
  // ERROR_SERVICE_DOES_NOT_EXIST when it is not installed.
  DWORD OpenError = 0;
  DWORD ConfigError = 0;  // QueryServiceConfigA failed with this
  std::string CommandLine;
  DWORD StartType = 0;
  DWORD StatusError = 0;  // QueryServiceStatusEx failed with this
  DWORD State = 0;        // SERVICE_RUNNING, ...
  DWORD ProcessId = 0;
  // When the service's process was created (FILETIME); 0 when there is none or it cannot be
  // opened.
  uint64_t ProcessCreated = 0;
  // QueryServiceConfig2A for the recovery actions failed with this. Some systems cannot report
  // them (Wine answers ERROR_INVALID_LEVEL).
  DWORD RecoveryError = 0;
  std::vector<SC_ACTION> RecoveryActions;
  DWORD RecoveryResetSeconds = 0;
};

// Reads the facts of the service with that name. An account that may query the service's state
// but not its configuration still gets the state (ConfigError and RecoveryError then say why the
// rest is missing).
TServiceFacts ReadServiceFacts(const std::string& serviceName);

// When a process was created (FILETIME); 0 when it cannot be opened or asked.
uint64_t ProcessCreationTime(HANDLE process);
uint64_t ProcessCreationTime(DWORD processId);

// A state the service manager reports, in plain words: "running", "start pending", "paused"...
std::string ServiceStateText(DWORD state);

}  // namespace brenlow
