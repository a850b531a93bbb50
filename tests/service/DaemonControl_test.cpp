// The run command against the stand-in service manager: status reports, check points, the
// control thread's handling of each control, and the failure paths.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "common/SystemError.h"
#include "service/DaemonController.h"
#include "tests/service/HostHarness.h"

namespace brenlow::test {
namespace {

using Entries = std::vector<FakeHostCalls::Entry>;
using States = std::vector<DWORD>;
constexpr DWORD kStopped = SERVICE_STOPPED, kStarting = SERVICE_START_PENDING,
                kStopping = SERVICE_STOP_PENDING, kRunning = SERVICE_RUNNING,
                kContinuing = SERVICE_CONTINUE_PENDING, kPausing = SERVICE_PAUSE_PENDING,
                kPaused = SERVICE_PAUSED;
constexpr DWORD kStop = SERVICE_CONTROL_STOP, kPause = SERVICE_CONTROL_PAUSE,
                kContinue = SERVICE_CONTROL_CONTINUE, kInterrogate = SERVICE_CONTROL_INTERROGATE,
                kShutdown = SERVICE_CONTROL_SHUTDOWN;

TEST(DaemonRun, NormalLifeReportsFourStatesAndRunsBothHooksOnTheControlThread) {
  HostHarness host;
  std::atomic<DWORD> startThread{0}, stopThread{0};
  host.hooks = [&](TDaemon& d) {
    d.OnStart = [&](TDaemon*, bool&) { startThread = GetCurrentThreadId(); };
    d.OnStop = [&](TDaemon*, bool&) { stopThread = GetCurrentThreadId(); };
  };
  host.calls.script = {{kRunning, kStop}};
  EXPECT_EQ(host.Run({"--run"}), 0);
  ASSERT_FALSE(host.calls.timedOut);

  EXPECT_EQ(host.calls.dispatchNames, std::vector<std::string>{"TevrinInternalSvc"});
  const auto statuses = host.calls.Statuses();
  ASSERT_EQ(host.calls.States(), (States{kStarting, kRunning, kStopping, kStopped}));
  const DWORD accepted[] = {0, 7, 7, 7};
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    EXPECT_EQ(statuses[i].dwServiceType, 0x10u);
    EXPECT_EQ(statuses[i].dwControlsAccepted, accepted[i]) << i;
    EXPECT_EQ(statuses[i].dwCheckPoint, 0u);
    EXPECT_EQ(statuses[i].dwWaitHint, 0u);
    EXPECT_EQ(statuses[i].dwWin32ExitCode, 0u);
  }
  EXPECT_NE(startThread, 0u);
  EXPECT_NE(startThread, GetCurrentThreadId());
  EXPECT_EQ(stopThread, startThread);
  EXPECT_TRUE(host.calls.Log().empty());
  EXPECT_TRUE(host.calls.output.empty());
}

struct ControlCase {
  const char* name;
  std::vector<FakeHostCalls::Step> script;
  States expected;
};

TEST(DaemonRun, ControlsPassThroughTheExpectedStates) {
  const ControlCase cases[] = {
      {"pause, continue, stop",
       {{kRunning, kPause}, {kPaused, kContinue}, {kRunning, kStop}},
       {kStarting, kRunning, kPausing, kPaused, kContinuing, kRunning, kStopping, kStopped}},
      {"stop while paused",
       {{kRunning, kPause}, {kPaused, kStop}},
       {kStarting, kRunning, kPausing, kPaused, kStopping, kStopped}},
      // The continue arrives while the pause is still being handled: it is not lost.
      {"continue right behind a pause",
       {{kRunning, kPause}, {0, kContinue}, {kRunning, kStop}},
       {kStarting, kRunning, kPausing, kPaused, kContinuing, kRunning, kStopping, kStopped}},
      {"continue while running",
       {{kRunning, kContinue}, {kRunning, kStop}},
       {kStarting, kRunning, kContinuing, kRunning, kStopping, kStopped}},
      {"interrogate reports again",
       {{kRunning, kInterrogate}, {kRunning, kStop}},
       {kStarting, kRunning, kRunning, kStopping, kStopped}},
      {"user control changes nothing",
       {{kRunning, 128}, {0, kStop}},
       {kStarting, kRunning, kStopping, kStopped}},
      {"shutdown", {{kRunning, kShutdown}}, {kStarting, kRunning, kStopping, kStopped}},
  };
  for (const auto& c : cases) {
    HostHarness host;
    int stops = 0;
    host.hooks = [&](TDaemon& d) { d.OnStop = [&](TDaemon*, bool&) { ++stops; }; };
    host.calls.script = c.script;
    EXPECT_EQ(host.Run({"-r"}), 0) << c.name;
    EXPECT_FALSE(host.calls.timedOut) << c.name;
    EXPECT_EQ(host.calls.States(), c.expected) << c.name;
    EXPECT_EQ(stops, c.script.back().control == kStop ? 1 : 0) << c.name;
    EXPECT_TRUE(host.calls.Log().empty()) << c.name;
  }
}

TEST(DaemonRun, HookOutcomesDecideTheStatus) {
  // A start hook saying no stops the service at once.
  {
    HostHarness host;
    host.hooks = [](TDaemon& d) { d.OnStart = [](TDaemon*, bool& ok) { ok = false; }; };
    EXPECT_EQ(host.Run({"--run"}), 0);
    EXPECT_EQ(host.calls.States(), (States{kStarting, kStopped}));
    EXPECT_TRUE(host.calls.Log().empty());
  }
  // A refused stop or pause, or a hook that raises, restores the status before it.
  {
    HostHarness host;
    int stops = 0;
    DWORD code = 0;
    bool handled = false;
    host.hooks = [&](TDaemon& d) {
      d.OnStop = [&](TDaemon*, bool& ok) { ok = ++stops > 1; };
      d.OnPause = [](TDaemon*, bool&) { throw std::runtime_error("pause failed"); };
      d.OnContinue = [](TDaemon*, bool& ok) { ok = false; };
      d.OnControlCode = [&](TDaemon*, DWORD c, bool& h) { code = c, handled = h; };
    };
    host.calls.script = {
        {kRunning, kStop}, {kRunning, kPause}, {kRunning, kContinue}, {kRunning, 200}, {0, kStop}};
    EXPECT_EQ(host.Run({"--run"}), 0);
    EXPECT_EQ(host.calls.States(), (States{kStarting, kRunning, kStopping, kRunning, kPausing,
                                           kRunning, kContinuing, kRunning, kStopping, kStopped}));
    EXPECT_EQ(code, 200u);
    EXPECT_TRUE(handled);
    EXPECT_TRUE(host.calls.Log().empty());
  }
  // Shutdown stops even when its hook raises, and never calls the stop hook.
  {
    HostHarness host;
    bool stopped = false;
    host.hooks = [&](TDaemon& d) {
      d.OnStop = [&](TDaemon*, bool&) { stopped = true; };
      d.OnShutDown = [](TDaemon*) { throw std::runtime_error("shutdown failed"); };
    };
    host.calls.script = {{kRunning, kShutdown}};
    EXPECT_EQ(host.Run({"--run"}), 0);
    EXPECT_EQ(host.calls.States(), (States{kStarting, kRunning, kStopping, kStopped}));
    EXPECT_FALSE(stopped);
  }
}

TEST(DaemonRun, AnErrorEscapingTheStartHookReportsStoppedWithExceptionInService) {
  HostHarness host;
  host.hooks = [](TDaemon& d) {
    d.OnStart = [](TDaemon*, bool&) { throw std::runtime_error("cannot open brenlow.ini"); };
  };
  EXPECT_EQ(host.Run({"--run"}), 0);
  const auto statuses = host.calls.Statuses();
  ASSERT_EQ(host.calls.States(), (States{kStarting, kStopped}));
  EXPECT_EQ(statuses[1].dwWin32ExitCode, static_cast<DWORD>(ERROR_EXCEPTION_IN_SERVICE));
  EXPECT_EQ(statuses[1].dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(host.calls.Log(),
            (Entries{{'E', "Failed to start daemon TevrinInternalSvc : cannot open brenlow.ini"}}));
}

// A stop hook reporting its progress twice advances the check point; with LogStatusReport set
// every report is also written as an Information entry.
TEST(DaemonRun, RepeatedPendingReportsAdvanceTheCheckPointAndAreLoggedWhenAsked) {
  HostHarness host;
  host.adjust = [](TCustomDaemonMapper& m) { m.DaemonDefs[0].LogStatusReport = true; };
  host.hooks = [](TDaemon& d) {
    d.OnStop = [](TDaemon* sender, bool&) {
      sender->ReportStatus();  // progress of a long stop
      sender->ReportStatus();
    };
  };
  host.calls.script = {{kRunning, kStop}};
  EXPECT_EQ(host.Run({"--run"}), 0);
  std::vector<std::pair<DWORD, DWORD>> got;
  for (const auto& s : host.calls.Statuses()) got.emplace_back(s.dwCurrentState, s.dwCheckPoint);
  EXPECT_EQ(got, (std::vector<std::pair<DWORD, DWORD>>{{kStarting, 0},
                                                       {kRunning, 0},
                                                       {kStopping, 0},
                                                       {kStopping, 1},
                                                       {kStopping, 2},
                                                       {kStopped, 0}}));
  const std::string prefix = "Daemon Tevrin Internal Service current status: ";
  EXPECT_EQ(host.calls.Log(), (Entries{{'I', prefix + "Start Pending"},
                                       {'I', prefix + "Running"},
                                       {'I', prefix + "Stop Pending"},
                                       {'I', prefix + "Stop Pending"},
                                       {'I', prefix + "Stop Pending"},
                                       {'I', prefix + "Stopped"}}));
}

TEST(DaemonRun, ServiceMainFindsItsDefinitionByNameOrAsTheOnlyOne) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"tevrinINTERNALsvc", "-x", "y"}, std::vector<std::string>{}}) {
    HostHarness host;
    std::vector<std::string> params{"unset"};
    host.hooks = [&](TDaemon& d) {
      d.OnStart = [&](TDaemon* s, bool& ok) { params = s->Controller->Params, ok = false; };
    };
    host.calls.serviceMainArgs = args;
    EXPECT_EQ(host.Run({"--run"}), 0);
    EXPECT_EQ(host.calls.States(), (States{kStarting, kStopped}));
    const std::vector<std::string> expected =
        args.empty() ? std::vector<std::string>{} : std::vector<std::string>{"-x", "y"};
    EXPECT_EQ(params, expected);
  }
  HostHarness host;
  host.calls.serviceMainArgs = {"OtherSvc"};
  EXPECT_EQ(host.Run({"--run"}), 0);
  EXPECT_TRUE(host.calls.States().empty());
  EXPECT_TRUE(host.calls.Log().empty());
}

TEST(DaemonRun, FailuresOfTheServiceManagerCallsAreLogged) {
  // The dispatcher refusing (as for a program started at a console): exit code 1, no hook.
  {
    HostHarness host;
    bool started = false;
    host.hooks = [&](TDaemon& d) { d.OnStart = [&](TDaemon*, bool&) { started = true; }; };
    host.calls.failWith["StartServiceCtrlDispatcherA"] = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    EXPECT_EQ(host.Run({"--run"}), 1);
    EXPECT_EQ(host.calls.Log(),
              (Entries{{'E', "Failed to start service manager: " +
                                 SystemErrorText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)}}));
    EXPECT_TRUE(host.calls.output.empty());
    EXPECT_FALSE(started);
  }
  // No handler: the start goes on; each report then fails and is logged.
  {
    HostHarness host;
    bool started = false;
    host.hooks = [&](TDaemon& d) {
      d.OnStart = [&](TDaemon*, bool& ok) { started = true, ok = false; };
    };
    host.calls.failWith["RegisterServiceCtrlHandlerExA"] = ERROR_ACCESS_DENIED;
    EXPECT_EQ(host.Run({"--run"}), 0);
    EXPECT_TRUE(started);
    const std::string invalid = SystemErrorText(ERROR_INVALID_HANDLE);
    EXPECT_EQ(host.calls.Log(), (Entries{{'E', "Could not register control handler, error code 5"},
                                         {'E', invalid},
                                         {'E', invalid}}));
  }
}

TEST(DaemonRun, AControlThreadThatCannotBeCreatedEndsTheStart) {
  FakeHostCalls calls;
  TDaemonRegistry registry;
  registry.RegisterDaemonMapper("TDaemonMapper1",
                                [] { return std::make_unique<TDaemonMapper1>(); });
  registry.RegisterDaemonClass("TDaemon1", [] { return std::make_unique<TDaemon>(); });
  THostOptions options;
  options.ControlThreadStackSize = SIZE_T{1} << 46;  // more address space than the process has
  TCustomDaemonApplication app(registry, calls, {"--run"}, options);
  EXPECT_EQ(app.Run(), 0);
  const auto statuses = calls.Statuses();
  ASSERT_EQ(calls.States(), (States{kStarting, kStopped}));
  EXPECT_EQ(statuses[1].dwWin32ExitCode, static_cast<DWORD>(ERROR_EXCEPTION_IN_SERVICE));
  const auto log = calls.Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].level, 'I');
  EXPECT_EQ(log[0].text.rfind("Failed to start daemon TevrinInternalSvc : System error", 0), 0u)
      << log[0].text;
}

TEST(DaemonRun, AControlWithoutContextIsLoggedAndIgnored) {
  HostHarness host;
  TCustomDaemonApplication app(host.registry, host.calls, {});
  EXPECT_EQ(TDaemonController::ControlHandler(128, 2, reinterpret_cast<LPVOID>(3), nullptr), 0u);
  EXPECT_EQ(host.calls.Log(),
            (Entries{{'E', "Not handling Control message without control context: (128 2 3)."}}));
}

// An error that escapes an administrator's command, or the host's own before it, ends it as a
// monitor reads a failure of the check itself: --check with 2 (FAIL), --status with 3
// (UNKNOWN), never 1 (WARNING); the service's commands keep 1.
TEST(DaemonRun, AFailureOutsideTheAdministratorsCommandsEndsThemWithTheirOwnCodes) {
  HostHarness host;
  TDaemonRegistry noMapper;
  THostOptions options;
  options.Check = []() -> int { throw std::runtime_error("the check broke"); };
  options.Status = [](bool) -> int { throw std::runtime_error("the report broke"); };
  const struct {
    const TDaemonRegistry& registry;
    const char* arg;
    int code;
  } cases[] = {{host.registry, "--check", 2},
               {host.registry, "--status", 3},
               {noMapper, "--check", 2},
               {noMapper, "--status", 3},
               {noMapper, "--uninstall", 1}};
  for (const auto& c : cases) {
    TCustomDaemonApplication app(c.registry, host.calls, {c.arg}, options);
    EXPECT_EQ(app.Run(), c.code) << c.arg;
  }
}

}  // namespace
}  // namespace brenlow::test
