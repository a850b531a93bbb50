// The periodic script runner, running the interpreter stand-in with short timings.

#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "agent/DaemonUnit1.h"
#include "common/UniqueHandle.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/StandInLog.h"
#include "tests/support/TestSupport.h"

namespace brenlow {
namespace {

using test::MonotonicMicroseconds;
using test::OfKind;
using test::ParseStandInLog;
using test::StandInRecord;
using test::WaitFor;

TEST(FirstDelayRange, IsCeilingOfAHundredthUpToCeilingOfATenth) {
  const struct {
    int32_t period, lo, hi;
  } cases[] = {
      {3000, 30, 300},
      {60000, 600, 6000},
      {300000, 3000, 30000},
      {600000, 6000, 60000},
      {3600000, 36000, 360000},
      {101, 2, 11},
      {1, 1, 1},
      {0, 0, 0},
  };
  for (const auto& c : cases) {
    const TFirstDelayRange range = FirstDelayRange(c.period);
    EXPECT_EQ(range.lo, c.lo) << c.period;
    EXPECT_EQ(range.hi, c.hi) << c.period;
  }
}

// Several threads draw at once, as the runners do at start; every draw stays in its range and
// the range is covered from end to end.
TEST(DrawFirstDelay, StaysInsideTheRangeAndCoversIt) {
  std::vector<std::vector<int32_t>> draws(4);
  std::vector<std::thread> threads;
  for (auto& mine : draws)
    threads.emplace_back([&mine] {
      for (int i = 0; i < 5000; ++i) mine.push_back(DrawFirstDelay(3000));
    });
  for (auto& t : threads) t.join();
  int32_t low = 1 << 30, high = -1;
  for (const auto& mine : draws)
    for (int32_t d : mine) {
      low = std::min(low, d);
      high = std::max(high, d);
    }
  EXPECT_EQ(low, 30);
  EXPECT_EQ(high, 299);
  EXPECT_EQ(DrawFirstDelay(1), 1);  // an empty range gives its lower end
  for (int i = 0; i < 1000; ++i) {
    const int32_t d = DrawFirstDelay(3600000);
    EXPECT_GE(d, 36000);
    EXPECT_LT(d, 360000);
  }
}

void Stop(const std::weak_ptr<TCustomThread>& runner) {
  const auto alive = runner.lock();
  ASSERT_TRUE(alive) << "the runner has ended already";
  alive->RequestStop();
}

// Each case logs the stand-in's runs to a file of its own and tells it what to do through the
// environment, which the runner's children inherit.
class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironmentVariableA("BRENLOW_STANDIN_LOG", log_.c_str());
    for (const char* name :
         {"BRENLOW_STANDIN_SLEEP_MS", "BRENLOW_STANDIN_WAIT_EVENT", "BRENLOW_STANDIN_STDOUT_BYTES",
          "BRENLOW_STANDIN_STDERR_BYTES", "BRENLOW_STANDIN_EXIT_CODE", "BRENLOW_STANDIN_SPAWN"})
      SetEnvironmentVariableA(name, nullptr);
  }
  void TearDown() override { test::KillProcessesByName("script_helper.exe"); }
  std::vector<StandInRecord> Records() const { return ParseStandInLog(test::ReadFileText(log_)); }
  std::vector<StandInRecord> Starts() const { return OfKind(Records(), "start"); }
  std::vector<StandInRecord> Ends() const { return OfKind(Records(), "end"); }

  static TRunnerTimings Timings(int32_t firstDelay, int32_t pause) {
    TRunnerTimings timings;
    timings.FirstDelay = [firstDelay](int32_t) { return firstDelay; };
    timings.Pause = [pause](int32_t) { return pause; };
    timings.Script = "task.upstream.sync.php";
    return timings;
  }

  test::TempDir dir_;
  std::string log_ = dir_ / "runs.log";
  const std::string commandLine_ = "\"" + test::StandInPath("php_standin.exe") +
                                   "\" \"D:\\web root\\scripts\\task.upstream.sync.php\"";
};

// The product's first delay: for a period of 20 s the first run comes no sooner than 200 ms.
TEST_F(RunnerTest, FirstRunComesAfterTheFirstDelayWithTheCommandLineUnchanged) {
  TRunnerTimings timings;
  timings.Pause = [](int32_t) { return 60000; };
  const long long created = MonotonicMicroseconds();
  auto runner = TCustomThread::Create(20000, commandLine_, timings);
  EXPECT_EQ(runner->Period(), 20000);
  EXPECT_EQ(runner->CommandLine(), commandLine_);
  ASSERT_TRUE(WaitFor([&] { return Starts().size() == 1; }, 20000));
  const StandInRecord first = Starts()[0];
  EXPECT_EQ(first.commandLine, commandLine_);
  EXPECT_GE(first.us - created, 200 * 1000);
}

// A run that takes longer than the pause: the next run starts a full pause after the previous
// one ended, never while it still runs. The pause comes from the period. What the script
// prints and how it ends changes nothing.
TEST_F(RunnerTest, PauseIsMeasuredFromTheEndOfEachRun) {
  SetEnvironmentVariableA("BRENLOW_STANDIN_SLEEP_MS", "300");
  SetEnvironmentVariableA("BRENLOW_STANDIN_STDOUT_BYTES", "70000");
  SetEnvironmentVariableA("BRENLOW_STANDIN_STDERR_BYTES", "5000");
  SetEnvironmentVariableA("BRENLOW_STANDIN_EXIT_CODE", "1");
  TRunnerTimings timings = Timings(0, 0);
  timings.Pause = [](int32_t period) { return period / 10; };
  std::weak_ptr<TCustomThread> runner = TCustomThread::Create(2000, commandLine_, timings);
  ASSERT_TRUE(WaitFor([&] { return Starts().size() >= 3; }, 20000));
  Stop(runner);
  const auto starts = Starts();
  const auto ends = Ends();
  ASSERT_GE(ends.size(), 2u);
  for (size_t i = 0; i + 1 < starts.size() && i < ends.size(); ++i) {
    EXPECT_EQ(starts[i].commandLine, commandLine_);
    EXPECT_GE(ends[i].us - starts[i].us, 300 * 1000);
    EXPECT_GE(starts[i + 1].us - ends[i].us, 200 * 1000) << "run " << i;
  }
}

// A stop requested during the first delay: the delay ends, the script runs once, the full pause
// follows, and only then the runner ends and frees itself.
TEST_F(RunnerTest, StopDuringTheFirstDelayLetsOneRunAndOnePauseHappen) {
  const long long created = MonotonicMicroseconds();
  std::weak_ptr<TCustomThread> runner =
      TCustomThread::Create(3000, commandLine_, Timings(500, 400));
  Stop(runner);
  ASSERT_TRUE(WaitFor([&] { return runner.expired(); }, 20000));
  const long long ended = MonotonicMicroseconds();
  const auto starts = Starts();
  const auto ends = Ends();
  ASSERT_EQ(starts.size(), 1u);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_GE(starts[0].us - created, 500 * 1000);
  EXPECT_GE(ended - ends[0].us, 400 * 1000);
}

// A stop requested while the script runs: the script is not ended, it finishes when it is
// released, then the full pause follows and the runner ends.
TEST_F(RunnerTest, StopDuringARunLetsTheRunFinishThenPausesAndEnds) {
  const std::string eventName = "brenlow-runner-test-" + std::to_string(GetCurrentProcessId());
  UniqueHandle release(CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
  SetEnvironmentVariableA("BRENLOW_STANDIN_WAIT_EVENT", eventName.c_str());
  std::weak_ptr<TCustomThread> runner = TCustomThread::Create(3000, commandLine_, Timings(0, 400));
  ASSERT_TRUE(WaitFor([&] { return Starts().size() == 1; }, 20000));
  Stop(runner);
  Sleep(200);
  EXPECT_TRUE(Ends().empty()) << "the run was cut short";
  EXPECT_FALSE(runner.expired());
  SetEvent(release.get());
  ASSERT_TRUE(WaitFor([&] { return runner.expired(); }, 20000));
  const long long ended = MonotonicMicroseconds();
  ASSERT_EQ(Starts().size(), 1u);
  ASSERT_EQ(Ends().size(), 1u);
  EXPECT_GE(ended - Ends()[0].us, 400 * 1000);
}

// A script that hangs, having started a process of its own, with a limit of 3 s: the run is
// ended together with that process once the limit is reached, one Warning names the script and
// the limit, and the next run comes a pause later. Without a limit the run would last a minute.
TEST_F(RunnerTest, ARunThatReachesTheTimeLimitIsEndedWithWhatItStartedAndTheScheduleGoesOn) {
  const std::string grandchild = dir_ / "script_helper.exe";
  test::CopyFileOrThrow(test::StandInPath("sleeper.exe"), grandchild);
  SetEnvironmentVariableA("BRENLOW_STANDIN_SPAWN", grandchild.c_str());
  SetEnvironmentVariableA("BRENLOW_STANDIN_SLEEP_MS", "60000");
  test::RecordingEventLog log;
  TRunnerTimings timings = Timings(0, 300);
  timings.TimeLimitMs = 3000;
  timings.Log = &log.log();
  const long long created = MonotonicMicroseconds();
  std::weak_ptr<TCustomThread> runner = TCustomThread::Create(3000, commandLine_, timings);

  ASSERT_TRUE(WaitFor([&] { return Starts().size() == 1; }, 20000));
  ASSERT_TRUE(WaitFor([] { return !test::ProcessIdsByName("script_helper.exe").empty(); }, 20000));
  const std::vector<DWORD> firstRun{Starts()[0].pid,
                                    test::ProcessIdsByName("script_helper.exe")[0]};
  ASSERT_TRUE(WaitFor([&] { return Starts().size() == 2; }, 30000));
  const auto starts = Starts();
  for (const DWORD pid : firstRun) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    EXPECT_TRUE(!process || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0)
        << "process " << pid << " of the first run still runs";
  }
  EXPECT_TRUE(Ends().empty()) << "the script was not ended but finished";
  EXPECT_GE(starts[1].us - created, (3000 + 300) * 1000);
  EXPECT_EQ(log.Entries(),
            (std::vector<test::LoggedEntry>{
                {etWarning,
                 "Script task.upstream.sync.php ran longer than its limit of 3 s and "
                 "was ended with the processes it started."}}));
  Stop(runner);
  ASSERT_TRUE(WaitFor([&] { return runner.expired(); }, 30000));
}

// With a limit, what a run started and left running ends with the run, long before the limit.
TEST_F(RunnerTest, WithALimitWhatARunLeftRunningEndsWithIt) {
  const std::string grandchild = dir_ / "script_helper.exe";
  test::CopyFileOrThrow(test::StandInPath("sleeper.exe"), grandchild);
  SetEnvironmentVariableA("BRENLOW_STANDIN_SPAWN", grandchild.c_str());
  TRunnerTimings timings = Timings(0, 600000);
  timings.TimeLimitMs = 600000;
  std::weak_ptr<TCustomThread> runner = TCustomThread::Create(3000, commandLine_, timings);
  ASSERT_TRUE(WaitFor([&] { return Ends().size() == 1; }, 20000));
  EXPECT_TRUE(WaitFor([] { return test::ProcessIdsByName("script_helper.exe").empty(); }, 20000));
  Stop(runner);
}

// The working set of a process, which the system keeps in memory for it.
SIZE_T WorkingSet() {
  PROCESS_MEMORY_COUNTERS counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters.WorkingSetSize;
}

// A script that prints without end costs the service no memory: while a run writes 512 MiB, this
// process's working set, sampled every 20 ms, stays within 4 MiB of where it was before the
// runner started (16 MiB for 2 GiB, per byte written).
TEST_F(RunnerTest, WhatAScriptPrintsLeavesTheWorkingSetFlat) {
  SetEnvironmentVariableA("BRENLOW_STANDIN_STDOUT_BYTES", "536870912");
  const SIZE_T before = WorkingSet();
  SIZE_T highest = before;
  std::weak_ptr<TCustomThread> runner =
      TCustomThread::Create(3000, commandLine_, Timings(0, 600000));
  EXPECT_TRUE(WaitFor(
      [&] {
        highest = std::max(highest, WorkingSet());
        return Ends().size() == 1;
      },
      120000, 20));
  Stop(runner);
  EXPECT_LE(highest - before, 4u << 20) << "from " << before << " to " << highest;
}

// A runner whose runs fail, by a false result or by an error escaping the run, keeps its
// schedule.
class CountingRunner : public TCustomThread {
 public:
  CountingRunner(int32_t period, std::string commandLine, TRunnerTimings timings)
      : TCustomThread(period, std::move(commandLine), std::move(timings)) {}
  static std::shared_ptr<CountingRunner> Start(const std::string& commandLine,
                                               TRunnerTimings timings) {
    return CreateAs<CountingRunner>(3000, commandLine, std::move(timings));
  }
  std::atomic<int> runs{0};

 protected:
  void RunOnce() override {
    const int run = ++runs;
    TCustomThread::RunOnce();
    if (run % 2 == 1) throw std::runtime_error("run failed");
  }
};

TEST_F(RunnerTest, FailingRunsDoNotEndTheRunner) {
  // With no interpreter configured every run fails at once.
  auto runner = CountingRunner::Start("\"\" \"\\scripts\\task.upstream.sync.php\"", Timings(0, 20));
  EXPECT_TRUE(WaitFor([&] { return runner->runs.load() >= 4; }, 20000));
  runner->RequestStop();
}

}  // namespace
}  // namespace brenlow
