#include "common/SecurityDescriptor.h"

#include <aclapi.h>
#include <sddl.h>

#include <utility>

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

std::string ProcessAccountSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  const UniqueHandle owned(token);
  alignas(TOKEN_USER) char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  char* text = nullptr;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) ||
      !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
    return {};
  std::string sid(text);
  LocalFree(text);
  return sid;
}

TSecurityDescriptor::TSecurityDescriptor(TSecurityDescriptor&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, nullptr)), error_(other.error_) {}

TSecurityDescriptor::~TSecurityDescriptor() {
  if (descriptor_ != nullptr) LocalFree(descriptor_);
}

}  // namespace brenlow
