#pragma once
// Helpers shared by the tests: where the built programs and stand-ins are, scratch folders,
// running a program and collecting what it printed, waiting for something to happen.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace brenlow::test {

// Folder of the running test program, without a trailing separator.
std::string ThisExecutableDir();
// A stand-in program built with the tests (tests\standins\NAME).
std::string StandInPath(const std::string& name);
// A deliverable of this build (bin\NAME), e.g. "brenlow.exe".
std::string ProgramPath(const std::string& name);
// A file of the test bed (%BRENLOW_TESTBED%\NAME).
std::string TestbedPath(const std::string& name);

// A text of the ANSI code page in UTF-16.
std::wstring Widen(const std::string& text);

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
// A text of a file's version information (e.g. "FileVersion"), from the string table of the
// first language the file declares; "<missing>" when there is none.
std::string VersionInfoText(const std::string& path, const std::string& name);
void CopyFileOrThrow(const std::string& from, const std::string& to);

// A fresh, uniquely named folder under %TEMP%, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

struct ProcessResult {
  DWORD exitCode = 0;
  bool timedOut = false;
  std::string out;  // standard output, bytes as written
  std::string err;  // standard error, bytes as written
};

// Runs a command line with its output sent to files, waits for it (killing it after
// timeoutMs) and returns what it wrote. extraEnv holds "NAME=VALUE" entries that are added to,
// or replace, the current environment.
ProcessResult RunProcess(const std::string& commandLine,
                         const std::vector<std::string>& extraEnv = {}, DWORD timeoutMs = 60000,
                         const std::string& currentDir = {});

// Starts a program (its path quoted, then the arguments as given) without waiting for it and
// returns its process id. Throws when it cannot be started.
DWORD Launch(const std::string& path, const std::string& arguments = "");

// Polls pred every stepMs until it holds or timeoutMs has passed; returns its last value.
// Deadlines are generous: a loaded machine must not make a test fail.
bool WaitFor(const std::function<bool()>& pred, DWORD timeoutMs, DWORD stepMs = 50);

// Process ids of running processes whose image name equals name (ASCII case ignored).
std::vector<DWORD> ProcessIdsByName(const std::string& name);
// Ends every process with that image name (forcefully); used for clean-up.
void KillProcessesByName(const std::string& name);

}  // namespace brenlow::test
