#pragma once
// Stand-ins that start a process of their own and leave it running: the child shares their
// standard handles, so it holds the same pipes as they do.

#include <windows.h>

#include <string>

namespace brenlow::test {

// Starts commandLine with this process's standard handles inherited; does nothing when it
// cannot be started.
inline void SpawnSharingStdHandles(std::string commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &info))
    return;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
}

}  // namespace brenlow::test
