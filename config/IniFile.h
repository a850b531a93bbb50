#pragma once
// The reader of the agent's configuration file, a text file in INI form beside the executable.
// It reads and parses the whole file when it is created and writes nothing.

#include <stdexcept>
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

// A configuration file that exists but cannot be opened or read. The message is
// Unable to open file "<full path>".
class EFOpenError : public std::runtime_error {
 public:
  explicit EFOpenError(const std::string& fileName);
};

// Parses the bytes of a file into its sections. Lines end at CR, LF or CR LF; a UTF-8
// byte-order mark before the first line is dropped; bytes are otherwise kept as they are.
std::vector<TIniFileSection> ParseIniFile(std::string_view bytes);

// The value of the first key named `key` in the first section named `section` (ASCII letters
// compared without case), without one pair of enclosing double or single quotes; `fallback`
// when either is missing. Names that are empty or begin with ";" are never found.
std::string ReadSetting(const std::vector<TIniFileSection>& sections, const std::string& section,
                        const std::string& key, const std::string& fallback);

class TIniFile {
 public:
  // Reads and parses fileName. A missing file, or a directory of that name, holds no sections.
  // Throws EFOpenError when the file exists but cannot be opened or read.
  explicit TIniFile(const std::string& fileName);

  std::string ReadSetting(const std::string& section, const std::string& key,
                          const std::string& fallback) const;

  const std::string& FileName() const { return fileName_; }
  const std::vector<TIniFileSection>& Sections() const { return sections_; }

 private:
  std::string fileName_;
  std::vector<TIniFileSection> sections_;
};

// "brenlow.ini" in the directory of the running executable.
std::string ConfigFilePath();
// The same for a given executable path.
std::string ConfigFilePathFor(const std::string& executablePath);

}  // namespace brenlow
