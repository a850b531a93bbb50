#pragma once
// What tells the companion from other processes named qrx_proxy.exe: the process the service
// holds (the one its launcher started or took over), or else the program folder's qrx_proxy.exe,
// the same file by identity, running as the service itself runs (LocalSystem in session 0).
// Any user may start a program of that name, or that very file, and serve the companion's pipe
// with it; neither counts as the companion.

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "common/FileIdentity.h"
#include "common/UniqueHandle.h"

namespace brenlow {

// Who a process runs as: its token's user (a SID in its text form, "S-1-5-18") and its session.
struct TProcessAccount {
  std::string UserSid;  // empty: unknown
  DWORD SessionId = 0;
  bool operator==(const TProcessAccount&) const = default;
};

// The account of an opened process (PROCESS_QUERY_LIMITED_INFORMATION); an empty UserSid, with
// the error left as the last error, when its token cannot be read.
TProcessAccount ProcessAccountOf(HANDLE process);

// The account the running program itself has: for the service, LocalSystem in session 0.
TProcessAccount OwnProcessAccount();

// The account a service of this program runs as when it cannot be asked.
inline const TProcessAccount kLocalSystemAccount{"S-1-5-18", 0};

// "S-1-5-18 in session 0".
std::string AccountText(const TProcessAccount& account);

// What a process is, judged against the companion.
enum TCompanionVerdict {
  cvCompanion,     // the companion's file, running as the service runs
  cvOtherFile,     // another program
  cvOtherAccount,  // the companion's file, run by another account or in another session
  cvUnknown,       // cannot be told: the process, its executable or its account cannot be read
};

struct TProcessJudgement {
  TCompanionVerdict Verdict = cvUnknown;
  DWORD Error = 0;          // with cvUnknown, the error of the step that failed
  std::string Path;         // its executable's full path as the system gives it (empty: unknown)
  TProcessAccount Account;  // who runs it; read once its file is known to be the companion's
};

// How a process's executable and account are read; the defaults ask the system. Under Wine every
// process runs as one user in one session: tests answer for other accounts, sessions and path
// forms here.
struct TProcessFacts {
  std::function<std::string(HANDLE process)> ImagePath;    // default: ProcessImagePath
  std::function<TProcessAccount(HANDLE process)> Account;  // default: ProcessAccountOf
};

// Judges processes against the companion's file, which it holds open for as long as it lives,
// and the account the service runs as.
class TCompanionJudge {
 public:
  TCompanionJudge(const std::string& companionPath, TProcessAccount service,
                  TProcessFacts facts = {});

  // process: opened with at least PROCESS_QUERY_LIMITED_INFORMATION.
  TProcessJudgement Judge(HANDLE process) const;
  // Opens the process by its id to judge it; cvUnknown when it cannot be opened.
  TProcessJudgement Judge(DWORD processId) const;

 private:
  const TFileIdentity companion_;
  const TProcessAccount service_;
  TProcessFacts facts_;
};

// The judgement of the process processId against the companion at companionPath, as the running
// program's own account runs it: the monitor's judgement of a pipe server it does not hold.
TProcessJudgement JudgeAsCompanion(DWORD processId, const std::string& companionPath);

// The companion process the service holds: the one its launcher started, or one it found that
// the judge calls the companion. It is held open, so its process id cannot pass to another
// process while it is held. The launcher's thread alone holds and releases it; any thread may ask
// whether a process id is it.
class TCompanionProcess {
 public:
  TCompanionProcess() = default;
  TCompanionProcess(const TCompanionProcess&) = delete;
  TCompanionProcess& operator=(const TCompanionProcess&) = delete;

  // Takes the process (opened with SYNCHRONIZE) in place of any held before; returns its handle,
  // which stays valid until the next Hold or Release.
  HANDLE Hold(UniqueHandle process) noexcept;
  // Forgets the process id, then closes the handle.
  void Release() noexcept;
  // Whether processId is the process held; never for 0.
  bool Holds(DWORD processId) const noexcept;

 private:
  UniqueHandle process_;
  std::atomic<DWORD> processId_{0};
};

// The service's companion process, shared by its launcher and its monitor. Never destroyed.
TCompanionProcess& ServiceCompanion();

}  // namespace brenlow
