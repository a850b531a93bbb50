#include "agent/ExecuteAndCollect.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

#include "common/UniqueHandle.h"

namespace brenlow {
namespace {

// Buffer size suggested to the system for each pipe.
constexpr DWORD kPipeBufferSize = 1024;
// Collection buffers grow by this much at a time, not byte by byte.
constexpr size_t kGrowthStep = 65536;

// A failure inside one call. It never leaves the call: the call returns false instead.
class ExecuteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

SECURITY_ATTRIBUTES NotInheritable() { return {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE}; }

// An inheritable copy of a handle; the original is closed once the copy exists. When no copy
// can be made the original stays, and the start then fails because the handle list of the
// child may only name inheritable handles.
UniqueHandle InheritableCopy(UniqueHandle handle) {
  HANDLE copy = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), handle.get(), GetCurrentProcess(), &copy, 0, TRUE,
                      DUPLICATE_SAME_ACCESS))
    return UniqueHandle(copy);
  return handle;
}

// One anonymous pipe: the end the parent keeps (not inheritable) and the end the child gets.
struct Pipe {
  UniqueHandle parentEnd;
  UniqueHandle childEnd;
};

enum class ChildSide { kReads, kWrites };

Pipe MakePipe(ChildSide side) {
  SECURITY_ATTRIBUTES attributes = NotInheritable();
  UniqueHandle readEnd;
  UniqueHandle writeEnd;
  HANDLE readHandle = nullptr;
  HANDLE writeHandle = nullptr;
  if (!CreatePipe(&readHandle, &writeHandle, &attributes, kPipeBufferSize))
    throw ExecuteError("Cannot create a pipe : " + std::to_string(GetLastError()));
  readEnd.reset(readHandle);
  writeEnd.reset(writeHandle);
  if (side == ChildSide::kReads) return {std::move(writeEnd), InheritableCopy(std::move(readEnd))};
  return {std::move(readEnd), InheritableCopy(std::move(writeEnd))};
}

// A process-thread attribute list naming exactly the handles a child may inherit, so a child
// never picks up the pipe ends that another thread has just made inheritable for its own child.
class InheritedHandleList {
 public:
  explicit InheritedHandleList(const std::array<HANDLE, 3>& handles) : handles_(handles) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
      throw ExecuteError("Cannot make an attribute list : " + std::to_string(GetLastError()));
    list_ = list;
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr))
      throw ExecuteError("Cannot set the handle list : " + std::to_string(GetLastError()));
  }
  ~InheritedHandleList() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritedHandleList(const InheritedHandleList&) = delete;
  InheritedHandleList& operator=(const InheritedHandleList&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::array<HANDLE, 3> handles_;  // the list points into this array until it is deleted
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Bytes waiting in a pipe; a pipe whose query fails counts as empty.
DWORD BytesWaiting(HANDLE pipe) {
  DWORD waiting = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return 0;
  return waiting;
}

// One ReadFile for `waiting` bytes, which are known to be there, so the read never blocks.
// The bytes are appended to buffer unchanged; returns how many arrived (0 when the read failed).
DWORD ReadWaiting(HANDLE pipe, DWORD waiting, std::string& buffer) {
  const size_t have = buffer.size();
  if (have + waiting > buffer.capacity())
    buffer.reserve(have + std::max<size_t>(kGrowthStep, waiting));
  buffer.resize(have + waiting);
  DWORD got = 0;
  if (!ReadFile(pipe, buffer.data() + have, waiting, &got, nullptr)) got = 0;
  buffer.resize(have + got);
  return got;
}

// After the child has ended, everything it wrote is in the pipe already. Take what is waiting
// at this moment and no more: a grandchild that inherited the pipe and keeps writing to it
// must not hold the call.
void Drain(HANDLE pipe, std::string& buffer) {
  DWORD left = BytesWaiting(pipe);
  while (left > 0) {
    const DWORD got = ReadWaiting(pipe, left, buffer);
    if (got == 0) break;
    left -= std::min(got, left);
  }
}

// One child process and the parent's ends of its pipes, owned by one call.
class ChildProcess {
 public:
  // Starts the child with its standard streams on three new pipes. Throws ExecuteError.
  void Start(const std::string& commandLine, const std::string& shownCommandLine) {
    Pipe input = MakePipe(ChildSide::kReads);
    Pipe output = MakePipe(ChildSide::kWrites);
    Pipe error = MakePipe(ChildSide::kWrites);
    inputEnd_ = std::move(input.parentEnd);
    outputEnd_ = std::move(output.parentEnd);
    errorEnd_ = std::move(error.parentEnd);

    const InheritedHandleList inherited(
        {input.childEnd.get(), output.childEnd.get(), error.childEnd.get()});
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.childEnd.get();
    startup.StartupInfo.hStdOutput = output.childEnd.get();
    startup.StartupInfo.hStdError = error.childEnd.get();
    startup.lpAttributeList = inherited.get();
    SECURITY_ATTRIBUTES processAttributes = NotInheritable();
    SECURITY_ATTRIBUTES threadAttributes = NotInheritable();
    PROCESS_INFORMATION info{};
    std::string line = commandLine;  // CreateProcessA may write into its command line
    const BOOL started = CreateProcessA(nullptr, line.data(), &processAttributes, &threadAttributes,
                                        TRUE, NORMAL_PRIORITY_CLASS | EXTENDED_STARTUPINFO_PRESENT,
                                        nullptr, nullptr, &startup.StartupInfo, &info);
    const DWORD startError = GetLastError();
    // The child has its own copies now (or never will): without ours, the pipes end when the
    // child and its descendants are done with them.
    input.childEnd.reset();
    output.childEnd.reset();
    error.childEnd.reset();
    if (!started)
      throw ExecuteError("Failed to execute " + shownCommandLine + " : " +
                         std::to_string(startError));
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    processId_ = info.dwProcessId;
    running_ = true;
    // Nothing is ever written to the child's standard input. Closing our end now lets a child
    // that reads it see end-of-file instead of waiting for ever.
    inputEnd_.reset();
  }

  // True until the child has ended. The process handle decides, not the exit code: a child
  // may really exit with 259, the code that also means "still active".
  bool Running() {
    if (running_ && WaitForSingleObject(process_.get(), 0) != WAIT_TIMEOUT) {
      GetExitCodeProcess(process_.get(), &exitCode_);
      running_ = false;
    }
    return running_;
  }

  // Waits up to timeoutMs for the child to end; returns at once when it does.
  void WaitForEnd(DWORD timeoutMs) const { WaitForSingleObject(process_.get(), timeoutMs); }

  DWORD ExitCode() const { return exitCode_; }
  HANDLE OutputEnd() const { return outputEnd_.get(); }
  HANDLE ErrorEnd() const { return errorEnd_.get(); }

 private:
  // Declared so that the pipe ends close first, then the thread and process handles.
  UniqueHandle process_;
  UniqueHandle thread_;
  UniqueHandle inputEnd_;
  UniqueHandle outputEnd_;
  UniqueHandle errorEnd_;
  DWORD processId_ = 0;
  DWORD exitCode_ = 0;
  bool running_ = false;
};

bool Run(const std::string& commandLine, const std::string& shownCommandLine, std::string& output,
         DWORD pollIntervalMs) {
  if (commandLine.empty()) throw ExecuteError("Cannot execute empty command-line");
  ChildProcess child;
  child.Start(commandLine, shownCommandLine);
  // Standard error is collected only so the child never blocks on a full pipe.
  std::string errors;
  // At most one read per pass, standard output first; wait only when both pipes are empty.
  while (child.Running()) {
    if (const DWORD waiting = BytesWaiting(child.OutputEnd()))
      ReadWaiting(child.OutputEnd(), waiting, output);
    else if (const DWORD waitingErrors = BytesWaiting(child.ErrorEnd()))
      ReadWaiting(child.ErrorEnd(), waitingErrors, errors);
    else
      child.WaitForEnd(pollIntervalMs);
  }
  Drain(child.OutputEnd(), output);
  output.shrink_to_fit();
  Drain(child.ErrorEnd(), errors);
  return child.ExitCode() == 0;
}

}  // namespace

bool ExecuteAndCollect(const std::string& commandLine, std::string& output, DWORD pollIntervalMs) {
  output.clear();
  try {
    return Run(commandLine, commandLine, output, pollIntervalMs);
  } catch (...) {
    // The failure goes nowhere: the caller sees false and what was read so far.
    return false;
  }
}

bool ExecuteAndCollect(const std::string& executable, const std::vector<std::string>& arguments,
                       std::string& output, DWORD pollIntervalMs) {
  output.clear();
  try {
    if (executable.empty()) throw ExecuteError("Cannot execute empty command-line");
    return Run(JoinCommandLine(executable, arguments), std::string(), output, pollIntervalMs);
  } catch (...) {
    return false;
  }
}

}  // namespace brenlow
