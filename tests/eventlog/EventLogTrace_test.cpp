// Entries written through the event log writer, as the real ReportEventA receives them: a
// stand-in program writes them, and Wine's event-log trace of it is read back.

#include <gtest/gtest.h>

#include "tests/support/EventTrace.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

std::vector<TraceEntry> WriteEntries(const std::string& arguments) {
  const TraceFile trace = TraceFile::OfChildren();
  const auto result =
      RunProcess("\"" + StandInPath("my.agent.exe") + "\" " + arguments, {kEventTraceDebug});
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  return trace.Entries();
}

TEST(EventLogTrace, EntriesCarrySourceTypeCategoryIdAndTheMessage) {
  const auto entries = WriteEntries(
      "--source \"Tevrin Inner Service\" warning \"Pipe probe failed, error 2\" "
      "info \"Starting qrx_proxy process.\" error \"Cannot start: 100% \\\"busy\\\"\"");
  ASSERT_EQ(entries.size(), 3u);
  const struct {
    unsigned type, category, eventId;
    const char* text;
  } expected[] = {
      {EVENTLOG_WARNING_TYPE, 2, 1002, "Pipe probe failed, error 2"},
      {EVENTLOG_INFORMATION_TYPE, 1, 1001, "Starting qrx_proxy process."},
      {EVENTLOG_ERROR_TYPE, 3, 1003, "Cannot start: 100% \"busy\""},
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].source, "Tevrin Inner Service") << i;
    EXPECT_EQ(entries[i].type, expected[i].type) << i;
    EXPECT_EQ(entries[i].category, expected[i].category) << i;
    EXPECT_EQ(entries[i].eventId, expected[i].eventId) << i;
    EXPECT_EQ(entries[i].stringCount, 1u) << i;
    EXPECT_EQ(entries[i].text, expected[i].text) << i;
  }
}

}  // namespace
}  // namespace brenlow::test
