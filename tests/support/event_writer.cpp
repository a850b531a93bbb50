// Stand-in that writes event-log entries through TEventLog:
//   event_writer [--source NAME] LEVEL MESSAGE [LEVEL MESSAGE ...]
// LEVEL is info, warning or error. Without --source the source name is resolved from the
// executable's own name. Built as my.agent.exe.

#include <cstring>
#include <string>

#include "eventlog/EventLog.h"

int main(int argc, char** argv) {
  brenlow::TEventLog log;
  int next = 1;
  if (argc > 2 && std::strcmp(argv[1], "--source") == 0) {
    log.SetIdentification(argv[2]);
    next = 3;
  }
  if ((argc - next) % 2 != 0) return 2;
  for (; next < argc; next += 2) {
    const std::string level = argv[next];
    if (level == "info")
      log.LogInfo(argv[next + 1]);
    else if (level == "warning")
      log.LogWarning(argv[next + 1]);
    else if (level == "error")
      log.LogError(argv[next + 1]);
    else
      return 2;
  }
  return 0;
}
