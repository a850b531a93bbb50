#include "eventlog/RepeatLimit.h"

#include <algorithm>

namespace brenlow {

std::string LeftOutText(uint64_t count, const std::string& text, ULONGLONG firstLeftOutMs,
                        ULONGLONG nowMs) {
  // Whole minutes, rounded up: every entry counted was left out within them.
  constexpr ULONGLONG kMinuteMs = 60 * 1000;
  const ULONGLONG span = nowMs > firstLeftOutMs ? nowMs - firstLeftOutMs : 0;
  const ULONGLONG minutes = std::max<ULONGLONG>(1, (span + kMinuteMs - 1) / kMinuteMs);
  return std::to_string(count) + " entries like \"" + text + "\" were left out in the last " +
         std::to_string(minutes) + " minutes.";
}

TRepeatLimit::TRepeatLimit(TRepeatLimitSettings settings) : settings_(std::move(settings)) {}

TRepeatLimit::TDecision TRepeatLimit::Admit(WORD level, const std::string& text) {
  TDecision decision;
  if (settings_.Count == 0) return decision;  // no limit
  const ULONGLONG now = settings_.Now();
  Sweep(now, decision.Reports);
  TKey key(level, text);
  auto found = texts_.find(key);
  if (found == texts_.end()) {
    if (texts_.size() >= std::max<size_t>(settings_.MaxTexts, 1)) MakeRoom(now, decision.Reports);
    found = texts_.emplace(std::move(key), TText{}).first;
  }
  TText& entry = found->second;
  entry.LastSeen = now;
  if (entry.Written.size() < settings_.Count) {
    entry.Written.push_back(now);
  } else {
    if (entry.LeftOut++ == 0) entry.FirstLeftOut = now;
    decision.Write = false;
  }
  return decision;
}

std::vector<std::string> TRepeatLimit::TakeAllReports() {
  std::vector<std::string> reports;
  const ULONGLONG now = settings_.Now();
  for (auto& [key, text] : texts_)
    if (text.LeftOut > 0) Report(key, text, now, reports);
  Sweep(now, reports);
  return reports;
}

void TRepeatLimit::Sweep(ULONGLONG now, std::vector<std::string>& reports) {
  for (auto it = texts_.begin(); it != texts_.end();) {
    TText& text = it->second;
    while (!text.Written.empty() && now - text.Written.front() >= settings_.WindowMs)
      text.Written.pop_front();
    // The oldest of the entries that filled the window has left it: the next one is written.
    if (text.LeftOut > 0 && text.Written.size() < settings_.Count)
      Report(it->first, text, now, reports);
    if (text.Written.empty() && text.LeftOut == 0)
      it = texts_.erase(it);
    else
      ++it;
  }
}

void TRepeatLimit::MakeRoom(ULONGLONG now, std::vector<std::string>& reports) {
  const auto oldest = std::min_element(
      texts_.begin(), texts_.end(),
      [](const auto& a, const auto& b) { return a.second.LastSeen < b.second.LastSeen; });
  if (oldest == texts_.end()) return;
  if (oldest->second.LeftOut > 0) Report(oldest->first, oldest->second, now, reports);
  texts_.erase(oldest);
}

void TRepeatLimit::Report(const TKey& key, TText& text, ULONGLONG now,
                          std::vector<std::string>& reports) {
  reports.push_back(LeftOutText(text.LeftOut, key.second, text.FirstLeftOut, now));
  text.LeftOut = 0;
}

}  // namespace brenlow
