#pragma once
// One overlapped read or write on a handle opened with FILE_FLAG_OVERLAPPED, with what signals
// its end (an event of its own, or the handle itself) and, where wanted, a deadline. The system
// writes into the buffer, the OVERLAPPED record and the event until the operation has ended, so an
// operation still under way is never just dropped: it is cancelled and its end awaited, here and
// nowhere else.

#include <windows.h>

#include "common/UniqueHandle.h"

namespace brenlow {

// What is set once an operation has ended.
enum class TEndSignal {
  Event,  // a manual-reset event of the record's own
  // The file handle itself, as the system does for an operation given no event: no event to
  // make and close, and none to reset at each start, which is a call into the system each time.
  // Only for a handle that has no other operation under way meanwhile, on this thread or any
  // other: the end of any operation on the handle sets it.
  Handle,
};

class OverlappedIo {
 public:
  // With TEndSignal::Event, makes the operation's manual-reset event; Ready() is false when that
  // failed.
  explicit OverlappedIo(TEndSignal signal = TEndSignal::Event);
  // Cancels an operation still under way and waits until the system is done with it.
  ~OverlappedIo();
  // The system holds the address of the OVERLAPPED record: the owner never moves.
  OverlappedIo(const OverlappedIo&) = delete;
  OverlappedIo& operator=(const OverlappedIo&) = delete;

  bool Ready() const { return signal_ == TEndSignal::Handle || event_.valid(); }
  // Set once the operation has ended, also when it ended at once: the event, or the handle of
  // the last operation started.
  HANDLE Signal() const { return signal_ == TEndSignal::Event ? event_.get() : file_; }
  // True from a successful start until Finish, Await or Cancel has taken the end.
  bool Busy() const { return busy_; }
  // True once the operation under way has ended (its end not taken yet), found without a call
  // into the system: a read of a pipe that holds bytes ends at once.
  bool Ended() const { return busy_ && HasOverlappedIoCompleted(&overlapped_); }

  // Starts one read into (or write from) data, which must stay valid until the operation has
  // ended. False when the call failed at once, with its code in GetLastError(); true when the
  // operation is under way or has already ended. One operation at a time.
  bool StartRead(HANDLE file, void* data, DWORD size);
  bool StartWrite(HANDLE file, const void* data, DWORD size);

  // Takes the end of the operation, waiting for it if it has not ended yet: true with the
  // bytes moved, or false with the operation's error in GetLastError().
  bool Finish(DWORD& transferred);

  // Waits up to timeoutMs for the end. An operation still under way then is cancelled and its
  // end awaited; it fails with ERROR_TIMEOUT. One that ended meanwhile keeps its result.
  bool Await(DWORD timeoutMs, DWORD& transferred);

  // Cancels the operation if it is still under way and waits until it has ended. An operation
  // that ended first keeps its result (its bytes count); a cancelled one fails with
  // ERROR_OPERATION_ABORTED.
  bool Cancel(DWORD& transferred);

 private:
  bool Started(BOOL doneAtOnce, HANDLE file);

  TEndSignal signal_;
  UniqueHandle event_;
  OVERLAPPED overlapped_{};
  HANDLE file_ = nullptr;
  bool busy_ = false;
};

}  // namespace brenlow
