#include "agent/WorkerThread.h"

#include <process.h>

#include <system_error>

namespace brenlow {

// What the new thread receives: the worker to run and, for a self-releasing worker, the
// reference that keeps it alive until its body has ended.
struct TWorkerThread::StartBlock {
  TWorkerThread* worker;
  std::shared_ptr<TWorkerThread> keepAlive;
};

void TWorkerThread::StartSelfReleasing(const std::shared_ptr<TWorkerThread>& self) {
  self->Launch(new StartBlock{self.get(), self});
}

void TWorkerThread::StartUnreleased() { Launch(new StartBlock{this, nullptr}); }

void TWorkerThread::Launch(StartBlock* block) {
  unsigned id = 0;
  // _beginthreadex rather than CreateThread so the C runtime is set up for the thread. The
  // size is a reservation, not a commitment: the stack grows into it page by page.
  const uintptr_t handle = _beginthreadex(nullptr, kStackSize, &ThreadMain, block,
                                          STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
  if (handle == 0) {
    const DWORD error = GetLastError();
    delete block;
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            "Cannot create a worker thread");
  }
  // The caller still holds the worker here (the factory's shared_ptr, or the never-released
  // object itself), so the thread cannot have freed it yet.
  thread_.reset(reinterpret_cast<HANDLE>(handle));
  threadId_ = id;
}

bool TWorkerThread::WaitForEnd(DWORD timeoutMs) const noexcept {
  return thread_ && WaitForSingleObject(thread_.get(), timeoutMs) == WAIT_OBJECT_0;
}

unsigned __stdcall TWorkerThread::ThreadMain(void* argument) {
  StartBlock* block = static_cast<StartBlock*>(argument);
  try {
    block->worker->Execute();
  } catch (...) {
    // Nothing to report to: the worker simply ends.
  }
  // Dropping the last reference to a self-releasing worker frees it here, on its own thread.
  delete block;
  return 0;
}

}  // namespace brenlow
