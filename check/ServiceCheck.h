#pragma once
// The installed service as the service manager keeps it: installed, registered for this
// program, started at boot, running, and restarted after a crash. Read with query rights only.

#include <windows.h>

#include <string>
#include <vector>

#include "check/CheckLine.h"
#include "service/ServiceQuery.h"

namespace brenlow {

// The lines for those facts. The command line must be the one install registers for this
// program (expected) or the program's path in quotes with the same arguments; letter case is
// ignored, as the file system ignores it.
std::vector<TCheckLine> ServiceLines(const std::string& serviceName, const TServiceFacts& facts,
                                     const std::string& programPath,
                                     const std::string& runArguments);

// ServiceLines for this program's service, read from the service manager.
std::vector<TCheckLine> CheckService(const std::string& programPath);

}  // namespace brenlow
