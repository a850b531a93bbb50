// Stand-in for the PHP interpreter. Each start appends one line to a log file, then the program
// does what its environment asks and appends one more line as it ends:
//   start<TAB>pid<TAB>tick<TAB>microseconds<TAB>command line as GetCommandLineA gives it
//   end<TAB>pid<TAB>tick<TAB>microseconds<TAB>
// tick is GetTickCount64; microseconds come from the performance counter, which is the same
// clock in every process of the machine. The log is BRENLOW_STANDIN_LOG, or standin-runs.log
// beside this program. Behaviour comes from the environment, so the command line the runners
// pass reaches the program unchanged:
//   BRENLOW_STANDIN_STDOUT_BYTES=N  write N bytes ("x") to standard output
//   BRENLOW_STANDIN_STDERR_BYTES=N  write N bytes ("e") to standard error
//   BRENLOW_STANDIN_SLEEP_MS=N      sleep N ms before ending
//   BRENLOW_STANDIN_WAIT_EVENT=NAME wait (up to a minute) until the named event is set, if it
//                                   exists
//   BRENLOW_STANDIN_EXIT_CODE=N     exit with code N
//   BRENLOW_STANDIN_SPAWN=PATH      first start the program PATH, which inherits the standard
//                                   handles, and leave it running
// "-v" as the last argument first prints a version line, as PHP does.
// A script can ask for its own behaviour: when the last argument names a readable file holding
// "standin:" followed by words stdout=N, stderr=N, sleep=N (ms) or exit=N on the same line, those
// take the place of the environment's values (the soak test rewrites its scripts this way). Two
// more words are only for scripts: errormode=1 records the process's error mode in the log
//   errormode<TAB>pid<TAB>tick<TAB>microseconds<TAB>the mode in decimal
// and spawn=1 first starts php_helper.exe from the stand-in's own folder and leaves it running.

#include <windows.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/StandInAppend.h"
#include "tests/support/StandInLog.h"
#include "tests/support/StandInSpawn.h"

namespace {

std::string Env(const char* name) {
  char buffer[32768];
  const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
  return n > 0 && n < sizeof(buffer) ? std::string(buffer, n) : std::string();
}

unsigned long EnvNumber(const char* name) { return std::strtoul(Env(name).c_str(), nullptr, 10); }

std::string LogPath() {
  std::string path = Env("BRENLOW_STANDIN_LOG");
  if (!path.empty()) return path;
  char module[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, module, sizeof(module));
  path.assign(module, n);
  return path.substr(0, path.find_last_of("\\/") + 1) + "standin-runs.log";
}

void Record(const char* kind, const std::string& commandLine) {
  brenlow::test::AppendToLog(LogPath(), std::string(kind) + "\t" +
                                            std::to_string(GetCurrentProcessId()) + "\t" +
                                            std::to_string(GetTickCount64()) + "\t" +
                                            std::to_string(brenlow::test::MonotonicMicroseconds()) +
                                            "\t" + commandLine + "\n");
}

// In writes of 64 KiB, as a script that prints a lot does: the pipe, not the stand-in, sets the
// pace. Standard output gets "x", standard error "e", so a reader can tell them apart.
void WriteBytes(DWORD which, unsigned long count) {
  const std::string block(65536, which == STD_ERROR_HANDLE ? 'e' : 'x');
  HANDLE out = GetStdHandle(which);
  while (count > 0) {
    const DWORD chunk = count < block.size() ? count : static_cast<DWORD>(block.size());
    DWORD written = 0;
    if (!WriteFile(out, block.data(), chunk, &written, nullptr) || written == 0) return;
    count -= written;
  }
}

// The "standin:" words of the script file, by name; empty when there are none.
std::map<std::string, unsigned long> ScriptDirectives(const char* script) {
  std::map<std::string, unsigned long> directives;
  HANDLE file = CreateFileA(script, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return directives;
  char buffer[4096];
  DWORD got = 0;
  const BOOL read = ReadFile(file, buffer, sizeof(buffer), &got, nullptr);
  CloseHandle(file);
  if (!read) return directives;
  const std::string text(buffer, got);
  const size_t at = text.find("standin:");
  if (at == std::string::npos) return directives;
  std::istringstream words(text.substr(at + 8, text.find_first_of("\r\n", at) - at - 8));
  for (std::string word; words >> word;) {
    const size_t equals = word.find('=');
    if (equals != std::string::npos)
      directives[word.substr(0, equals)] = std::strtoul(word.c_str() + equals + 1, nullptr, 10);
  }
  return directives;
}

}  // namespace

int main(int argc, char** argv) {
  Record("start", GetCommandLineA());
  if (const std::string program = Env("BRENLOW_STANDIN_SPAWN"); !program.empty())
    brenlow::test::SpawnSharingStdHandles("\"" + program + "\"");
  if (argc > 1 && std::string(argv[argc - 1]) == "-v") {
    const std::string version = "PHP 8.3.0 (cli) (stand-in of the tests)\r\nCopyright\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), version.data(), static_cast<DWORD>(version.size()),
              &written, nullptr);
  }
  auto directives = ScriptDirectives(argc > 1 ? argv[argc - 1] : "");
  if (directives.count("errormode")) Record("errormode", std::to_string(GetErrorMode()));
  if (directives.count("spawn")) {
    char module[MAX_PATH * 4];
    const std::string path(module, GetModuleFileNameA(nullptr, module, sizeof(module)));
    brenlow::test::SpawnSharingStdHandles("\"" + path.substr(0, path.find_last_of("\\/") + 1) +
                                          "php_helper.exe\"");
  }
  const auto setting = [&](const char* word, const char* variable) {
    return directives.count(word) ? directives[word] : EnvNumber(variable);
  };
  WriteBytes(STD_OUTPUT_HANDLE, setting("stdout", "BRENLOW_STANDIN_STDOUT_BYTES"));
  WriteBytes(STD_ERROR_HANDLE, setting("stderr", "BRENLOW_STANDIN_STDERR_BYTES"));
  Sleep(setting("sleep", "BRENLOW_STANDIN_SLEEP_MS"));
  const std::string event = Env("BRENLOW_STANDIN_WAIT_EVENT");
  if (!event.empty()) {
    HANDLE handle = OpenEventA(SYNCHRONIZE, FALSE, event.c_str());
    if (handle) {
      WaitForSingleObject(handle, 60000);
      CloseHandle(handle);
    }
  }
  Record("end", "");
  return static_cast<int>(setting("exit", "BRENLOW_STANDIN_EXIT_CODE"));
}
