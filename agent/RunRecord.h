#pragma once
// The record of the runs under way: which processes each script's run has running, kept where
// only the system and administrators may change it. The service's next start, after a stop or a
// crash, reads what the previous process left there, so that it neither starts a second run of a
// script beside one still under way nor lets such a run outlive the time limit. Each runner's run
// under way is also where the stop hook finds it.

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/ExecuteAndCollect.h"
#include "common/UniqueHandle.h"

namespace brenlow {

// Below HKEY_LOCAL_MACHINE, in the 64-bit view. Volatile (gone at a reboot, as are the processes
// it names) and made afresh at every start; removed at a stop that leaves no run under way. One
// REG_BINARY value per script with a run under way, named by the script's file.
inline constexpr const char* kRunRecordKeyPath = "SOFTWARE\\Tevrin\\Tevrin Agent\\Runs";
// Owned by Administrators, SYSTEM and Administrators only, nothing inherited: the next start ends
// the processes it names.
inline constexpr const char* kRunRecordKeySddl = "O:BAD:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

// A process named for a later process of the service: ids are reused, so an id counts only
// together with the process's creation time (FILETIME). A run's value in the record is the array
// of its processes' marks as they lie in memory, the script's own first.
#pragma pack(push, 4)
struct TProcessMark {
  DWORD Id = 0;
  uint64_t Created = 0;
};
#pragma pack(pop)
static_assert(sizeof(TProcessMark) == 12);

// When a process was created (FILETIME); 0 when it cannot be asked. A process just created may
// take up to a second to tell.
uint64_t CreationTimeOf(HANDLE process);

// The marks of a run's value in the record; none for bytes that are not such a value.
std::vector<TProcessMark> DecodeRunValue(const std::string& bytes);

// Whether a key's security descriptor lets only SYSTEM, Administrators and account (this
// process's own, as a SID string) change it: one of them owns it, and its access list allows
// nobody else anything. A record that others may have written is not believed.
bool OnlyTrustedMayChange(PSECURITY_DESCRIPTOR descriptor, const std::string& account);

// A run that an earlier process of the service left under way, its processes still running
// opened (to be waited for and ended, and so that their ids cannot be reused meanwhile), each
// confirmed by its creation time.
struct TLeftRun {
  UniqueHandle ScriptProcess;        // empty when it has ended
  std::vector<UniqueHandle> Others;  // what it started, still running
  // Of the script's process (always the first: its id and creation, when the run started) and
  // of the others.
  std::vector<TProcessMark> Marks;
};

class TRunRecord;

// One runner's run under way: recorded as it starts (with every process its job announces) and
// removed as it ends; the stop hook reaches it here. Owned by the record, so it outlives the
// runner that uses it. Its calls come from the runner, the stop hook and the record's watcher.
class TRunUnderWay final : public TRunObserver {
 public:
  TRunUnderWay(TRunRecord& record, std::string script, uint32_t index);

  // The options of the next run: these, told to this run under way, and with a time limit the
  // job's messages sent to the record.
  TRunOptions Options(TRunOptions options);
  // A run left by an earlier process, under way until Ended; its handles must outlive that.
  void Adopt(const TLeftRun& run);

  bool Started(const TStartedChild& child) override;  // false once closed
  void Ended() override;

  // For the stop hook: no run starts from now on. The run under way, if any: a handle of its
  // script's process of the caller's own, and when it started (FILETIME).
  struct TUnderWay {
    UniqueHandle Process;
    uint64_t Started = 0;
  };
  std::optional<TUnderWay> Close();
  bool Closed() const;
  // Ends the run under way with every process of it; false when none is under way any more.
  bool EndAtStop();
  // Whether the stop ended the run that ended last.
  bool EndedAtStop() const;

  // From the record's watcher: a process joined the job of run number serial.
  void Joined(uint32_t serial, DWORD processId);

 private:
  // Records a process that joined the job of the run under way; the lock is held.
  void Join(DWORD processId);

  TRunRecord& record_;
  const std::string script_;
  const uint32_t index_;
  mutable std::mutex mutex_;
  uint32_t serial_ = 0;
  bool closed_ = false;
  bool endedAtStop_ = false;
  // The run under way (borrowed handles), null when there is none.
  HANDLE process_ = nullptr;
  HANDLE job_ = nullptr;
  std::vector<HANDLE> others_;  // of an adopted run: what its script started
  std::vector<TProcessMark> marks_;
  std::vector<DWORD> early_;  // processes announced before the start was told
};

class TRunRecord {
 public:
  // A record on the key `path` below `root`. It writes nothing until Open has succeeded.
  TRunRecord(HKEY root, std::string path);
  TRunRecord(const TRunRecord&) = delete;
  TRunRecord& operator=(const TRunRecord&) = delete;

  // At every start of the service: takes the runs an earlier process recorded and that still
  // run (when the key can be believed), removes the key, makes it afresh (volatile, with
  // kRunRecordKeySddl) and records those runs again. Returns them by script.
  std::map<std::string, std::shared_ptr<TLeftRun>> Open() noexcept;
  // At a stop: removes the key when it holds no run.
  void RemoveIfEmpty() noexcept;

  // A run under way for one more runner; lives as long as the record.
  TRunUnderWay& NewRun(const std::string& script);

  // Sets the script's value to its run's processes; none removes it.
  void Write(const std::string& script, const std::vector<TProcessMark>& marks) noexcept;
  // Where the jobs of runs with a limit announce their processes; made at the first call, with
  // the thread that watches it. Null when it cannot be made.
  HANDLE JobPort() noexcept;

 private:
  static DWORD WINAPI Watch(void* self);
  // Write with the lock held.
  void Set(const std::string& script, const std::vector<TProcessMark>& marks) noexcept;

  const HKEY root_;
  const std::string path_;
  std::mutex mutex_;
  UniqueRegKey key_;
  std::vector<std::unique_ptr<TRunUnderWay>> runs_;
  std::once_flag portMade_;
  UniqueHandle port_;
};

// The service's record, on HKLM\SOFTWARE\Tevrin\Tevrin Agent\Runs. Never destroyed.
TRunRecord& ServiceRunRecord();

}  // namespace brenlow
