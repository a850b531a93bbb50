// Prints what a process holds, for leak checks: one line per matching process,
//   pid=<id> handles=<n> threads=<n> working_set_kib=<n>
// proc_stats <pid or image name>. Under Wine GetProcessHandleCount always answers 0, so the
// handles are counted from the system's handle table (NtQuerySystemInformation, class 16),
// which lists every open handle with its owner's process id. Exit code 0 when at least one
// process matched, 1 when none did, 2 when the handle table could not be read.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace {

// The layout of the handle table as class 16 returns it.
struct HandleEntry {
  USHORT UniqueProcessId;
  USHORT CreatorBackTraceIndex;
  UCHAR ObjectTypeIndex;
  UCHAR HandleAttributes;
  USHORT HandleValue;
  PVOID Object;
  ULONG GrantedAccess;
};
struct HandleTable {
  ULONG NumberOfHandles;
  HandleEntry Handles[1];
};

constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
using QueryFunction = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// Handles per process id (the table holds the low 16 bits of each id).
bool CountHandles(std::map<USHORT, unsigned>& counts) {
  const auto query = reinterpret_cast<QueryFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return false;
  std::vector<unsigned char> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const LONG status =
        query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kStatusInfoLengthMismatch) {
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
      continue;
    }
    if (status < 0) return false;
    break;
  }
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  for (ULONG i = 0; i < table->NumberOfHandles; ++i) ++counts[table->Handles[i].UniqueProcessId];
  return true;
}

bool SameName(std::string a, std::string b) {
  for (auto* s : {&a, &b})
    for (auto& c : *s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return a == b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: proc_stats <pid or image name>\n");
    return 1;
  }
  const std::string wanted = argv[1];
  const DWORD wantedId = std::strtoul(wanted.c_str(), nullptr, 10);

  std::map<USHORT, unsigned> handles;
  if (!CountHandles(handles)) {
    std::fprintf(stderr, "the handle table could not be read\n");
    return 2;
  }
  brenlow::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 2;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  int found = 0;
  for (BOOL ok = Process32First(snapshot.get(), &entry); ok;
       ok = Process32Next(snapshot.get(), &entry)) {
    if (entry.th32ProcessID != wantedId && !SameName(entry.szExeFile, wanted)) continue;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    brenlow::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ,
                                              FALSE, entry.th32ProcessID));
    if (process) GetProcessMemoryInfo(process.get(), &memory, sizeof(memory));
    std::printf("pid=%lu handles=%u threads=%lu working_set_kib=%llu\n", entry.th32ProcessID,
                handles[static_cast<USHORT>(entry.th32ProcessID)], entry.cntThreads,
                static_cast<unsigned long long>(memory.WorkingSetSize / 1024));
    ++found;
  }
  return found > 0 ? 0 : 1;
}
