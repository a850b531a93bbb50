#include "common/VolatileKey.h"

#include "common/SecurityDescriptor.h"

namespace brenlow {

UniqueRegKey RecreateVolatileKey(HKEY root, const std::string& path, const char* sddl,
                                 REGSAM access) noexcept {
  try {
    // A key right below the root is not made here: its parent is the root itself.
    if (path.find('\\') == std::string::npos) return {};
    const LSTATUS deleted = RegDeleteTreeA(root, path.c_str());
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) return {};
    const TSecurityDescriptor descriptor = TSecurityDescriptor::FromSddl(sddl);
    if (descriptor.get() == nullptr) return {};
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted);
    const SECURITY_INFORMATION set =
        DACL_SECURITY_INFORMATION | (owner != nullptr ? OWNER_SECURITY_INFORMATION : 0);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    const size_t split = path.find_last_of('\\');
    UniqueRegKey parent;
    UniqueRegKey key;
    if (RegCreateKeyExA(root, path.substr(0, split).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_CREATE_SUB_KEY, nullptr, parent.put(), nullptr) != ERROR_SUCCESS ||
        RegCreateKeyExA(parent.get(), path.substr(split + 1).c_str(), 0, nullptr,
                        REG_OPTION_VOLATILE,
                        access | WRITE_DAC | (owner != nullptr ? WRITE_OWNER : 0), &attributes,
                        key.put(), nullptr) != ERROR_SUCCESS)
      return {};
    if (RegSetKeySecurity(key.get(), set, descriptor.get()) != ERROR_SUCCESS) {
      key.reset();
      RegDeleteTreeA(root, path.c_str());
      return {};
    }
    return key;
  } catch (...) {
    return {};  // out of memory for the path's pieces
  }
}

}  // namespace brenlow
