#include "common/ExecutableDirectory.h"

#include "common/SystemError.h"

namespace brenlow {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string ExecutableDirectoryOf(const std::string& executablePath) {
  const size_t last = executablePath.find_last_of("\\/:");
  if (last == std::string::npos) return {};
  std::string directory = executablePath.substr(0, last + 1);
  const size_t n = directory.size();
  if (n > 1 && IsSeparator(directory[n - 1]) && !IsSeparator(directory[n - 2]) &&
      directory[n - 2] != ':')
    directory.pop_back();
  return directory;
}

std::string ExecutableDirectory() { return ExecutableDirectoryOf(ExecutablePath()); }

}  // namespace brenlow
