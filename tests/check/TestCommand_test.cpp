// The decisions of --test over plain values; --test itself runs under Wine in tests/service/.

#include <gtest/gtest.h>

#include "check/TestCommand.h"

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

}  // namespace
}  // namespace brenlow
