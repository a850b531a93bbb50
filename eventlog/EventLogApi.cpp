#include "eventlog/EventLogApi.h"

#include "common/SystemError.h"

namespace brenlow {
namespace {

class SystemApi final : public EventLogApi {
 public:
  LSTATUS RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, const char* keyClass,
                          DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result,
                          DWORD* disposition) override {
    // The class text is only read; the declaration lacks const for historical reasons.
    return ::RegCreateKeyExA(key, subKey, reserved, const_cast<char*>(keyClass), options, access,
                             security, result, disposition);
  }
  LSTATUS RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                         const BYTE* data, DWORD size) override {
    return ::RegSetValueExA(key, valueName, reserved, type, data, size);
  }
  LSTATUS RegCloseKey(HKEY key) override { return ::RegCloseKey(key); }
  LSTATUS RegDeleteKeyA(HKEY key, const char* subKey) override {
    return ::RegDeleteKeyA(key, subKey);
  }
  HANDLE OpenEventLogA(const char* serverName, const char* sourceName) override {
    return ::OpenEventLogA(serverName, sourceName);
  }
  BOOL ReportEventA(HANDLE log, WORD type, WORD category, DWORD eventId, PSID user,
                    WORD stringCount, DWORD dataSize, const char** strings, void* data) override {
    return ::ReportEventA(log, type, category, eventId, user, stringCount, dataSize, strings, data);
  }
  BOOL CloseEventLog(HANDLE log) override { return ::CloseEventLog(log); }
  std::string ExecutablePath() override { return brenlow::ExecutablePath(); }
};

// Constant-initialised and trivially destructible: it exists before any code runs and is never
// torn down, so a writer that lives until the process ends can always use it.
constinit SystemApi systemApi;

}  // namespace

EventLogApi& SystemEventLogApi() { return systemApi; }

}  // namespace brenlow
