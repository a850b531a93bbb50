// The decisions of the service host over plain values: the command-line grammar, the usage
// text, the install values, the status report fields and the exception text.

#include <windows.h>

#include <gtest/gtest.h>

#include "service/CommandLine.h"
#include "service/DaemonErrors.h"
#include "service/DaemonStatus.h"

namespace brenlow {
namespace {

TEST(CommandLine, FirstCommandInTheOrderInstallUninstallRunCheckStatusTestVersion) {
  struct Case {
    std::vector<std::string> args;
    TDaemonCommand expected;
  };
  const Case cases[] = {
      {{}, dcUsage},
      {{"-h"}, dcUsage},
      {{"--help"}, dcUsage},
      {{"-i"}, dcInstall},
      {{"--i"}, dcInstall},
      {{"-install"}, dcInstall},
      {{"--install"}, dcInstall},
      {{"--install=yes"}, dcInstall},
      {{"/INSTALL"}, dcInstall},
      {{"/Install"}, dcInstall},
      {{"-I"}, dcUsage},
      {{"--INSTALL"}, dcUsage},
      {{"-install=yes"}, dcUsage},
      {{"-i=yes"}, dcUsage},
      {{"/i"}, dcUsage},
      {{"/run"}, dcUsage},
      {{"/help"}, dcUsage},
      {{"install"}, dcUsage},
      {{"-"}, dcUsage},
      {{"--"}, dcUsage},
      {{"--="}, dcUsage},
      {{"-u"}, dcUninstall},
      {{"--uninstall=x"}, dcUninstall},
      {{"/uNiNsTaLl"}, dcUninstall},
      {{"-r"}, dcRun},
      {{"--run"}, dcRun},
      {{"--run=1"}, dcRun},
      {{"-u", "-i"}, dcInstall},
      {{"-r", "-u"}, dcUninstall},
      {{"extra", "-r", "more"}, dcRun},
      {{"-c"}, dcCheck},
      {{"--check=all"}, dcCheck},
      {{"-s"}, dcStatus},
      {{"--status"}, dcStatus},
      {{"-C"}, dcUsage},
      {{"/check"}, dcUsage},
      {{"/status"}, dcUsage},
      {{"-check=1"}, dcUsage},
      {{"-s", "-c"}, dcCheck},
      {{"-c", "-r"}, dcRun},
      {{"-s", "/install"}, dcInstall},
      {{"-t", "task.web.names.php"}, dcTest},
      {{"--test=task.web.names.php"}, dcTest},
      {{"-test"}, dcTest},
      {{"-v"}, dcVersion},
      {{"--version"}, dcVersion},
      {{"-T", "x"}, dcUsage},
      {{"-V"}, dcUsage},
      {{"-t=x"}, dcUsage},
      {{"/test", "x"}, dcUsage},
      {{"/version"}, dcUsage},
      {{"-v", "-t", "x"}, dcTest},
      {{"-t", "x", "-s"}, dcStatus},
      {{"-t", "-r"}, dcRun},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& a : c.args) label += "[" + a + "]";
    EXPECT_EQ(FindCommand(c.args), c.expected) << label;
  }
}

// The script of --test: the text after "=" in the long form, else the next argument.
TEST(CommandLine, TestScriptIsTheValueOfTheFirstTestOption) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {{"-t", "a.php"}, "a.php"},
      {{"--test", "a.php", "b.php"}, "a.php"},
      {{"-test", "a.php"}, "a.php"},
      {{"--test=a.php", "b.php"}, "a.php"},
      {{"--t=a=b"}, "a=b"},
      {{"--test="}, ""},
      {{"-t"}, ""},
      {{"x", "-v", "-t", "a.php", "-t", "b.php"}, "a.php"},
      {{"-t=a.php", "b.php"}, ""},
      {{"-T", "a.php"}, ""},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& a : c.args) label += "[" + a + "]";
    EXPECT_EQ(TestScriptArgument(c.args), c.expected) << label;
  }
}

TEST(CommandLine, UsageTextHasALinePerCommandWithSeventeenCharacterLeftParts) {
  EXPECT_EQ(UsageText("C:\\Program Files\\Tevrin Agent\\brenlow.exe"),
            "Usage: C:\\Program Files\\Tevrin Agent\\brenlow.exe [command]\r\n"
            "Where command is one of the following:\r\n"
            "  -i --install   To install the program as a service\r\n"
            "  -u --uninstall To uninstall the service\r\n"
            "  -r --run       To run the service\r\n"
            "  -c --check     To check the installation and its settings\r\n"
            "  -s --status    To show what the running service does; with --json as JSON\r\n"
            "  -t --test      To run one script once and show its output: -t <script>\r\n"
            "  -v --version   To show the version and the build's commit\r\n");
}

TEST(InstallValues, CommandLineTypesAndDependencies) {
  EXPECT_EQ(ServiceCommandLine("C:\\Tevrin\\brenlow.exe", ""), "C:\\Tevrin\\brenlow.exe --run");
  EXPECT_EQ(ServiceCommandLine("C:\\Program Files\\brenlow.exe", ""),
            "\"C:\\Program Files\\brenlow.exe\" --run");
  EXPECT_EQ(ServiceCommandLine("C:\\b.exe", "-x 1"), "C:\\b.exe --run -x 1");
  EXPECT_EQ(DependenciesText({}), "");
  EXPECT_EQ(DependenciesText({{"A", false}, {"G", true}}), std::string("A\0+G\0\0", 6));

  struct Case {
    TServiceType type;
    TStartType start;
    DWORD expected;
  };
  // Boot and system start are for drivers: a program service starts automatically instead.
  const Case starts[] = {
      {stWin32, stBoot, SERVICE_AUTO_START},      {stWin32, stSystem, SERVICE_AUTO_START},
      {stFileSystem, stBoot, SERVICE_AUTO_START}, {stDevice, stBoot, SERVICE_BOOT_START},
      {stDevice, stSystem, SERVICE_SYSTEM_START}, {stWin32, stManual, SERVICE_DEMAND_START},
      {stWin32, stDisabled, SERVICE_DISABLED},    {stDevice, stAuto, SERVICE_AUTO_START},
  };
  for (const auto& c : starts) {
    TDaemonDef def(nullptr);
    def.WinBindings.ServiceType = c.type;
    def.WinBindings.StartType = c.start;
    EXPECT_EQ(InstallStartType(def), c.expected) << c.type << " " << c.start;
  }
  TDaemonDef def(nullptr);
  EXPECT_EQ(InstallServiceType(def, 1), 0x10u);
  def.WinBindings.ServiceType = stDevice;
  def.Options.Include(doInteractive);
  EXPECT_EQ(InstallServiceType(def, 2), 0x1u);  // drivers are never shared or interactive
}

TEST(StatusReport, FieldsAndCheckPoints) {
  TDaemonDef def(nullptr);
  struct Case {
    TCurrentStatus status, last;
    DWORD lastCheckPoint, state, accepted, checkPoint;
  };
  const Case cases[] = {
      {csStartPending, csStopped, 0, SERVICE_START_PENDING, 0, 0},
      {csStartPending, csStartPending, 0, SERVICE_START_PENDING, 0, 1},
      {csStopPending, csStopPending, 4, SERVICE_STOP_PENDING, 7, 5},
      {csStopPending, csPausePending, 4, SERVICE_STOP_PENDING, 7, 0},
      {csRunning, csRunning, 3, SERVICE_RUNNING, 7, 0},
      {csPaused, csPausePending, 1, SERVICE_PAUSED, 7, 0},
      {csContinuePending, csContinuePending, 0, SERVICE_CONTINUE_PENDING, 7, 1},
      {csStopped, csStopPending, 2, SERVICE_STOPPED, 7, 0},
  };
  for (const auto& c : cases) {
    const SERVICE_STATUS s = BuildServiceStatus(def, c.status, c.last, c.lastCheckPoint);
    EXPECT_EQ(s.dwCurrentState, c.state) << StatusName(c.status);
    EXPECT_EQ(s.dwControlsAccepted, c.accepted) << StatusName(c.status);
    EXPECT_EQ(s.dwCheckPoint, c.checkPoint) << StatusName(c.status);
    EXPECT_EQ(s.dwServiceType, 0x10u);
  }
  def.Options.Exclude(doAllowPause);
  def.WinBindings.ServiceExitCode = 42;
  def.WinBindings.WaitHint = 3000;
  const SERVICE_STATUS s = BuildServiceStatus(def, csStopped, csRunning, 0);
  EXPECT_EQ(s.dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_STOP));
  EXPECT_EQ(s.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(s.dwServiceSpecificExitCode, 42u);
  EXPECT_EQ(s.dwWaitHint, 3000u);
}

TEST(ExceptionText, KindMessageFullStopAndLength) {
  const void* at = reinterpret_cast<const void*>(0x140001234);
  const std::string text = ExceptionText(at, "EDaemon", "No daemon mapper class registered.");
  EXPECT_EQ(text.substr(text.find(": ")), ": EDaemon:\nNo daemon mapper class registered.");
  EXPECT_NE(text.find("140001234"), std::string::npos) << text;
  EXPECT_EQ(ExceptionText(at, "EDaemon", "Unknown daemon class name: X").back(), '.');
  EXPECT_EQ(ExceptionText(at, "EOSError", std::string(400, 'x')).size(), 255u);
  EXPECT_EQ(OSErrorMessage(0), "An operating system call failed.");
  EXPECT_EQ(OSErrorMessage(5).rfind("System error, (OS Code 5):\r\n", 0), 0u);
}

}  // namespace
}  // namespace brenlow
