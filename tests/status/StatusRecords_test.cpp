// What the runners record, read back as --status reads it, while it is being written.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "status/StatusBoard.h"
#include "status/StatusCommand.h"
#include "status/StatusRecords.h"

namespace brenlow {
namespace {

// While one thread records runs that fail (exit code 3) and succeed in turn, every read shows the
// run count, the failure count and the exit code of one moment, never half a run's end.
TEST(StatusRecords, AReaderNeverSeesHalfARun) {
  const std::string path =
      "Software\\brenlow-tests\\records-" + std::to_string(GetCurrentProcessId());
  const std::string script = "task.upstream.sync.php";
  TStatusBoard board(HKEY_CURRENT_USER, path);
  ASSERT_TRUE(board.Open(GetCurrentProcessId(), FileTimeNow()));
  TEventLog quiet;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    TScriptRecord record(board, quiet, script, 3000);
    // Runs as short as the system makes them, and no pause between them.
    for (DWORD run = 0; run < 400; ++run) {
      record.RunStarting();
      Sleep(1);
      TRunEnd end;
      end.ExitCode = run % 2 == 0 ? 3 : 0;
      record.RunEnded(end);
    }
    done = true;
  });
  int reads = 0;
  while (!done) {
    const TScriptStatus s = ReadAgentStatus(HKEY_CURRENT_USER, path, {script}).Scripts[0];
    if (!s.Present || s.Runs == 0) continue;
    ++reads;
    // Runs are counted from 0 and the even ones fail: the last ended run is number Runs - 1.
    const bool lastFailed = (s.Runs - 1) % 2 == 0;
    if (s.FailuresInARow != (lastFailed ? 1u : 0u) || s.LastExitCode != (lastFailed ? 3u : 0u)) {
      ADD_FAILURE() << "after " << s.Runs << " runs: " << s.FailuresInARow
                    << " failures in a row, exit code " << s.LastExitCode;
      break;
    }
  }
  writer.join();
  board.Remove();
  EXPECT_GT(reads, 0);
}

}  // namespace
}  // namespace brenlow
