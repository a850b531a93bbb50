#pragma once
// The event log writer: one event source of the Windows Application log. It registers the
// running executable as the message file of its source, opens the log on its first entry and
// writes each entry with a level, passing the caller's message as the only insertion string.
// Nothing a writer does ever fails towards its caller: a failed registration or entry is lost.
// Repeats are limited (see RepeatLimit.h): the writer leaves out an entry whose level and text
// it has already written ten times in the last ten minutes, and later says how many it left out.

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "eventlog/EventLogApi.h"
#include "eventlog/RepeatLimit.h"

namespace brenlow {

// The level of an entry. The system writes etInfo, etWarning and etError.
enum TEventType : WORD { etCustom = 0, etInfo = 1, etWarning = 2, etError = 3, etDebug = 4 };

// The event type ReportEventA gets for a level (EVENTLOG_*_TYPE).
WORD EventTypeOf(TEventType level);

// The source name an executable gets when none was set: the file name of its path, cut at its
// last "." unless that "." is the name's first character. "C:\x\my.agent.exe" gives "my.agent".
std::string ResolveIdentification(std::string_view executablePath);

// The key of a source below HKEY_LOCAL_MACHINE.
std::string EventSourceKeyPath(std::string_view identification);

class TEventLog {
 public:
  // An inactive writer with an empty Identification, making its system calls through api
  // (which must outlive it) and limiting repeats as limit says.
  explicit TEventLog(EventLogApi& api = SystemEventLogApi(), TRepeatLimitSettings limit = {});
  // Writes the reports of left-out entries, then closes the event log if an entry opened it.
  virtual ~TEventLog();
  TEventLog(const TEventLog&) = delete;
  TEventLog& operator=(const TEventLog&) = delete;

  // The source name. An empty one is replaced by the executable's base name before it is first
  // used. Set it before the first entry or registration.
  const std::string& Identification() const { return identification_; }
  void SetIdentification(std::string identification) {
    identification_ = std::move(identification);
  }

  // Base of the event identifiers; 0 stands for 1000 and becomes 1000 with the first entry.
  DWORD EventIDOffset() const { return eventIdOffset_.load(); }
  void SetEventIDOffset(DWORD offset) { eventIdOffset_.store(offset); }

  // Whether the first entry has opened the log (or tried to: a failed open is not repeated).
  bool Active() const { return active_.load(std::memory_order_acquire); }

  // Writes the source's registry key: category count 4, types supported 7, and messageFile
  // (the executable's full path when empty) as both message files. True when all four values
  // were written.
  virtual bool RegisterSource(const std::string& messageFile) noexcept;
  // Deletes the source's registry key; true when it was deleted.
  virtual bool UnregisterSource() noexcept;

  // Writes one entry, unless it repeats too often (then it is counted), after the reports of
  // left-out entries that are due. The first entry opens the log; concurrent first entries open
  // it once.
  void LogEntry(TEventType level, const std::string& message) noexcept;
  void LogInfo(const std::string& message) noexcept { LogEntry(etInfo, message); }
  void LogWarning(const std::string& message) noexcept { LogEntry(etWarning, message); }
  void LogError(const std::string& message) noexcept { LogEntry(etError, message); }

  // Writes, as Information entries, how many entries of each text have been left out so far, due
  // or not: at the service's stop and at the process's end, so that no count is lost.
  void WriteLeftOutReports() noexcept;

 private:
  void ResolveIdentification();
  void Open() noexcept;
  // One ReportEventA call, the log already open.
  void Report(TEventType level, const std::string& message);

  EventLogApi& api_;
  std::string identification_;
  std::atomic<DWORD> eventIdOffset_{0};
  std::once_flag openOnce_;
  std::atomic<bool> active_{false};
  HANDLE log_ = nullptr;  // owned: closed with CloseEventLog at destruction
  // Held while an entry is admitted and written, so the reports come before the entry that made
  // them due.
  std::mutex limitMutex_;
  TRepeatLimit limit_;
};

}  // namespace brenlow
