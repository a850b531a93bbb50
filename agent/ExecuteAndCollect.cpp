#include "agent/ExecuteAndCollect.h"

#include <ntsecapi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <utility>

#include "agent/RunSeam.h"
#include "common/OverlappedIo.h"
#include "common/SecurityDescriptor.h"
#include "common/UniqueHandle.h"

namespace brenlow {
namespace {

// The buffer the system keeps for each output pipe: a child that writes fast does not wait on
// every write for the next read, and goes on writing while the reading thread wakes, so that
// one read takes more. It is a ceiling, not memory set aside: only bytes written and not yet
// read take room.
constexpr DWORD kPipeBufferSize = 1 << 20;
// How many reads that ended at once (the pipe held bytes) are taken one after the other before
// the calling thread waits again: going back to the wait for each would cost one call into the
// system more per read than a blocking read loop pays, while the child's end and the deadline are
// looked at only at a wait.
constexpr int kReadsWithoutWaiting = 16;
// Reads start at 64 KiB and double, up to the largest, each time one comes back full:
// while the collecting thread wakes, a fast child goes on writing, and one read then takes all
// of it. Measured under Wine: 64 KiB reads took a child's 16 MiB at about half the speed of a
// blocking read loop; 1 MiB reads from the start cost a child that writes nothing about 15 ms,
// since the system prepares every page of a read's buffer.
constexpr DWORD kFirstReadSize = 65536;
constexpr DWORD kLargestReadSize = 1 << 20;

// A failure inside one call, with the system error of the call that failed (0 when none did).
// It never leaves the call: the call returns false, or the outcome says so, instead.
class ExecuteError : public std::runtime_error {
 public:
  explicit ExecuteError(const std::string& what, DWORD code = 0)
      : std::runtime_error(what), Code(code) {}
  DWORD Code;
};

[[noreturn]] void Fail(const std::string& what) {
  const DWORD code = GetLastError();
  throw ExecuteError(what + " : " + std::to_string(code), code);
}

SECURITY_ATTRIBUTES NotInheritable() { return {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE}; }

// One pipe: the end the parent keeps (not inheritable) and the end the child gets.
struct Pipe {
  UniqueHandle parentEnd;
  UniqueHandle childEnd;
};

// Standard input: the null device, where every read finds end-of-file at once. One handle for
// the life of the process, opened at the first run (and again at the next, should that fail):
// opening and closing it at every run cost two calls into the system, a twentieth of the parent's
// work for a child that writes nothing. Inheritable, but only a child whose handle list names it
// inherits it, and reading it changes nothing, so every child may share it.
HANDLE NullInput() {
  static const UniqueHandle input = [] {
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    UniqueHandle opened(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &attributes, OPEN_EXISTING, 0, nullptr));
    if (!opened) Fail("Cannot open the null device");
    return opened;
  }();
  return input.get();
}

// A pipe name nobody else holds or can guess: this process, a count of its own and 128 random
// bits. A program that could guess it might take the name first and read the child's output.
std::string UniquePipeName() {
  static std::atomic<unsigned long> made{0};
  unsigned long long random[2] = {};
  if (!RtlGenRandom(random, sizeof(random))) Fail("Cannot make a pipe name");
  char name[96];
  std::snprintf(name, sizeof(name), "\\\\.\\pipe\\brenlow-%lu-%lu-%016llx%016llx",
                GetCurrentProcessId(), ++made, random[0], random[1]);
  return name;
}

// Who may open an output pipe: the account this process runs as, and nobody else. The default
// access list lets every account open it for reading, and one that did so between the pipe's
// creation and our own open would take its one instance and make the run fail. Made once.
PSECURITY_DESCRIPTOR OwnAccountOnly() {
  static const TSecurityDescriptor descriptor = [] {
    const std::string account = ProcessAccountSid();
    if (account.empty()) Fail("Cannot read this process's account");
    TSecurityDescriptor made = TSecurityDescriptor::FromSddl("D:P(A;;FA;;;" + account + ")");
    if (made.get() == nullptr) Fail("Cannot make the pipes' access list");
    return made;
  }();
  return descriptor.get();
}

// Standard output or error. Anonymous pipes cannot be read overlapped, so this is a named pipe
// of one instance, made only if the name is new, open to this process's account alone and
// refusing remote clients; the child's end is opened at once, which takes that one instance.
Pipe MakeOutputPipe() {
  const std::string name = UniquePipeName();
  SECURITY_ATTRIBUTES parentAttributes{sizeof(SECURITY_ATTRIBUTES), OwnAccountOnly(), FALSE};
  UniqueHandle parentEnd(CreateNamedPipeA(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
      kPipeBufferSize, kPipeBufferSize, 0, &parentAttributes));
  if (!parentEnd) Fail("Cannot create a pipe");
  // Inheritable, but only a child whose handle list names it inherits it.
  SECURITY_ATTRIBUTES childAttributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueHandle childEnd(CreateFileA(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0,
                                    &childAttributes, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
  if (!childEnd) Fail("Cannot open a pipe");
  return {std::move(parentEnd), std::move(childEnd)};
}

// A process-thread attribute list naming exactly the handles a child may inherit, so a child
// never picks up the pipe ends that another thread has just made inheritable for its own child,
// and, when there is one, the job the child belongs to from its first instruction, so nothing it
// starts can escape the job. Building it calls nothing in the system.
class ChildAttributes {
 public:
  // The first count of handles; job may be null.
  ChildAttributes(const std::array<HANDLE, 3>& handles, size_t count, HANDLE job)
      : handles_(handles), job_(job) {
    const DWORD attributes = job_ != nullptr ? 2 : 1;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, attributes, 0, &size);
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!InitializeProcThreadAttributeList(list, attributes, 0, &size))
      Fail("Cannot make an attribute list");
    list_ = list;
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   count * sizeof(HANDLE), nullptr, nullptr))
      Fail("Cannot set the handle list");
    if (job_ != nullptr && !UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST,
                                                      &job_, sizeof(HANDLE), nullptr, nullptr))
      Fail("Cannot set the job");
  }
  ~ChildAttributes() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  ChildAttributes(const ChildAttributes&) = delete;
  ChildAttributes& operator=(const ChildAttributes&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  // The list points into these until it is deleted.
  std::array<HANDLE, 3> handles_;
  HANDLE job_;
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Bytes waiting in a pipe; a pipe whose query fails counts as empty.
DWORD BytesWaiting(HANDLE pipe) {
  DWORD waiting = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return 0;
  return waiting;
}

// The parent's end of one output pipe, with one read under way at a time while the pipe lasts.
// What arrives is handed to the sink unchanged, marked with the pipe's stream, or thrown away
// when there is no sink.
class PipeReader {
 public:
  PipeReader(UniqueHandle pipe, TOutputStream stream, const TOutputSink* sink, const TRunSeam* seam)
      : pipe_(std::move(pipe)),
        stream_(stream),
        sink_(sink),
        seam_(seam),
        buffer_(kFirstReadSize) {}

  // Starts the next read, unless the pipe is no longer read.
  void ReadNext() {
    if (pipe_ && !io_.Busy() && !StartRead(Size())) StopReading();
  }
  bool Reading() const { return io_.Busy(); }
  // Set once the read under way has ended: the pipe's handle itself, since one read at a time
  // is all that is ever under way on it.
  HANDLE Signal() const { return io_.Signal(); }

  // The read has ended: keep its bytes and start the next one. True when that one has ended
  // already, the pipe holding bytes, so it can be taken without a wait.
  bool TakeRead() {
    DWORD got = 0;
    if (!io_.Finish(got)) {
      StopReading();
      return false;
    }
    Keep(got);
    if (got == Size() && got < kLargestReadSize) buffer_.resize(2 * Size());
    ReadNext();
    return io_.Ended();
  }

  // The child has ended, so all it wrote is in our read or in the pipe. Keep what the read
  // brought (or cancel it), then take what is waiting at this moment and no more: a grandchild
  // that inherited the pipe and keeps writing to it must not hold the call.
  void TakeRest() {
    DWORD got = 0;
    if (io_.Busy()) {
      if (!io_.Cancel(got) && GetLastError() != ERROR_OPERATION_ABORTED) StopReading();
      Keep(got);
    }
    DWORD left = pipe_ ? BytesWaiting(pipe_.get()) : 0;
    while (left > 0) {
      // The bytes are there already, so the read ends at once.
      if (!StartRead(std::min(left, Size())) || !io_.Finish(got) || got == 0) return;
      Keep(got);
      left -= std::min(got, left);
    }
  }

 private:
  bool StartRead(DWORD size) {
    if (seam_ != nullptr && seam_->FailRead)
      if (const DWORD error = seam_->FailRead()) {
        SetLastError(error);
        return false;
      }
    if (!io_.StartRead(pipe_.get(), buffer_.data(), size)) return false;
    if (seam_ != nullptr && seam_->ReadsCompleteAtOnce && brought_)
      WaitForSingleObject(io_.Signal(), INFINITE);
    return true;
  }

  // A read failed: the pipe has ended (every writer has closed it) or cannot be read any more.
  // Our end is closed either way, so a child that goes on writing sees its writes fail instead
  // of waiting for ever on a full pipe that nobody reads.
  void StopReading() { pipe_.reset(); }

  void Keep(DWORD count) {
    if (count == 0) return;
    brought_ = true;
    if (sink_ != nullptr) (*sink_)(stream_, buffer_.data(), count);
  }
  DWORD Size() const { return static_cast<DWORD>(buffer_.size()); }

  UniqueHandle pipe_;
  TOutputStream stream_;
  const TOutputSink* sink_;
  const TRunSeam* seam_;  // none in the product
  bool brought_ = false;  // the pipe has brought bytes
  std::vector<char> buffer_;
  // Declared last: a read under way ends before the buffer and the pipe go.
  OverlappedIo io_{TEndSignal::Handle};
};

// One child process and the parent's ends of its pipes, owned by one call.
class ChildProcess {
 public:
  // Starts the child with standard input at end-of-file and standard output and error on pipes
  // of their own, or with apart false on one pipe for both (for a caller that tells them not
  // apart: one pipe, one read and one event fewer); with a time limit, in a job object of its
  // own, which every process it starts then belongs to as well. Throws ExecuteError.
  void Start(const std::string& commandLine, const std::string& shownCommandLine,
             const TRunOptions& options, bool apart) {
    const bool inJob = options.TimeLimitMs > 0;
    const HANDLE input = NullInput();
    Pipe output = MakeOutputPipe();
    Pipe error;
    if (apart) error = MakeOutputPipe();
    const HANDLE errorChildEnd = apart ? error.childEnd.get() : output.childEnd.get();
    outputEnd_ = std::move(output.parentEnd);
    errorEnd_ = std::move(error.parentEnd);
    if (inJob) {
      // No limits at all, and above all no kill-on-close: should the service end, the scripts
      // it started run on as they do without a job.
      SECURITY_ATTRIBUTES attributes = NotInheritable();
      job_.reset(CreateJobObjectA(&attributes, nullptr));
      if (!job_) Fail("Cannot create a job");
      // Before the child starts, so that every process of the run is announced there.
      JOBOBJECT_ASSOCIATE_COMPLETION_PORT port{reinterpret_cast<PVOID>(options.JobPortKey),
                                               options.JobPort};
      if (options.JobPort != nullptr &&
          !SetInformationJobObject(job_.get(), JobObjectAssociateCompletionPortInformation, &port,
                                   sizeof(port)))
        Fail("Cannot watch the job");
    }

    const ChildAttributes attributes({input, output.childEnd.get(), errorChildEnd}, apart ? 3 : 2,
                                     job_.get());
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output.childEnd.get();
    startup.StartupInfo.hStdError = errorChildEnd;
    startup.lpAttributeList = attributes.get();
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
    output.childEnd.reset();
    error.childEnd.reset();
    if (!started)
      throw ExecuteError(
          "Failed to execute " + shownCommandLine + " : " + std::to_string(startError), startError);
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    processId_ = info.dwProcessId;
  }

  // Ends the child and every process in its job (the child alone when it has none), and waits
  // until the child has ended. Throws ExecuteError.
  void End() {
    if (job_ ? !TerminateJobObject(job_.get(), kTimeLimitExitCode)
             : !TerminateProcess(process_.get(), kTimeLimitExitCode))
      Fail(job_ ? "Cannot end the job" : "Cannot end the process");
    WaitForSingleObject(process_.get(), INFINITE);
  }

  // The child has ended: what it started and left running in its job goes with it.
  void EndWhatItLeft() {
    if (job_) TerminateJobObject(job_.get(), kTimeLimitExitCode);
  }

  TStartedChild Started() const { return {process_.get(), job_.get(), processId_}; }

  // Signalled once the child has ended. The handle decides, not the exit code: a child may
  // really exit with 259, the code that also means "still active".
  HANDLE Process() const { return process_.get(); }
  DWORD ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  UniqueHandle TakeOutputEnd() { return std::move(outputEnd_); }
  UniqueHandle TakeErrorEnd() { return std::move(errorEnd_); }

 private:
  // Declared so that the pipe ends close first, then the thread and process handles and the
  // job.
  UniqueHandle job_;
  UniqueHandle process_;
  UniqueHandle thread_;
  UniqueHandle outputEnd_;
  UniqueHandle errorEnd_;
  DWORD processId_ = 0;
};

// Milliseconds left until deadline (a GetTickCount64 value; 0 means none), for a wait.
DWORD WaitUntil(ULONGLONG deadline) {
  if (deadline == 0) return INFINITE;
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Runs the child to its end, handing what both output pipes bring to sink when there is one and
// throwing it away otherwise, and fills in outcome as it goes. Throws ExecuteError.
void Run(const std::string& commandLine, const std::string& shownCommandLine,
         const TOutputSink* sink, const TRunOptions& options, const TRunSeam* seam,
         TChildOutcome& outcome) {
  if (commandLine.empty()) throw ExecuteError("Cannot execute empty command-line");
  ChildProcess child;
  const bool limited = options.TimeLimitMs > 0;
  // Only a sink tells the two streams apart; thrown away, they share one pipe.
  const bool apart = sink != nullptr;
  child.Start(commandLine, shownCommandLine, options, apart);
  outcome.Started = true;
  const ULONGLONG deadline = limited ? GetTickCount64() + options.TimeLimitMs : 0;
  // The observer hears of the run's end whatever way it ends, before the child's handles close.
  struct ToldOfEnd {
    TRunObserver* observer = nullptr;
    ~ToldOfEnd() {
      if (observer != nullptr) observer->Ended();
    }
  } toldOfEnd;
  if (options.Observer != nullptr) {
    toldOfEnd.observer = options.Observer;
    if (!options.Observer->Started(child.Started())) {
      child.End();
      outcome.ExitCode = child.ExitCode();
      outcome.Ended = true;
      return;
    }
  }
  PipeReader out(child.TakeOutputEnd(), osOutput, sink, seam);
  std::optional<PipeReader> errors;
  if (apart) errors.emplace(child.TakeErrorEnd(), osError, sink, seam);
  PipeReader* const errorReader = errors ? &*errors : nullptr;
  DWORD* const wakeUps = seam != nullptr ? seam->WakeUps : nullptr;
  out.ReadNext();
  if (errorReader != nullptr) errorReader->ReadNext();
  // Sleep until the child ends, a read has brought something or the time is up; the child's end
  // comes first.
  for (;;) {
    std::array<HANDLE, 3> handles{child.Process()};
    std::array<PipeReader*, 3> readers{};
    DWORD count = 1;
    for (PipeReader* reader : {&out, errorReader}) {
      if (reader == nullptr || !reader->Reading()) continue;
      readers[count] = reader;
      handles[count++] = reader->Signal();
    }
    const DWORD fired = WaitForMultipleObjects(count, handles.data(), FALSE, WaitUntil(deadline));
    if (wakeUps != nullptr) ++*wakeUps;
    if (fired == WAIT_OBJECT_0) break;
    if (fired != WAIT_TIMEOUT && (fired <= WAIT_OBJECT_0 || fired >= WAIT_OBJECT_0 + count))
      Fail("Cannot wait for the child");
    // The deadline is looked at after every wake-up, not only when the wait timed out: a child
    // that always has output ready has a read completed at every wait, so the wait never times
    // out. A read that completed now is still taken by TakeRest.
    if (fired == WAIT_TIMEOUT || (deadline != 0 && GetTickCount64() >= deadline)) {
      // Set first: should the ending fail, the outcome still says the limit was reached.
      outcome.TimedOut = true;
      child.End();
      break;
    }
    // Reads that end at once, one after another, are taken without waking again, up to a few;
    // the deadline is still looked at after each.
    PipeReader* const reader = readers[fired - WAIT_OBJECT_0];
    for (int taken = 1; reader->TakeRead() && taken < kReadsWithoutWaiting; ++taken)
      if (deadline != 0 && GetTickCount64() >= deadline) break;
  }
  if (!outcome.TimedOut) child.EndWhatItLeft();
  out.TakeRest();
  if (errorReader != nullptr) errorReader->TakeRest();
  outcome.ExitCode = child.ExitCode();
  outcome.Ended = true;
}

// Runs the child and says how it ended. The failure text goes nowhere; its code stays.
TChildOutcome RunToOutcome(const std::string& commandLine, const std::string& shownCommandLine,
                           const TOutputSink* sink, const TRunOptions& options = {},
                           const TRunSeam* seam = nullptr) {
  TChildOutcome outcome;
  try {
    Run(commandLine, shownCommandLine, sink, options, seam, outcome);
  } catch (const ExecuteError& e) {
    outcome.Ended = false;
    outcome.Error = e.Code;
  } catch (...) {
    outcome.Ended = false;  // out of memory, say: nothing to tell but the failure
  }
  return outcome;
}

// The argument form's command line; empty (nothing to run) for an empty executable.
std::string ArgumentCommandLine(const std::string& executable,
                                const std::vector<std::string>& arguments) {
  try {
    return executable.empty() ? std::string() : JoinCommandLine(executable, arguments);
  } catch (...) {
    return std::string();
  }
}

// A sink that appends standard output to output and lets standard error go: standard error is
// read only so the child never blocks on a full pipe.
TOutputSink KeepingOutput(std::string& output) {
  return [&output](TOutputStream stream, const char* data, size_t size) {
    if (stream == osOutput) output.append(data, size);
  };
}

}  // namespace

bool ExecuteAndCollect(const std::string& commandLine, std::string& output, TChildOutcome& outcome,
                       const TRunOptions& options) {
  output.clear();
  const TOutputSink sink = KeepingOutput(output);
  outcome = RunToOutcome(commandLine, commandLine, &sink, options);
  return outcome.Succeeded();
}

TChildOutcome ExecuteAndDrain(const std::string& commandLine, const TRunOptions& options) {
  return RunToOutcome(commandLine, commandLine, nullptr, options);
}

TChildOutcome ExecuteAndDrain(const std::string& executable,
                              const std::vector<std::string>& arguments) {
  return RunToOutcome(ArgumentCommandLine(executable, arguments), std::string(), nullptr);
}

TChildOutcome ExecuteAndStream(const std::string& commandLine, const TOutputSink& sink,
                               const TRunOptions& options) {
  // Without a sink the bytes are thrown away, as ExecuteAndDrain does.
  return RunToOutcome(commandLine, commandLine, sink ? &sink : nullptr, options);
}

// For tests, which declare it through ExecuteSeam.h; the product never calls it.
TChildOutcome ExecuteWithSeam(const std::string& commandLine, const TOutputSink& sink,
                              const TRunOptions& options, const TRunSeam& seam) {
  return RunToOutcome(commandLine, commandLine, sink ? &sink : nullptr, options, &seam);
}

}  // namespace brenlow
