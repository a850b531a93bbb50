#include "common/SecurityDescriptor.h"

#include <aclapi.h>
#include <sddl.h>

#include <utility>
#include <vector>

#include "common/UniqueHandle.h"

namespace brenlow {

TSecurityDescriptor TSecurityDescriptor::OfFile(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                            nullptr, nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return TSecurityDescriptor(nullptr, error);
  return TSecurityDescriptor(descriptor, 0);
}

TSecurityDescriptor TSecurityDescriptor::FromSddl(const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return TSecurityDescriptor(nullptr, GetLastError());
  return TSecurityDescriptor(descriptor, 0);
}

TSecurityDescriptor TSecurityDescriptor::OfKey(HKEY key) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(reinterpret_cast<HANDLE>(key), SE_REGISTRY_KEY,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return TSecurityDescriptor(nullptr, error);
  return TSecurityDescriptor(descriptor, 0);
}

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return {};
  std::string result(text);
  LocalFree(text);
  return result;
}

std::string TokenUserSid(HANDLE token) {
  std::vector<BYTE> user(SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER));
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    user.resize(size);
    if (!GetTokenInformation(token, TokenUser, user.data(), size, &size)) return {};
  }
  return SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

std::string ProcessAccountSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  const UniqueHandle owned(token);
  return TokenUserSid(token);
}

TSecurityDescriptor::TSecurityDescriptor(TSecurityDescriptor&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, nullptr)), error_(other.error_) {}

TSecurityDescriptor::~TSecurityDescriptor() {
  if (descriptor_ != nullptr) LocalFree(descriptor_);
}

}  // namespace brenlow
