#pragma once
// brenlow.exe --version: the product, its version and the commit of the build, as the
// executable's own version information gives them.

#include <windows.h>

#include <functional>
#include <string>

namespace brenlow {

// What the version information holds; Commit is empty when the build did not know it.
struct TVersionText {
  std::string Product;
  std::string Version;
  std::string Commit;
};

// The line --version prints, ended with CR LF: "<product> <version> (<file>, commit <hash>)",
// without the commit part when there is none.
std::string VersionLine(const TVersionText& version, const std::string& fileName);

// Reads the product name, the product version and the build's commit from the version
// information of the file at path. Returns 0, or the system error when the file has none or it
// cannot be read.
DWORD ReadVersionText(const std::string& path, TVersionText& version);

// The command: writes the line of this executable and returns 0; when its version information
// cannot be read, writes why and returns 1.
int RunVersionCommand(const std::function<void(const std::string&)>& write);

}  // namespace brenlow
