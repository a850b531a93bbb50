// The daemon object's start and stop hooks. The start hook reads brenlow.ini beside the test
// program, so these cases hold the lock on that file. Its companion steps are recorded instead
// of run: no case here starts or kills a companion.

#include "agent/DaemonUnit1.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/UniqueHandle.h"
#include "config/IniFile.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/StandInLog.h"
#include "tests/support/TestSupport.h"

namespace brenlow {
namespace {

using test::MonotonicMicroseconds;
using test::OfKind;
using test::ParseStandInLog;
using test::WaitFor;

const char* const kWorkedExample[12] = {
    R"("C:\php\php.exe" "D:\web\scripts\task.upstream.sync.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.listener.scan.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.reach.probe.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.host.inventory.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.unix.facts.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.signin.audit.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.web.uptime.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.directory.accounts.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.web.names.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.rule.actions.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.integrity.scan.php")",
    R"("C:\php\php.exe" "D:\web\scripts\task.netdev.poll.php")",
};
const int32_t kPeriods[12] = {3000,  60000,  3000,    60000, 60000, 300000,
                              60000, 600000, 3600000, 60000, 60000, 60000};

std::vector<std::string> CommandLines(const std::string& php, const std::string& webRoot) {
  std::vector<std::string> lines;
  for (const auto& row : ScriptSchedule)
    lines.push_back(ScriptCommandLine(php, webRoot, row.ScriptFile));
  return lines;
}

TEST(ScriptSchedule, GivesTheTwelveCommandLinesInTableOrder) {
  const auto lines = CommandLines("C:\\php\\php.exe", "D:\\web");
  ASSERT_EQ(lines.size(), 12u);
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(lines[i], kWorkedExample[i]);
    EXPECT_EQ(ScriptSchedule[i].Period, kPeriods[i]) << ScriptSchedule[i].ScriptFile;
  }
}

TEST(ScriptSchedule, InsertsThePathsVerbatim) {
  EXPECT_EQ(CommandLines("", "")[0], R"("" "\scripts\task.upstream.sync.php")");
  EXPECT_EQ(CommandLines("php", "D:\\web\\")[0],
            R"("php" "D:\web\\scripts\task.upstream.sync.php")");
  EXPECT_EQ(CommandLines(" C:\\a \"b\" ", "x\"y")[2],
            R"(" C:\a "b" " "x"y\scripts\task.reach.probe.php")");
}

// The ScriptTimeLimit setting: whole seconds, anything else no limit, the largest a 32-bit count of
// milliseconds holds.
TEST(ScriptTimeLimitFromSetting, TakesWholeSecondsAndNothingElse) {
  const struct {
    const char* setting;
    int32_t ms;
  } cases[] = {
      {"", 0},
      {"0", 0},
      {"3", 3000},
      {"+7", 7000},
      {"0090", 90000},
      {"-5", 0},
      {"-", 0},
      {"+", 0},
      {"3s", 0},
      {"3 s", 0},
      {"1.5", 0},
      {"0x10", 0},
      {"abc", 0},
      {"2147483", 2147483000},
      {"2147484", 2147483000},
      {"99999999999999999999999", 2147483000},
  };
  for (const auto& c : cases) EXPECT_EQ(ScriptTimeLimitFromSetting(c.setting), c.ms) << c.setting;
}

// Runners that never get to run while a case lasts: they stay alive and observable.
TRunnerTimings Idle() {
  TRunnerTimings timings;
  timings.FirstDelay = [](int32_t) { return 600000; };
  timings.Pause = [](int32_t) { return 600000; };
  return timings;
}

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteFileA(config_.c_str()); }
  void TearDown() override {
    DeleteFileA(config_.c_str());
    status_.Remove();
    RegDeleteTreeA(HKEY_CURRENT_USER, runsPath_.c_str());
  }

  // A daemon whose start-time check and steps 6 and 7 only record, with the number of runners
  // made by then.
  std::unique_ptr<TDaemon1> MakeDaemon(TRunnerTimings timings) {
    timings.Runs = &runs_;
    TCompanionStarters starters;
    starters.StartLauncher = [this] { Record("launcher"); };
    starters.StartMonitor = [this] { Record("monitor"); };
    auto daemon = std::make_unique<TDaemon1>(
        std::move(timings), std::move(starters),
        [this](const TAgentSettings& loaded) {
          Record("check of " + loaded.PhpExePath + " and " + loaded.WebRootPath);
        },
        status_);
    daemon_ = daemon.get();
    return daemon;
  }
  void Record(const std::string& step) {
    steps_.push_back(step + " after " + std::to_string(daemon_->ScriptThreads().size()));
  }

  static std::vector<std::shared_ptr<TCustomThread>> Alive(const TDaemon1& daemon) {
    std::vector<std::shared_ptr<TCustomThread>> alive;
    for (const auto& entry : daemon.ScriptThreads())
      if (auto runner = entry.lock()) alive.push_back(runner);
    return alive;
  }

  const std::string config_ = ConfigFilePath();
  // The hooks open and remove a status board of this process's own, never the service's.
  TStatusBoard status_{HKEY_CURRENT_USER,
                       "Software\\brenlow-tests\\status-" + std::to_string(GetCurrentProcessId())};
  // And a record of runs under way of their own.
  const std::string runsPath_ =
      "Software\\brenlow-tests\\runs-" + std::to_string(GetCurrentProcessId());
  TRunRecord runs_{HKEY_CURRENT_USER, runsPath_};
  std::vector<std::string> steps_;
  const TDaemon1* daemon_ = nullptr;
};

TEST_F(DaemonTest, WithoutAConfigurationFileTheRunnersGetEmptyPaths) {
  const auto daemon = MakeDaemon(Idle());
  EXPECT_TRUE(daemon->ScriptThreads().empty());
  bool ok = true;
  daemon->OnStart(daemon.get(), ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(daemon->PhpExePath(), "");
  EXPECT_EQ(daemon->WebRootPath(), "");
  const auto runners = Alive(*daemon);
  ASSERT_EQ(runners.size(), 12u);
  const auto expected = CommandLines("", "");
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(runners[i]->CommandLine(), expected[i]);
    EXPECT_EQ(runners[i]->Period(), ScriptSchedule[i].Period);
    EXPECT_EQ(runners[i]->TimeLimitMs(), 0);
  }
  // The check follows the settings; steps 6 and 7 come after the twelve runners, the launcher
  // first.
  EXPECT_EQ(steps_, (std::vector<std::string>{"check of  and  after 0", "launcher after 12",
                                              "monitor after 12"}));
}

// The hooks as the service host calls them: a second start appends twelve more runners, and a
// stop flags every one of them, counts in the log what the agent's writer left out for
// repeating, and returns at once, whatever the runners are doing.
TEST_F(DaemonTest, SecondStartGivesTwentyFourRunnersAndStopFlagsThemAll) {
  test::WriteFileText(config_,
                      "[General]\r\nPHP_EXE_PATH=C:\\php\\php.exe\r\nWEB_ROOT_PATH=D:\\web\r\n"
                      "scripttimelimit = 3\r\n");
  test::RecordingEventLog log;
  TRunnerTimings timings = Idle();
  timings.Log = &log.log();
  const auto daemon = MakeDaemon(timings);
  bool ok = true;
  daemon->OnStart(daemon.get(), ok);
  daemon->OnStart(daemon.get(), ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(daemon->PhpExePath(), "C:\\php\\php.exe");
  EXPECT_EQ(daemon->WebRootPath(), "D:\\web");
  auto runners = Alive(*daemon);
  ASSERT_EQ(runners.size(), 24u);
  EXPECT_EQ(daemon->ScriptTimeLimitMs(), 3000);
  for (size_t i = 0; i < 24; ++i) {
    EXPECT_EQ(runners[i]->CommandLine(), kWorkedExample[i % 12]);
    EXPECT_EQ(runners[i]->TimeLimitMs(), 3000);
    EXPECT_FALSE(runners[i]->StopRequested());
  }
  // Each start adds its own launcher and monitor; the check judges the settings just loaded.
  const std::string check = "check of C:\\php\\php.exe and D:\\web after ";
  EXPECT_EQ(steps_,
            (std::vector<std::string>{check + "0", "launcher after 12", "monitor after 12",
                                      check + "12", "launcher after 24", "monitor after 24"}));
  for (int i = 0; i < 11; ++i) log.log().LogInfo("x");
  daemon->OnStop(daemon.get(), ok);
  EXPECT_TRUE(ok);
  for (const auto& runner : runners) EXPECT_TRUE(runner->StopRequested());
  EXPECT_EQ(log.Entries().back().text, "1 entries like \"x\" were left out in the last 1 minutes.");
}

TEST_F(DaemonTest, StopSkipsRunnersThatHaveEnded) {
  TRunnerTimings quick;
  quick.FirstDelay = [](int32_t) { return 0; };
  quick.Pause = [](int32_t) { return 10; };
  const auto daemon = MakeDaemon(quick);
  daemon->AddScriptThread(3000, R"("" "\scripts\task.upstream.sync.php")");
  ASSERT_EQ(daemon->ScriptThreads().size(), 1u);
  bool ok = true;
  daemon->OnStop(daemon.get(), ok);
  ASSERT_TRUE(WaitFor([&] { return daemon->ScriptThreads()[0].expired(); }, 20000));
  daemon->OnStop(daemon.get(), ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(daemon->ScriptThreads().size(), 1u);
}

// With a limit, the stop waits for the runs under way, here no longer than its shortened wait,
// then ends them with what they started and names them in one entry. The start sets the error
// mode that the runs inherit (on Windows: Wine 8 passes no error mode on to a child).
TEST_F(DaemonTest, WithALimitTheStopEndsTheRunsStillUnderWayAndNamesThem) {
  test::TempDir dir;
  const std::string log = dir / "runs.log";
  SetEnvironmentVariableA("BRENLOW_STANDIN_LOG", log.c_str());
  SetEnvironmentVariableA("BRENLOW_STANDIN_SLEEP_MS", "60000");
  test::WriteFileText(config_, "[General]\r\nPHP_EXE_PATH=" + test::StandInPath("php_standin.exe") +
                                   "\r\nScriptTimeLimit=120\r\n");
  test::RecordingEventLog entries;
  TRunnerTimings timings = Idle();
  timings.FirstDelay = [](int32_t) { return 0; };
  timings.Log = &entries.log();
  timings.StopWaitMs = 500;
  const auto daemon = MakeDaemon(timings);
  bool ok = true;
  daemon->OnStart(daemon.get(), ok);
  EXPECT_EQ(GetErrorMode(), kServiceErrorMode);
  const auto starts = [&] { return OfKind(ParseStandInLog(test::ReadFileText(log)), "start"); };
  ASSERT_TRUE(WaitFor([&] { return starts().size() == 12; }, 60000));
  const ULONGLONG stopping = GetTickCount64();
  daemon->OnStop(daemon.get(), ok);
  EXPECT_GE(GetTickCount64() - stopping, 500u);
  for (const auto& start : starts()) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, start.pid));
    EXPECT_TRUE(!process || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) << start.pid;
  }
  ASSERT_EQ(entries.Count(), 1u);
  const std::string text = entries.Entries()[0].text;
  for (const TScriptScheduleRow& row : ScriptSchedule)
    EXPECT_NE(text.find("Script " + std::string(row.ScriptFile) +
                        " was ended at the service's stop after "),
              std::string::npos)
        << text;
  SetEnvironmentVariableA("BRENLOW_STANDIN_SLEEP_MS", nullptr);
}

// A configuration file that is there but cannot be read stops the hook before any worker starts.
TEST_F(DaemonTest, UnreadableConfigurationFileStopsTheStartBeforeAnyRunner) {
  test::WriteFileText(config_, "[General]\r\nPHP_EXE_PATH=x\r\n");
  UniqueHandle writer(CreateFileA(config_.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writer);
  const auto daemon = MakeDaemon(Idle());
  bool ok = true;
  try {
    daemon->OnStart(daemon.get(), ok);
    FAIL() << "the start hook did not raise";
  } catch (const EFOpenError& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to open file \"" + config_ + "\"");
  }
  EXPECT_TRUE(daemon->ScriptThreads().empty());
  EXPECT_TRUE(steps_.empty());
}

// The whole road: the configured interpreter (the stand-in) is started once per script with its
// command line byte for byte, each no sooner than its first delay allows. First delays are a
// two-hundredth of the product's so the hour-long script starts within seconds.
// The same settings saved as UTF-16LE (as PowerShell 5 writes a file) give the same command lines.
class DaemonStartTest : public DaemonTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DaemonStartTest, RunnersStartTheConfiguredInterpreterWithTheirCommandLines) {
  const std::string php = test::StandInPath("php_standin.exe");
  test::TempDir dir;
  const std::string log = dir / "runs.log";
  SetEnvironmentVariableA("BRENLOW_STANDIN_LOG", log.c_str());
  const std::string text =
      "[General]\r\nPHP_EXE_PATH=" + php + "\r\nWEB_ROOT_PATH = \"D:\\web\"\r\n";
  if (GetParam()) {
    std::string utf16 = "\xFF\xFE";
    for (const wchar_t c : test::Widen(text))
      utf16 += {static_cast<char>(c), static_cast<char>(c >> 8)};
    test::WriteFileText(config_, utf16);
  } else {
    test::WriteFileText(config_, "\xEF\xBB\xBF" + text);
  }
  TRunnerTimings timings;
  timings.FirstDelay = [](int32_t period) { return DrawFirstDelay(period) / 200; };
  timings.Pause = [](int32_t) { return 600000; };
  const auto daemon = MakeDaemon(timings);
  const long long started = MonotonicMicroseconds();
  bool ok = true;
  daemon->OnStart(daemon.get(), ok);
  ASSERT_TRUE(WaitFor(
      [&] {
        return test::OfKind(test::ParseStandInLog(test::ReadFileText(log)), "end").size() == 12;
      },
      60000))
      << test::ReadFileText(log);
  const auto starts = test::OfKind(test::ParseStandInLog(test::ReadFileText(log)), "start");
  ASSERT_EQ(starts.size(), 12u);
  const auto expected = CommandLines(php, "D:\\web");
  for (size_t row = 0; row < 12; ++row) {
    const auto match = std::find_if(starts.begin(), starts.end(),
                                    [&](const auto& r) { return r.commandLine == expected[row]; });
    ASSERT_NE(match, starts.end()) << "never started: " << expected[row];
    const long long lowest = FirstDelayRange(ScriptSchedule[row].Period).lo / 200;
    EXPECT_GE(match->us - started, lowest * 1000) << expected[row];
  }
  daemon->OnStop(daemon.get(), ok);
}

INSTANTIATE_TEST_SUITE_P(Encodings, DaemonStartTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Utf16" : "SingleByte"; });

}  // namespace
}  // namespace brenlow
