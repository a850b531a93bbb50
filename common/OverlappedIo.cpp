#include "common/OverlappedIo.h"

namespace brenlow {

OverlappedIo::OverlappedIo(TEndSignal signal)
    : signal_(signal),
      event_(signal == TEndSignal::Event ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr) {}

OverlappedIo::~OverlappedIo() {
  if (!busy_) return;
  const DWORD error = GetLastError();
  DWORD ignored = 0;
  Cancel(ignored);
  SetLastError(error);
}

bool OverlappedIo::StartRead(HANDLE file, void* data, DWORD size) {
  overlapped_ = OVERLAPPED{};
  overlapped_.hEvent = event_.get();
  return Started(ReadFile(file, data, size, nullptr, &overlapped_), file);
}

bool OverlappedIo::StartWrite(HANDLE file, const void* data, DWORD size) {
  overlapped_ = OVERLAPPED{};
  overlapped_.hEvent = event_.get();
  return Started(WriteFile(file, data, size, nullptr, &overlapped_), file);
}

// A call that ended at once has set the event and filled the record like one that went on in
// the background, so both are taken the same way; only a call that failed outright started
// nothing.
bool OverlappedIo::Started(BOOL doneAtOnce, HANDLE file) {
  if (!doneAtOnce && GetLastError() != ERROR_IO_PENDING) return false;
  file_ = file;
  busy_ = true;
  return true;
}

bool OverlappedIo::Finish(DWORD& transferred) {
  transferred = 0;
  if (!busy_) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return false;
  }
  const BOOL ok = GetOverlappedResult(file_, &overlapped_, &transferred, TRUE);
  const DWORD error = GetLastError();
  busy_ = false;
  SetLastError(error);
  return ok != FALSE;
}

bool OverlappedIo::Await(DWORD timeoutMs, DWORD& transferred) {
  if (WaitForSingleObject(Signal(), timeoutMs) == WAIT_OBJECT_0) return Finish(transferred);
  if (Cancel(transferred)) return true;
  if (GetLastError() == ERROR_OPERATION_ABORTED) SetLastError(ERROR_TIMEOUT);
  return false;
}

bool OverlappedIo::Cancel(DWORD& transferred) {
  // An operation that has ended needs no cancellation (which would fail with ERROR_NOT_FOUND);
  // asking the record first spares a call into the system.
  if (busy_ && !Ended()) CancelIoEx(file_, &overlapped_);
  return Finish(transferred);
}

}  // namespace brenlow
