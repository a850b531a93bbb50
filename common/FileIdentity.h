#pragma once
// Which file a path leads to, told by what the file system keeps rather than by the path's text:
// one file reached through an 8.3 name, a junction, a "\\?\" prefix or another letter case has
// one identity.

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/UniqueHandle.h"

namespace brenlow {

// What is at a path: nothing (or nothing that can be asked about), a file or a folder.
enum TFileKind { fkMissing, fkFile, fkFolder };
TFileKind KindOf(const std::string& path);

// A file held open for as long as its identity is compared: the volume's serial number and the
// file's index (GetFileInformationByHandle). While it is held, the index cannot pass to another
// file. It is opened for its attributes only and shares everything, so holding it keeps nobody
// from reading, replacing, renaming or deleting the file.
class TFileIdentity {
 public:
  TFileIdentity() = default;
  explicit TFileIdentity(const std::string& path);
  explicit TFileIdentity(const std::wstring& path);

  bool valid() const { return file_.valid(); }
  // Why the file could not be opened or asked; 0 when it is held.
  DWORD Error() const { return error_; }
  // Whether both are held and are the same file.
  bool SameFile(const TFileIdentity& other) const;

 private:
  void Read(HANDLE file);

  UniqueHandle file_;
  DWORD volume_ = 0;
  uint64_t index_ = 0;
  DWORD error_ = ERROR_INVALID_HANDLE;
};

}  // namespace brenlow
