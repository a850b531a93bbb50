#include "check/BoundedRun.h"

#include <memory>
#include <stdexcept>
#include <vector>

#include "agent/DaemonUnit1.h"
#include "agent/WorkerThread.h"
#include "common/UniqueHandle.h"

namespace brenlow {
namespace {

// One run on a worker that releases itself when the child has ended: the caller may stop
// waiting for it at any time and leave it to finish.
class TRunThread final : public TWorkerThread {
 public:
  static std::shared_ptr<TRunThread> Start(std::string commandLine) {
    std::shared_ptr<TRunThread> run(new TRunThread(std::move(commandLine)));
    if (!run->done_) throw std::runtime_error("Cannot create an event");
    StartSelfReleasing(run);
    return run;
  }
  HANDLE Done() const { return done_.get(); }
  // Valid once Done() is set.
  const TChildOutcome& Outcome() const { return outcome_; }
  const std::string& Output() const { return output_; }

 protected:
  void Execute() override {
    ExecuteAndCollect(commandLine_, output_, outcome_);
    SetEvent(done_.get());
  }

 private:
  explicit TRunThread(std::string commandLine)
      : commandLine_(std::move(commandLine)), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

  const std::string commandLine_;
  std::string output_;
  TChildOutcome outcome_;
  UniqueHandle done_;
};

ULONGLONG AsNumber(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ULONGLONG Now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return AsNumber(now);
}

// The processes of imageName that this process started at or after `since`, opened so that
// they can be ended.
std::vector<UniqueHandle> OwnChildrenSince(const std::string& imageName, ULONGLONG since) {
  std::vector<UniqueHandle> children;
  for (const TProcessEntry& entry : ProcessesNamed(imageName)) {
    if (entry.ParentProcessId != GetCurrentProcessId()) continue;
    // A parent's id outlives the parent: the creation time tells our child from the child of an
    // earlier process that had this id.
    UniqueHandle process(
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.ProcessId));
    FILETIME created{}, exited{}, kernel{}, user{};
    if (process && GetProcessTimes(process.get(), &created, &exited, &kernel, &user) &&
        AsNumber(created) >= since)
      children.push_back(std::move(process));
  }
  return children;
}

}  // namespace

TBoundedRun RunWithBound(const std::string& commandLine, const std::string& imageName,
                         DWORD timeoutMs) {
  TBoundedRun result;
  const ULONGLONG began = Now();
  const std::shared_ptr<TRunThread> run = TRunThread::Start(commandLine);
  if (WaitForSingleObject(run->Done(), timeoutMs) != WAIT_OBJECT_0) {
    result.TimedOut = true;
    std::vector<UniqueHandle> children = OwnChildrenSince(imageName, began);
    if (children.size() == 1 && TerminateProcess(children[0].get(), ERROR_TIMEOUT)) {
      result.EndedByUs = true;
      // The run returns once it has seen the end; its outcome is of no more use.
      WaitForSingleObject(run->Done(), timeoutMs);
    }
    return result;
  }
  result.Outcome = run->Outcome();
  result.Output = run->Output();
  return result;
}

}  // namespace brenlow
