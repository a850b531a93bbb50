#pragma once
// Runs a child process with its standard streams on pipes, drains both output pipes while it
// runs, and returns once the child has ended. The calling thread sleeps until the child ends or
// one of its pipes has brought something: no polling, and no interval to wait out.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "agent/CommandLineQuoting.h"

namespace brenlow {

// How a child run for its effect alone came to its end.
struct TChildOutcome {
  bool Started = false;  // the child was started
  bool Ended = false;    // and its end was seen
  // It reached its time limit and was ended together with every process it had started.
  bool TimedOut = false;
  // When it was not started, or its end could not be awaited: the system error of the call
  // that failed (0 when it was something else, such as an empty command line).
  DWORD Error = 0;
  DWORD ExitCode = 0;  // once it has ended
  bool Succeeded() const { return Ended && !TimedOut && ExitCode == 0; }
};

// The exit code of a child ended at its time limit, and of every process of a run with a limit
// that is ended with the run.
inline constexpr DWORD kTimeLimitExitCode = ERROR_TIMEOUT;

// The error mode the service's runs inherit, set at the service's start, and by --test and
// --check for theirs: an interpreter that misses a DLL, or cannot open a file, fails at once with
// its exit code instead of waiting for someone to close the system's error box, which nobody sees
// in the services' session; and a crashing interpreter ends without a Windows Error Reporting
// report (one a run for a script every few seconds, each an entry in the Application log),
// since the failing run's exit code is recorded all the same.
inline constexpr UINT kServiceErrorMode =
    SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;

// A child that has just started, as the run's observer sees it. The handles are the run's own:
// valid until the observer's Ended returns.
struct TStartedChild {
  HANDLE Process = nullptr;
  HANDLE Job = nullptr;  // the run's job; none without a time limit
  DWORD ProcessId = 0;
};

// Told of a run's start and end, on the thread that runs it.
class TRunObserver {
 public:
  virtual ~TRunObserver() = default;
  // The child has started. False ends it at once, with its job, before its output is read.
  virtual bool Started(const TStartedChild& child) = 0;
  // The run is over; the handles close right after.
  virtual void Ended() = 0;
};

// What a run may be given besides its command line.
struct TRunOptions {
  // The longest the child may run, in milliseconds; 0 means no limit. With a limit the child
  // runs in a job object of its own from its first instruction (no kill-on-close: our own end
  // leaves it running), reaching the limit ends it together with every process it started, and
  // what it started and left running is ended as soon as it ends itself: nothing a run with a
  // limit starts outlives the run.
  DWORD TimeLimitMs = 0;
  // With a limit: the completion port that the job's messages go to, under this key.
  HANDLE JobPort = nullptr;
  ULONG_PTR JobPortKey = 0;
  // Told of the child's start and of the run's end; none when null.
  TRunObserver* Observer = nullptr;
};

// Runs commandLine (handed to CreateProcessA unchanged; the system finds the program from its
// first token) and waits for the child to end. output receives every byte the child wrote to
// standard output, also when the child failed; standard error is read and thrown away. The
// child's standard input is at end-of-file. outcome says how the child ended: whether it
// started, its exit code, or the system error that kept it from starting; errors never reach
// the caller. Returns outcome.Succeeded(). For a caller that must tell a program that cannot
// start from one that ran and failed.
bool ExecuteAndCollect(const std::string& commandLine, std::string& output, TChildOutcome& outcome,
                       const TRunOptions& options = {});

// Runs the child as ExecuteAndCollect does, reading its output until it ends, but keeps none of
// the bytes: memory stays flat whatever the child writes. Standard output and error share one
// pipe here, since nobody tells them apart. For callers that only need to know how the child
// ended. Errors never reach the caller.
TChildOutcome ExecuteAndDrain(const std::string& commandLine, const TRunOptions& options = {});
TChildOutcome ExecuteAndDrain(const std::string& executable,
                              const std::vector<std::string>& arguments);

// Which of the child's output pipes a piece of output came from.
enum TOutputStream { osOutput, osError };

// Receives the child's output as it arrives, on the calling thread, in the order read: the bytes
// of each stream arrive whole and in the order the child wrote them; pieces of the two streams
// interleave as the reads completed, which need not be the order the child wrote them in. Each
// piece holds at least one byte, and the pointer is valid only during the call. A sink that
// throws ends the watch: the outcome then has no end, and the child runs on with its pipes
// closed.
using TOutputSink = std::function<void(TOutputStream stream, const char* data, size_t size)>;

// Runs the child as ExecuteAndDrain does (same standard input, same job and time limit), with
// standard output and error on pipes of their own, handing every byte of both to sink as it
// arrives. The outcome says how the child ended, as ExecuteAndDrain's does. Errors never reach
// the caller. An empty sink throws the bytes away.
TChildOutcome ExecuteAndStream(const std::string& commandLine, const TOutputSink& sink,
                               const TRunOptions& options = {});

}  // namespace brenlow
