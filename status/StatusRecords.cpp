#include "status/StatusRecords.h"

#include <cstring>
#include <mutex>

#include "common/SystemError.h"

namespace brenlow {

using namespace status_value;

TStreakEntry StreakEntryFor(uint32_t failuresBefore, bool succeeded) {
  if (succeeded) return failuresBefore >= kFailingStreak ? seRecovered : seNone;
  return failuresBefore + 1 == kFailingStreak ? seFailing : seNone;
}

std::string RunEndText(const TRunEnd& end) {
  switch (end.FailedStep) {
    case TRunEnd::fsNone:
      return end.TimedOut ? "ended at its time limit" : "exit code " + ExitCodeText(end.ExitCode);
    case TRunEnd::fsStart:
      return "could not be started: " + ErrorText(end.Error);
    case TRunEnd::fsWait:
      return "its end could not be awaited: " + ErrorText(end.Error);
    case TRunEnd::fsEndAtLimit:
      return "reached its time limit but could not be ended: " + ErrorText(end.Error);
  }
  return "ended";
}

// --- TScriptRecord -------------------------------------------------------------------------------

TScriptRecord::TChange::TChange(TScriptRecord& record) noexcept : record_(record) {
  record_.key_.SetNumber(kWriteCount, ++record_.writes_);
}

TScriptRecord::TChange::~TChange() { record_.key_.SetNumber(kWriteCount, ++record_.writes_); }

TScriptRecord::TScriptRecord(TStatusBoard& board, TEventLog& log, std::string script,
                             int32_t period) noexcept
    : key_(board.Subkey(script)), log_(log), script_(std::move(script)) {
  const TChange change(*this);
  key_.SetNumber(kPeriod, static_cast<DWORD>(period));
  key_.SetNumber(kRuns, 0);
  key_.SetNumber(kFailuresInARow, 0);
  key_.SetNumber(kRunning, 0);
}

void TScriptRecord::RunStarting() noexcept {
  startTick_ = GetTickCount64();
  const TChange change(*this);
  key_.SetTime(kLastStart, FileTimeNow());
  key_.SetNumber(kRunning, 1);
}

void TScriptRecord::WaitingFor(DWORD processId) noexcept {
  const TChange change(*this);
  key_.SetNumber(kWaitingFor, processId);
}

void TScriptRecord::RunEnded(const TRunEnd& end) noexcept {
  const ULONGLONG duration = GetTickCount64() - startTick_;
  const bool succeeded = end.Succeeded();
  const TStreakEntry entry = StreakEntryFor(failures_, succeeded);
  const uint32_t failuresBefore = failures_;
  failures_ = succeeded ? 0 : failures_ + 1;
  ++runs_;
  {
    const TChange change(*this);
    key_.SetNumber(kLastDuration, duration > MAXDWORD ? MAXDWORD : static_cast<DWORD>(duration));
    if (end.Ended())
      key_.SetNumber(kLastExitCode, end.ExitCode);
    else
      key_.Remove(kLastExitCode);
    key_.SetNumber(kLastError, end.Ended() ? 0 : end.Error);
    key_.SetNumber(kLastFailedStep, static_cast<DWORD>(end.FailedStep));
    key_.SetNumber(kFailuresInARow, failures_);
    key_.SetNumber(kRuns, runs_);
    key_.SetNumber(kRunning, 0);
  }
  try {
    if (entry == seFailing)
      log_.LogWarning("Script " + script_ + " has failed " + std::to_string(failures_) +
                      " runs in a row; the last one: " + RunEndText(end) + ".");
    else if (entry == seRecovered)
      log_.LogInfo("Script " + script_ + " ran well again after " + std::to_string(failuresBefore) +
                   " failed runs in a row.");
  } catch (...) {
    // Out of memory for the text: the entry is lost, the count is not.
  }
}

// --- TCompanionRecord ----------------------------------------------------------------------------

namespace {

// The launcher's and the monitor's records of the companion's subkey take turns under this lock,
// and count their changes together.
std::mutex companionLock;
DWORD companionWrites = 0;

}  // namespace

TCompanionRecord::TChange::TChange(const TCompanionRecord& record) noexcept : record_(record) {
  companionLock.lock();
  record_.key_.SetNumber(kWriteCount, ++companionWrites);
}

TCompanionRecord::TChange::~TChange() {
  record_.key_.SetNumber(kWriteCount, ++companionWrites);
  companionLock.unlock();
}

TCompanionRecord::TCompanionRecord(TStatusBoard& board) noexcept
    : key_(board.Subkey(kCompanionSubkey)) {}

void TCompanionRecord::WaitingOn(DWORD processId) noexcept {
  if (processId == processId_) return;
  const TChange change(*this);
  SetProcessId(processId);
}

void TCompanionRecord::Started(DWORD processId) noexcept {
  const TChange change(*this);
  key_.SetNumber(kStarts, ++starts_);
  if (processId != processId_) SetProcessId(processId);
}

void TCompanionRecord::Probed(const char* result, bool good, int32_t failures) noexcept {
  const uint64_t now = FileTimeNow();
  const TChange change(*this);
  key_.SetTime(kLastProbe, now);
  if (good) key_.SetTime(kLastGoodProbe, now);
  if (result_ == nullptr || std::strcmp(result_, result) != 0) {
    result_ = result;
    key_.SetText(kLastProbeResult, result);
  }
  SetFailures(failures);
}

void TCompanionRecord::Killed() noexcept {
  const TChange change(*this);
  key_.SetNumber(kKills, ++kills_);
  SetFailures(0);
}

void TCompanionRecord::SetProcessId(DWORD processId) noexcept {
  processId_ = processId;
  key_.SetNumber(kProcessId, processId);
}

void TCompanionRecord::SetFailures(int32_t failures) noexcept {
  if (failures == failures_) return;
  failures_ = failures;
  key_.SetNumber(kProbeFailures, static_cast<DWORD>(failures));
}

}  // namespace brenlow
