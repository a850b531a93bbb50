#pragma once
// The configuration file's text form: parsing its bytes into sections and looking a setting up.
// Plain C++: no Windows header, so it also builds natively.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenlow {

struct TIniFileKey {
  std::string Name;
  std::string Value;
  // The file held a value that has no form in the single-byte code page: the key is there, its
  // value counts as missing.
  bool ValueUnconvertible = false;
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

// Turns a piece of UTF-16 text into the single-byte code page; nothing when a character of it
// has no form there.
using TToSingleByte = std::function<std::optional<std::string>(std::u16string_view)>;

// The same for a file that may have been saved as UTF-16: bytes that begin with the UTF-16LE
// byte-order mark (FF FE) are read as UTF-16LE by the same rules, and each name and value is
// then turned into the single-byte code page by toSingleByte. A name that cannot be turned is
// empty (never found); a value that cannot is missing. Other bytes are parsed as above.
std::vector<TIniFileSection> ParseIniFile(std::string_view bytes,
                                          const TToSingleByte& toSingleByte);

// The value of the first key named `key` in the first section named `section` (ASCII letters
// compared without case), without one pair of enclosing double or single quotes; `fallback`
// when either is missing, or when that key's value could not be read. Names that are empty or
// begin with ";" are never found.
std::string ReadSetting(const std::vector<TIniFileSection>& sections, const std::string& section,
                        const std::string& key, const std::string& fallback);

}  // namespace brenlow
