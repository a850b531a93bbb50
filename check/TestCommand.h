#pragma once
// brenlow.exe --test <script>: one run of one of the twelve scripts, made as the service makes
// it (the command line from brenlow.ini, the same handles, the same time limit and job), in the
// foreground, with what the script prints shown as it comes.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "agent/DaemonUnit1.h"
#include "agent/ExecuteAndCollect.h"
#include "service/ServiceQuery.h"

namespace brenlow {

// How much of each of the script's output streams is shown; the rest is counted.
inline constexpr uint64_t kTestShownBytes = 1024 * 1024;

// The schedule's row whose file name is name, ASCII letter case ignored; nullptr when none is.
const TScriptScheduleRow* FindScheduledScript(const std::string& name);

// One output stream's bytes: the first limit are shown, the rest only counted.
class TShownStream {
 public:
  explicit TShownStream(uint64_t limit) : limit_(limit) {}
  // Counts the next size bytes and returns how many of them, from their start, are shown.
  size_t Take(size_t size);
  uint64_t Total() const { return total_; }
  uint64_t LeftOut() const { return total_ > limit_ ? total_ - limit_ : 0; }

 private:
  const uint64_t limit_;
  uint64_t total_ = 0;
};

// The command's exit code: 0 when the script ended with 0, 1 when it ended with another code,
// 2 when it could not be run, its end could not be awaited, or it reached its time limit.
int TestExitCode(const TChildOutcome& outcome);

// The last line: how the run ended and how long it took (elapsedMs), with CR LF.
std::string TestOutcomeLine(const TChildOutcome& outcome, uint64_t elapsedMs, int32_t timeLimitMs);

// Whether the service is in a state in which its runners may run the script too.
bool ServiceMayRunScripts(const TServiceFacts& service);

// Where the command writes: its own lines and the script's standard output go to Write, the
// script's standard error to WriteError.
struct TTestOutput {
  std::function<void(const std::string&)> Write;
  std::function<void(const std::string&)> WriteError;
};

// Runs the script's command line with the time limit (0: none), showing what it prints as it
// comes, then how it ended. Returns TestExitCode.
int ShowRun(const std::string& commandLine, int32_t timeLimitMs, const TTestOutput& out);

// Puts this process in a job that ends every process in it when this one ends, however it ends
// (Ctrl+C, a closed console window): what a run starts does not outlive the command. The system
// error when it cannot (0 when done).
DWORD JoinJobEndingWithThisProcess();

// The command for the script named on the command line, with the service's name to look up
// whether it runs. The interpreter, what it loads and the script are judged first, as --check
// judges them: their problems are shown, and on a FAIL nothing runs. Returns the command's exit
// code (TestExitCode; 2 for an unknown name, which is answered with the twelve names, for
// settings that cannot be read and for a FAIL).
int RunTestCommand(const std::string& script, const std::string& serviceName,
                   const TTestOutput& out);

}  // namespace brenlow
