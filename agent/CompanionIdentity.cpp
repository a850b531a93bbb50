#include "agent/CompanionIdentity.h"

#include "common/SecurityDescriptor.h"
#include "common/SystemError.h"

namespace brenlow {

TProcessAccount ProcessAccountOf(HANDLE process) {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &opened)) return {};
  const UniqueHandle token(opened);
  std::string user = TokenUserSid(token.get());
  if (user.empty()) return {};
  // The token's session, which Wine answers where ProcessIdToSessionId leaves it unset.
  DWORD session = 0;
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenSessionId, &session, sizeof(session), &size))
    return {};
  return {std::move(user), session};
}

TProcessAccount OwnProcessAccount() { return ProcessAccountOf(GetCurrentProcess()); }

std::string AccountText(const TProcessAccount& account) {
  return (account.UserSid.empty() ? std::string("an unknown account") : account.UserSid) +
         " in session " + std::to_string(account.SessionId);
}

TCompanionJudge::TCompanionJudge(const std::string& companionPath, TProcessAccount service,
                                 TProcessFacts facts)
    : companion_(companionPath), service_(std::move(service)), facts_(std::move(facts)) {
  if (!facts_.ImagePath) facts_.ImagePath = ProcessImagePath;
  if (!facts_.Account) facts_.Account = ProcessAccountOf;
}

TProcessJudgement TCompanionJudge::Judge(HANDLE process) const {
  TProcessJudgement judged;
  judged.Path = facts_.ImagePath(process);
  if (judged.Path.empty()) {
    judged.Error = GetLastError();
    return judged;
  }
  // The path the system gives may come in another form than the companion's (an 8.3 name, a
  // junction, "\\?\"): the files are compared, both held open meanwhile.
  const TFileIdentity image(judged.Path);
  if (!image.valid() || !companion_.valid()) {
    judged.Error = image.valid() ? companion_.Error() : image.Error();
    return judged;
  }
  if (!companion_.SameFile(image)) {
    judged.Verdict = cvOtherFile;
    return judged;
  }
  judged.Account = facts_.Account(process);
  if (judged.Account.UserSid.empty()) {
    judged.Error = GetLastError();
    return judged;
  }
  judged.Verdict = judged.Account == service_ ? cvCompanion : cvOtherAccount;
  return judged;
}

TProcessJudgement TCompanionJudge::Judge(DWORD processId) const {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) {
    TProcessJudgement unopened;
    unopened.Error = GetLastError();
    return unopened;
  }
  return Judge(process.get());
}

TProcessJudgement JudgeAsCompanion(DWORD processId, const std::string& companionPath) {
  return TCompanionJudge(companionPath, OwnProcessAccount()).Judge(processId);
}

HANDLE TCompanionProcess::Hold(UniqueHandle process) noexcept {
  Release();
  const DWORD id = process ? GetProcessId(process.get()) : 0;
  process_ = std::move(process);
  // Known only once the handle is held: the id cannot pass to another process before Release.
  processId_.store(id, std::memory_order_release);
  return process_.get();
}

void TCompanionProcess::Release() noexcept {
  // Forgotten before the handle closes, after which the id may go to another process.
  processId_.store(0, std::memory_order_release);
  process_.reset();
}

bool TCompanionProcess::Holds(DWORD processId) const noexcept {
  return processId != 0 && processId_.load(std::memory_order_acquire) == processId;
}

TCompanionProcess& ServiceCompanion() {
  static TCompanionProcess* const companion = new TCompanionProcess();
  return *companion;
}

}  // namespace brenlow
