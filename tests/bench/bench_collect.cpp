// Benchmark of ExecuteAndCollect against its limit: the same child read by a plain blocking
// ReadFile loop of 64 KiB until end-of-file, collecting the bytes into a string as
// ExecuteAndCollect must; for the throughput also the same loop throwing them away, the limit of
// ExecuteAndDrain, which keeps none of them. Each work
// is timed from before the pipes are made to the return, alternating, in one process:
//   (a) 16 MiB written in 64 KiB writes      (throughput)
//   (b) 4 MiB written in 512-byte writes     (a chatty script)
//   (c) a child that writes nothing          (spawn to return)
//   (d) the same child, the parent's CPU time per run (GetProcessTimes): ExecuteAndDrain
//       against a bare CreateProcess with one anonymous pipe and a wait, in turn, in blocks of
//       twenty runs; and, for scale, the CPU time of one call into the system (ResetEvent), so
//       that the difference reads as a number of calls
// It prints medians, p95 for (c), the wake-ups of the calling thread (per MiB for (a) and (b))
// and each ratio; it asserts nothing. The ratios and the difference of (a) to (c) are the medians
// of those of each pair of runs made back to back, so that a machine whose speed drifts during
// the benchmark (a shared one does) moves both runs of a pair alike.
// Usage: bench_collect.exe [RUNS_AB] [RUNS_C] [RUNS_D]   (defaults 7, 40 and 200)
//        bench_collect.exe --only WORK RUNS   runs one work RUNS times and prints nothing, for a
//        tool outside that counts the calls it makes (tools/bench-calls.sh): WORK is none,
//        bare, drain or limited (the silent child), recorded or recordedlimited (the same two
//        runs made as a script runner makes them, told to a record of runs under way), or
//        loop16, drain16, loop4 or drain4 (the loop throwing the bytes away and
//        ExecuteAndDrain, for (a) and (b))

#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "agent/ExecuteAndCollect.h"
#include "agent/ExecuteSeam.h"
#include "agent/RunRecord.h"
#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace {

using brenlow::UniqueHandle;
using Clock = std::chrono::steady_clock;

struct Sample {
  double ms = 0;
  double cpuMs = 0;  // this process's CPU time meanwhile
  size_t bytes = 0;
  DWORD wakeUps = 0;
};

// User and kernel time of this process so far, in milliseconds.
double CpuMs() {
  FILETIME created{}, ended{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  const auto ms = [](const FILETIME& t) {
    return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
  };
  return ms(kernel) + ms(user);
}

double Since(Clock::time_point began) {
  return std::chrono::duration<double, std::milli>(Clock::now() - began).count();
}

// Runs work, which fills in the bytes and wake-ups of the sample, and times it: wall clock and
// this process's CPU time.
template <typename Work>
Sample Timed(Work work) {
  const auto began = Clock::now();
  const double cpu = CpuMs();
  Sample sample;
  work(sample);
  sample.ms = Since(began);
  sample.cpuMs = CpuMs() - cpu;
  return sample;
}

// What the child writes in (a) and (b), after its path.
constexpr const char* kBigOutput = " block 65536 out 16777216";
constexpr const char* kChattyOutput = " block 512 out 4194304";

// A plain CreateProcess of commandLine on the given standard handles (inheritable ones), the way
// the limits below start their child; the benchmark ends when it cannot start.
struct Started {
  UniqueHandle process;
  UniqueHandle thread;
};
Started StartOn(const std::string& commandLine, HANDLE input, HANDLE output) {
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info{};
  std::string line = commandLine;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &info))
    std::exit(3);
  return {UniqueHandle(info.hProcess), UniqueHandle(info.hThread)};
}

// An anonymous pipe of the given buffer size, its ends inheritable or not; the benchmark ends when
// it cannot be made.
struct AnonymousPipe {
  UniqueHandle readEnd;
  UniqueHandle writeEnd;
};
AnonymousPipe MakeAnonymousPipe(BOOL inheritable, DWORD size) {
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, inheritable};
  HANDLE readHandle = nullptr;
  HANDLE writeHandle = nullptr;
  if (!CreatePipe(&readHandle, &writeHandle, &attributes, size)) std::exit(3);
  return {UniqueHandle(readHandle), UniqueHandle(writeHandle)};
}

// The limit: standard output (and error) on one anonymous pipe of 64 KiB, standard input on
// the null device, blocking 64 KiB reads until the pipe ends, then the child's end. The bytes
// are appended to a string unless keep is false.
Sample Limit(const std::string& commandLine, bool keep = true) {
  return Timed([&](Sample& sample) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    auto [readEnd, writeEnd] = MakeAnonymousPipe(FALSE, 65536);
    HANDLE childWrite = nullptr;
    DuplicateHandle(GetCurrentProcess(), writeEnd.get(), GetCurrentProcess(), &childWrite, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    UniqueHandle childEnd(childWrite);
    writeEnd.reset();
    UniqueHandle nul(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inheritable, OPEN_EXISTING, 0, nullptr));
    const Started child = StartOn(commandLine, nul.get(), childEnd.get());
    childEnd.reset();
    nul.reset();
    std::vector<char> buffer(65536);
    std::string output;
    DWORD got = 0;
    while (
        ReadFile(readEnd.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      if (keep) output.append(buffer.data(), got);
      sample.bytes += got;
    }
    WaitForSingleObject(child.process.get(), INFINITE);
  });
}

Sample Collect(const std::string& commandLine) {
  return Timed([&](Sample& sample) {
    std::string output;
    brenlow::ExecuteAndCollect(commandLine, output, &sample.wakeUps);
    sample.bytes = output.size();
  });
}

// ExecuteAndDrain, through the seam only to count the wake-ups.
Sample Drain(const std::string& commandLine) {
  return Timed([&](Sample& sample) {
    brenlow::ExecuteWithSeam(commandLine, nullptr, {},
                             brenlow::TRunSeam{.WakeUps = &sample.wakeUps});
  });
}

// The bare spawn: one anonymous pipe for standard output and error, the child started, waited
// for and its handles closed.
void BareSpawn(const std::string& commandLine) {
  auto [readEnd, writeEnd] = MakeAnonymousPipe(TRUE, 0);
  const Started child = StartOn(commandLine, nullptr, writeEnd.get());
  writeEnd.reset();
  WaitForSingleObject(child.process.get(), INFINITE);
}

// The three runs of a child that writes nothing that (d) compares: the bare spawn and
// ExecuteAndDrain without and with a time limit (which puts the child in a job).
std::array<std::function<void()>, 3> SilentWorks(const std::string& child) {
  return {
      [child] { BareSpawn(child); },
      [child] { brenlow::ExecuteAndDrain(child); },
      [child] { brenlow::ExecuteAndDrain(child, brenlow::TRunOptions{.TimeLimitMs = 600000}); },
  };
}

// The parent's CPU time per run of a child that writes nothing, the silent works in turn.
void CpuPerRun(const std::string& child, int runs) {
  const auto works = SilentWorks(child);
  double total[3] = {};
  for (const auto& work : works) work();
  // The system counts a process's time in ticks of several milliseconds (10 ms under Wine),
  // longer than one run: each work is timed over a block of runs (about 40 ms), the blocks in
  // turn, so one tick more or less moves a block by a quarter and the whole by a few hundredths.
  constexpr int kBlock = 20;
  runs = (runs + kBlock - 1) / kBlock * kBlock;
  for (int i = 0; i < runs / kBlock; ++i)
    for (int w = 0; w < 3; ++w) {
      const int at = (i % 2 == 0) ? w : 2 - w;
      const double before = CpuMs();
      for (int k = 0; k < kBlock; ++k) works[at]();
      total[at] += CpuMs() - before;
    }
  std::printf("(d) child that writes nothing, the parent's CPU time per run, %d runs each\n", runs);
  std::printf("  bare CreateProcess, one pipe, wait:  %6.3f ms\n", total[0] / runs);
  std::printf("  ExecuteAndDrain:                     %6.3f ms  ratio (ours / bare) %.2f\n",
              total[1] / runs, total[1] / total[0]);
  std::printf("  ExecuteAndDrain with a time limit:   %6.3f ms  ratio (ours / bare) %.2f\n",
              total[2] / runs, total[2] / total[0]);
  // Under Wine every call into the system is a request to the wineserver, and what a run costs
  // beyond a bare spawn is mostly such calls: their price puts the difference in those terms.
  constexpr int kCalls = 5000;
  const UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const double before = CpuMs();
  for (int i = 0; i < kCalls; ++i) ResetEvent(event.get());
  const double callMs = (CpuMs() - before) / kCalls;
  if (callMs > 0)
    std::printf(
        "  one call into the system (ResetEvent): %.1f us; the difference per run is %+.1f "
        "such calls, %+.1f with a time limit\n",
        callMs * 1000, (total[1] - total[0]) / runs / callMs,
        (total[2] - total[0]) / runs / callMs);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nearest rank.
double P95(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t rank = (values.size() * 95 + 99) / 100;
  return values[std::max<size_t>(rank, 1) - 1];
}

struct Series {
  std::vector<double> ms;
  std::vector<double> readOnlyMs;  // the limit's loop without keeping the bytes
  std::vector<double> drainMs;     // ExecuteAndDrain, beside it
  std::vector<double> wakeUps;
  std::vector<double> drainWakeUps;
  // Of each pair run back to back: the limit's time over ours, keeping, throwing away (the
  // loop's time over ExecuteAndDrain's) and for ExecuteAndCollect against the loop throwing the
  // bytes away; and our time less the limit's.
  std::vector<double> keepRatio;
  std::vector<double> drainRatio;
  std::vector<double> collectToReadOnly;
  std::vector<double> differenceMs;
  // This process's CPU time summed over the runs: of the work itself, and of the limit's loop
  // throwing the bytes away or of ExecuteAndDrain.
  double cpuMs = 0;
  double readOnlyCpuMs = 0;
  double drainCpuMs = 0;
  bool bytesRight = true;
};

// Runs limit and ExecuteAndCollect in turn, after one untimed run of each.
void Measure(const std::string& line, size_t bytes, int runs, Series& limit, Series& collect) {
  Limit(line);
  Collect(line);
  for (int i = 0; i < runs; ++i) {
    // Which goes first alternates: a run right after another child's end may pay for its
    // clean-up.
    Sample a;
    Sample b;
    if (i % 2 == 0) {
      a = Limit(line);
      b = Collect(line);
    } else {
      b = Collect(line);
      a = Limit(line);
    }
    if (bytes > 0) {
      // The two that keep nothing, in turn as well.
      Sample readOnly;
      Sample drained;
      if (i % 2 == 0) {
        readOnly = Limit(line, false);
        drained = Drain(line);
      } else {
        drained = Drain(line);
        readOnly = Limit(line, false);
      }
      limit.readOnlyMs.push_back(readOnly.ms);
      limit.readOnlyCpuMs += readOnly.cpuMs;
      collect.drainCpuMs += drained.cpuMs;
      collect.drainMs.push_back(drained.ms);
      collect.drainWakeUps.push_back(drained.wakeUps);
      collect.drainRatio.push_back(readOnly.ms / drained.ms);
      collect.collectToReadOnly.push_back(readOnly.ms / b.ms);
    }
    collect.keepRatio.push_back(a.ms / b.ms);
    collect.differenceMs.push_back(b.ms - a.ms);
    limit.ms.push_back(a.ms);
    collect.ms.push_back(b.ms);
    limit.cpuMs += a.cpuMs;
    collect.cpuMs += b.cpuMs;
    collect.wakeUps.push_back(b.wakeUps);
    limit.bytesRight = limit.bytesRight && a.bytes == bytes;
    collect.bytesRight = collect.bytesRight && b.bytes == bytes;
  }
}

void Throughput(const char* label, const std::string& child, size_t bytes, int runs) {
  Series limit;
  Series collect;
  Measure(child, bytes, runs, limit, collect);
  const double mib = bytes / 1048576.0;
  const double limitMs = Median(limit.ms);
  const double collectMs = Median(collect.ms);
  const double readOnlyMs = Median(limit.readOnlyMs);
  const double drainMs = Median(collect.drainMs);
  // This process's CPU time per MiB, over all runs.
  const auto cpu = [&](double totalMs) { return totalMs / runs / mib; };
  std::printf("%s, median of %d runs (CPU: this process's, per MiB, over all runs)\n", label, runs);
  std::printf("  limit, bytes thrown away:       %9.1f ms  %7.1f MiB/s  CPU %.2f ms\n", readOnlyMs,
              mib * 1000 / readOnlyMs, cpu(limit.readOnlyCpuMs));
  std::printf("  limit, bytes kept in a string:  %9.1f ms  %7.1f MiB/s  CPU %.2f ms\n", limitMs,
              mib * 1000 / limitMs, cpu(limit.cpuMs));
  std::printf(
      "  ExecuteAndCollect:              %9.1f ms  %7.1f MiB/s  CPU %.2f ms  %.1f wake-ups per "
      "MiB\n",
      collectMs, mib * 1000 / collectMs, cpu(collect.cpuMs), Median(collect.wakeUps) / mib);
  std::printf(
      "  ratio (limit time / ours):     %9.2f  (%.2f against the limit throwing the bytes "
      "away)%s\n",
      Median(collect.keepRatio), Median(collect.collectToReadOnly),
      limit.bytesRight && collect.bytesRight ? "" : "  (BYTE COUNT WRONG)");
  std::printf(
      "  ExecuteAndDrain:                %9.1f ms  %7.1f MiB/s  CPU %.2f ms  %.1f wake-ups per "
      "MiB\n",
      drainMs, mib * 1000 / drainMs, cpu(collect.drainCpuMs), Median(collect.drainWakeUps) / mib);
  std::printf("  ratio (limit throwing the bytes away / ExecuteAndDrain): %.2f\n\n",
              Median(collect.drainRatio));
}

// A run of the silent child as a script runner makes it: told to a record of runs under way (the
// benchmark's own, opened once), which keeps its processes while it runs.
void Recorded(const std::string& child, DWORD limitMs) {
  static brenlow::TRunRecord record(HKEY_CURRENT_USER, "Software\\brenlow-bench\\runs");
  static brenlow::TRunUnderWay& run = [] {
    record.Open();
    return std::ref(record.NewRun("task.bench.php"));
  }();
  brenlow::ExecuteAndDrain(child, run.Options({.TimeLimitMs = limitMs}));
}

// One work, runs times, for --only; false for a work it does not know.
bool Only(const std::string& work, int runs, const std::string& child) {
  const std::string big = child + kBigOutput;
  const std::string chatty = child + kChattyOutput;
  const auto silent = SilentWorks(child);
  const std::pair<const char*, std::function<void()>> works[] = {
      {"none", [] {}},
      {"bare", silent[0]},
      {"drain", silent[1]},
      {"limited", silent[2]},
      {"recorded", [&] { Recorded(child, 0); }},
      {"recordedlimited", [&] { Recorded(child, 600000); }},
      {"loop16", [&] { Limit(big, false); }},
      {"drain16", [&] { brenlow::ExecuteAndDrain(big); }},
      {"loop4", [&] { Limit(chatty, false); }},
      {"drain4", [&] { brenlow::ExecuteAndDrain(chatty); }},
  };
  for (const auto& [name, run] : works)
    if (work == name) {
      for (int i = 0; i < runs; ++i) run();
      return true;
    }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--only") {
    const std::string child = "\"" + brenlow::test::StandInPath("exec_child.exe") + "\"";
    return Only(argv[2], std::max(1, std::atoi(argv[3])), child) ? 0 : 2;
  }
  const int runsAB = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const int runsC = argc > 2 ? std::max(1, std::atoi(argv[2])) : 40;
  const int runsD = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;
  const std::string child = "\"" + brenlow::test::StandInPath("exec_child.exe") + "\"";
  std::printf("child: %s\n\n", child.c_str());
  Throughput("(a) 16 MiB in 64 KiB writes", child + kBigOutput, 16 << 20, runsAB);
  Throughput("(b) 4 MiB in 512-byte writes", child + kChattyOutput, 4 << 20, runsAB);

  Series limit;
  Series collect;
  Measure(child, 0, runsC, limit, collect);
  const double limitMedian = Median(limit.ms);
  const double collectMedian = Median(collect.ms);
  std::printf("(c) child that writes nothing, spawn to return, %d runs\n", runsC);
  std::printf("  limit:             median %6.2f ms  p95 %6.2f ms\n", limitMedian, P95(limit.ms));
  std::printf("  ExecuteAndCollect: median %6.2f ms  p95 %6.2f ms  %.0f wake-ups\n", collectMedian,
              P95(collect.ms), Median(collect.wakeUps));
  std::printf("  difference (ours - limit): %+.2f ms, ratio (limit / ours) %.2f\n",
              Median(collect.differenceMs), Median(collect.keepRatio));
  std::printf("\n");
  CpuPerRun(child, runsD);
  return 0;
}
