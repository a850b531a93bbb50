// The companion launcher: how it names and finds the companion, and, under Wine, how it keeps
// one running. The cases with processes hold the lock "companion".

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "agent/DaemonUnit1.h"
#include "common/SystemError.h"
#include "tests/agent/AgentTestSupport.h"

namespace brenlow::test {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

TEST(ImageNameMatches, ComparesTheFileNamePartOrTheWholeNameIgnoringAsciiCase) {
  const struct {
    const char* entry;
    const char* image;
    bool match;
  } cases[] = {
      {"qrx_proxy.exe", "qrx_proxy.exe", true},
      {"QRX_PROXY.EXE", "qrx_proxy.exe", true},
      {"Qrx_Proxy.Exe", "QRX_PROXY.EXE", true},
      {"C:\\Agent\\qrx_proxy.exe", "qrx_proxy.exe", true},
      {"D:/other/QRX_PROXY.exe", "qrx_proxy.exe", true},
      {"C:qrx_proxy.exe", "qrx_proxy.exe", true},
      {"C:\\Agent\\qrx_proxy.exe", "c:\\agent\\QRX_PROXY.EXE", true},  // the whole name
      {"qrx_proxy_debug.exe", "qrx_proxy.exe", false},
      {"qrx_proxy.exe ", "qrx_proxy.exe", false},
      {"xqrx_proxy.exe", "qrx_proxy.exe", false},
      {"qrx_proxy.ex", "qrx_proxy.exe", false},
      {"C:\\Agent\\", "qrx_proxy.exe", false},
      {"", "qrx_proxy.exe", false},
      {"", "", true},
      // Only a to z are folded: other bytes, also letters of the code page, must be equal.
      {"\xE9t\xE9.exe", "\xC9T\xC9.EXE", false},
      {"\xE9t\xE9.exe", "\xE9T\xE9.EXE", true},
      {"[a]", "{A}", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ImageNameMatches(c.entry, c.image), c.match) << c.entry << " / " << c.image;
}

TEST(CompanionPath, IsTheQuotedPathBesideTheExecutableAndKeepsADriveRootsSeparator) {
  const struct {
    const char* executable;
    const char* path;
  } cases[] = {
      {"C:\\Agent\\brenlow.exe", R"("C:\Agent\qrx_proxy.exe")"},
      {"C:\\Program Files\\Tevrin\\brenlow.exe", R"("C:\Program Files\Tevrin\qrx_proxy.exe")"},
      {"C:\\brenlow.exe", R"("C:\\qrx_proxy.exe")"},
      {"\\\\server\\share\\brenlow.exe", R"("\\server\share\qrx_proxy.exe")"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CompanionPath(ExecutableDirectoryOf(c.executable)), c.path) << c.executable;
}

// Whether the launcher's walk of the process list finds a process of that image name.
bool Listed(const std::string& imageName) {
  return !TRunQRXProxyThread::ProcessIdsOf(imageName).empty();
}

TEST_F(CompanionTest, ProcessListGoesByImageNameInAnyCaseFromAnyFolder) {
  CopyFileOrThrow(StandInPath("sleeper.exe"), dirA_ / "QRX_PROXY.EXE");
  CopyFileOrThrow(StandInPath("sleeper.exe"), dirB_ / "qrx_proxy_debug.exe");
  CopyFileOrThrow(StandInPath("sleeper.exe"), dirB_ / "qrx_proxy.exe");
  EXPECT_FALSE(Listed("qrx_proxy.exe"));

  Launch(dirB_ / "qrx_proxy_debug.exe");
  ASSERT_TRUE(WaitFor([] { return Running("qrx_proxy_debug.exe"); }, 20000));
  EXPECT_FALSE(Listed("qrx_proxy.exe"));
  EXPECT_TRUE(Listed("qrx_proxy_debug.exe"));

  Launch(dirA_ / "QRX_PROXY.EXE");
  ASSERT_TRUE(WaitFor([] { return Running("qrx_proxy.exe"); }, 20000));
  EXPECT_TRUE(Listed("qrx_proxy.exe"));
  EXPECT_TRUE(Listed("Qrx_Proxy.Exe"));

  KillProcessesByName("qrx_proxy.exe");
  ASSERT_TRUE(WaitFor([] { return !Running("qrx_proxy.exe"); }, 20000));
  EXPECT_FALSE(Listed("qrx_proxy.exe"));

  // A copy from any other folder is taken for the companion.
  Launch(dirB_ / "qrx_proxy.exe");
  ASSERT_TRUE(WaitFor([] { return Running("qrx_proxy.exe"); }, 20000));
  EXPECT_TRUE(Listed("qrx_proxy.exe"));
}

// A companion that is not there, or that ends as soon as it has started, is reported and tried
// again every cycle, without a faster loop; a start the shell refuses is an Error with the
// system's code and text.
TEST_F(CompanionTest, LauncherWithoutACompanionThatStaysReportsEachCycleAndKeepsGoing) {
  const LoggedEntry starting{etInfo, "Starting qrx_proxy process."};
  const LoggedEntry refused{etError,
                            "Cannot start qrx_proxy process: " + ErrorText(ERROR_FILE_NOT_FOUND)};
  for (const bool onDisk : {false, true}) {
    // With no arguments, the command-execution child ends at once.
    if (onDisk) CopyFileOrThrow(StandInPath("exec_child.exe"), dirA_ / "qrx_proxy.exe");
    RecordingEventLog log;
    TRunQRXProxySettings settings;
    settings.Directory = [this] { return dirA_.path(); };
    settings.CycleSleepMs = 600;  // longer than a start and end of a process under Wine
    settings.Log = &log.log();
    const DWORD began = GetTickCount();
    StoppedAtEnd launcher(TRunQRXProxyThread::Create(settings));
    const size_t perCycle = onDisk ? 1 : 2;
    ASSERT_TRUE(WaitFor([&] { return log.Count() >= 5 * perCycle; }, 20000));
    // The first report comes at once, each later one after a cycle's pause.
    EXPECT_GE(GetTickCount() - began, 4 * 600u - 20) << onDisk;
    ASSERT_TRUE(launcher.Stop());
    const auto entries = log.Entries();
    for (size_t i = 0; i < entries.size(); ++i)
      EXPECT_EQ(entries[i], i % perCycle == 0 ? starting : refused) << i;
    // The stop ends the wait at once; the last one started ends by itself.
    EXPECT_TRUE(WaitFor([] { return !Running("qrx_proxy.exe"); }, 20000));
  }
}

// The shell is asked to start the companion hidden, without a zone check (Wine has no attachment
// manager to show what that check would do) and synchronously, with nothing else given.
TEST_F(CompanionTest, LauncherAsksTheShellForAHiddenSynchronousStartWithoutAZoneCheck) {
  RecordingEventLog log;
  TRunQRXProxySettings settings;
  settings.Directory = [this] { return dirA_.path(); };
  settings.CycleSleepMs = 100;
  settings.Log = &log.log();
  std::atomic<int> starts{0};
  SHELLEXECUTEINFOA seen{};
  std::string file;
  settings.ShellExecuteEx = [&](SHELLEXECUTEINFOA& info) {
    if (starts == 0) {
      seen = info;
      file = info.lpFile;
    }
    ++starts;
    return FALSE;
  };
  StoppedAtEnd launcher(TRunQRXProxyThread::Create(settings));
  ASSERT_TRUE(WaitFor([&] { return starts >= 2; }, 20000));
  ASSERT_TRUE(launcher.Stop());
  EXPECT_EQ(seen.cbSize, sizeof(SHELLEXECUTEINFOA));
  EXPECT_EQ(seen.fMask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI |
                                           SEE_MASK_NOZONECHECKS | SEE_MASK_NOASYNC));
  EXPECT_EQ(seen.hwnd, nullptr);
  EXPECT_EQ(seen.lpVerb, nullptr);
  EXPECT_EQ(seen.lpParameters, nullptr);
  EXPECT_EQ(seen.lpDirectory, nullptr);
  EXPECT_EQ(seen.nShow, SW_HIDE);
  EXPECT_EQ(file, CompanionPath(dirA_.path()));
  EXPECT_FALSE(Running("qrx_proxy.exe"));
}

// A launcher whose openings of processes named qrx_proxy.exe are counted: a test of the process
// list opens those it finds until one is the companion. The pause is short, so polling would
// show at once.
struct CountingLauncherSettings {
  std::atomic<int> opens{0};
  TRunQRXProxySettings Make(const std::string& directory, TEventLog& log) {
    TRunQRXProxySettings settings;
    settings.Directory = [directory] { return directory; };
    settings.CycleSleepMs = 100;
    settings.Log = &log;
    settings.OpenForWait = [this](DWORD id) {
      ++opens;
      return OpenProcessForWait(id);
    };
    return settings;
  }
};

// A companion found running (its own file, run as the launcher runs, as after a restart of the
// service) is waited on, held for the monitor, not doubled and not polled; once it is killed the
// launcher starts its own, hidden, waits on that one the same way, and starts a fresh one when
// that one is killed in turn.
TEST_F(CompanionTest, LauncherWaitsOnTheRunningCompanionAndStartsOneWhenItEnds) {
  CopyFileOrThrow(StandInPath("qrx_proxy.exe"), dirA_ / "qrx_proxy.exe");
  WriteFileText(dirA_ / "qrx_proxy.mode", "nopipe");
  const DWORD found = Launch(dirA_ / "qrx_proxy.exe");
  ASSERT_TRUE(WaitFor([] { return Running("qrx_proxy.exe"); }, 20000));
  RecordingEventLog log;
  CountingLauncherSettings counting;
  StoppedAtEnd launcher(TRunQRXProxyThread::Create(counting.Make(dirA_.path(), log.log())));

  ASSERT_TRUE(WaitFor([&] { return counting.opens == 1; }, 20000));
  Sleep(1000);  // ten pauses
  EXPECT_EQ(counting.opens, 1);
  EXPECT_EQ(StandInStarts(dirA_.path()).size(), 1u);  // the one the test started
  EXPECT_THAT(log.Entries(), IsEmpty());
  EXPECT_TRUE(ServiceCompanion().Holds(found));

  for (size_t starts = 1; starts <= 2; ++starts) {
    const auto before = ProcessIdsByName("qrx_proxy.exe");
    KillProcessesByName("qrx_proxy.exe");
    ASSERT_TRUE(WaitFor([&] { return StandInStarts(dirA_.path()).size() == starts + 1; }, 20000));
    ASSERT_TRUE(WaitFor([] { return Running("qrx_proxy.exe"); }, 20000));
    // Its own companion is waited on through the handle of its start: no test looks for it.
    const int opens = counting.opens;
    Sleep(1000);
    EXPECT_EQ(counting.opens, opens);
    EXPECT_THAT(ProcessIdsByName("qrx_proxy.exe"), SizeIs(1));
    EXPECT_NE(ProcessIdsByName("qrx_proxy.exe"), before);
    EXPECT_TRUE(ServiceCompanion().Holds(ProcessIdsByName("qrx_proxy.exe")[0]));
  }
  EXPECT_NE(StandInStarts(dirA_.path())[1].find(dirA_ / "qrx_proxy.exe"), std::string::npos)
      << StandInStarts(dirA_.path())[1];
  EXPECT_THAT(log.Entries(), SizeIs(2));
  EXPECT_THAT(log.Entries(), Each(LoggedEntry{etInfo, "Starting qrx_proxy process."}));

  // A stop request is seen while the launcher waits on its companion, which stays, no longer held.
  ASSERT_TRUE(launcher.Stop());
  EXPECT_THAT(ProcessIdsByName("qrx_proxy.exe"), SizeIs(1));
  EXPECT_FALSE(ServiceCompanion().Holds(ProcessIdsByName("qrx_proxy.exe")[0]));
}

// Processes named qrx_proxy.exe that are not the companion keep nothing from being started: a
// copy in another folder, the companion's own file run by another account (the account comes
// through the seam: under Wine every process runs as one user), one that cannot be opened, and
// one whose id went to an unrelated process before it was opened. The launcher starts its own at
// once, waits on it without looking at the others again, and leaves them running.
TEST_F(CompanionTest, LauncherStartsItsCompanionWhateverElseRunsUnderItsName) {
  CopyFileOrThrow(StandInPath("qrx_proxy.exe"), dirA_ / "qrx_proxy.exe");
  WriteFileText(dirA_ / "qrx_proxy.mode", "nopipe");
  CopyFileOrThrow(StandInPath("sleeper.exe"), dirB_ / "qrx_proxy.exe");
  CopyFileOrThrow(StandInPath("sleeper.exe"), dirB_ / "qrx_proxy_debug.exe");
  Launch(dirB_ / "qrx_proxy.exe");
  const DWORD otherUser = Launch(dirA_ / "qrx_proxy.exe");
  const DWORD unopened = Launch(dirA_ / "qrx_proxy.exe");
  const DWORD reused = Launch(dirA_ / "qrx_proxy.exe");
  const DWORD unrelated = Launch(dirB_ / "qrx_proxy_debug.exe");
  ASSERT_TRUE(WaitFor([] { return ProcessIdsByName("qrx_proxy.exe").size() == 4; }, 20000));
  const auto others = ProcessIdsByName("qrx_proxy.exe");

  RecordingEventLog log;
  CountingLauncherSettings counting;
  TRunQRXProxySettings settings = counting.Make(dirA_.path(), log.log());
  settings.OpenForWait = [&](DWORD id) {
    ++counting.opens;
    if (id == unopened) return UniqueHandle();
    return OpenProcessForWait(id == reused ? unrelated : id);
  };
  settings.Facts.Account = [&](HANDLE process) {
    TProcessAccount account = ProcessAccountOf(process);
    if (GetProcessId(process) == otherUser) account.UserSid = "S-1-5-21-1-2-3-1001";
    return account;
  };
  StoppedAtEnd launcher(TRunQRXProxyThread::Create(settings));
  ASSERT_TRUE(WaitFor([] { return ProcessIdsByName("qrx_proxy.exe").size() == 5; }, 20000));
  const int opens = counting.opens;
  EXPECT_EQ(opens, 4);
  Sleep(1000);  // ten pauses
  EXPECT_EQ(counting.opens, opens);
  ASSERT_TRUE(launcher.Stop());
  EXPECT_THAT(log.Entries(), ElementsAre(LoggedEntry{etInfo, "Starting qrx_proxy process."}));
  // Its own start, beside the four others, which still run.
  std::vector<DWORD> running = ProcessIdsByName("qrx_proxy.exe");
  ASSERT_THAT(running, SizeIs(5));
  for (const DWORD id : others) running.erase(std::find(running.begin(), running.end(), id));
  ASSERT_EQ(StandInStarts(dirA_.path()).size(), 4u);  // three by the test, one by the launcher
  EXPECT_EQ(
      StandInStarts(dirA_.path()).back().rfind("start " + std::to_string(running[0]) + " ", 0), 0u);
}

}  // namespace
}  // namespace brenlow::test
