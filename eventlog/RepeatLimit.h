#pragma once
// The limit on repeated entries of one event source. A fault that repeats every second (a
// companion that cannot be started, a pipe that never comes) would otherwise fill the
// Application log, which overwrites its oldest entries when full, and with them every other
// program's. An entry whose level and text equal those of Count entries already written within
// the last Window is left out and counted; once the oldest of those has left the window, one
// Information entry says how many were left out, and entries of that text are written again.

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace brenlow {

// The product's limit. Following a text costs its length and a few dozen bytes; a text is
// forgotten once it has no entry left in the window, and when MaxTexts are followed the one seen
// longest ago makes room, so the memory stays bounded however long the service runs.
struct TRepeatLimitSettings {
  size_t Count = 10;  // entries of one level and text written per window; 0: no limit
  ULONGLONG WindowMs = 10 * 60 * 1000;  // the window, measured back from each entry
  size_t MaxTexts = 100;                // level-and-text pairs followed at once
  std::function<ULONGLONG()> Now = [] { return GetTickCount64(); };  // milliseconds, the seam
};

// The text of the entry that reports left-out entries: `N entries like "<text>" were left out
// in the last M minutes.`, M being the whole minutes from the first of them to now, at least 1.
std::string LeftOutText(uint64_t count, const std::string& text, ULONGLONG firstLeftOutMs,
                        ULONGLONG nowMs);

// Decides, entry by entry, what a writer writes. Not safe for concurrent use: the writer holds
// a lock around it.
class TRepeatLimit {
 public:
  explicit TRepeatLimit(TRepeatLimitSettings settings = {});

  // What to write for one entry of level (a TEventType value) and text: first the reports of
  // left-out entries that are due (Information entries, in the order given), then the entry
  // itself unless Write is false.
  struct TDecision {
    std::vector<std::string> Reports;
    bool Write = true;
  };
  TDecision Admit(WORD level, const std::string& text);

  // The reports of every text with left-out entries, due or not (at the service's stop or the
  // process's end); the counts start again from 0.
  std::vector<std::string> TakeAllReports();

  // Level-and-text pairs followed now: those with an entry in the window or left-out entries.
  size_t Followed() const { return texts_.size(); }

 private:
  struct TText {
    std::deque<ULONGLONG> Written;  // when the last (at most Count) entries were written
    uint64_t LeftOut = 0;
    ULONGLONG FirstLeftOut = 0;
    ULONGLONG LastSeen = 0;
  };
  using TKey = std::pair<WORD, std::string>;

  // Drops the times that have left the window, reports the left-out entries of texts whose
  // window has passed, and forgets texts with nothing left to follow.
  void Sweep(ULONGLONG now, std::vector<std::string>& reports);
  // Makes room for one more text by forgetting the one seen longest ago (reporting its left-out
  // entries now).
  void MakeRoom(ULONGLONG now, std::vector<std::string>& reports);
  void Report(const TKey& key, TText& text, ULONGLONG now, std::vector<std::string>& reports);

  const TRepeatLimitSettings settings_;
  std::map<TKey, TText> texts_;
};

}  // namespace brenlow
