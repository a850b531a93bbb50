#pragma once
// The strings of a REG_MULTI_SZ registry value.

#include <windows.h>

#include <string>
#include <vector>

namespace brenlow {

// The strings of the REG_MULTI_SZ value name of key\subkey (subkey may be null), in order;
// present tells whether the value is there. None when it cannot be read.
std::vector<std::string> RegistryStrings(HKEY key, const char* subkey, const char* name,
                                         bool* present = nullptr);

}  // namespace brenlow
