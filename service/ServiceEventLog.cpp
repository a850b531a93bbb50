#include "service/ServiceEventLog.h"

#include <windows.h>

#include "common/SystemError.h"
#include "common/UniqueHandle.h"

namespace brenlow {
namespace {

// ADAPTER (for the merge of the event log writer): until TEventLog of eventlog/EventLog.h is in
// the tree, this minimal writer does what the host needs of it with the same registry key,
// levels and identifiers. With the writer merged this class becomes a TEventLog created with an
// empty Identification, RegisterSource(""), LogEntry(etError/etInfo, text) and
// UnregisterSource().
class TInterimServiceEventLog : public TServiceEventLog {
 public:
  TInterimServiceEventLog() {
    const std::string path = ExecutablePath();
    std::string name = path.substr(path.find_last_of("\\/:") + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot != 0) name.resize(dot);
    key_ = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
    name_ = name;
    UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
      return;
    const DWORD categories = 4, types = 7;
    RegSetValueExA(key.get(), "CategoryCount", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&categories), sizeof(categories));
    RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof(types));
    for (const char* value : {"CategoryMessageFile", "EventMessageFile"})
      RegSetValueExA(key.get(), value, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                     static_cast<DWORD>(path.size() + 1));
  }
  ~TInterimServiceEventLog() override {
    if (log_ != nullptr) CloseEventLog(log_);
  }
  void LogError(const std::string& text) override { Write(EVENTLOG_ERROR_TYPE, 3, text); }
  void LogInfo(const std::string& text) override { Write(EVENTLOG_INFORMATION_TYPE, 1, text); }
  void UnregisterSource() override { RegDeleteKeyA(HKEY_LOCAL_MACHINE, key_.c_str()); }

 private:
  void Write(WORD type, WORD level, const std::string& text) {
    if (!opened_) {
      opened_ = true;
      log_ = OpenEventLogA(nullptr, name_.c_str());
    }
    const char* strings[] = {text.c_str()};
    ReportEventA(log_, type, level, 1000u + level, nullptr, 1, 0, strings, nullptr);
  }

  std::string name_, key_;
  bool opened_ = false;
  HANDLE log_ = nullptr;
};

}  // namespace

std::unique_ptr<TServiceEventLog> CreateServiceEventLog() {
  return std::make_unique<TInterimServiceEventLog>();
}

}  // namespace brenlow
