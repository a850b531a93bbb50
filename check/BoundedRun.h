#pragma once
// Runs a program once for what it prints, with a bound on how long the caller waits for it: a
// program that hangs cannot hold the check, and the child is ended when it can be told apart.

#include <windows.h>

#include <string>

#include "agent/ExecuteAndCollect.h"

namespace brenlow {

struct TBoundedRun {
  bool TimedOut = false;   // the child had not ended when the bound ran out
  bool EndedByUs = false;  // it was then ended
  TChildOutcome Outcome;   // how it ended, when it did within the bound
  std::string Output;      // its standard output, when it ended within the bound
};

// Runs commandLine through ExecuteAndCollect on a thread of its own and waits at most
// timeoutMs for it. When the bound runs out, the child is ended if it is the only process of
// imageName that this process started since the call began: a service that runs scripts with
// the same program at the same time leaves them alone and the child to its end.
TBoundedRun RunWithBound(const std::string& commandLine, const std::string& imageName,
                         DWORD timeoutMs);

}  // namespace brenlow
