// The check's decisions over plain values: the exit code, what a file's header says about it as
// a program, what the service manager's facts come to, and what the interpreter reads and loads.

#include "check/Checks.h"

#include <gtest/gtest.h>

#include "check/InterpreterFiles.h"
#include "check/ServiceCheck.h"
#include "common/SystemError.h"
#include "tests/support/TestSupport.h"

namespace brenlow {
namespace {

TEST(CheckExitCode, IsTheWorstLevel) {
  EXPECT_EQ(CheckExitCode({}), 0);
  EXPECT_EQ(CheckExitCode({{clOk, "a"}, {clWarn, "b"}, {clOk, "c"}}), 1);
  EXPECT_EQ(CheckExitCode({{clWarn, "a"}, {clFail, "b"}, {clOk, "c"}}), 2);
  EXPECT_EQ(FormatCheckLines({{clOk, "a"}, {clWarn, "b"}, {clFail, "c"}}),
            "OK   a\r\nWARN b\r\nFAIL c\r\n");
}

// brenlow.exe itself, then its header changed into a DLL's, a 32-bit one and cut short.
TEST(DescribeProgramImage, TakesOnlyAWindowsProgram) {
  const std::string exe = test::ReadFileText(test::ProgramPath("brenlow.exe")).substr(0, 4096);
  const size_t pe = static_cast<unsigned char>(exe[0x3C]) | static_cast<unsigned char>(exe[0x3D])
                                                                << 8;
  const auto patched = [&](size_t at, unsigned char value) {
    std::string copy = exe;
    copy[at] = static_cast<char>(value);
    return copy;
  };
  const struct {
    std::string head;
    bool program;
    const char* text;
  } cases[] = {
      {exe, true, "a Windows program (x64, console)"},
      {patched(pe + 23, 0x22), false, "a DLL, not a program"},  // IMAGE_FILE_DLL added
      {patched(pe + 4, 0x4C), true, "a Windows program (another architecture, console)"},
      {patched(pe, 'X'), false, "not a Windows program (no PE header)"},
      {exe.substr(0, pe + 8), false, "not a Windows program (no PE header)"},
      {"<?php echo 1;", false, "not a Windows program (no MZ header)"},
      {"", false, "not a Windows program (no MZ header)"},
  };
  for (const auto& c : cases) {
    const TProgramImage image = DescribeProgramImage(c.head);
    EXPECT_EQ(image.IsProgram, c.program) << c.text;
    EXPECT_EQ(image.Text, c.text);
  }
}

// The registered command line is this program's whatever the letter case and with or without
// quotes around a path without a space; an unquoted path with a space, or another program, is
// a failure. Then the start type, the state and the recovery actions.
TEST(ServiceLines, JudgeTheRegistration) {
  const std::string spaced = "C:\\Program Files\\Tevrin Agent\\brenlow.exe";
  const std::string plain = "C:\\Tevrin\\brenlow.exe";
  TServiceFacts good;
  good.CommandLine = "\"" + spaced + "\" --run";
  good.StartType = SERVICE_AUTO_START;
  good.State = SERVICE_RUNNING;
  good.ProcessId = 42;
  good.RecoveryActions = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}};
  good.RecoveryResetSeconds = 86400;
  const auto with = [&](auto change) {
    TServiceFacts facts = good;
    change(facts);
    return facts;
  };
  const struct {
    TServiceFacts facts;
    std::string program;
    std::vector<TCheckLevel> levels;
    std::string line;  // one of the lines, in full
  } cases[] = {
      {good,
       spaced,
       {clOk, clOk, clOk, clOk, clOk},
       "service recovery actions: restart after 5000 ms, 30000 ms; the count starts again after "
       "86400 s without a failure"},
      {with([](TServiceFacts& f) {
         f.CommandLine = "\"c:\\program files\\TEVRIN AGENT\\brenlow.exe\" --run";
       }),
       spaced,
       {clOk, clOk, clOk, clOk, clOk},
       "service state: running, process id 42"},
      {with([&](TServiceFacts& f) { f.CommandLine = spaced + " --run"; }),
       spaced,
       {clOk, clFail, clOk, clOk, clOk},
       "service command line: C:\\Program Files\\Tevrin Agent\\brenlow.exe --run, not \"" + spaced +
           "\" --run (reinstall it from this folder)"},
      {with([&](TServiceFacts& f) { f.CommandLine = plain + " --run"; }),
       plain,
       {clOk, clOk, clOk, clOk, clOk},
       "service command line: C:\\Tevrin\\brenlow.exe --run"},
      {with([&](TServiceFacts& f) { f.CommandLine = "\"" + plain + "\" --run"; }),
       plain,
       {clOk, clOk, clOk, clOk, clOk},
       "service start type: automatic"},
      {good, plain, {clOk, clFail, clOk, clOk, clOk}, "service TevrinInternalSvc: installed"},
      {with([](TServiceFacts& f) {
         f.StartType = SERVICE_DEMAND_START;
         f.State = SERVICE_STOPPED;
         f.RecoveryActions.clear();
       }),
       spaced,
       {clOk, clOk, clWarn, clWarn, clWarn},
       "service state: stopped"},
      {with([](TServiceFacts& f) {
         f.StartType = SERVICE_DISABLED;
         f.RecoveryError = ERROR_INVALID_LEVEL;
       }),
       spaced,
       {clOk, clOk, clFail, clOk, clOk},
       "service recovery actions: this system does not report them, error 124 (" +
           SystemErrorText(ERROR_INVALID_LEVEL) + "); --install sets them"},
      {with([](TServiceFacts& f) { f.OpenError = ERROR_SERVICE_DOES_NOT_EXIST; }),
       spaced,
       {clFail},
       "service TevrinInternalSvc: not installed (brenlow.exe --install installs it)"},
  };
  for (const auto& c : cases) {
    const auto lines = ServiceLines("TevrinInternalSvc", c.facts, c.program, "");
    std::vector<TCheckLevel> levels;
    bool found = false;
    for (const TCheckLine& line : lines) {
      levels.push_back(line.Level);
      found = found || line.Text == c.line;
    }
    EXPECT_EQ(levels, c.levels) << c.line;
    EXPECT_TRUE(found) << c.line << "\n" << FormatCheckLines(lines);
  }
}

// Settings found at the first place that holds them (php-cli.ini and php.ini both judged, the
// extension folder taken from the first), the scan folders with their files, extensions named
// alone and by a path, PATH folders; folders that do not exist are marked. Then settings beside
// php.exe with a relative extension folder, taken from the system folder.
TEST(InterpreterLoads, FollowsPhpsSearch) {
  test::TempDir dir;
  for (const char* folder : {"conf", "reg", "php", "scan", "ext", "lib", "sys", "bin"})
    ASSERT_TRUE(CreateDirectoryA((dir / folder).c_str(), nullptr)) << folder;
  test::WriteFileText(dir / "reg\\php-cli.ini",
                      "[PHP]\r\n; extension_dir = \"nowhere\"\r\nextension_dir = \"" + dir / "ext" +
                          "\" ; the folder\r\n");
  test::WriteFileText(dir / "reg\\php.ini", "extension_dir=" + dir / "lib" + "\r\n");
  test::WriteFileText(dir / "php\\php.ini", "");
  test::WriteFileText(dir / "scan\\b.ini", "extension = curl\r\n");
  test::WriteFileText(dir / "scan\\a.ini", "zend_extension=\"" + dir / "lib\\my.dll" + "\"\r\n");
  for (const char* file : {"ext\\php_curl.dll", "lib\\my.dll"}) test::WriteFileText(dir / file, "");

  TInterpreterSearch search;
  search.PhpExePath = dir / "php\\php.exe";
  search.Phprc = dir / "conf";
  search.RegistryIniPaths = {dir / "reg"};
  search.WindowsFolder = dir / "sys";
  search.ScanDirs = dir / "scan" + "; \"" + dir / "gone" + "\"";
  search.SystemFolder = dir / "sys";
  search.PathFolders = {dir / "bin", dir / "nobin"};
  const auto listed = [&dir](const std::vector<TLoadedPath>& loads) {
    std::string text;
    for (const TLoadedPath& load : loads) {
      std::string path =
          load.Path.rfind(dir.path(), 0) == 0 ? load.Path.substr(dir.path().size() + 1) : load.Path;
      text += path + (load.Missing ? "(missing)" : load.Folder ? "\\" : "") + " ";
    }
    return text;
  };
  EXPECT_EQ(
      listed(InterpreterLoads(search)),
      "conf\\ reg\\ reg\\php-cli.ini reg\\php.ini scan\\ scan\\a.ini scan\\b.ini gone(missing) "
      "lib\\ lib\\my.dll ext\\ ext\\php_curl.dll bin\\ nobin(missing) ");

  test::WriteFileText(dir / "php\\php.ini", "extension_dir = ext\r\nextension=php_gd.dll\r\n");
  search.Phprc.clear();
  search.RegistryIniPaths.clear();
  search.ScanDirs.clear();
  search.PathFolders.clear();
  EXPECT_EQ(listed(InterpreterLoads(search)), "php\\ php\\php.ini sys\\ext(missing) ");
}

}  // namespace
}  // namespace brenlow
