#include "agent/RunRecord.h"

#include <cstring>

#include "common/SecurityDescriptor.h"
#include "common/VolatileKey.h"
#include "service/ServiceQuery.h"
#include "status/StatusBoard.h"

namespace brenlow {
namespace {

constexpr DWORD kLeftRunAccess =
    SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;

// The process with that mark, opened, if it still runs: a process that has ended, or a later
// one given the same id, is not it.
UniqueHandle OpenIfRunning(const TProcessMark& mark) {
  UniqueHandle process(OpenProcess(kLeftRunAccess, FALSE, mark.Id));
  if (!process || CreationTimeOf(process.get()) != mark.Created ||
      WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT)
    return {};
  return process;
}

}  // namespace

uint64_t CreationTimeOf(HANDLE process) {
  // Wine gives a process its creation time only once the process has set itself up, moments
  // after its creation (when a job announces it, say): until then the time read lies in the
  // future, and is read again.
  for (int tries = 0;; ++tries) {
    const uint64_t time = ProcessCreationTime(process);
    if (time <= FileTimeNow() || tries == 100) return time;
    Sleep(10);
  }
}

std::vector<TProcessMark> DecodeRunValue(const std::string& bytes) {
  if (bytes.size() % sizeof(TProcessMark) != 0) return {};
  std::vector<TProcessMark> marks(bytes.size() / sizeof(TProcessMark));
  std::memcpy(marks.data(), bytes.data(), bytes.size());
  return marks;
}

bool OnlyTrustedMayChange(PSECURITY_DESCRIPTOR descriptor, const std::string& account) {
  const auto trusted = [&account](PSID sid) {
    const std::string text = SidText(sid);
    return text == "S-1-5-18" || text == "S-1-5-32-544" || (!text.empty() && text == account);
  };
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
      !trusted(owner))
    return false;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
      dacl == nullptr)
    return false;  // no access list lets everybody in
  // The rights that change the key or who may change it.
  constexpr ACCESS_MASK kChanges = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE |
                                   WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    const BYTE type = static_cast<ACE_HEADER*>(ace)->AceType;
    if (type == ACCESS_DENIED_ACE_TYPE) continue;
    // Any other kind (object or conditional entries) is none that this record was given.
    if (type != ACCESS_ALLOWED_ACE_TYPE) return false;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kChanges) != 0 && !trusted(&allowed->SidStart)) return false;
  }
  return true;
}

// --- TRunUnderWay --------------------------------------------------------------------------------

TRunUnderWay::TRunUnderWay(TRunRecord& record, std::string script, uint32_t index)
    : record_(record), script_(std::move(script)), index_(index) {}

TRunOptions TRunUnderWay::Options(TRunOptions options) {
  uint32_t serial;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    serial = ++serial_;
    early_.clear();
  }
  options.Observer = this;
  if (options.TimeLimitMs > 0) {
    options.JobPort = record_.JobPort();
    options.JobPortKey = (static_cast<ULONG_PTR>(index_) << 32) | serial;
  }
  return options;
}

void TRunUnderWay::Adopt(const TLeftRun& run) {
  const std::lock_guard<std::mutex> lock(mutex_);
  process_ = run.ScriptProcess.get();
  for (const UniqueHandle& other : run.Others) others_.push_back(other.get());
  marks_ = run.Marks;
}

bool TRunUnderWay::Started(const TStartedChild& child) {
  const uint64_t created = CreationTimeOf(child.Process);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  endedAtStop_ = false;
  process_ = child.Process;
  job_ = child.Job;
  marks_ = {{child.ProcessId, created}};
  record_.Write(script_, marks_);
  // What the watcher heard of before this start was told.
  for (const DWORD id : early_) Join(id);
  early_.clear();
  return true;
}

void TRunUnderWay::Ended() {
  const std::lock_guard<std::mutex> lock(mutex_);
  process_ = nullptr;
  job_ = nullptr;
  others_.clear();
  marks_.clear();
  record_.Write(script_, {});
}

std::optional<TRunUnderWay::TUnderWay> TRunUnderWay::Close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  if (process_ == nullptr) return std::nullopt;
  TUnderWay run;
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), process_, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return std::nullopt;
  run.Process.reset(copy);
  run.Started = marks_.empty() ? 0 : marks_.front().Created;
  return run;
}

bool TRunUnderWay::Closed() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool TRunUnderWay::EndAtStop() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (process_ == nullptr) return false;
  endedAtStop_ = true;
  if (job_ != nullptr) {
    TerminateJobObject(job_, kTimeLimitExitCode);
  } else {
    TerminateProcess(process_, kTimeLimitExitCode);
    for (const HANDLE other : others_) TerminateProcess(other, kTimeLimitExitCode);
  }
  // Nothing of it is left for the next start to wait for.
  record_.Write(script_, {});
  return true;
}

bool TRunUnderWay::EndedAtStop() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return endedAtStop_;
}

void TRunUnderWay::Joined(uint32_t serial, DWORD processId) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (serial != serial_) return;  // a message of an earlier run, late
  if (process_ == nullptr)
    early_.push_back(processId);
  else
    Join(processId);
}

void TRunUnderWay::Join(DWORD processId) {
  if (job_ == nullptr || marks_.empty() || processId == marks_.front().Id) return;
  // The id may already belong to another process: only one in the run's job counts. (Wine
  // answers IsProcessInJob only with the full query right.)
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
  BOOL inJob = FALSE;
  if (!process || !IsProcessInJob(process.get(), job_, &inJob) || !inJob) return;
  marks_.push_back({processId, CreationTimeOf(process.get())});
  record_.Write(script_, marks_);
}

// --- TRunRecord ----------------------------------------------------------------------------------

TRunRecord::TRunRecord(HKEY root, std::string path) : root_(root), path_(std::move(path)) {}

std::map<std::string, std::shared_ptr<TLeftRun>> TRunRecord::Open() noexcept {
  std::map<std::string, std::shared_ptr<TLeftRun>> left;
  const std::lock_guard<std::mutex> lock(mutex_);
  key_.reset();
  try {
    UniqueRegKey earlier;
    if (RegOpenKeyExA(root_, path_.c_str(), 0, KEY_QUERY_VALUE | READ_CONTROL, earlier.put()) ==
        ERROR_SUCCESS) {
      const TSecurityDescriptor descriptor = TSecurityDescriptor::OfKey(earlier.get());
      const bool believed = descriptor.get() != nullptr &&
                            OnlyTrustedMayChange(descriptor.get(), ProcessAccountSid());
      std::string data;
      for (DWORD i = 0; believed; ++i) {
        char name[256];
        DWORD nameSize = sizeof(name);
        data.assign(65536, '\0');
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LSTATUS read = RegEnumValueA(earlier.get(), i, name, &nameSize, nullptr, &type,
                                           reinterpret_cast<BYTE*>(data.data()), &dataSize);
        if (read == ERROR_NO_MORE_ITEMS) break;
        if (read != ERROR_SUCCESS || type != REG_BINARY) continue;
        data.resize(dataSize);
        const std::vector<TProcessMark> marks = DecodeRunValue(data);
        if (marks.empty()) continue;
        auto run = std::make_shared<TLeftRun>();
        run->ScriptProcess = OpenIfRunning(marks.front());
        run->Marks = {marks.front()};
        for (size_t at = 1; at < marks.size(); ++at)
          if (UniqueHandle other = OpenIfRunning(marks[at])) {
            run->Others.push_back(std::move(other));
            run->Marks.push_back(marks[at]);
          }
        if (run->ScriptProcess || !run->Others.empty()) left[name] = std::move(run);
      }
    }
  } catch (...) {
    // Out of memory: what was found so far is kept.
  }

  // The key made afresh, with only the runs still alive.
  UniqueRegKey key =
      RecreateVolatileKey(root_, path_, kRunRecordKeySddl, KEY_SET_VALUE | KEY_QUERY_VALUE);
  if (!key) return left;
  key_ = std::move(key);
  for (const auto& [script, run] : left) Set(script, run->Marks);
  return left;
}

void TRunRecord::RemoveIfEmpty() noexcept {
  const std::lock_guard<std::mutex> lock(mutex_);
  DWORD values = 0;
  if (!key_ ||
      RegQueryInfoKeyA(key_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      values > 0)
    return;
  key_.reset();
  RegDeleteTreeA(root_, path_.c_str());
}

TRunUnderWay& TRunRecord::NewRun(const std::string& script) {
  const std::lock_guard<std::mutex> lock(mutex_);
  runs_.push_back(
      std::make_unique<TRunUnderWay>(*this, script, static_cast<uint32_t>(runs_.size())));
  return *runs_.back();
}

void TRunRecord::Write(const std::string& script, const std::vector<TProcessMark>& marks) noexcept {
  const std::lock_guard<std::mutex> lock(mutex_);
  Set(script, marks);
}

void TRunRecord::Set(const std::string& script, const std::vector<TProcessMark>& marks) noexcept {
  if (!key_) return;
  if (marks.empty())
    RegDeleteValueA(key_.get(), script.c_str());
  else
    RegSetValueExA(key_.get(), script.c_str(), 0, REG_BINARY,
                   reinterpret_cast<const BYTE*>(marks.data()),
                   static_cast<DWORD>(marks.size() * sizeof(TProcessMark)));
}

HANDLE TRunRecord::JobPort() noexcept {
  std::call_once(portMade_, [this] {
    port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port_) return;
    // The watcher only waits on the port and writes a value now and then: a small stack.
    UniqueHandle thread(
        CreateThread(nullptr, 64 * 1024, &Watch, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) port_.reset();
  });
  return port_.get();
}

DWORD WINAPI TRunRecord::Watch(void* self) {
  auto* record = static_cast<TRunRecord*>(self);
  for (;;) {
    DWORD message = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* data = nullptr;
    if (!GetQueuedCompletionStatus(record->port_.get(), &message, &key, &data, INFINITE)) {
      if (data == nullptr) return 0;  // the port is gone
      continue;
    }
    if (message != JOB_OBJECT_MSG_NEW_PROCESS) continue;
    TRunUnderWay* run = nullptr;
    {
      const std::lock_guard<std::mutex> lock(record->mutex_);
      const size_t index = key >> 32;
      if (index < record->runs_.size()) run = record->runs_[index].get();
    }
    if (run != nullptr)
      run->Joined(static_cast<uint32_t>(key),
                  static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data)));
  }
}

TRunRecord& ServiceRunRecord() {
  static TRunRecord* const record = new TRunRecord(HKEY_LOCAL_MACHINE, kRunRecordKeyPath);
  return *record;
}

}  // namespace brenlow
