// Shows that the test bed itself works: tests run as Windows processes under Wine, and the
// event-log trace parser reads what Wine traces.

#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/EventTrace.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

TEST(TestBed, RunsAsAWindowsProcess) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ASSERT_TRUE(GetVersionExA(&version));
#pragma GCC diagnostic pop
  EXPECT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  // Wine exports wine_get_version from ntdll; its presence tells Wine from real Windows, and
  // either way the process sees a Windows system directory.
  char system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
  EXPECT_TRUE(FileExists(std::string(system) + "\\kernel32.dll"));
}

TEST(EventTraceParser, ReadsEntriesSourcesAndEscapes) {
  const std::string trace =
      "0144:0148:fixme:advapi:OpenEventLogW ((null),L\"Spike Src\") stub\n"
      "0144:0148:fixme:advapi:ReportEventA (00000000CAFE4242,0x0002,0x0002,0x000003ea,"
      "0000000000000000,0x0001,0x00000000,000000000021FD28,0000000000000000): stub\n"
      "0144:0148:fixme:advapi:ReportEventW (00000000CAFE4242,0x0002,0x0002,0x000003ea,"
      "0000000000000000,0x0001,0x00000000,000000000034B480,0000000000000000): stub\n"
      "0144:0150:fixme:advapi:ReportEventA (00000000CAFE4242,0x0004,0x0001,0x000003e9,"
      "0000000000000000,0x0001,0x00000000,000000000021FD28,0000000000000000): stub\n"
      "0144:0148:warn:eventlog:ReportEventW L\"starting \\\"x\\\" \\\\ \\00e9\\n\"\n"
      "0144:0150:trace:eventlog:ReportEventW L\"\"\n"
      "0200:0204:fixme:advapi:OpenEventLogW ((null),L\"Other\") stub\n"
      "0200:0204:fixme:advapi:ReportEventA (00000000CAFE4242,0x0001,0x0003,0x000003eb,"
      "0000000000000000,0x0000,0x00000000,0000000000000000,0000000000000000): stub\n"
      "0200:0204:fixme:advapi:ReportEventW (00000000CAFE4242,0x0001,0x0003,0x000003eb,"
      "0000000000000000,0x0000,0x00000000,0000000000000000,0000000000000000): stub\n";
  const auto entries = ParseEventTrace(trace);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].source, "Spike Src");
  EXPECT_EQ(entries[0].thread, "0148");
  EXPECT_EQ(entries[0].type, 2u);
  EXPECT_EQ(entries[0].category, 2u);
  EXPECT_EQ(entries[0].eventId, 1002u);
  EXPECT_EQ(entries[0].text, "starting \"x\" \\ \xe9\n");
  EXPECT_EQ(entries[1].thread, "0150");
  EXPECT_EQ(entries[1].eventId, 1001u);
  EXPECT_TRUE(entries[1].hasText);
  EXPECT_EQ(entries[1].text, "");
  EXPECT_EQ(entries[2].source, "Other");
  EXPECT_EQ(entries[2].stringCount, 0u);
  EXPECT_FALSE(entries[2].hasText);
}

// A real ReportEventA call, made by a child process that traces its event-log calls, comes back
// from the parser with the fields it was given.
TEST(EventTraceParser, ReadsARealReportEventCall) {
  const TraceFile trace = TraceFile::OfChildren();
  const auto result = RunProcess(
      "\"" + StandInPath("report_event.exe") + "\" \"Bed Source\" 2 2 1002 \"probe \\\" text\"",
      {kEventTraceDebug});
  ASSERT_EQ(result.exitCode, 0u) << result.err;
  const auto entries = trace.Entries();
  ASSERT_EQ(entries.size(), 1u) << trace.Text();
  EXPECT_EQ(entries[0].source, "Bed Source");
  EXPECT_EQ(entries[0].type, 2u);
  EXPECT_EQ(entries[0].category, 2u);
  EXPECT_EQ(entries[0].eventId, 1002u);
  EXPECT_EQ(entries[0].text, "probe \" text");
}

}  // namespace
}  // namespace brenlow::test
