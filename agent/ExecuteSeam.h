#pragma once
// For tests and benchmarks only; the product never includes this header. What the run loop of
// ExecuteAndCollect.cpp offers them besides the product's forms: failed reads, reads that
// complete at once, a count of the calling thread's wake-ups, and the two forms of
// ExecuteAndCollect that only tests call.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "agent/CommandLineQuoting.h"
#include "agent/ExecuteAndCollect.h"
#include "agent/RunSeam.h"

namespace brenlow {

// ExecuteAndStream with the seam's changes; an empty sink throws the bytes away. Defined with the
// run loop in ExecuteAndCollect.cpp.
TChildOutcome ExecuteWithSeam(const std::string& commandLine, const TOutputSink& sink,
                              const TRunOptions& options, const TRunSeam& seam);

// Runs commandLine and keeps its standard output in output, also when the result is false.
// True only when the child was started, has ended and its exit code is 0. When wakeUps is given
// it receives how often the calling thread woke while the child ran.
inline bool ExecuteAndCollect(const std::string& commandLine, std::string& output,
                              DWORD* wakeUps = nullptr) {
  output.clear();
  if (wakeUps != nullptr) *wakeUps = 0;
  const TOutputSink keep = [&output](TOutputStream stream, const char* data, size_t size) {
    if (stream == osOutput) output.append(data, size);
  };
  return ExecuteWithSeam(commandLine, keep, {}, TRunSeam{.WakeUps = wakeUps}).Succeeded();
}

// The same with the command line joined from an executable and its arguments; an empty
// executable, or one that cannot be joined, runs nothing.
inline bool ExecuteAndCollect(const std::string& executable,
                              const std::vector<std::string>& arguments, std::string& output) {
  std::string commandLine;
  try {
    if (!executable.empty()) commandLine = JoinCommandLine(executable, arguments);
  } catch (...) {
  }
  return ExecuteAndCollect(commandLine, output);
}

}  // namespace brenlow
