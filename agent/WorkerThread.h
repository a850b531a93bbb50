#pragma once
// The base of every worker thread of the agent: a thread object that runs its body as soon as
// it has been created, on a thread with a 4 MiB stack, and carries a stop flag that the body
// reads at its own check point.
//
// Who frees a worker:
// - Self-releasing workers (the periodic script runners) are started with StartSelfReleasing:
//   the running thread holds a std::shared_ptr to its worker, so the worker is released when
//   its body ends and nobody else holds it. Others observe it through std::weak_ptr.
// - Never-released workers (the companion launcher and the health monitor) are started with
//   StartUnreleased: nobody deletes them; they live until the process ends.

#include <windows.h>

#include <atomic>
#include <memory>

#include "common/UniqueHandle.h"

namespace brenlow {

class TWorkerThread {
 public:
  // Stack reserved for every worker thread.
  static constexpr unsigned kStackSize = 4 * 1024 * 1024;

  virtual ~TWorkerThread() = default;
  TWorkerThread(const TWorkerThread&) = delete;
  TWorkerThread& operator=(const TWorkerThread&) = delete;

  // False at creation; true once RequestStop has been called.
  bool StopRequested() const noexcept { return stopRequested_.load(std::memory_order_relaxed); }
  // Sets the stop flag, then calls OnStopRequested. Nothing is interrupted: the body sees the
  // flag at its check point.
  void RequestStop() noexcept {
    stopRequested_.store(true, std::memory_order_relaxed);
    OnStopRequested();
  }

  // Identifier of the worker's thread (0 until started).
  DWORD ThreadId() const noexcept { return threadId_; }

  // Waits up to timeoutMs for the worker's thread to have ended; true when it has. For whoever
  // still holds the worker (a test that stops a never-released worker, then frees it).
  bool WaitForEnd(DWORD timeoutMs) const noexcept;

 protected:
  TWorkerThread() = default;

  // Called by RequestStop, on the requesting thread, once the flag is set: a worker whose body
  // blocks in a wait of its own, rather than pausing to look at the flag, ends that wait here.
  virtual void OnStopRequested() noexcept {}

  // The worker's body, run once on the worker's own thread. Anything it throws is dropped:
  // a worker never takes the process down.
  virtual void Execute() = 0;

  // Starts the thread of a self-releasing worker. Call it once the worker's fields are set (a
  // static factory of the derived class does, before handing the worker out). Throws
  // std::system_error when the thread cannot be created.
  static void StartSelfReleasing(const std::shared_ptr<TWorkerThread>& self);

  // Starts the thread of a worker that is never released. Same rules as above.
  void StartUnreleased();

 private:
  struct StartBlock;
  static unsigned __stdcall ThreadMain(void* argument);
  void Launch(StartBlock* block);

  UniqueHandle thread_;
  DWORD threadId_ = 0;
  std::atomic<bool> stopRequested_{false};
};

}  // namespace brenlow
