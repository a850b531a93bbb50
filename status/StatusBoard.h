#pragma once
// The status board: the volatile registry key in which the running service keeps its live
// status. The start hook opens it; each runner, the launcher and the monitor then take a subkey
// of their own and write to it where things happen, with nothing shared between them. Writes
// never fail towards the caller: a status that cannot be written is simply not there.

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace brenlow {

// The time now as a FILETIME count (UTC, 100-ns units since 1601).
uint64_t FileTimeNow();

// One open key of the board, written by one thread. An empty one writes nothing.
class TStatusKey {
 public:
  TStatusKey() = default;
  explicit TStatusKey(UniqueRegKey key) : key_(std::move(key)) {}

  bool valid() const { return key_.valid(); }

  void SetNumber(const char* name, DWORD value) const noexcept;      // REG_DWORD
  void SetTime(const char* name, uint64_t fileTime) const noexcept;  // REG_QWORD
  void SetText(const char* name, const char* value) const noexcept;  // REG_SZ
  void Remove(const char* name) const noexcept;

 private:
  UniqueRegKey key_;
};

class TStatusBoard {
 public:
  // A board on the key `path` below `root`. It writes nothing until Open has succeeded.
  TStatusBoard(HKEY root, std::string path);
  TStatusBoard(const TStatusBoard&) = delete;
  TStatusBoard& operator=(const TStatusBoard&) = delete;

  // At every start of the service: removes whatever an earlier start left there (also a key
  // that is not volatile or carries another access list), creates the key afresh, volatile,
  // with kStatusKeySddl, and records the process (its id and creation time) and when it started.
  // False when the key could not be made; the board then stays closed.
  bool Open(DWORD processId, uint64_t started) noexcept;

  // At a stop: removes the key, so a stopped service leaves no status behind and the product's
  // key can go with an uninstall. Keys handed out earlier write nothing from then on.
  void Remove() noexcept;

  // A subkey of the open board for one writer, created volatile below it; an empty key when the
  // board is not open.
  TStatusKey Subkey(const std::string& name) noexcept;

  // A REG_MULTI_SZ value on the key itself, one string a line; nothing when the board is not open.
  void SetTexts(const char* name, const std::vector<std::string>& lines) noexcept;

 private:
  // Deletes the key with everything below it; true when it is gone.
  bool DeleteKey() noexcept;

  const HKEY root_;
  const std::string path_;
  std::mutex mutex_;  // Open, Remove and Subkey come from the start and stop hooks
  UniqueRegKey key_;
};

// The service's board, on HKLM\SOFTWARE\Tevrin\Tevrin Agent\Status. Never destroyed: workers
// may hold its subkeys until the process ends.
TStatusBoard& ServiceStatusBoard();

}  // namespace brenlow
