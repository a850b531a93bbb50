#include "common/RegistryStrings.h"

#include <algorithm>

namespace brenlow {

std::vector<std::string> RegistryStrings(HKEY key, const char* subkey, const char* name,
                                         bool* present) {
  std::vector<std::string> texts;
  DWORD size = 0;
  const bool there = RegGetValueA(key, subkey, name, RRF_RT_REG_MULTI_SZ, nullptr, nullptr,
                                  &size) == ERROR_SUCCESS;
  if (present != nullptr) *present = there;
  if (!there) return texts;
  std::string block(size, '\0');
  if (RegGetValueA(key, subkey, name, RRF_RT_REG_MULTI_SZ, nullptr, block.data(), &size) !=
      ERROR_SUCCESS)
    return texts;
  // The value may have shrunk between the two reads.
  block.resize(std::min<size_t>(size, block.size()));
  for (size_t at = 0; at < block.size() && block[at] != '\0';) {
    const size_t end = std::min(block.find('\0', at), block.size());
    texts.push_back(block.substr(at, end - at));
    at = end + 1;
  }
  return texts;
}

}  // namespace brenlow
