#pragma once
// The installed service as the service manager keeps it: installed, registered for this
// program, started at boot, running, and restarted after a crash. Read with query rights only.

#include <windows.h>

#include <string>
#include <vector>

#include "check/CheckLine.h"

namespace brenlow {

// What the service manager says about the service.
struct TServiceFacts {
  // The call that failed first while opening the manager or the service (0 when it opened);
  // ERROR_SERVICE_DOES_NOT_EXIST when it is not installed.
  DWORD OpenError = 0;
  DWORD ConfigError = 0;  // QueryServiceConfigA failed with this
  std::string CommandLine;
  DWORD StartType = 0;
  DWORD StatusError = 0;  // QueryServiceStatusEx failed with this
  DWORD State = 0;
  DWORD ProcessId = 0;
  // QueryServiceConfig2A for the recovery actions failed with this. Some systems cannot report
  // them (Wine answers ERROR_INVALID_LEVEL).
  DWORD RecoveryError = 0;
  std::vector<SC_ACTION> RecoveryActions;
  DWORD RecoveryResetSeconds = 0;
};

// Reads the facts of the service with that name.
TServiceFacts ReadServiceFacts(const std::string& serviceName);

// The lines for those facts. The command line must be the one install registers for this
// program (expected) or the program's path in quotes with the same arguments; letter case is
// ignored, as the file system ignores it.
std::vector<TCheckLine> ServiceLines(const std::string& serviceName, const TServiceFacts& facts,
                                     const std::string& programPath,
                                     const std::string& runArguments);

// ServiceLines for this program's service, read from the service manager.
std::vector<TCheckLine> CheckService(const std::string& programPath);

}  // namespace brenlow
