// Stand-in that only waits: "sleeper [--spawn PROGRAM]..." starts each PROGRAM as a child, then
// sleeps until it is killed. Copied under other names, it builds process trees for tests.

#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) != "--spawn") continue;
    std::string command = std::string("\"") + argv[++i] + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                       &pi)) {
      brenlow::UniqueHandle thread(pi.hThread);
      brenlow::UniqueHandle process(pi.hProcess);
    }
  }
  Sleep(INFINITE);
}
