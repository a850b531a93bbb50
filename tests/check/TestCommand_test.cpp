// The decisions of --test and --version over plain values.

#include <gtest/gtest.h>

#include "check/TestCommand.h"
#include "check/VersionCommand.h"

namespace brenlow {
namespace {

// Chunks that end below, at and across the shown limit: only what fits is shown, all is counted.
TEST(TestCommand, ShownBytesExitCodesAndNames) {
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
      {{.Started = true, .Ended = true, .ExitCode = 0}, 0},
      {{.Started = true, .Ended = true, .ExitCode = 3}, 1},
      {{.Started = true, .Ended = true, .ExitCode = 0xC0000135}, 1},
      {{.Started = true, .Ended = true, .TimedOut = true, .ExitCode = kTimeLimitExitCode}, 2},
      {{.Started = true, .Ended = false, .Error = 6}, 2},
      {{.Started = false, .Error = 2}, 2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TestExitCode(c.outcome), c.expected) << TestOutcomeLine(c.outcome, 1500, 2000);
  EXPECT_EQ(TestOutcomeLine(cases[2].outcome, 1500, 0),
            "Ended with exit code 0xC0000135 (a DLL the interpreter needs was not found) after "
            "1.50 s.\r\n");

  EXPECT_STREQ(FindScheduledScript("TASK.WEB.NAMES.PHP")->ScriptFile, "task.web.names.php");
  EXPECT_EQ(FindScheduledScript("task.web.names"), nullptr);
  EXPECT_EQ(VersionLine({"Tevrin Agent", "1.1.0", ""}, "brenlow.exe"),
            "Tevrin Agent 1.1.0 (brenlow.exe)\r\n");
}

}  // namespace
}  // namespace brenlow
