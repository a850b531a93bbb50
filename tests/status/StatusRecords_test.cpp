// What the runners record, read back as --status reads it, while it is being written.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "status/StatusBoard.h"
#include "status/StatusCommand.h"
#include "status/StatusLayout.h"
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

// The launcher and the monitor write the companion's one subkey from two threads at once: every
// read shows whole changes of both, never a probe's result without its failure count or a start
// without its process.
TEST(StatusRecords, AReaderNeverSeesHalfAChangeOfTheCompanion) {
  const std::string path =
      "Software\\brenlow-tests\\companion-" + std::to_string(GetCurrentProcessId());
  TStatusBoard board(HKEY_CURRENT_USER, path);
  ASSERT_TRUE(board.Open(GetCurrentProcessId(), FileTimeNow()));
  std::atomic<int> writing{2};
  std::thread launcher([&] {
    TCompanionRecord record(board);
    for (DWORD start = 1; start <= 300; ++start) record.Started(start);  // its process id
    --writing;
  });
  std::thread monitor([&] {
    TCompanionRecord record(board);
    for (int probe = 0; probe < 300; ++probe) {
      const bool good = probe % 2 == 0;
      record.Probed(good ? "good reply" : "bad reply", good, good ? 0 : 1);
    }
    --writing;
  });
  int reads = 0;
  while (writing > 0) {
    const TCompanionStatus c = ReadAgentStatus(HKEY_CURRENT_USER, path, {}).Companion;
    if (!c.Present || c.Starts == 0 || c.LastProbe == 0) continue;
    ++reads;
    const bool good = c.LastProbeResult == "good reply";
    if (c.ProcessId != c.Starts || c.ProbeFailures != (good ? 0u : 1u) ||
        (good && c.LastGoodProbe != c.LastProbe)) {
      ADD_FAILURE() << "process " << c.ProcessId << " after " << c.Starts << " starts; "
                    << c.LastProbeResult << " with " << c.ProbeFailures << " failures";
      break;
    }
  }
  launcher.join();
  monitor.join();
  board.Remove();
  EXPECT_GT(reads, 0);
}

// A subkey left in the middle of a change (its writer died there) is given up after a tenth of a
// second, however long a pause lasts: on Windows a pause of 1 ms takes a timer tick, 15.6 ms.
TEST(StatusRecords, AReaderGivesUpOnAChangeThatNeverEndsWithinItsTime) {
  const std::string path =
      "Software\\brenlow-tests\\stuck-" + std::to_string(GetCurrentProcessId());
  TStatusBoard board(HKEY_CURRENT_USER, path);
  ASSERT_TRUE(board.Open(GetCurrentProcessId(), FileTimeNow()));
  for (const char* subkey : {"task.upstream.sync.php", kCompanionSubkey})
    board.Subkey(subkey).SetNumber(status_value::kWriteCount, 7);
  int tickPauses = 0;
  const TAgentStatus status =
      ReadAgentStatus(HKEY_CURRENT_USER, path, {"task.upstream.sync.php"}, [&](DWORD ms) {
        if (ms > 0) ++tickPauses;
        Sleep(ms > 0 ? 16 : 0);
      });
  board.Remove();
  EXPECT_TRUE(status.Present);
  EXPECT_FALSE(status.Scripts[0].Present);
  EXPECT_FALSE(status.Companion.Present);
  // About 100 / 16 for each of the two; a loaded machine makes it fewer, never more (down to
  // none, when the reads before the first pause take the whole tenth of a second).
  EXPECT_LE(tickPauses, 2 * 8);
}

}  // namespace
}  // namespace brenlow
