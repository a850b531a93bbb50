// Child program for the command-execution tests. It performs its arguments as a list of
// actions, in order, and exits with code 0 unless told otherwise:
//   out N          write N bytes of PatternByte(0..N-1) to standard output, in writes of the
//                  block size (4096 unless changed)
//   err N          the same to standard error
//   block SIZE     write in blocks of SIZE bytes from here on
//   sleep MS       sleep MS milliseconds, writing nothing
//   hex HEX        write the bytes given in hexadecimal to standard output
//   cmdline ...    write the command line, as GetCommandLineA gives it, to standard output and
//                  exit with 0; the arguments after it are there only to be echoed
//   stdin          read standard input to its end, then write "eof" to standard output
//   waitevent NAME wait until the named event is set; go on at once when no event of that name
//                  exists any more (its creator has ended or let go of it)
//   writehandle H  write "leak" to the handle with value H (hexadecimal), had it been inherited
//   exit CODE      exit at once with CODE
//   spawn ARGS...  start this program with ARGS as a grandchild that inherits the standard
//                  handles, then exit with 0
//   stdoutacl      write the access list of the pipe behind standard output, in SDDL
// Nothing waits longer than a minute, so a failed test leaves nothing behind for long.

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/StandInSpawn.h"

namespace {

constexpr DWORD kLongestWait = 60000;

// The byte at position i of the pattern; a period of 251 shows lost or reordered blocks.
char PatternByte(unsigned long i) { return static_cast<char>(i % 251); }

bool WriteAll(HANDLE out, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(out, data, size, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

// The pattern is made once, a period longer than a block, so every write starts at its offset
// into it: a benchmark's child spends its time writing, not computing.
void WritePattern(HANDLE out, unsigned long count, unsigned long blockSize) {
  std::string pattern;
  for (unsigned long i = 0; i < blockSize + 251; ++i) pattern.push_back(PatternByte(i));
  for (unsigned long done = 0; done < count;) {
    const unsigned long size = std::min(blockSize, count - done);
    if (!WriteAll(out, pattern.data() + done % 251, static_cast<DWORD>(size))) return;
    done += size;
  }
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  return bytes;
}

void Spawn(int argc, char** argv, int first) {
  char self[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof(self));
  std::string line = "\"" + std::string(self, n) + "\"";
  for (int i = first; i < argc; ++i) {
    line += " ";
    line += argv[i];
  }
  brenlow::test::SpawnSharingStdHandles(line);
}

}  // namespace

int main(int argc, char** argv) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  unsigned long blockSize = 4096;
  for (int i = 1; i < argc; ++i) {
    const std::string action = argv[i];
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (action == "out") {
      WritePattern(out, std::strtoul(value.c_str(), nullptr, 10), blockSize);
      ++i;
    } else if (action == "err") {
      WritePattern(GetStdHandle(STD_ERROR_HANDLE), std::strtoul(value.c_str(), nullptr, 10),
                   blockSize);
      ++i;
    } else if (action == "block") {
      blockSize = std::max(1ul, std::strtoul(value.c_str(), nullptr, 10));
      ++i;
    } else if (action == "sleep") {
      Sleep(std::min<DWORD>(std::strtoul(value.c_str(), nullptr, 10), kLongestWait));
      ++i;
    } else if (action == "hex") {
      const std::string bytes = FromHex(value);
      WriteAll(out, bytes.data(), static_cast<DWORD>(bytes.size()));
      ++i;
    } else if (action == "cmdline") {
      const std::string line = GetCommandLineA();
      WriteAll(out, line.data(), static_cast<DWORD>(line.size()));
      return 0;
    } else if (action == "stdoutacl") {
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      char* sddl = nullptr;
      if (GetSecurityInfo(out, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
          ConvertSecurityDescriptorToStringSecurityDescriptorA(
              descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr))
        WriteAll(out, sddl, static_cast<DWORD>(std::strlen(sddl)));
    } else if (action == "stdin") {
      char buffer[256];
      DWORD got = 0;
      while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) &&
             got > 0) {
      }
      WriteAll(out, "eof", 3);
    } else if (action == "waitevent") {
      HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, value.c_str());
      if (event) {
        WaitForSingleObject(event, kLongestWait);
        CloseHandle(event);
      }
      ++i;
    } else if (action == "writehandle") {
      const auto handle = reinterpret_cast<HANDLE>(std::strtoull(value.c_str(), nullptr, 16));
      DWORD written = 0;
      WriteFile(handle, "leak", 4, &written, nullptr);
      ++i;
    } else if (action == "exit") {
      return static_cast<int>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (action == "spawn") {
      Spawn(argc, argv, i + 1);
      return 0;
    } else {
      return 2;
    }
  }
  return 0;
}
