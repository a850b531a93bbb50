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

// Runs commandLine (handed to CreateProcessA unchanged; the system finds the program from its
// first token) and waits for the child to end. output receives every byte the child wrote to
// standard output, also when the result is false. Returns true only when the child was
// started, has ended and its exit code is 0. Errors never reach the caller: a child that
// cannot be started gives false and empty output. The child's standard input is at end-of-file.
// When wakeUps is given it receives how often the calling thread woke while the child ran (one
// for the child's end, one for each read that brought bytes or found the pipe ended).
bool ExecuteAndCollect(const std::string& commandLine, std::string& output,
                       DWORD* wakeUps = nullptr);

// The same with the command line joined from an executable and its arguments by
// JoinCommandLine.
bool ExecuteAndCollect(const std::string& executable, const std::vector<std::string>& arguments,
                       std::string& output);

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

// The exit code of a child ended at its time limit, and of every process it started.
inline constexpr DWORD kTimeLimitExitCode = ERROR_TIMEOUT;

// What a run may be given besides its command line.
struct TRunOptions {
  // The longest the child may run, in milliseconds; 0 means no limit. With a limit the child
  // runs in a job object of its own (no kill-on-close: our own end leaves it running), and
  // reaching the limit ends it together with every process it started.
  DWORD TimeLimitMs = 0;
  // Called before each read of an output pipe: 0 lets the read go ahead, anything else is the
  // system error that read fails with. Tests fail reads through it.
  std::function<DWORD()> FailRead = nullptr;
};

// ExecuteAndCollect in its command-line form that also says how the child ended: whether it
// started, its exit code, or the system error that kept it from starting, and takes options.
// For a caller that must tell a program that cannot start from one that ran and failed.
bool ExecuteAndCollect(const std::string& commandLine, std::string& output, TChildOutcome& outcome,
                       const TRunOptions& options = {});

// Runs the child as ExecuteAndCollect does, reading both of its output pipes until it ends, but
// keeps none of the bytes: memory stays flat whatever the child writes. For callers that only
// need to know how the child ended. Errors never reach the caller.
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

// Runs the child as ExecuteAndDrain does (same handles, same job and time limit), handing every
// byte of both output pipes to sink as it arrives. The outcome says how the child ended, as
// ExecuteAndDrain's does. Errors never reach the caller.
TChildOutcome ExecuteAndStream(const std::string& commandLine, const TOutputSink& sink,
                               const TRunOptions& options = {});

}  // namespace brenlow
