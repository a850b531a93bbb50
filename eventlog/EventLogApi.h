#pragma once
// The system calls an event log writer makes: the registry calls of its source registration,
// the event-log calls of its entries, and the executable's path. The writer makes them through
// this interface so tests can watch each call and make any of them fail; the program uses
// SystemEventLogApi(), which calls advapi32 directly.

#include <windows.h>

#include <string>

namespace brenlow {

class EventLogApi {
 public:
  virtual LSTATUS RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved,
                                  const char* keyClass, DWORD options, REGSAM access,
                                  SECURITY_ATTRIBUTES* security, HKEY* result,
                                  DWORD* disposition) = 0;
  virtual LSTATUS RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                                 const BYTE* data, DWORD size) = 0;
  virtual LSTATUS RegCloseKey(HKEY key) = 0;
  virtual LSTATUS RegDeleteKeyA(HKEY key, const char* subKey) = 0;
  virtual HANDLE OpenEventLogA(const char* serverName, const char* sourceName) = 0;
  virtual BOOL ReportEventA(HANDLE log, WORD type, WORD category, DWORD eventId, PSID user,
                            WORD stringCount, DWORD dataSize, const char** strings, void* data) = 0;
  virtual BOOL CloseEventLog(HANDLE log) = 0;
  // The full path of the running executable ("" when it cannot be had).
  virtual std::string ExecutablePath() = 0;

 protected:
  // Not virtual, so the system binding needs no destructor and stays usable until the very end
  // of the process; nobody deletes an implementation through this interface.
  ~EventLogApi() = default;
};

// The binding to the real functions. It is never destroyed.
EventLogApi& SystemEventLogApi();

}  // namespace brenlow
