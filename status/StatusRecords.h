#pragma once
// What the workers record on the status board. A runner keeps a TScriptRecord, the launcher and
// the monitor each a TCompanionRecord; each is written by its own worker's thread alone, so
// nothing here needs a lock.

#include <windows.h>

#include <cstdint>
#include <string>

#include "eventlog/EventLog.h"
#include "status/StatusBoard.h"
#include "status/StatusLayout.h"

namespace brenlow {

// How a run came to its end, as the runner hands it over.
struct TRunEnd {
  // The step that failed when the run did not simply end: its start, the wait for its end, or
  // ending it (and what it started) at its time limit.
  enum TFailedStep { fsNone, fsStart, fsWait, fsEndAtLimit };
  TFailedStep FailedStep = fsNone;
  bool TimedOut = false;  // it reached its time limit
  DWORD ExitCode = 0;     // once it has ended
  DWORD Error = 0;        // the system error of the step that failed
  bool Ended() const { return FailedStep == fsNone; }
  bool Succeeded() const { return Ended() && !TimedOut && ExitCode == 0; }
};

// The event-log entry a run's end calls for: the run that makes the failures in a row reach
// kFailingStreak gives a Warning, the first success after such a streak an Information; every
// other run gives none, so a script that keeps failing is reported once.
enum TStreakEntry { seNone, seFailing, seRecovered };
TStreakEntry StreakEntryFor(uint32_t failuresBefore, bool succeeded);

// How a run ended, in words for the event log: "exit code 3", "ended at its time limit", or the
// step that failed with its error: "could not be started: error 2 (<the system's text>)".
std::string RunEndText(const TRunEnd& end);

// One runner's status: its period at creation, then each run's start and end. It counts runs
// and failures in a row, and writes the failing streak's Warning and the Information that ends
// it to log. Each change (a start, an end) is bracketed by the subkey's WriteCount, odd while it
// is being written, so a reader never takes half a change for a state that happened.
class TScriptRecord {
 public:
  TScriptRecord(TStatusBoard& board, TEventLog& log, std::string script, int32_t period) noexcept;

  void RunStarting() noexcept;
  void RunEnded(const TRunEnd& end) noexcept;
  // The first run waits for the run of processId that the previous start left under way; 0 once
  // it has ended.
  void WaitingFor(DWORD processId) noexcept;

 private:
  // Holds WriteCount odd while it lives.
  class TChange {
   public:
    explicit TChange(TScriptRecord& record) noexcept;
    ~TChange();
    TChange(const TChange&) = delete;
    TChange& operator=(const TChange&) = delete;

   private:
    TScriptRecord& record_;
  };

  const TStatusKey key_;
  TEventLog& log_;
  const std::string script_;
  uint32_t runs_ = 0;
  uint32_t failures_ = 0;
  ULONGLONG startTick_ = 0;
  DWORD writes_ = 0;
};

// The companion's status as the launcher or the monitor sees it; each keeps a record of the one
// companion subkey. Values are written when they change: the launcher finding the same state
// again writes nothing. Each change is bracketed by the subkey's WriteCount, as a script's is;
// the records of the launcher and the monitor take turns under one lock and one count, so the
// count stays odd for as long as either is writing.
class TCompanionRecord {
 public:
  explicit TCompanionRecord(TStatusBoard& board) noexcept;

  // The launcher: the companion it now waits on (0 when there is none), and each start with
  // the process it gave (0 when none).
  void WaitingOn(DWORD processId) noexcept;
  void Started(DWORD processId) noexcept;

  // The monitor: each probe's result in words (a text that lasts as long as the program), whether
  // it was a good reply, and the failure count after it; each kill (after which the count is 0).
  void Probed(const char* result, bool good, int32_t failures) noexcept;
  void Killed() noexcept;

 private:
  // Holds the shared lock, and WriteCount odd, while it lives.
  class TChange {
   public:
    explicit TChange(const TCompanionRecord& record) noexcept;
    ~TChange();
    TChange(const TChange&) = delete;
    TChange& operator=(const TChange&) = delete;

   private:
    const TCompanionRecord& record_;
  };

  void SetProcessId(DWORD processId) noexcept;
  void SetFailures(int32_t failures) noexcept;

  const TStatusKey key_;
  DWORD processId_ = MAXDWORD;  // nothing written yet
  DWORD starts_ = 0;
  DWORD kills_ = 0;
  const char* result_ = nullptr;  // nothing written yet
  int32_t failures_ = -1;         // nothing written yet
};

}  // namespace brenlow
