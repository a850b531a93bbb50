#pragma once
// A security descriptor that the system allocated, with its one owner.

#include <windows.h>

#include <string>

namespace brenlow {

// A security descriptor that the system allocated, freed with LocalFree.
class TSecurityDescriptor {
 public:
  // The owner and access list of a file or folder; Error() says why they could not be read.
  static TSecurityDescriptor OfFile(const std::string& path);
  // The owner and access list of an open registry key (opened with READ_CONTROL).
  static TSecurityDescriptor OfKey(HKEY key);
  // A descriptor written in the security descriptor definition language.
  static TSecurityDescriptor FromSddl(const std::string& sddl);

  TSecurityDescriptor(TSecurityDescriptor&& other) noexcept;
  TSecurityDescriptor& operator=(TSecurityDescriptor&&) = delete;
  TSecurityDescriptor(const TSecurityDescriptor&) = delete;
  ~TSecurityDescriptor();

  PSECURITY_DESCRIPTOR get() const { return descriptor_; }
  DWORD Error() const { return error_; }  // 0 when the descriptor was read

 private:
  TSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD error)
      : descriptor_(descriptor), error_(error) {}
  PSECURITY_DESCRIPTOR descriptor_;
  DWORD error_;
};

// A SID as ConvertSidToStringSid writes it ("S-1-5-18"); empty when it cannot.
std::string SidText(PSID sid);

// The SID of the user an access token (opened with TOKEN_QUERY) stands for, in its string form;
// empty when it cannot be read.
std::string TokenUserSid(HANDLE token);

// The SID of the account this process runs as, in its string form ("S-1-5-18" for LocalSystem);
// empty when it cannot be read.
std::string ProcessAccountSid();

}  // namespace brenlow
