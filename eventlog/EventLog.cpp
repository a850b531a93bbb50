#include "eventlog/EventLog.h"

#include "common/UniqueHandle.h"

namespace brenlow {
namespace {

constexpr DWORD kDefaultEventIDOffset = 1000;
constexpr DWORD kCategoryCount = 4;
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

LSTATUS SetDword(EventLogApi& api, HKEY key, const char* name, DWORD value) {
  return api.RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value));
}

// The terminating null is part of the data, as REG_SZ requires.
LSTATUS SetString(EventLogApi& api, HKEY key, const char* name, const std::string& value) {
  return api.RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1));
}

}  // namespace

WORD EventTypeOf(TEventType level) {
  switch (level) {
    case etWarning:
      return EVENTLOG_WARNING_TYPE;
    case etError:
      return EVENTLOG_ERROR_TYPE;
    case etInfo:
    case etCustom:  // the two levels nothing here writes show as information
    case etDebug:
      break;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

std::string ResolveIdentification(std::string_view executablePath) {
  const size_t separator = executablePath.find_last_of("\\/:");
  std::string_view name =
      separator == std::string_view::npos ? executablePath : executablePath.substr(separator + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

std::string EventSourceKeyPath(std::string_view identification) {
  std::string path = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
  path += identification;
  return path;
}

TEventLog::TEventLog(EventLogApi& api, TRepeatLimitSettings limit)
    : api_(api), limit_(std::move(limit)) {}

TEventLog::~TEventLog() {
  WriteLeftOutReports();
  // A failed open leaves the writer active without a handle; there is nothing to close then.
  if (active_.load() && log_ != nullptr) api_.CloseEventLog(log_);
  active_.store(false);
}

void TEventLog::ResolveIdentification() {
  if (identification_.empty())
    identification_ = brenlow::ResolveIdentification(api_.ExecutablePath());
}

bool TEventLog::RegisterSource(const std::string& messageFile) noexcept {
  try {
    ResolveIdentification();
    // Without a name the key path would be the Application log's own key.
    if (identification_.empty()) return false;
    const std::string keyPath = EventSourceKeyPath(identification_);
    UniqueRegKey key;
    if (api_.RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, "", REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
      key.release();  // whatever a failed call left there is not ours to close
      return false;
    }
    const std::string path = messageFile.empty() ? api_.ExecutablePath() : messageFile;
    // Each value is written only if every earlier one was.
    const bool written =
        SetDword(api_, key.get(), "CategoryCount", kCategoryCount) == ERROR_SUCCESS &&
        SetDword(api_, key.get(), "TypesSupported", kTypesSupported) == ERROR_SUCCESS &&
        SetString(api_, key.get(), "CategoryMessageFile", path) == ERROR_SUCCESS &&
        SetString(api_, key.get(), "EventMessageFile", path) == ERROR_SUCCESS;
    // Closed through the same calls that opened it; the owner only steps in if we leave early.
    api_.RegCloseKey(key.release());
    return written;
  } catch (...) {
    return false;
  }
}

bool TEventLog::UnregisterSource() noexcept {
  try {
    ResolveIdentification();
    // Never the Application log's own key.
    if (identification_.empty()) return false;
    return api_.RegDeleteKeyA(HKEY_LOCAL_MACHINE, EventSourceKeyPath(identification_).c_str()) ==
           ERROR_SUCCESS;
  } catch (...) {
    return false;
  }
}

void TEventLog::Open() noexcept {
  try {
    ResolveIdentification();
    log_ = api_.OpenEventLogA(nullptr, identification_.c_str());
  } catch (...) {
    log_ = nullptr;
  }
  // Active even when the open failed: the open is not tried again, and later entries are
  // dropped by ReportEventA on the null handle.
  active_.store(true, std::memory_order_release);
}

void TEventLog::LogEntry(TEventType level, const std::string& message) noexcept {
  try {
    // Two threads writing their first entries at once must not open the log twice; the others
    // wait here until the handle is set.
    std::call_once(openOnce_, [this] { Open(); });
    const std::lock_guard<std::mutex> lock(limitMutex_);
    const TRepeatLimit::TDecision decision = limit_.Admit(level, message);
    for (const std::string& report : decision.Reports) Report(etInfo, report);
    if (decision.Write) Report(level, message);
  } catch (...) {
    // The entry is lost; the caller goes on.
  }
}

void TEventLog::WriteLeftOutReports() noexcept {
  try {
    // A writer that never wrote has left nothing out.
    if (!Active()) return;
    const std::lock_guard<std::mutex> lock(limitMutex_);
    for (const std::string& report : limit_.TakeAllReports()) Report(etInfo, report);
  } catch (...) {
    // The reports are lost.
  }
}

void TEventLog::Report(TEventType level, const std::string& message) {
  DWORD offset = 0;
  if (eventIdOffset_.compare_exchange_strong(offset, kDefaultEventIDOffset))
    offset = kDefaultEventIDOffset;
  // The message goes out unchanged; an empty one as "", never as a null pointer.
  const char* strings[] = {message.c_str()};
  api_.ReportEventA(log_, EventTypeOf(level), level, offset + level, nullptr, 1, 0, strings,
                    nullptr);
}

}  // namespace brenlow
