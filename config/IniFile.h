#pragma once
// The reader of the agent's configuration file, a text file in INI form beside the executable.
// It reads and parses the whole file when it is created and writes nothing.

#include <stdexcept>
#include <string>
#include <vector>

#include "config/IniParser.h"

namespace brenlow {

// A configuration file that exists but cannot be opened or read. The message is
// Unable to open file "<full path>".
class EFOpenError : public std::runtime_error {
 public:
  explicit EFOpenError(const std::string& fileName);
};

class TIniFile {
 public:
  // Reads and parses fileName, single-byte or (after a UTF-16LE byte-order mark) UTF-16 with its
  // names and values turned into the ANSI code page. A missing file, or a directory of that name,
  // holds no sections. Throws EFOpenError when the file exists but cannot be opened or read.
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
