#include "common/FileIdentity.h"

namespace brenlow {

TFileKind KindOf(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return fkMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? fkFolder : fkFile;
}

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

TFileIdentity::TFileIdentity(const std::string& path) {
  Read(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

TFileIdentity::TFileIdentity(const std::wstring& path) {
  Read(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

void TFileIdentity::Read(HANDLE opened) {
  UniqueHandle file(opened);
  if (!file) {
    error_ = GetLastError();
    return;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info)) {
    error_ = GetLastError();
    return;
  }
  volume_ = info.dwVolumeSerialNumber;
  index_ = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  error_ = 0;
  file_ = std::move(file);
}

bool TFileIdentity::SameFile(const TFileIdentity& other) const {
  return valid() && other.valid() && volume_ == other.volume_ && index_ == other.index_;
}

}  // namespace brenlow
