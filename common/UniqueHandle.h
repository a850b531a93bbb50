#pragma once
// Move-only owners for Windows handles. Each kind of handle gets a small traits type naming its
// empty value and the function that closes it; the owner closes exactly once.

#include <windows.h>

#include <utility>

namespace brenlow {

template <typename Traits>
class UniqueResource {
 public:
  using pointer = typename Traits::pointer;

  UniqueResource() noexcept = default;
  explicit UniqueResource(pointer value) noexcept : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  pointer get() const noexcept { return value_; }
  bool valid() const noexcept { return !Traits::IsEmpty(value_); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing; the owner is empty afterwards.
  pointer release() noexcept { return std::exchange(value_, Traits::Empty()); }

  // Closes the value held (if any) and takes `value`. GetLastError() is preserved, so an error
  // code read after a clean-up still belongs to the call that failed.
  void reset(pointer value = Traits::Empty()) noexcept {
    pointer old = std::exchange(value_, value);
    if (!Traits::IsEmpty(old)) {
      const DWORD error = GetLastError();
      Traits::Close(old);
      SetLastError(error);
    }
  }

  // For out-parameters: closes the value held and returns where the new one is to be written.
  pointer* put() noexcept {
    reset();
    return &value_;
  }

 private:
  pointer value_ = Traits::Empty();
};

// Kernel handles. Both null and INVALID_HANDLE_VALUE count as empty: CreateFile and toolhelp
// snapshots fail with the latter, most other calls with the former. We never own the
// current-process pseudo handle, whose value equals INVALID_HANDLE_VALUE.
struct KernelHandleTraits {
  using pointer = HANDLE;
  static pointer Empty() noexcept { return nullptr; }
  static bool IsEmpty(pointer h) noexcept { return h == nullptr || h == INVALID_HANDLE_VALUE; }
  static void Close(pointer h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

struct ServiceHandleTraits {
  using pointer = SC_HANDLE;
  static pointer Empty() noexcept { return nullptr; }
  static bool IsEmpty(pointer h) noexcept { return h == nullptr; }
  static void Close(pointer h) noexcept { ::CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;

struct RegKeyTraits {
  using pointer = HKEY;
  static pointer Empty() noexcept { return nullptr; }
  static bool IsEmpty(pointer h) noexcept { return h == nullptr; }
  static void Close(pointer h) noexcept { ::RegCloseKey(h); }
};
using UniqueRegKey = UniqueResource<RegKeyTraits>;

// A directory listing of FindFirstFile, which fails with INVALID_HANDLE_VALUE.
struct FindHandleTraits {
  using pointer = HANDLE;
  static pointer Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsEmpty(pointer h) noexcept { return h == INVALID_HANDLE_VALUE || h == nullptr; }
  static void Close(pointer h) noexcept { ::FindClose(h); }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

struct LibraryTraits {
  using pointer = HMODULE;
  static pointer Empty() noexcept { return nullptr; }
  static bool IsEmpty(pointer h) noexcept { return h == nullptr; }
  static void Close(pointer h) noexcept { ::FreeLibrary(h); }
};
using UniqueLibrary = UniqueResource<LibraryTraits>;

}  // namespace brenlow
