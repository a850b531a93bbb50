#pragma once
// Helpers for the tests of the companion's workers: an event log writer whose entries a test
// can read back, and an owner that stops a never-released worker and frees it once it has ended.

#include <windows.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "agent/QRXProxyCheckerUnit.h"
#include "common/UniqueHandle.h"
#include "eventlog/EventLog.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {

struct LoggedEntry {
  TEventType level;
  std::string text;
  bool operator==(const LoggedEntry&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LoggedEntry& entry) {
  return out << "{" << static_cast<int>(entry.level) << ", \"" << entry.text << "\"}";
}

// A TEventLog whose system calls only record the entries written through it. Registration and
// the open succeed without touching the registry or the system's log.
class RecordingEventLog {
 public:
  TEventLog& log() { return log_; }

  std::vector<LoggedEntry> Entries() const {
    std::lock_guard<std::mutex> lock(api_.mutex);
    return api_.entries;
  }
  size_t Count() const { return Entries().size(); }

 private:
  struct Api final : EventLogApi {
    LSTATUS RegCreateKeyExA(HKEY, const char*, DWORD, const char*, DWORD, REGSAM,
                            SECURITY_ATTRIBUTES*, HKEY* result, DWORD*) override {
      *result = reinterpret_cast<HKEY>(0x4B4B);
      return ERROR_SUCCESS;
    }
    LSTATUS RegSetValueExA(HKEY, const char*, DWORD, DWORD, const BYTE*, DWORD) override {
      return ERROR_SUCCESS;
    }
    LSTATUS RegCloseKey(HKEY) override { return ERROR_SUCCESS; }
    LSTATUS RegDeleteKeyA(HKEY, const char*) override { return ERROR_SUCCESS; }
    HANDLE OpenEventLogA(const char*, const char*) override {
      return reinterpret_cast<HANDLE>(0xCAFE);
    }
    BOOL ReportEventA(HANDLE, WORD type, WORD, DWORD, PSID, WORD count, DWORD, const char** strings,
                      void*) override {
      const TEventType level = type == EVENTLOG_ERROR_TYPE     ? etError
                               : type == EVENTLOG_WARNING_TYPE ? etWarning
                                                               : etInfo;
      std::lock_guard<std::mutex> lock(mutex);
      entries.push_back({level, count > 0 ? strings[0] : ""});
      return TRUE;
    }
    BOOL CloseEventLog(HANDLE) override { return TRUE; }
    std::string ExecutablePath() override { return "C:\\test\\agent.exe"; }

    mutable std::mutex mutex;
    std::vector<LoggedEntry> entries;
  };

  Api api_;  // declared first: the writer uses it until its own end
  TEventLog log_{api_};
};

// Owns a never-released worker for the length of a test: at the end it asks the worker to stop,
// waits for its thread to end and frees it, so nothing of it outlives what it writes to.
template <typename Worker>
class StoppedAtEnd {
 public:
  explicit StoppedAtEnd(Worker* worker) : worker_(worker) {}
  ~StoppedAtEnd() {
    if (Stop()) delete worker_;
  }
  StoppedAtEnd(const StoppedAtEnd&) = delete;
  StoppedAtEnd& operator=(const StoppedAtEnd&) = delete;

  Worker* operator->() const { return worker_; }

  // Requests the stop and waits (generously) until the worker has finished its cycle; true once
  // it has. The worker stays readable.
  bool Stop() {
    worker_->RequestStop();
    if (worker_->WaitForEnd(60000)) return true;
    ADD_FAILURE() << "the worker did not end after its stop request";
    return false;
  }

 private:
  Worker* worker_;
};

// The two command lines of the kill.
inline constexpr const char* kKillQrx = R"(cmd ""/C taskkill /im qrx_proxy.exe /f /t)";
inline constexpr const char* kKillDebug = R"(cmd ""/C taskkill /im qrx_proxy_debug.exe /f /t)";

// A monitor without a thread: the test runs its cycles one by one on its own thread.
class CycleDriver : public TProxyCheckerThread {
 public:
  explicit CycleDriver(TProxyCheckerSettings settings) : TProxyCheckerThread(std::move(settings)) {}
  using TProxyCheckerThread::RunCycle;
};

// Whether an instance of the companion's pipe is there and free, without taking it.
inline bool PipeIsFree() { return WaitNamedPipeA(ProbePipeName, 1) != FALSE; }

// The "start <pid> <path>" lines the companion stand-in writes beside itself.
inline std::vector<std::string> StandInStarts(const std::string& dir) {
  std::vector<std::string> starts;
  const std::string text =
      FileExists(dir + "\\qrx_proxy.log") ? ReadFileText(dir + "\\qrx_proxy.log") : "";
  size_t from = 0;
  for (size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2)
    if (text.compare(from, 6, "start ") == 0) starts.push_back(text.substr(from, end - from));
  return starts;
}

// For the cases that start, probe or kill companions (they hold the lock "companion"): no
// companion or debug build runs before or after a case, and each case has two scratch folders
// that outlive its workers and its processes.
class CompanionTest : public ::testing::Test {
 protected:
  void SetUp() override { KillAll(); }
  void TearDown() override { KillAll(); }
  static void KillAll() {
    KillProcessesByName("qrx_proxy.exe");
    KillProcessesByName("qrx_proxy_debug.exe");
  }
  static bool Running(const std::string& image) { return !ProcessIdsByName(image).empty(); }

  TempDir dirA_;
  TempDir dirB_;
};

}  // namespace brenlow::test
