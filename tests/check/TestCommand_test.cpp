// The decisions of --test over plain values, and its run's time limit while the console holds
// what it writes; --test itself runs under Wine in tests/service/.

#include <gtest/gtest.h>

#include <thread>

#include "check/TestCommand.h"
#include "common/UniqueHandle.h"
#include "tests/support/StandInLog.h"
#include "tests/support/TestSupport.h"

namespace brenlow {
namespace {

// Chunks that end below, at and across the shown limit: only what fits is shown, all is counted.
TEST(TestCommand, ShownBytesAndExitCodes) {
  TShownStream stream(10);
  EXPECT_EQ(stream.Take(4), 4u);
  EXPECT_EQ(stream.Take(6), 6u);
  EXPECT_EQ(stream.LeftOut(), 0u);
  EXPECT_EQ(stream.Take(5), 0u);
  TShownStream across(10);
  EXPECT_EQ(across.Take(8), 8u);
  EXPECT_EQ(across.Take(5), 2u);
  EXPECT_EQ(across.LeftOut(), 3u);
  EXPECT_EQ(across.Total(), 13u);

  struct Case {
    TChildOutcome outcome;
    int expected;
  };
  const Case cases[] = {
      {{.Started = true, .Ended = true, .ExitCode = 0xC0000135}, 1},
      {{.Started = true, .Ended = true, .TimedOut = true, .ExitCode = kTimeLimitExitCode}, 2},
      {{.Started = true, .Ended = false, .Error = 6}, 2},
      {{.Started = false, .Error = 2}, 2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TestExitCode(c.outcome), c.expected) << TestOutcomeLine(c.outcome, 1500, 2000);
  EXPECT_EQ(TestOutcomeLine(cases[0].outcome, 1500, 0),
            "Ended with exit code 0xC0000135 (a DLL the interpreter needs was not found) after "
            "1.50 s.\r\n");
}

// A console in selection mode blocks every write: the run still ends at its time limit, and what
// it printed comes out once the console lets it.
TEST(TestCommand, TheTimeLimitActsWhileTheConsoleHoldsTheOutput) {
  test::TempDir dir;
  const std::string log = dir / "runs.log";
  SetEnvironmentVariableA("BRENLOW_STANDIN_LOG", log.c_str());
  SetEnvironmentVariableA("BRENLOW_STANDIN_STDOUT_BYTES", "10");
  SetEnvironmentVariableA("BRENLOW_STANDIN_SLEEP_MS", "600000");
  const UniqueHandle released(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::string shown;
  const TTestOutput out{[&](const std::string& text) {
                          shown += text;
                          WaitForSingleObject(released.get(), 60000);
                        },
                        [](const std::string&) {}};
  int code = -1;
  std::thread run(
      [&] { code = ShowRun("\"" + test::StandInPath("php_standin.exe") + "\"", 1000, out); });
  DWORD pid = 0;
  EXPECT_TRUE(test::WaitFor(
      [&] {
        const auto starts = test::OfKind(test::ParseStandInLog(test::ReadFileText(log)), "start");
        pid = starts.empty() ? 0 : starts[0].pid;
        return pid != 0;
      },
      30000));
  const UniqueHandle child(OpenProcess(SYNCHRONIZE, FALSE, pid));
  EXPECT_TRUE(!child || WaitForSingleObject(child.get(), 30000) == WAIT_OBJECT_0);
  SetEvent(released.get());
  run.join();
  for (const char* name :
       {"BRENLOW_STANDIN_LOG", "BRENLOW_STANDIN_STDOUT_BYTES", "BRENLOW_STANDIN_SLEEP_MS"})
    SetEnvironmentVariableA(name, nullptr);
  EXPECT_EQ(code, 2);
  EXPECT_NE(
      shown.find("xxxxxxxxxx\r\n--- end of the script's output ---\r\nReached its time limit"),
      std::string::npos)
      << shown;
}

}  // namespace
}  // namespace brenlow
