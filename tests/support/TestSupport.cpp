#include "tests/support/TestSupport.h"

#include <tlhelp32.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "common/UniqueHandle.h"

namespace brenlow::test {
namespace {

std::string Parent(const std::string& dir) {
  const size_t cut = dir.find_last_of("\\/");
  return cut == std::string::npos ? dir : dir.substr(0, cut);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string full = dir + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(full.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(dir.c_str());
}

// CreateProcessA, tried again when Wine answers ERROR_INTERNAL_ERROR: on a loaded machine Wine now
// and then fails to bring up a new process in time and reports that, a fault of the test bed and
// not of the program that a test starts.
BOOL CreateProcessUnderWine(std::string& commandLine, BOOL inherit, char* environment,
                            const char* currentDir, STARTUPINFOA& startup,
                            PROCESS_INFORMATION& info) {
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, inherit, 0, environment,
                       currentDir, &startup, &info))
      return TRUE;
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 5) return FALSE;
    Sleep(200);
  }
}

// A copy of the current environment with extra entries added or replaced, as a block for
// CreateProcessA (sorted NAME=VALUE strings, double-NUL terminated).
std::string EnvironmentBlock(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> vars;  // upper-case name -> "NAME=VALUE"
  auto add = [&](const std::string& entry) {
    const size_t eq = entry.find('=', 1);
    if (eq == std::string::npos) return;
    std::string key = entry.substr(0, eq);
    for (auto& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    vars[key] = entry;
  };
  char* env = GetEnvironmentStringsA();
  for (const char* p = env; p && *p; p += std::strlen(p) + 1) add(p);
  if (env) FreeEnvironmentStringsA(env);
  for (const auto& e : extra) add(e);
  std::string block;
  for (const auto& [key, entry] : vars) {
    block += entry;
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

UniqueHandle InheritableFile(const std::string& path) {
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  return UniqueHandle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

std::string ThisExecutableDir() {
  char buffer[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
  return Parent(std::string(buffer, n));
}

std::string StandInPath(const std::string& name) {
  return Parent(ThisExecutableDir()) + "\\standins\\" + name;
}

std::string ProgramPath(const std::string& name) {
  return Parent(Parent(ThisExecutableDir())) + "\\bin\\" + name;
}

std::string TestbedPath(const std::string& name) {
  const char* bed = std::getenv("BRENLOW_TESTBED");
  if (bed == nullptr || *bed == '\0')
    return Parent(Parent(ThisExecutableDir())) + "\\testbed\\" + name;
  return std::string(bed) + "\\" + name;
}

std::wstring Widen(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                       wide.data(), static_cast<int>(wide.size()));
  wide.resize(size > 0 ? size : 0);
  return wide;
}

std::string ReadFileText(const std::string& path) {
  // Opened with full sharing: the trace file is being appended to while we read it.
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  std::string text;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
    text.append(buffer, got);
  return text;
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << text;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string VersionInfoText(const std::string& path, const std::string& name) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return "<missing>";
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data())) return "<missing>";
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length) ||
      length < 2 * sizeof(WORD))
    return "<missing>";
  const auto* translation = static_cast<const WORD*>(value);
  char block[64];
  wsprintfA(block, "\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
  if (!VerQueryValueA(info.data(), (block + name).c_str(), &value, &length)) return "<missing>";
  return static_cast<const char*>(value);
}

void CopyFileOrThrow(const std::string& from, const std::string& to) {
  if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
    throw std::runtime_error("cannot copy " + from + " to " + to + ": " +
                             std::to_string(GetLastError()));
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  char temp[MAX_PATH];
  const DWORD n = GetTempPathA(MAX_PATH, temp);
  std::string base(temp, n);
  if (!base.empty() && base.back() == '\\') base.pop_back();
  for (;;) {
    path_ = base + "\\brenlow-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter++);
    if (CreateDirectoryA(path_.c_str(), nullptr)) return;
    if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("cannot create " + path_);
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

ProcessResult RunProcess(const std::string& commandLine, const std::vector<std::string>& extraEnv,
                         DWORD timeoutMs, const std::string& currentDir) {
  TempDir capture;
  const std::string outPath = capture / "stdout";
  const std::string errPath = capture / "stderr";
  ProcessResult result;
  {
    UniqueHandle out = InheritableFile(outPath);
    UniqueHandle err = InheritableFile(errPath);
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    UniqueHandle in(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                OPEN_EXISTING, 0, nullptr));
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    PROCESS_INFORMATION pi{};
    std::string cmd = commandLine;
    std::string env = EnvironmentBlock(extraEnv);
    if (!CreateProcessUnderWine(cmd, TRUE, env.data(),
                                currentDir.empty() ? nullptr : currentDir.c_str(), si, pi))
      throw std::runtime_error("cannot start " + commandLine + ": " +
                               std::to_string(GetLastError()));
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) == WAIT_TIMEOUT) {
      result.timedOut = true;
      TerminateProcess(process.get(), 255);
      WaitForSingleObject(process.get(), 5000);
    }
    GetExitCodeProcess(process.get(), &result.exitCode);
  }
  result.out = ReadFileText(outPath);
  result.err = ReadFileText(errPath);
  return result;
}

DWORD Launch(const std::string& path, const std::string& arguments) {
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  std::string command = "\"" + path + "\"" + (arguments.empty() ? "" : " " + arguments);
  if (!CreateProcessUnderWine(command, FALSE, nullptr, nullptr, si, pi))
    throw std::runtime_error("cannot start " + path + ": " + std::to_string(GetLastError()));
  const UniqueHandle process(pi.hProcess);
  const UniqueHandle thread(pi.hThread);
  return pi.dwProcessId;
}

bool WaitFor(const std::function<bool()>& pred, DWORD timeoutMs, DWORD stepMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (pred()) return true;
    if (GetTickCount64() >= deadline) return pred();
    Sleep(stepMs);
  }
}

std::vector<DWORD> ProcessIdsByName(const std::string& name) {
  std::vector<DWORD> ids;
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Process32First(snapshot.get(), &entry); ok;
       ok = Process32Next(snapshot.get(), &entry)) {
    if (EqualNoCase(entry.szExeFile, name)) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

void KillProcessesByName(const std::string& name) {
  for (DWORD id : ProcessIdsByName(name)) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (!process) continue;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
  }
}

}  // namespace brenlow::test
