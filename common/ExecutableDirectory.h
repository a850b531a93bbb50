#pragma once
// The directory of the running executable, from which the configuration file's path and the
// companion's path are formed.

#include <string>

namespace brenlow {

// The directory part of an executable's full path: everything up to and including the last
// "\", "/" or ":". A trailing "\" or "/" is then cut when it is not the only character and the
// character before it is not "\", "/" or ":", so a drive root such as "C:\" keeps its separator.
std::string ExecutableDirectoryOf(const std::string& executablePath);

// ExecutableDirectoryOf the running executable's full path.
std::string ExecutableDirectory();

}  // namespace brenlow
