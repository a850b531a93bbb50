// The --status report over plain values: the verdict and its exit code for the states a service
// and its status key can be in, the wording of a script's line, when a failing streak is
// reported, and the report as JSON.

#include "status/StatusReport.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/SystemError.h"
#include "status/StatusJson.h"
#include "status/StatusRecords.h"

namespace brenlow {
namespace {

constexpr uint64_t kNow = 134100000000000000ULL;  // a FILETIME in December 2025
constexpr uint64_t kMs = 10000;
constexpr uint64_t kMin = 60 * 1000;

TServiceState Running() {
  TServiceState service;
  service.Name = "TevrinInternalSvc";
  service.State = SERVICE_RUNNING;
  service.ProcessId = 1234;
  service.ProcessCreated = kNow - (192 * kMin + 1000) * kMs;
  return service;
}

// Up for 3 h 12 min, the companion answering, one script run 1 214 times, the last ended well.
TAgentStatus Healthy() {
  TAgentStatus status;
  status.Present = true;
  status.ProcessId = 1234;
  status.Started = kNow - 192 * kMin * kMs;
  status.ProcessCreated = Running().ProcessCreated;
  status.Companion = {true, 4242, 1, 0, kNow - 3000 * kMs, "good reply", kNow - 3000 * kMs, 0};
  TScriptStatus script;
  script.Script = "task.upstream.sync.php";
  script.Present = true;
  script.Period = 3000;
  script.Runs = 1214;
  script.LastStart = kNow - 2400 * kMs;
  script.LastDuration = 400;
  script.HasExitCode = true;
  status.Scripts.push_back(script);
  return status;
}

TEST(StatusReport, DecidesTheVerdictAndItsExitCode) {
  struct Case {
    const char* what;
    std::function<void(TServiceState&, TAgentStatus&)> change;
    TCheckResult result;
    std::string headline;
  };
  const auto script = [](TAgentStatus& a) -> TScriptStatus& { return a.Scripts[0]; };
  const auto runningFor = [](TAgentStatus& a, DWORD period, uint64_t minutes) {
    a.Scripts[0].Period = period, a.Scripts[0].Running = true;
    a.Scripts[0].LastStart = kNow - minutes * kMin * kMs;
  };
  // The 3 s script's next run was due that long ago, and none has started since.
  const auto dueAgo = [](TAgentStatus& a, uint64_t ms) {
    a.Scripts[0].LastStart = kNow - (400 + 3000 + ms) * kMs;
  };
  const std::string ok = "OK: TevrinInternalSvc is running and nothing is failing";
  const Case cases[] = {
      {"healthy", [](auto&, auto&) {}, crOk, ok},
      {"paused: the work goes on", [](auto& s, auto&) { s.State = SERVICE_PAUSED; }, crOk, ok},
      {"not installed", [](auto& s, auto&) { s.QueryError = ERROR_SERVICE_DOES_NOT_EXIST; },
       crCritical, "CRITICAL: TevrinInternalSvc is not installed"},
      {"stopped", [](auto& s, auto&) { s.State = SERVICE_STOPPED, s.ProcessId = 0; }, crCritical,
       "CRITICAL: TevrinInternalSvc is stopped"},
      {"no access to the service manager", [](auto& s, auto&) { s.QueryError = 5; }, crUnknown,
       "UNKNOWN: the service manager could not be asked: system error 5"},
      {"no key", [](auto&, auto& a) { a = TAgentStatus(); }, crUnknown,
       "UNKNOWN: the running service has written no status"},
      {"key of another process", [](auto&, auto& a) { a.ProcessId = 999; }, crUnknown,
       "UNKNOWN: the status key was written by process 999, not by the service's"},
      {"same id, but another process",
       [](auto& s, auto& a) { s.ProcessCreated = a.ProcessCreated + 1; }, crUnknown,
       "UNKNOWN: the status key was written by process 1234, not by the service's"},
      {"the clock stepped back an hour after the process was made",
       [](auto& s, auto& a) { a.Started = s.ProcessCreated - 60 * kMin * kMs; }, crOk, ok},
      {"a script without a subkey", [&](auto&, auto& a) { script(a).Present = false; }, crUnknown,
       "UNKNOWN: no status for task.upstream.sync.php"},
      {"four failures", [&](auto&, auto& a) { script(a).FailuresInARow = 4; }, crOk, ok},
      {"five failures", [&](auto&, auto& a) { script(a).FailuresInARow = 5; }, crWarning,
       "WARNING: task.upstream.sync.php failed 5 runs in a row"},
      {"a 3 s script running for 9 min", [&](auto&, auto& a) { runningFor(a, 3000, 9); }, crOk, ok},
      {"a 3 s script running for 11 min", [&](auto&, auto& a) { runningFor(a, 3000, 11); },
       crWarning, "WARNING: task.upstream.sync.php running for 11 min"},
      {"a 1 h script running for 9 h", [&](auto&, auto& a) { runningFor(a, 3600000, 540); }, crOk,
       ok},
      {"a 1 h script running for 11 h", [&](auto&, auto& a) { runningFor(a, 3600000, 660); },
       crWarning, "WARNING: task.upstream.sync.php running for 11 h"},
      {"due for its period and a minute", [&](auto&, auto& a) { dueAgo(a, 63000); }, crOk, ok},
      {"due for a millisecond longer: its runner has stopped",
       [&](auto&, auto& a) { dueAgo(a, 63001); }, crWarning,
       "WARNING: task.upstream.sync.php overdue by 1 min 3 s"},
      {"no good reply for 61 s",
       [](auto&, auto& a) { a.Companion.LastGoodProbe = kNow - 61000 * kMs; }, crWarning,
       "WARNING: no good reply from the companion for 1 min 1 s"},
      {"none yet, 30 s after the start",
       [](auto& s, auto& a) {
         a.Started = kNow - 30000 * kMs, s.ProcessCreated = a.ProcessCreated = a.Started - 1;
         a.Companion.LastGoodProbe = 0;
       },
       crOk, ok},
      {"two warnings",
       [&](auto&, auto& a) { script(a).FailuresInARow = 9, a.Companion.LastGoodProbe = 0; },
       crWarning,
       "WARNING: no good reply from the companion for 3 h 12 min; task.upstream.sync.php failed "
       "9 runs in a row"},
  };
  for (const Case& c : cases) {
    TServiceState service = Running();
    TAgentStatus status = Healthy();
    c.change(service, status);
    const TStatusReport report = MakeStatusReport(service, status, kNow);
    EXPECT_EQ(report.Result, c.result) << c.what;
    EXPECT_EQ(report.Text.substr(0, report.Text.find("\r\n")), c.headline) << c.what;
  }
}

TEST(StatusReport, ShowsTheServiceTheCompanionAndAColumnPerScript) {
  EXPECT_EQ(MakeStatusReport(Running(), Healthy(), kNow).Text,
            "OK: TevrinInternalSvc is running and nothing is failing\r\n"
            "Service TevrinInternalSvc: running, process 1234, started 3 h 12 min ago\r\n"
            "Companion qrx_proxy.exe: process 4242; 1 start, 0 kills; last probe 3 s ago: good "
            "reply\r\n"
            "  task.upstream.sync.php  every 3 s     last run 2 s ago, 0.4 s, exit 0; 1 214 runs; "
            "next in about 1 s\r\n");
}

TEST(StatusReport, PutsAScriptsStateInPlainWords) {
  struct Case {
    std::function<void(TScriptStatus&)> change;
    std::string text;
  };
  const Case cases[] = {
      {[](auto& s) { s.Runs = 0, s.LastStart = 0; }, "first run not yet due"},
      {[](auto& s) { s.Runs = 0, s.LastStart = 0, s.WaitingFor = 812; },
       "waiting for a run left by the previous start, process 812"},
      {[](auto& s) { s.Runs = 0, s.Running = true, s.LastStart = kNow - 3500 * kMs; },
       "running for 3 s"},
      {[](auto& s) { s.Running = true, s.Period = 3600000, s.LastStart = kNow - 192 * kMin * kMs; },
       "running for 3 h 12 min; 1 214 runs"},
      {[](auto& s) {
         s.FailuresInARow = 7, s.LastExitCode = 3, s.Period = 60000, s.LastDuration = 12000;
         s.LastStart = kNow - 20000 * kMs;
       },
       "failed 7 runs in a row, exit code 3; last run 20 s ago, 12 s; 1 214 runs; next in about "
       "52 s"},
      {[](auto& s) { s.FailuresInARow = 1, s.HasExitCode = false, s.LastError = 2; },
       "the last run failed, could not start, system error 2; last run 2 s ago, 0.4 s; 1 214 "
       "runs; next in about 1 s"},
      {[](auto& s) {
         s.FailuresInARow = 1, s.HasExitCode = false, s.LastError = 6, s.LastFailedStep = 2;
       },
       "the last run failed, its end could not be awaited, system error 6; last run 2 s ago, 0.4 "
       "s; 1 214 runs; next in about 1 s"},
      {[](auto& s) { s.FailuresInARow = 5, s.LastExitCode = 0xC0000005, s.Runs = 5; },
       "failed 5 runs in a row, exit code 0xC0000005; last run 2 s ago, 0.4 s; 5 runs; next in "
       "about 1 s"},
      {[](auto& s) { s.LastStart = kNow - 4000 * kMs, s.Runs = 1; },
       "last run 4 s ago, 0.4 s, exit 0; 1 run; next due now"},
      {[](auto& s) { s.Period = 3600000, s.LastStart = kNow - (26 * 60 + 7) * kMin * kMs; },
       "last run 1 d 2 h ago, 0.4 s, exit 0; 1 214 runs; overdue by 1 d 1 h"},
  };
  for (const Case& c : cases) {
    TAgentStatus status = Healthy();
    c.change(status.Scripts[0]);
    const std::string text = MakeStatusReport(Running(), status, kNow).Text;
    const size_t line = text.find("  task.upstream.sync.php  ");
    ASSERT_NE(line, std::string::npos) << text;
    const size_t from = text.find_first_not_of(' ', text.find("  ", text.find("every", line)));
    EXPECT_EQ(text.substr(from, text.find("\r\n", from) - from), c.text);
  }
}

// The values as numbers, times in ISO 8601 UTC, null for what is not known; the verdict, its exit
// code and its reasons as in the first line. (A stopped service is in the service's test.)
TEST(StatusJson, GivesTheVerdictTheServiceTheCompanionAndEachScript) {
  TAgentStatus status = Healthy();
  TScriptStatus failing;
  failing.Script = "task.web.uptime.php";
  failing.Present = true;
  failing.Period = 60000;
  failing.Runs = failing.FailuresInARow = 5;
  failing.LastStart = kNow - 200000 * kMs;
  failing.LastError = ERROR_FILE_NOT_FOUND;
  failing.LastFailedStep = TRunEnd::fsStart;
  status.Scripts.push_back(failing);
  EXPECT_EQ(
      StatusJson(Running(), status, MakeStatusReport(Running(), status, kNow), kNow),
      "{\r\n"
      "  \"format\": 1,\r\n"
      "  \"verdict\": \"WARNING\",\r\n"
      "  \"exitCode\": 1,\r\n"
      "  \"reasons\": [\"task.web.uptime.php failed 5 runs in a row\", \"task.web.uptime.php "
      "overdue by 2 min 20 s\"],\r\n"
      "  \"time\": \"2025-12-12T08:00:00.000Z\",\r\n"
      "  \"service\": {\"name\": \"TevrinInternalSvc\", \"state\": \"running\", \"processId\": "
      "1234, \"started\": \"2025-12-12T04:48:00.000Z\"},\r\n"
      "  \"startCheckFailures\": null,\r\n"
      "  \"companion\": {\"processId\": 4242, \"starts\": 1, \"kills\": 0, \"lastProbe\": "
      "\"2025-12-12T07:59:57.000Z\", \"lastProbeResult\": \"good reply\", \"lastGoodProbe\": "
      "\"2025-12-12T07:59:57.000Z\", \"probeFailures\": 0},\r\n"
      "  \"scripts\": [\r\n"
      "    {\"name\": \"task.upstream.sync.php\", \"period\": 3000, \"runs\": 1214, "
      "\"failuresInARow\": 0, \"running\": false, \"waitingFor\": null, \"lastStart\": "
      "\"2025-12-12T07:59:57.600Z\", "
      "\"lastDuration\": 400, \"lastExitCode\": 0, \"lastError\": 0, \"lastFailedStep\": null, "
      "\"nextRunDue\": \"2025-12-12T08:00:01.000Z\", \"overdueBy\": 0},\r\n"
      "    {\"name\": \"task.web.uptime.php\", \"period\": 60000, \"runs\": 5, "
      "\"failuresInARow\": 5, \"running\": false, \"waitingFor\": null, \"lastStart\": "
      "\"2025-12-12T07:56:40.000Z\", "
      "\"lastDuration\": 0, \"lastExitCode\": null, \"lastError\": 2, \"lastFailedStep\": "
      "\"start\", \"nextRunDue\": \"2025-12-12T07:57:40.000Z\", \"overdueBy\": 140000}\r\n"
      "  ]\r\n"
      "}\r\n");
}

// Texts come in the system's code page and leave as ASCII, whatever code page reads them.
TEST(StatusJson, EscapesTextsIntoAscii) {
  struct Case {
    std::string text;
    UINT codePage;
    std::string json;
  };
  const Case cases[] = {
      {"C:\\web \"1\"\t/", 1252, R"("C:\\web \"1\"\t/")"},
      {"\r\n\b\f\x01\x1f\x7f", 1252, R"("\r\n\b\f\u0001\u001f\u007f")"},
      {"D:\\caf\xe9", 1252, R"("D:\\caf\u00e9")"},
      {"\x95\x5c", 932, R"("\u8868")"},  // its second byte alone would be a backslash
      {"\xf0\x9f\x98\x80", CP_UTF8, R"("\ud83d\ude00")"},  // UTF-8 as the system's code page
      {"", 1252, R"("")"},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonString(c.text, c.codePage), c.json) << c.json;
  EXPECT_EQ(JsonTime(0), "null");
}

// The streak's Warning names the step that failed; only a run that never started says so.
TEST(RunEndText, NamesTheStepThatFailed) {
  const auto end = [](TRunEnd::TFailedStep step, bool timedOut) {
    TRunEnd e;
    e.FailedStep = step, e.TimedOut = timedOut, e.ExitCode = 3, e.Error = 5;
    return RunEndText(e);
  };
  const std::string error5 = ErrorText(5);
  EXPECT_EQ(end(TRunEnd::fsNone, false), "exit code 3");
  EXPECT_EQ(end(TRunEnd::fsNone, true), "ended at its time limit");
  EXPECT_EQ(end(TRunEnd::fsStart, false), "could not be started: " + error5);
  EXPECT_EQ(end(TRunEnd::fsWait, false), "its end could not be awaited: " + error5);
  EXPECT_EQ(end(TRunEnd::fsEndAtLimit, true),
            "reached its time limit but could not be ended: " + error5);
}

TEST(StreakEntry, ReportsTheFifthFailureInARowAndTheSuccessAfterItOnce) {
  const TStreakEntry afterFailure[] = {seNone, seNone, seNone, seNone, seFailing, seNone, seNone};
  const TStreakEntry afterSuccess[] = {seNone, seNone,      seNone,     seNone,
                                       seNone, seRecovered, seRecovered};
  for (uint32_t before = 0; before < 7; ++before) {
    EXPECT_EQ(StreakEntryFor(before, false), afterFailure[before]) << before;
    EXPECT_EQ(StreakEntryFor(before, true), afterSuccess[before]) << before;
  }
}

}  // namespace
}  // namespace brenlow
