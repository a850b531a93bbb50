// Stand-in for the system's task killer, for Wine prefixes whose own taskkill lacks /t.
//   taskkill /im NAME [/im NAME ...] [/pid ID ...] [/f] [/t]
// Ends every process with that image name (ASCII case ignored) or id; with /t also every process
// they started, and theirs in turn. Processes are always ended by force, so /f is accepted and
// changes nothing. A process counts as started by another only if it is younger than it: process
// ids are reused, and a long-lived process whose parent has gone (services.exe, say) must not
// be taken for the child of a newer process that got the old parent's id. Prints one line per
// process as the system's tool does; exit code 0 when at least one target was found, 128 when none
// was.

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace {

std::string Upper(std::string s) {
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

struct Process {
  DWORD id;
  DWORD parent;
  std::string name;
  ULONGLONG created;  // creation time; 0 when it cannot be read
};

ULONGLONG CreationTime(DWORD id) {
  brenlow::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!process || !GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return 0;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

std::vector<Process> Snapshot() {
  std::vector<Process> list;
  brenlow::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return list;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Process32First(snapshot.get(), &entry); ok;
       ok = Process32Next(snapshot.get(), &entry))
    list.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile,
                    CreationTime(entry.th32ProcessID)});
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> names;
  std::set<DWORD> ids;
  bool tree = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = Upper(argv[i]);
    if ((arg == "/IM" || arg == "-IM") && i + 1 < argc) {
      names.push_back(Upper(argv[++i]));
    } else if ((arg == "/PID" || arg == "-PID") && i + 1 < argc) {
      ids.insert(static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10)));
    } else if (arg == "/T" || arg == "-T") {
      tree = true;
    } else if (arg == "/F" || arg == "-F") {
      // Always by force.
    } else {
      std::fprintf(stderr, "ERROR: Invalid argument/option - '%s'.\n", argv[i]);
      return 1;
    }
  }

  const auto processes = Snapshot();
  std::map<DWORD, const Process*> targets;  // id -> process
  for (const auto& p : processes) {
    bool match = ids.count(p.id) > 0;
    for (const auto& n : names) match = match || Upper(p.name) == n;
    if (match && p.id != GetCurrentProcessId()) targets[p.id] = &p;
  }
  if (tree) {
    // Add descendants until no process is added.
    for (bool grew = true; grew;) {
      grew = false;
      for (const auto& p : processes) {
        const auto parent = targets.find(p.parent);
        if (targets.count(p.id) || parent == targets.end() || p.id == GetCurrentProcessId())
          continue;
        if (p.created == 0 || parent->second->created == 0 || p.created < parent->second->created)
          continue;
        targets[p.id] = &p;
        grew = true;
      }
    }
  }
  if (targets.empty()) {
    for (const auto& n : names) std::printf("ERROR: The process \"%s\" not found.\n", n.c_str());
    return 128;
  }
  for (const auto& [id, target] : targets) {
    const std::string& name = target->name;
    brenlow::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (!process) continue;
    if (TerminateProcess(process.get(), 1)) {
      WaitForSingleObject(process.get(), 5000);
      std::printf("SUCCESS: The process \"%s\" with PID %lu has been terminated.\n", name.c_str(),
                  static_cast<unsigned long>(id));
    }
  }
  return 0;
}
