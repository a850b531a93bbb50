#pragma once
// The configuration file's text form: parsing its bytes into sections and looking a setting up.
// Plain C++: no Windows header, so it also builds natively.

#include <string>
#include <string_view>
#include <vector>

namespace brenlow {

struct TIniFileKey {
  std::string Name;
  std::string Value;
};

// A section and its key entries in file order. Sections and keys of equal names are kept side
// by side, never merged.
struct TIniFileSection {
  std::string Name;
  std::vector<TIniFileKey> Keys;
};

// Parses the bytes of a file into its sections. Lines end at CR, LF or CR LF; a UTF-8
// byte-order mark before the first line is dropped; bytes are otherwise kept as they are.
std::vector<TIniFileSection> ParseIniFile(std::string_view bytes);

// The value of the first key named `key` in the first section named `section` (ASCII letters
// compared without case), without one pair of enclosing double or single quotes; `fallback`
// when either is missing. Names that are empty or begin with ";" are never found.
std::string ReadSetting(const std::vector<TIniFileSection>& sections, const std::string& section,
                        const std::string& key, const std::string& fallback);

}  // namespace brenlow
