// brenlow.exe driven through Wine's real service manager, as an administrator would: install
// and uninstall from the command line, the stored configuration read back, the service started,
// paused, continued and stopped with ControlService.

#include <windows.h>

#include <aclapi.h>
#include <algorithm>
#include <climits>
#include <map>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/SecurityDescriptor.h"
#include "common/SystemError.h"
#include "common/UniqueHandle.h"
#include "agent/DaemonUnit1.h"
#include "service/CommandLine.h"
#include "service/DaemonErrors.h"
#include "tests/service/ServiceClient.h"
#include "tests/support/EventTrace.h"
#include "tests/support/StandInLog.h"
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

// The lines a program printed, without their CR LF.
std::vector<std::string> LinesOf(const std::string& out) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = out.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(out.substr(at, end - at));
  return lines;
}

// Under Wine a file's access list follows its Unix mode, and a new file's mode the umask the
// wineserver started with: setting the list is what sets the mode, so a test states who may
// change a file instead of trusting the umask.
void SetEveryoneMayChange(const std::string& path, bool mayChange) {
  const char* sddl = mayChange ? "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)"
                               : "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;WD)";
  const TSecurityDescriptor descriptor = TSecurityDescriptor::FromSddl(sddl);
  ASSERT_NE(descriptor.get(), nullptr);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
  ASSERT_EQ(SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
            0u)
      << path;
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

// The check comes after install, uninstall and run: a command line that holds one of those
// does that instead. Here the check finds no settings and no service, so it ends with 2.
TEST_F(ServiceHost, CommandLineSelectsTheCommand) {
  struct Case {
    const char* args;
    char effect;  // 'U' usage text, 'I' installs, 'R' removes, 'N' runs, 'C' checks
  };
  const Case cases[] = {
      {"", 'U'},           {"-h", 'U'},          {"--help", 'U'},
      {"/run", 'U'},       {"-I", 'U'},          {"-install=yes", 'U'},
      {"/INSTALL", 'I'},   {"/Install", 'I'},    {"--install=yes", 'I'},
      {"-u -i", 'I'},      {"-r -u", 'R'},       {"-c", 'C'},
      {"--check", 'C'},    {"--check=all", 'C'}, {"-C", 'U'},
      {"-check=yes", 'U'}, {"/check", 'U'},      {"-c -i", 'I'},
      {"--check -u", 'R'}, {"-c --run", 'N'},
  };
  for (const auto& c : cases) {
    if (c.effect == 'R') {
      ASSERT_EQ(Brenlow("-i").exitCode, 0u);
    }
    const auto result = Brenlow(c.args);
    EXPECT_EQ(result.exitCode, c.effect == 'C' ? 2u : c.effect == 'N' ? 1u : 0u) << c.args;
    if (c.effect == 'C')
      EXPECT_EQ(result.out.rfind("FAIL settings " + folder_ + "\\brenlow.ini: missing", 0), 0u)
          << c.args << "\n"
          << result.out;
    else
      EXPECT_EQ(result.out, c.effect == 'U' ? UsageText(Exe()) : "") << c.args;
    EXPECT_EQ(QueryState(kService).found, c.effect == 'I') << c.args;
    RemoveService(kService);
  }
}

// An interpreter that does not end holds --check only for the bound: the run is reported and
// the child ended. An interpreter that others may replace is not run at all.
TEST_F(ServiceHost, CheckEndsAnInterpreterThatDoesNotEnd) {
  const std::string php = dir_ / "php.exe";
  CopyFileOrThrow(StandInPath("php_standin.exe"), php);
  for (const std::string& path : {php, dir_.path()}) SetEveryoneMayChange(path, false);
  WriteFileText(folder_ + "\\brenlow.ini", "[General]\r\nPHP_EXE_PATH=" + php + "\r\n");
  const auto result = Brenlow("--check", Exe(), {"BRENLOW_STANDIN_SLEEP_MS=600000"});
  EXPECT_EQ(result.exitCode, 2u);
  EXPECT_THAT(LinesOf(result.out),
              ::testing::Contains("FAIL interpreter -v: did not end within 5 s, and was ended"))
      << result.out;
  const auto starts = OfKind(ParseStandInLog(ReadFileText(dir_ / "standin-runs.log")), "start");
  ASSERT_EQ(starts.size(), 1u);
  UniqueHandle child(OpenProcess(SYNCHRONIZE, FALSE, starts[0].pid));
  EXPECT_TRUE(!child || WaitForSingleObject(child.get(), 20000) == WAIT_OBJECT_0);

  SetEveryoneMayChange(php, true);
  const auto open = Brenlow("--check");
  EXPECT_THAT(LinesOf(open.out), ::testing::Contains("WARN interpreter -v: not run, because others "
                                                     "may change " +
                                                     php + " (see its permissions)"))
      << open.out;
  EXPECT_EQ(OfKind(ParseStandInLog(ReadFileText(dir_ / "standin-runs.log")), "start").size(), 1u);
}

// The service installed from the folder with a space, with the interpreter stand-in as its
// PHP and, beside it, the companion stand-in.
class RunningService : public ServiceHost {
 protected:
  void SetUp() override {
    ServiceHost::SetUp();
    ASSERT_TRUE(CreateDirectoryA(php_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(web_.c_str(), nullptr));
    CopyFileOrThrow(StandInPath("php_standin.exe"), php_ + "\\php.exe");
    runs_ = php_ + "\\standin-runs.log";
    WriteFileText(folder_ + "\\brenlow.ini", "[General]\r\nPHP_EXE_PATH=" + php_ +
                                                 "\\php.exe\r\nWEB_ROOT_PATH=" + web_ + "\r\n");
    CopyFileOrThrow(StandInPath("qrx_proxy.exe"), folder_ + "\\qrx_proxy.exe");
    WriteFileText(folder_ + "\\qrx_proxy.mode", "reply1\r\n");
    ASSERT_EQ(Brenlow("--install").exitCode, 0u);
  }
  void TearDown() override {
    ServiceHost::TearDown();
    EndCompanions();
  }
  static void EndCompanions() {
    for (DWORD pid : ProcessIdsByName("qrx_proxy.exe")) {
      UniqueHandle companion(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
      if (companion && TerminateProcess(companion.get(), 1))
        WaitForSingleObject(companion.get(), 20000);
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

  const std::string php_ = dir_ / "php";
  const std::string web_ = dir_ / "web";
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
  // The companion started with the service had time to serve its pipe: no kill, no Warning.
  for (const auto& e : EntriesOf(trace, "Tevrin Inner Service"))
    EXPECT_EQ(e.text.find("Drop qrx_proxy process."), std::string::npos) << e.text;
  const std::string starts = ReadFileText(folder_ + "\\qrx_proxy.log");  // a line a start
  EXPECT_EQ(std::count(starts.begin(), starts.end(), '\n'), 1) << starts;
}

// The checks' Warnings at the service's starts.
std::vector<TraceEntry> CheckWarnings(const TraceFile& trace) {
  std::vector<TraceEntry> warnings;
  for (const auto& e : EntriesOf(trace, "Tevrin Inner Service"))
    if (e.text.rfind("The service started, but its checks found", 0) == 0) warnings.push_back(e);
  return warnings;
}

// One life of --check. A good layout with the service running: every line OK, exit 0, and no
// Warning at the start. Then the faults, each named: the scripts folder writable by everyone,
// the interpreter, two scripts and the companion's file missing; at the next start one Warning
// lists what the service reads and runs.
TEST_F(RunningService, CheckFindsAGoodLayoutGoodAndNamesEachFault) {
  const std::string scripts = web_ + "\\scripts";
  ASSERT_TRUE(CreateDirectoryA(scripts.c_str(), nullptr));
  std::vector<std::string> files{dir_.path(),
                                 folder_,
                                 Exe(),
                                 folder_ + "\\brenlow.ini",
                                 folder_ + "\\qrx_proxy.exe",
                                 php_,
                                 php_ + "\\php.exe",
                                 web_,
                                 scripts};
  for (const TScriptScheduleRow& row : ScriptSchedule) {
    files.push_back(scripts + "\\" + row.ScriptFile);
    WriteFileText(files.back(), "<?php\r\n");
  }
  WriteFileText(folder_ + "\\brenlow.ini",
                ReadFileText(folder_ + "\\brenlow.ini") + "ScriptTimeLimit=600\r\n");
  for (const std::string& file : files) SetEveryoneMayChange(file, false);

  const TraceFile trace;
  Start();
  // Right after the start the companion may not serve its pipe yet: the check finds all well
  // once it does.
  ProcessResult check;
  EXPECT_TRUE(WaitFor([&] { return (check = Brenlow("--check")).exitCode == 0; }, 60000, 500))
      << check.out;
  const std::vector<std::string> good = LinesOf(check.out);
  EXPECT_GE(good.size(), 20u);
  for (const std::string& line : good) EXPECT_EQ(line.rfind("OK   ", 0), 0u) << line;
  EXPECT_THAT(good, ::testing::IsSupersetOf(std::vector<std::string>{
                        "OK   interpreter -v: PHP 8.3.0 (cli) (stand-in of the tests)",
                        "OK   scripts: all 12 present", "OK   ScriptTimeLimit = 600 s",
                        "OK   service command line: \"" + Exe() + "\" --run"}));
  EXPECT_THAT(check.out, ::testing::HasSubstr("OK   companion pipe " + std::string(ProbePipeName) +
                                              ": reply 1 in "));
  ExpectStopsAndEnds();
  EXPECT_THAT(CheckWarnings(trace), ::testing::IsEmpty()) << trace.Text();

  // The web root open to others, the scripts folder still closed: the scripts folder can be
  // taken away and made anew, which the web root's line names with the command that closes it.
  SetEveryoneMayChange(web_, true);
  check = Brenlow("--check");
  EXPECT_EQ(check.exitCode, 2u);
  EXPECT_THAT(
      LinesOf(check.out),
      ::testing::Contains("FAIL folder " + scripts +
                          ": Everyone may rename or delete it and create another in its "
                          "place (delete what " +
                          web_ + " holds, create folders in " + web_ +
                          "); close it with: icacls \"" + web_ + "\" /grant:r *S-1-1-0:(OI)(CI)RX"))
      << check.out;

  // The companion keeps running after the stop, and a script's run may not have ended yet: a
  // running program's file cannot be deleted.
  EndCompanions();
  SetEveryoneMayChange(scripts, true);
  for (const std::string& gone : {php_ + "\\php.exe", scripts + "\\task.web.names.php",
                                  scripts + "\\task.netdev.poll.php", folder_ + "\\qrx_proxy.exe"})
    ASSERT_TRUE(WaitFor([&] { return DeleteFileA(gone.c_str()) != FALSE; }, 20000)) << gone;
  check = Brenlow("-c");
  EXPECT_EQ(check.exitCode, 2u);
  const std::string writable =
      "FAIL permissions of " + scripts + ": Everyone may write, append, delete, delete contents";
  const std::vector<std::string> faults{
      "FAIL interpreter " + php_ + "\\php.exe: missing, so no script can run",
      "FAIL script task.web.names.php: missing from " + scripts,
      "FAIL script task.netdev.poll.php: missing from " + scripts};
  EXPECT_THAT(LinesOf(check.out),
              ::testing::IsSupersetOf(std::vector<std::string>{
                  faults[0], faults[1], faults[2], "WARN service state: stopped",
                  "FAIL companion " + folder_ +
                      "\\qrx_proxy.exe: missing, so the service cannot "
                      "start it"}))
      << check.out;
  EXPECT_THAT(check.out, ::testing::HasSubstr(writable));

  Start();
  EXPECT_TRUE(WaitFor([&] { return !CheckWarnings(trace).empty(); }, 30000)) << trace.Text();
  // The running service's status says what its start found, until it stops.
  ProcessResult status;
  EXPECT_TRUE(WaitFor(
      [&] {
        status = Brenlow("--status");
        return status.exitCode == 1 && status.out.find("\r\nStart check failed: " +
                                                       writable.substr(5)) != std::string::npos;
      },
      30000, 500))
      << status.out;
  EXPECT_EQ(status.out.rfind("WARNING: the service started with a failed check: ", 0), 0u)
      << status.out;
  status = Brenlow("--status --json");
  EXPECT_THAT(status.out, ::testing::HasSubstr("\"startCheckFailures\": [\"permissions of "));
  ExpectStopsAndEnds();
  // The Warning lists the problems --check found, less the companion's and the service's, in
  // the same order. Wine's trace shows only the first 300 characters of an entry.
  std::string expected =
      "The service started, but its checks found these problems "
      "(brenlow.exe --check shows every check):";
  for (const std::string& line : LinesOf(check.out))
    if (line.rfind("OK", 0) != 0 && line.find(" companion") != 4 && line.find(" service") != 4)
      expected += "\r\n" + line;
  const std::vector<TraceEntry> warnings = CheckWarnings(trace);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].type, static_cast<unsigned>(EVENTLOG_WARNING_TYPE));
  EXPECT_GT(warnings[0].text.size(), 250u);
  EXPECT_EQ(expected.substr(0, warnings[0].text.size()), warnings[0].text);
  EXPECT_THAT(expected, ::testing::HasSubstr(writable));
}

// Whether the record of runs under way names that process for a script.
bool Recorded(const std::string& script, DWORD processId) {
  std::string value(4096, '\0');
  DWORD size = static_cast<DWORD>(value.size());
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kRunRecordKeyPath, script.c_str(), RRF_RT_REG_BINARY,
                   nullptr, value.data(), &size) != ERROR_SUCCESS)
    return false;
  const std::vector<TProcessMark> marks = DecodeRunValue(value.substr(0, size));
  return std::any_of(marks.begin(), marks.end(), [&](auto& m) { return m.Id == processId; });
}

// How long a process ran, in milliseconds, once it has ended.
uint64_t RanMs(HANDLE process) {
  ULARGE_INTEGER times[4]{};  // creation, exit, kernel and user time, as FILETIMEs
  GetProcessTimes(process, reinterpret_cast<FILETIME*>(&times[0]),
                  reinterpret_cast<FILETIME*>(&times[1]), reinterpret_cast<FILETIME*>(&times[2]),
                  reinterpret_cast<FILETIME*>(&times[3]));
  return (times[1].QuadPart - times[0].QuadPart) / 10000;
}

// A run in a job of its own (a time limit is set) outlives a crash of the service: the job has
// no kill-on-close. The record names the run's processes, the one its script started among them,
// and the next start ends them at the limit counted from the run's own start.
TEST_F(RunningService, ARunWithATimeLimitOutlivesACrashAndTheNextStartEndsItAtItsLimit) {
  const std::string scripts = web_ + "\\scripts";
  ASSERT_TRUE(CreateDirectoryA(scripts.c_str(), nullptr));
  WriteFileText(scripts + "\\task.upstream.sync.php", "standin: sleep=60000 spawn=1\r\n");
  CopyFileOrThrow(StandInPath("sleeper.exe"), php_ + "\\php_helper.exe");
  WriteFileText(folder_ + "\\brenlow.ini",
                ReadFileText(folder_ + "\\brenlow.ini") + "ScriptTimeLimit=8\r\n");
  Start();
  DWORD script = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const auto& start : OfKind(ParseStandInLog(ReadFileText(runs_)), "start"))
          if (start.commandLine.find("task.upstream.sync.php") != std::string::npos)
            script = start.pid;
        return script != 0;
      },
      20000));
  DWORD helperId = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::vector<DWORD> helpers = ProcessIdsByName("php_helper.exe");
        helperId = helpers.empty() ? 0 : helpers[0];
        return helperId != 0 && Recorded("task.upstream.sync.php", helperId);
      },
      20000));
  constexpr DWORD kAccess = PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
  UniqueHandle run(OpenProcess(kAccess, FALSE, script));
  UniqueHandle helper(OpenProcess(kAccess, FALSE, helperId));
  ASSERT_TRUE(run && helper);
  UniqueHandle service(OpenProcess(PROCESS_TERMINATE, FALSE, QueryState(kService).processId));
  ASSERT_TRUE(service && TerminateProcess(service.get(), 1));
  ASSERT_EQ(WaitForSingleObject(process_.get(), 30000), WAIT_OBJECT_0);
  Start();
  EXPECT_EQ(WaitForSingleObject(run.get(), 60000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(helper.get(), 20000), WAIT_OBJECT_0);
  // Ended at its limit, not at the restart: the service reckons the limit from the creation time
  // with a clock of its own, which may differ from the process's own times by a clock tick.
  EXPECT_GE(RanMs(run.get()), 8000u - 100u);
  for (const StandInRecord& end : OfKind(ParseStandInLog(ReadFileText(runs_)), "end"))
    EXPECT_NE(end.pid, script) << "it ran to its end";
  ExpectStopsAndEnds();
  KillProcessesByName("php_helper.exe");
}

// A run's whole life across restarts. With runs of 12 s under way, the stop ends nothing; the
// next start shows that it waits for what the previous one left and starts no run of a script
// beside one still under way; every run has the service's error mode. With a limit of 4 s, a
// stop reports stop pending with a wait hint, and no run under way at the stop outlives it.
TEST_F(RunningService, NoScriptRunsTwiceAtOnceAcrossARestartAndALimitedStopEndsTheRuns) {
  const std::string scripts = web_ + "\\scripts";
  ASSERT_TRUE(CreateDirectoryA(scripts.c_str(), nullptr));
  for (const TScriptScheduleRow& row : ScriptSchedule)
    WriteFileText(scripts + "\\" + row.ScriptFile, "standin: sleep=12000 errormode=1\r\n");
  // The runs started and not ended, by process.
  const auto underWay = [&] {
    std::map<DWORD, StandInRecord> running;
    for (const StandInRecord& r : ParseStandInLog(ReadFileText(runs_)))
      if (r.kind == "start")
        running[r.pid] = r;
      else if (r.kind == "end")
        running.erase(r.pid);
    return running;
  };
  Start();
  ASSERT_TRUE(WaitFor([&] { return underWay().size() >= 3; }, 30000));
  ExpectStopsAndEnds();
  const auto left = underWay();
  ASSERT_GE(left.size(), 3u) << "the stop ended runs";
  Start();
  ProcessResult status;
  EXPECT_TRUE(WaitFor(
      [&] {
        status = Brenlow("--status");
        return status.out.find("waiting for a run left by the previous start, process " +
                               std::to_string(left.begin()->first)) != std::string::npos;
      },
      10000, 200))
      << status.out;
  // Each left run ends by itself, and its script runs again: never while it was under way.
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto starts = OfKind(ParseStandInLog(ReadFileText(runs_)), "start");
        return std::all_of(left.begin(), left.end(), [&](const auto& run) {
          return std::any_of(starts.begin(), starts.end(), [&](const StandInRecord& later) {
            return later.commandLine == run.second.commandLine && later.us > run.second.us;
          });
        });
      },
      40000));
  std::map<std::string, std::vector<std::pair<long long, long long>>> runsOfScript;
  std::map<DWORD, long long> ends;
  // Windows passes the service's error mode on to its runs; Wine 8 passes none (a child starts
  // with 0 whatever its parent set), so under Wine only DaemonTest shows the mode the start sets.
  const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  for (const StandInRecord& r : ParseStandInLog(ReadFileText(runs_))) {
    if (r.kind == "end") ends[r.pid] = r.us;
    EXPECT_TRUE(r.kind != "errormode" || wine ||
                r.commandLine == std::to_string(kServiceErrorMode));
  }
  for (const StandInRecord& r : OfKind(ParseStandInLog(ReadFileText(runs_)), "start"))
    runsOfScript[r.commandLine].push_back({r.us, ends.count(r.pid) ? ends[r.pid] : LLONG_MAX});
  for (const auto& [script, runs] : runsOfScript)
    for (size_t i = 1; i < runs.size(); ++i)
      EXPECT_GE(runs[i].first, runs[i - 1].second) << script << " run " << i;

  ExpectStopsAndEnds();
  WriteFileText(folder_ + "\\brenlow.ini",
                ReadFileText(folder_ + "\\brenlow.ini") + "ScriptTimeLimit=4\r\n");
  Start();
  // A run just started, so that the stop has seconds of its limit to wait.
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const auto& [pid, run] : underWay())
          if (MonotonicMicroseconds() - run.us < 500000) return true;
        return false;
      },
      30000));
  std::vector<UniqueHandle> atStop;
  for (const auto& [pid, run] : underWay())
    atStop.emplace_back(OpenProcess(SYNCHRONIZE, FALSE, pid));
  EXPECT_EQ(SendControl(kService, SERVICE_CONTROL_STOP), 0u);
  bool pendingWithHint = false;
  EXPECT_TRUE(WaitFor(
      [&] {
        const ServiceState state = QueryState(kService);
        pendingWithHint |= state.state == SERVICE_STOP_PENDING && state.waitHint > 0;
        return state.state == SERVICE_STOPPED;
      },
      30000, 20));
  EXPECT_TRUE(pendingWithHint);
  for (const UniqueHandle& process : atStop)
    EXPECT_TRUE(!process || WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0);
}

// One life of --version and --test: the version resource's text; a script's two streams and
// its exit code, a run ended at its time limit with the process it started, output over the
// shown limit cut with its count, an unknown name answered with the twelve; and, once the
// service runs, a note before the run.
TEST_F(RunningService, VersionAndTestOfOneScriptAsTheServiceRunsIt) {
  for (const char* args : {"-v", "--version"}) {
    const auto version = Brenlow(args);
    EXPECT_EQ(version.exitCode, 0u);
    EXPECT_EQ(version.out.rfind(
                  "Tevrin Agent " + VersionInfoText(Exe(), "ProductVersion") + " (brenlow.exe", 0),
              0u)
        << version.out;
  }
  const std::string scripts = web_ + "\\scripts";
  ASSERT_TRUE(CreateDirectoryA(scripts.c_str(), nullptr));
  // A limit that a loaded machine never reaches, but for the run that is meant to reach it.
  const std::string ini = folder_ + "\\brenlow.ini";
  const std::string settings = ReadFileText(ini);
  WriteFileText(ini, settings + "ScriptTimeLimit=600\r\n");
  WriteFileText(scripts + "\\task.reach.probe.php", "standin: stdout=10 stderr=7 exit=3\r\n");
  const auto failing = Brenlow("--test TASK.Reach.Probe.php");
  EXPECT_EQ(failing.exitCode, 1u);
  const std::string commandLine =
      ScriptCommandLine(php_ + "\\php.exe", web_, "task.reach.probe.php");
  EXPECT_THAT(failing.out, ::testing::HasSubstr("Command line: " + commandLine + "\r\n"));
  EXPECT_THAT(failing.out, ::testing::HasSubstr("\r\nxxxxxxxxxx\r\n--- end"));
  EXPECT_THAT(failing.out, ::testing::HasSubstr("\r\nEnded with exit code 3 after "));
  EXPECT_EQ(failing.err, "eeeeeee");

  const std::string grandchild = dir_ / "tree_sleeper.exe";
  CopyFileOrThrow(StandInPath("sleeper.exe"), grandchild);
  WriteFileText(scripts + "\\task.web.names.php", "standin: sleep=600000\r\n");
  WriteFileText(ini, settings + "ScriptTimeLimit=2\r\n");
  const auto slow =
      Brenlow("-t task.web.names.php", Exe(), {"BRENLOW_STANDIN_SPAWN=" + grandchild});
  WriteFileText(ini, settings + "ScriptTimeLimit=600\r\n");
  EXPECT_EQ(slow.exitCode, 2u);
  EXPECT_THAT(slow.out, ::testing::HasSubstr("Reached its time limit of 2 s after "));
  EXPECT_TRUE(WaitFor([] { return ProcessIdsByName("tree_sleeper.exe").empty(); }, 20000));

  WriteFileText(scripts + "\\task.netdev.poll.php", "standin: stdout=1148576\r\n");
  const auto chatty = Brenlow("--test=task.netdev.poll.php");
  EXPECT_EQ(chatty.exitCode, 0u);
  EXPECT_THAT(chatty.out, ::testing::HasSubstr("\n" + std::string(1048576, 'x') + "\r\n--- end"));
  EXPECT_THAT(chatty.out, ::testing::HasSubstr("100000 of its 1148576 bytes were left out"));

  const auto unknown = Brenlow("--test task.nope.php");
  EXPECT_EQ(unknown.exitCode, 2u);
  for (const TScriptScheduleRow& row : ScriptSchedule)
    EXPECT_THAT(unknown.out, ::testing::HasSubstr("  " + std::string(row.ScriptFile) + "\r\n"));

  // Ended from outside (Ctrl+C, a closed window), without a time limit: what the run started
  // ends with it.
  WriteFileText(ini, settings);
  SetEnvironmentVariableA("BRENLOW_STANDIN_SPAWN", grandchild.c_str());
  const UniqueHandle tester(
      OpenProcess(PROCESS_TERMINATE, FALSE, Launch(Exe(), "--test task.web.names.php")));
  SetEnvironmentVariableA("BRENLOW_STANDIN_SPAWN", nullptr);
  ASSERT_TRUE(WaitFor([] { return !ProcessIdsByName("tree_sleeper.exe").empty(); }, 20000));
  ASSERT_TRUE(tester && TerminateProcess(tester.get(), 1));
  EXPECT_TRUE(WaitFor([] { return ProcessIdsByName("tree_sleeper.exe").empty(); }, 20000));

  // The interpreter's folder open to others: the check's line, and nothing runs.
  const size_t runs = OfKind(ParseStandInLog(ReadFileText(runs_)), "start").size();
  SetEveryoneMayChange(php_, true);
  const auto refused = Brenlow("-t task.reach.probe.php");
  SetEveryoneMayChange(php_, false);
  EXPECT_EQ(refused.exitCode, 2u);
  EXPECT_THAT(refused.out, ::testing::HasSubstr("\r\nFAIL permissions of " + php_ +
                                                ": Everyone may write, append, delete"));
  EXPECT_THAT(refused.out, ::testing::HasSubstr("\r\nNothing was run: "));
  EXPECT_EQ(OfKind(ParseStandInLog(ReadFileText(runs_)), "start").size(), runs);

  Start();
  const auto beside = Brenlow("-t task.reach.probe.php");
  EXPECT_EQ(beside.exitCode, 1u);
  EXPECT_EQ(beside.out.rfind("Note: the service TevrinInternalSvc is running", 0), 0u)
      << beside.out;
  ExpectStopsAndEnds();
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
