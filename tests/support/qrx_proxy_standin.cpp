// Stand-in for the companion qrx_proxy.exe: serves the pipe \\.\pipe\tevrin_qrx_proxy_pipe.
// Its behaviour comes from the file qrx_proxy.mode beside the executable, read again before every
// connection, so a test can change it while the companion runs:
//   reply1  (also when the file is missing)  read the request byte, answer 1
//   reply0                                     read the request byte, answer 0
//   silent                                     accept, read, never answer; hold until the client
//                                              closes
//   noread                                     a pipe with no input buffer: accept, never
//                                              read, so a client's blocking write never
//                                              returns; hold until the client closes or the
//                                              mode changes
//   nopipe                                     serve no pipe at all
// A mode may be preceded by "after <ms> ": the stand-in then serves nothing for that long after
// its start, as a companion that is slow to open its pipe.
// Every start is recorded as one line "start <pid> <microseconds> <image path>" in qrx_proxy.log
// beside the executable (shared by copies of the stand-in under other names, such as
// qrx_proxy_debug.exe); the microseconds come from the performance counter.

#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"
#include "tests/support/StandInAppend.h"
#include "tests/support/StandInLog.h"

namespace {

std::string Directory() {
  char path[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string full(path, n);
  return full.substr(0, full.find_last_of("\\/"));
}

std::string ReadMode(const std::string& dir) {
  brenlow::UniqueHandle file(CreateFileA((dir + "\\qrx_proxy.mode").c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return "reply1";
  char buffer[64] = {};
  DWORD got = 0;
  ReadFile(file.get(), buffer, sizeof(buffer) - 1, &got, nullptr);
  std::string mode(buffer, got);
  while (!mode.empty() && static_cast<unsigned char>(mode.back()) <= ' ') mode.pop_back();
  return mode.empty() ? "reply1" : mode;
}

// The delay of an "after <ms> <mode>" text, which is left as "<mode>".
DWORD TakeDelay(std::string& mode) {
  if (mode.rfind("after ", 0) != 0) return 0;
  size_t end = 6;
  const DWORD ms = std::stoul(mode.substr(6), &end);
  const size_t next = mode.find_first_not_of(' ', 6 + end);
  mode = next == std::string::npos ? "reply1" : mode.substr(next);
  return ms;
}

std::string ReadModeWithoutDelay(const std::string& dir) {
  std::string mode = ReadMode(dir);
  TakeDelay(mode);
  return mode;
}

void AppendLine(const std::string& path, const std::string& line) {
  brenlow::test::AppendToLog(path, line + "\r\n");
}

}  // namespace

int main() {
  const std::string dir = Directory();
  char image[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, image, sizeof(image));
  AppendLine(dir + "\\qrx_proxy.log", "start " + std::to_string(GetCurrentProcessId()) + " " +
                                          std::to_string(brenlow::test::MonotonicMicroseconds()) +
                                          " " + std::string(image, n));

  std::string first = ReadMode(dir);
  Sleep(TakeDelay(first));
  for (;;) {
    const std::string mode = ReadModeWithoutDelay(dir);
    if (mode == "nopipe") {
      Sleep(100);
      continue;
    }
    const DWORD inBuffer = mode == "noread" ? 0 : 16;
    brenlow::UniqueHandle pipe(
        CreateNamedPipeA("\\\\.\\pipe\\tevrin_qrx_proxy_pipe", PIPE_ACCESS_DUPLEX,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                         16, inBuffer, 0, nullptr));
    if (!pipe) {
      Sleep(100);
      continue;
    }
    if (ConnectNamedPipe(pipe.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
      const std::string now = ReadModeWithoutDelay(dir);
      if (mode == "noread") {
        // Never read: watch (without reading) whether the client is still there.
        DWORD waiting = 0;
        while (ReadModeWithoutDelay(dir) == "noread" &&
               PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &waiting, nullptr))
          Sleep(100);
        DisconnectNamedPipe(pipe.get());
        continue;
      }
      unsigned char request = 0xFF;
      DWORD got = 0;
      ReadFile(pipe.get(), &request, 1, &got, nullptr);
      if (now == "silent") {
        // Hold the connection until the client gives up and closes its end.
        unsigned char more = 0;
        while (ReadFile(pipe.get(), &more, 1, &got, nullptr)) {
        }
      } else {
        const unsigned char reply = now == "reply0" ? 0 : 1;
        DWORD written = 0;
        WriteFile(pipe.get(), &reply, 1, &written, nullptr);
        FlushFileBuffers(pipe.get());
      }
      DisconnectNamedPipe(pipe.get());
    }
  }
}
