// Stand-in that writes one event-log entry: report_event SOURCE TYPE CATEGORY ID TEXT.
// Used to check that the trace parser reads real ReportEventA calls.

#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  HANDLE log = OpenEventLogA(nullptr, argv[1]);
  const char* strings[] = {argv[5]};
  const BOOL ok = ReportEventA(
      log, static_cast<WORD>(std::atoi(argv[2])), static_cast<WORD>(std::atoi(argv[3])),
      static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10)), nullptr, 1, 0, strings, nullptr);
  if (log) CloseEventLog(log);
  return ok ? 0 : 1;
}
