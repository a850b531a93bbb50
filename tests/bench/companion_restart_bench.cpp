// Benchmark: how soon the companion launcher starts a new companion after the running one has
// been killed. Usage: companion-restart-bench <companion.exe> [kills]
//
// The companion is copied as qrx_proxy.exe into a scratch folder. Each round lets it run past
// the launcher's pause, kills it, and takes the time from the killed process's end to the new
// process's creation, both as the system stamps them (no polling on our side shortens or
// lengthens it). The limit is the same work done plainly: a thread that waits on the
// companion's handle and starts a new one through the same shell call the moment it ends.
// Prints the medians and their ratio; asserts nothing. Kills every qrx_proxy.exe it sees.

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "agent/DaemonUnit1.h"
#include "common/UniqueHandle.h"
#include "eventlog/EventLog.h"

namespace {

using brenlow::TRunQRXProxyThread;
using brenlow::UniqueHandle;

ULONGLONG Ticks(const FILETIME& t) {
  return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// When a process was created and, if it has ended, when it ended (100 ns units).
bool Times(HANDLE process, ULONGLONG& created, ULONGLONG& ended) {
  FILETIME c{}, e{}, k{}, u{};
  if (!GetProcessTimes(process, &c, &e, &k, &u)) return false;
  created = Ticks(c);
  ended = Ticks(e);
  return true;
}

UniqueHandle OpenCompanion(DWORD id) {
  return UniqueHandle(
      OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id));
}

// The one companion running, once it is there and is not `old`.
UniqueHandle WaitForNewCompanion(DWORD old, DWORD& id) {
  for (int i = 0; i < 2000; ++i) {
    for (const DWORD candidate : TRunQRXProxyThread::ProcessIdsOf(brenlow::kCompanionImageName))
      if (candidate != old)
        if (UniqueHandle process = OpenCompanion(candidate)) {
          id = candidate;
          return process;
        }
    Sleep(10);
  }
  return {};
}

void KillAllCompanions() {
  for (const DWORD id : TRunQRXProxyThread::ProcessIdsOf(brenlow::kCompanionImageName))
    if (UniqueHandle process = OpenCompanion(id)) {
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), 10000);
    }
}

// Kills the running companion and returns the milliseconds from its end to the creation of the
// next one, which `current` then holds; negative when either time cannot be had.
double KillAndTimeRestart(UniqueHandle& current, DWORD& currentId) {
  TerminateProcess(current.get(), 1);
  WaitForSingleObject(current.get(), 10000);
  DWORD nextId = 0;
  UniqueHandle next = WaitForNewCompanion(currentId, nextId);
  ULONGLONG created = 0, ended = 0, nextCreated = 0, unused = 0;
  const bool ok =
      next && Times(current.get(), created, ended) && Times(next.get(), nextCreated, unused);
  current = std::move(next);
  currentId = nextId;
  // A process whose end or start the system has not stamped (Wine, now and then, gives a time
  // far off) gives no sample.
  constexpr ULONGLONG kMinute = 60ull * 1000 * 10000;
  return ok && ended != 0 && nextCreated >= ended && nextCreated - ended < kMinute
             ? static_cast<double>(nextCreated - ended) / 10000.0
             : -1.0;
}

double Median(std::vector<double> values) {
  if (values.empty()) return -1.0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// The plain limit: start, wait for the end, start again at once, from one thread.
struct PlainRestarter {
  std::string path;
  int rounds = 0;
  static DWORD WINAPI Run(void* self) {
    auto* r = static_cast<PlainRestarter*>(self);
    for (int i = 0; i <= r->rounds; ++i) {
      SHELLEXECUTEINFOA info{};
      info.cbSize = sizeof(info);
      info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
      info.lpFile = r->path.c_str();
      info.nShow = SW_HIDE;
      ShellExecuteExA(&info);
      const UniqueHandle process(info.hProcess);
      if (i < r->rounds && process) WaitForSingleObject(process.get(), INFINITE);
    }
    return 0;
  }
};

std::vector<double> Measure(int kills, DWORD runMs) {
  std::vector<double> ms;
  DWORD id = 0;
  UniqueHandle current = WaitForNewCompanion(0, id);
  for (int i = 0; i < kills && current; ++i) {
    Sleep(runMs);
    const double restart = KillAndTimeRestart(current, id);
    if (restart >= 0) ms.push_back(restart);
  }
  return ms;
}

void Print(const char* what, const std::vector<double>& ms) {
  std::printf("%-44s median %7.1f ms over %zu kills (min %.1f, max %.1f)\n", what, Median(ms),
              ms.size(), ms.empty() ? -1.0 : *std::min_element(ms.begin(), ms.end()),
              ms.empty() ? -1.0 : *std::max_element(ms.begin(), ms.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: companion-restart-bench <companion.exe> [kills]\n");
    return 2;
  }
  const int kills = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string dir =
      std::string(temp) + "companion-restart-bench-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(dir.c_str(), nullptr);
  const std::string companion = dir + "\\" + brenlow::kCompanionImageName;
  if (!CopyFileA(argv[1], companion.c_str(), FALSE)) {
    std::fprintf(stderr, "cannot copy %s: %lu\n", argv[1], GetLastError());
    return 1;
  }
  KillAllCompanions();

  // The limit first, with nothing else of ours running.
  PlainRestarter plain{brenlow::CompanionPath(dir), kills};
  const UniqueHandle plainThread(CreateThread(nullptr, 0, PlainRestarter::Run, &plain, 0, nullptr));
  const DWORD runMs = brenlow::TRunQRXProxySettings{}.CycleSleepMs + 300;
  const std::vector<double> limit = Measure(kills, runMs);
  WaitForSingleObject(plainThread.get(), 30000);
  KillAllCompanions();

  // The launcher, with its product pause. Each companion, in both runs, lives past that pause
  // before it is killed, so the launcher restarts it without waiting out a pause.
  brenlow::TEventLog log;  // its entries go to the Application log under this program's name
  brenlow::TRunQRXProxySettings settings;
  settings.Directory = [dir] { return dir; };
  settings.Log = &log;
  TRunQRXProxyThread* launcher = TRunQRXProxyThread::Create(settings);
  const std::vector<double> restarts = Measure(kills, runMs);
  launcher->RequestStop();
  KillAllCompanions();
  launcher->WaitForEnd(10000);  // left to the process's end: it is never freed, as in the service

  Print("companion restart after a kill, launcher:", restarts);
  Print("the same with a plain wait and start:", limit);
  const double l = Median(limit);
  if (l > 0)
    std::printf("ratio launcher / plain:                      %.2f\n", Median(restarts) / l);
  DeleteFileA((dir + "\\qrx_proxy.log").c_str());
  DeleteFileA(companion.c_str());
  RemoveDirectoryA(dir.c_str());
  return 0;
}
