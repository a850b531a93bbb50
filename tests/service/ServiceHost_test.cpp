// brenlow.exe driven through Wine's real service manager, as an administrator would: install
// and uninstall from the command line, the stored configuration read back, the service started,
// paused, continued and stopped with ControlService.

#include <windows.h>

#include <gtest/gtest.h>

#include "common/SystemError.h"
#include "common/UniqueHandle.h"
#include "service/CommandLine.h"
#include "service/DaemonErrors.h"
#include "tests/service/ServiceClient.h"
#include "tests/support/EventTrace.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

const char* const kService = "TevrinInternalSvc";
const std::string kSources = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr DWORD kAcceptAll =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;

std::vector<TraceEntry> EntriesOf(const TraceFile& trace, const std::string& source) {
  std::vector<TraceEntry> result;
  for (const auto& e : trace.Entries())
    if (e.source == source) result.push_back(e);
  return result;
}

// Every test starts without the service and leaves none behind, also when it fails.
class ServiceHost : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveService(kService);
    folder_ = dir_ / "Tevrin Agent";
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
    CopyFileOrThrow(ProgramPath("brenlow.exe"), Exe());
  }
  void TearDown() override { RemoveService(kService); }

  std::string Exe() const { return folder_ + "\\brenlow.exe"; }
  ProcessResult Brenlow(const std::string& args, const std::string& exe,
                        const std::vector<std::string>& env = {}) {
    return RunProcess("\"" + exe + "\" " + args, env);
  }
  ProcessResult Brenlow(const std::string& args) { return Brenlow(args, Exe()); }

  // Runs the program with its event-log calls traced; keeps the entries of its own source.
  struct Traced {
    ProcessResult result;
    std::vector<TraceEntry> entries;
    std::string trace;
  };
  Traced BrenlowTraced(const std::string& args) {
    const TraceFile trace = TraceFile::OfChildren();
    ProcessResult result = Brenlow(args, Exe(), {kEventTraceDebug});
    return {std::move(result), EntriesOf(trace, "brenlow"), trace.Text()};
  }
  static void ExpectOneErrorEntry(const Traced& run, const std::string& text) {
    ASSERT_EQ(run.entries.size(), 1u) << run.trace;
    EXPECT_EQ(run.entries[0].type, static_cast<unsigned>(EVENTLOG_ERROR_TYPE));
    EXPECT_EQ(run.entries[0].text, text);
  }

  TempDir dir_;
  std::string folder_;  // a folder whose path holds a space
};

TEST_F(ServiceHost, InstallsFromPathsWithAndWithoutASpaceAndUninstalls) {
  const std::string plain = dir_ / "brenlow.exe";
  CopyFileOrThrow(ProgramPath("brenlow.exe"), plain);
  for (const std::string& exe : {Exe(), plain}) {
    const auto installed = Brenlow("--install", exe);
    EXPECT_EQ(installed.exitCode, 0u) << installed.out;
    EXPECT_EQ(installed.out, "");
    const StoredConfig config = QueryStoredConfig(kService);
    ASSERT_TRUE(config.found) << exe;
    EXPECT_EQ(config.serviceType, 0x10u);
    EXPECT_EQ(config.startType, 2u);
    EXPECT_EQ(config.errorControl, 0u);
    const bool spaced = exe.find(' ') != std::string::npos;
    EXPECT_EQ(config.binaryPath, spaced ? "\"" + exe + "\" --run" : exe + " --run");
    EXPECT_EQ(config.displayName, "Tevrin Internal Service");
    EXPECT_EQ(config.description, "Tevrin inner service");

    const auto removed = Brenlow("--uninstall", exe);
    EXPECT_EQ(removed.exitCode, 0u) << removed.out;
    EXPECT_EQ(removed.out, "");
    EXPECT_FALSE(QueryState(kService).found);
    EXPECT_FALSE(MachineKeyExists(kSources + "brenlow"));
    EXPECT_TRUE(MachineKeyExists(kSources + "Tevrin Inner Service"));
  }
}

TEST_F(ServiceHost, FailedCommandsLogPrintAndEndWithExitCodeOne) {
  // Installing twice fails in CreateServiceA.
  ASSERT_EQ(Brenlow("-i").exitCode, 0u);
  const std::string exists = OSErrorMessage(ERROR_SERVICE_EXISTS);
  const Traced twice = BrenlowTraced("-i");
  EXPECT_EQ(twice.result.exitCode, 1u);
  EXPECT_EQ(twice.result.out.rfind("Exception at ", 0), 0u) << twice.result.out;
  EXPECT_NE(twice.result.out.find(": EOSError:\n" + exists), std::string::npos) << twice.result.out;
  ExpectOneErrorEntry(twice, exists);

  // Uninstalling a missing service fails in OpenServiceA, after the source key is gone.
  ASSERT_EQ(Brenlow("-u").exitCode, 0u);
  UniqueRegKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kSources + "brenlow").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  key.reset();
  const std::string missing = OSErrorMessage(ERROR_SERVICE_DOES_NOT_EXIST);
  const Traced removed = BrenlowTraced("--uninstall");
  EXPECT_EQ(removed.result.exitCode, 1u);
  EXPECT_NE(removed.result.out.find(": EOSError:\n" + missing), std::string::npos)
      << removed.result.out;
  ExpectOneErrorEntry(removed, missing);
  EXPECT_FALSE(MachineKeyExists(kSources + "brenlow"));

  // "--run" typed at a console: the dispatcher cannot connect; nothing is printed.
  const Traced run = BrenlowTraced("--run");
  EXPECT_EQ(run.result.exitCode, 1u);
  EXPECT_EQ(run.result.out, "");
  ExpectOneErrorEntry(run, "Failed to start service manager: " +
                               SystemErrorText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

TEST_F(ServiceHost, CommandLineSelectsTheCommand) {
  struct Case {
    const char* args;
    char effect;  // 'U' usage text, 'I' installs, 'R' removes
  };
  const Case cases[] = {
      {"", 'U'},         {"-h", 'U'},       {"--help", 'U'},
      {"/run", 'U'},     {"-I", 'U'},       {"-install=yes", 'U'},
      {"/INSTALL", 'I'}, {"/Install", 'I'}, {"--install=yes", 'I'},
      {"-u -i", 'I'},    {"-r -u", 'R'},
  };
  for (const auto& c : cases) {
    if (c.effect == 'R') {
      ASSERT_EQ(Brenlow("-i").exitCode, 0u);
    }
    const auto result = Brenlow(c.args);
    EXPECT_EQ(result.exitCode, 0u) << c.args;
    EXPECT_EQ(result.out, c.effect == 'U' ? UsageText(Exe()) : "") << c.args;
    EXPECT_EQ(QueryState(kService).found, c.effect == 'I') << c.args;
    RemoveService(kService);
  }
}

// The service installed from the folder with a space, with the interpreter stand-in as its
// PHP and, beside it, the companion stand-in.
class RunningService : public ServiceHost {
 protected:
  void SetUp() override {
    ServiceHost::SetUp();
    const std::string php = dir_ / "php";
    const std::string web = dir_ / "web";
    ASSERT_TRUE(CreateDirectoryA(php.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(web.c_str(), nullptr));
    CopyFileOrThrow(StandInPath("php_standin.exe"), php + "\\php.exe");
    runs_ = php + "\\standin-runs.log";
    WriteFileText(folder_ + "\\brenlow.ini", "[General]\r\nPHP_EXE_PATH=" + php +
                                                 "\\php.exe\r\nWEB_ROOT_PATH=" + web + "\r\n");
    CopyFileOrThrow(StandInPath("qrx_proxy.exe"), folder_ + "\\qrx_proxy.exe");
    WriteFileText(folder_ + "\\qrx_proxy.mode", "reply1\r\n");
    ASSERT_EQ(Brenlow("--install").exitCode, 0u);
  }
  void TearDown() override {
    ServiceHost::TearDown();
    for (DWORD pid : ProcessIdsByName("qrx_proxy.exe")) {
      UniqueHandle companion(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
      if (companion) TerminateProcess(companion.get(), 1);
    }
  }

  // Starts the service and waits until it runs; opens its process to see it end later.
  void Start() {
    ASSERT_EQ(StartNamedService(kService), 0u);
    ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
    const ServiceState state = QueryState(kService);
    EXPECT_EQ(state.controlsAccepted, kAcceptAll);
    process_.reset(OpenProcess(SYNCHRONIZE, FALSE, state.processId));
    ASSERT_TRUE(process_) << state.processId;
  }
  void ExpectStopsAndEnds() {
    EXPECT_EQ(SendControl(kService, SERVICE_CONTROL_STOP), 0u);
    EXPECT_TRUE(WaitForState(kService, SERVICE_STOPPED));
    EXPECT_EQ(QueryState(kService).win32ExitCode, 0u);
    EXPECT_EQ(WaitForSingleObject(process_.get(), 30000), WAIT_OBJECT_0);
  }

  std::string runs_;
  UniqueHandle process_;
};

// One life: the runners and the launcher start their programs, pause and continue pass through
// their states, a user-defined control and an interrogation change nothing, and the process
// ends after the stop. A life without failures writes nothing under the host's own source.
TEST_F(RunningService, RunsTheAgentPausesContinuesAndEndsItsProcessAfterStop) {
  const TraceFile trace;  // what services.exe and the service trace
  Start();
  EXPECT_TRUE(WaitFor(
      [&] { return ReadFileText(runs_).find("task.upstream.sync.php") != std::string::npos; },
      20000))
      << "no script run recorded in " << runs_;
  EXPECT_TRUE(WaitFor(
      [&] { return ReadFileText(folder_ + "\\qrx_proxy.log").find("start") != std::string::npos; },
      20000))
      << "the companion was not started";
  EXPECT_EQ(SendControl(kService, SERVICE_CONTROL_PAUSE), 0u);
  EXPECT_TRUE(WaitForState(kService, SERVICE_PAUSED));
  EXPECT_EQ(SendControl(kService, SERVICE_CONTROL_CONTINUE), 0u);
  EXPECT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  EXPECT_EQ(SendControl(kService, 128), 0u);
  EXPECT_EQ(SendControl(kService, SERVICE_CONTROL_INTERROGATE), 0u);
  const ServiceState state = QueryState(kService);
  EXPECT_EQ(state.state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(state.controlsAccepted, kAcceptAll);
  ExpectStopsAndEnds();
  EXPECT_TRUE(EntriesOf(trace, "brenlow").empty()) << trace.Text();
}

TEST_F(RunningService, StopsWhilePaused) {
  Start();
  EXPECT_EQ(SendControl(kService, SERVICE_CONTROL_PAUSE), 0u);
  EXPECT_TRUE(WaitForState(kService, SERVICE_PAUSED));
  ExpectStopsAndEnds();
}

// A configuration file that cannot be read makes the start hook raise: the service ends
// reported as failed, with one error entry, instead of hanging in start pending.
TEST_F(RunningService, AnErrorInTheStartHookStopsTheServiceWithItsEntry) {
  const std::string ini = folder_ + "\\brenlow.ini";
  UniqueHandle locked(CreateFileA(ini.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(locked) << GetLastError();
  const TraceFile trace;
  StartNamedService(kService);  // may report the early end itself
  EXPECT_TRUE(WaitForState(kService, SERVICE_STOPPED));
  EXPECT_EQ(QueryState(kService).win32ExitCode, static_cast<DWORD>(ERROR_EXCEPTION_IN_SERVICE));
  EXPECT_TRUE(WaitFor([&] { return !EntriesOf(trace, "brenlow").empty(); }, 20000));
  const auto entries = EntriesOf(trace, "brenlow");
  ASSERT_EQ(entries.size(), 1u) << trace.Text();
  EXPECT_EQ(entries[0].type, static_cast<unsigned>(EVENTLOG_ERROR_TYPE));
  EXPECT_EQ(entries[0].text.rfind("Failed to start daemon TevrinInternalSvc : ", 0), 0u)
      << entries[0].text;
  EXPECT_FALSE(WaitFor([&] { return FileExists(runs_); }, 1000)) << "a script ran";
}

}  // namespace
}  // namespace brenlow::test
