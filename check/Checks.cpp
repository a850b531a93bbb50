#include "check/Checks.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "agent/CompanionIdentity.h"
#include "agent/DaemonUnit1.h"
#include "agent/ExecuteAndCollect.h"
#include "agent/QRXProxyCheckerUnit.h"
#include "check/AccessList.h"
#include "common/AsciiText.h"
#include "common/ExecutableDirectory.h"
#include "common/SystemError.h"
#include "common/UniqueHandle.h"
#include "config/IniFile.h"
#include "service/DaemonMapperUnit1.h"
#include "service/ServiceQuery.h"

namespace brenlow {
namespace {

enum TFileKind { fkMissing, fkFile, fkFolder };

TFileKind KindOf(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return fkMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? fkFolder : fkFile;
}

// The FAIL line for a path that is missing or not of the kind wanted (wrongKind says what it
// is instead); none when it is what is wanted. name ends with ": ".
std::optional<TCheckLine> PresenceFault(const std::string& name, const std::string& path,
                                        TFileKind wanted, const std::string& missing,
                                        const char* wrongKind) {
  const TFileKind kind = KindOf(path);
  if (kind == wanted) return std::nullopt;
  return TCheckLine{clFail, name + (kind == fkMissing ? "missing, " + missing : wrongKind)};
}

// The first bytes of a file, enough for its headers; empty when it cannot be read.
std::string ReadHead(const std::string& path) {
  const UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  std::string head(4096, '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), head.data(), static_cast<DWORD>(head.size()), &got, nullptr)) return {};
  head.resize(got);
  return head;
}

unsigned Word(const std::string& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}

// The line for a program file that must be present. True when it is a Windows program.
bool ProgramFileLine(const std::string& what, const std::string& path, const std::string& missing,
                     std::vector<TCheckLine>& lines) {
  const std::string name = what + " " + path + ": ";
  if (auto fault = PresenceFault(name, path, fkFile, missing, "a folder, not a program")) {
    lines.push_back(std::move(*fault));
    return false;
  }
  const TProgramImage image = DescribeProgramImage(ReadHead(path));
  lines.push_back({image.IsProgram ? clOk : clFail, name + image.Text});
  return image.IsProgram;
}

std::string FirstLine(const std::string& output) {
  std::string line = output.substr(0, output.find_first_of("\r\n"));
  if (line.size() > 200) line = line.substr(0, 200) + "...";
  return line;
}

TCheckLine VersionRunLine(const TChildOutcome& run, const std::string& output, DWORD boundMs) {
  const std::string name = "interpreter -v: ";
  if (run.TimedOut)
    return {clFail,
            name + "did not end within " + std::to_string(boundMs / 1000) + " s, and was ended"};
  if (!run.Started) return {clFail, name + "cannot be started: " + ErrorText(run.Error)};
  if (!run.Ended) return {clFail, name + "its end could not be awaited: " + ErrorText(run.Error)};
  const std::string first = FirstLine(output);
  if (run.ExitCode != 0)
    return {clFail, name + "ended with exit code " + ExitCodeText(run.ExitCode) +
                        (first.empty() ? "" : ": " + first)};
  return {clOk, name + (first.empty() ? "ran, printing nothing" : first)};
}

std::string ScriptsFolder(const TCheckedLayout& layout) { return layout.WebRootPath + "\\scripts"; }

std::string MillisecondsText(double ms) {
  char text[32];
  std::snprintf(text, sizeof(text), ms < 10 ? "%.1f ms" : "%.0f ms", ms);
  return text;
}

TCheckLine ProbeLine(const TProbeExchange& probe, const std::string& companionPath,
                     const TProcessAccount& service) {
  const std::string name = std::string("companion pipe ") + ProbePipeName + ": ";
  const std::string server =
      "process " + std::to_string(probe.ServerProcessId) + " (" + probe.ServerPath + ")";
  switch (probe.Outcome) {
    case poGoodReply:
      return {clOk, name + "reply 1 in " + MillisecondsText(probe.ElapsedMs) + " from " + server};
    case poForeignServer:
      if (probe.ServerProcessId == 0)
        return {clFail, name + "its server cannot be told, so nothing is asked of it: " +
                            ErrorText(probe.Error)};
      if (probe.ServerVerdict == cvOtherFile)
        return {clFail, name + "served by " + server + ", not by " + companionPath +
                            ": another program holds the companion's pipe, so nothing is asked of "
                            "it"};
      if (probe.ServerVerdict == cvOtherAccount)
        return {clFail, name + "served by " + server + " running as " +
                            AccountText(probe.ServerAccount) + ", not as the service (" +
                            AccountText(service) +
                            "): someone else runs the companion's file and holds its pipe, so "
                            "nothing is asked of it"};
      if (probe.ServerPath.empty())
        return {clFail, name + "served by process " + std::to_string(probe.ServerProcessId) +
                            ", whose program cannot be told, so nothing is asked of it: " +
                            ErrorText(probe.Error)};
      return {clFail, name + "served by " + server +
                          ", which cannot be told from the companion, so nothing is asked of it: " +
                          ErrorText(probe.Error)};
    case poBadReply:
      if (probe.Replied)
        return {clFail, name + "reply " + std::to_string(probe.Reply) + " in " +
                            MillisecondsText(probe.ElapsedMs) + " from " + server +
                            " (1 means healthy: the companion has lost its coordinator)"};
      if (probe.Error == ERROR_TIMEOUT)
        return {clFail,
                name + "no reply within " + std::to_string(kProbeExchangeTimeoutMs) + " ms"};
      return {clFail, name + "no reply: " + ErrorText(probe.Error)};
    case poWaitFailed:
      if (probe.Error == ERROR_SEM_TIMEOUT)
        return {clFail,
                name + "no free instance within " + std::to_string(kProbeWaitTimeoutMs) + " ms"};
      return {clFail, name + "not served: " + ErrorText(probe.Error)};
    case poOpenFailed:
      return {clFail, name + "cannot be opened: " + ErrorText(probe.Error)};
    case poSendFailed:
    case poRaised:
      break;
  }
  return {clFail, name + "the request cannot be sent: " + ErrorText(probe.Error)};
}

// The account the service's companion runs as: that of the running service's process, as the
// service manager names it, or LocalSystem in session 0 when the service does not run or its
// process cannot be asked.
TProcessAccount ServiceProcessAccount() {
  const TDaemonMapper1 mapper;
  const TServiceFacts facts = ReadServiceFacts(mapper.DaemonDefs[0].Name());
  if (facts.ProcessId == 0) return kLocalSystemAccount;
  const UniqueHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, facts.ProcessId));
  TProcessAccount account = process ? ProcessAccountOf(process.get()) : TProcessAccount{};
  return account.UserSid.empty() ? kLocalSystemAccount : account;
}

constexpr const char* kNobodyElse = "only administrators, the system and named accounts may change";

// Who may change one path, as one line: OK, or the worst finding with every finding named.
TCheckLine PermissionLine(const std::string& path) {
  const std::string name = "permissions of " + path + ": ";
  const TSecurityDescriptor descriptor = TSecurityDescriptor::OfFile(path);
  if (descriptor.Error() != 0)
    return {clWarn, name + "cannot be read: " + ErrorText(descriptor.Error())};
  TCheckLevel level = clOk;
  std::string found;
  for (const TAccessFinding& finding :
       ReviewAccessList(descriptor.get(), KindOf(path) == fkFolder)) {
    level = std::max(level, finding.Level);
    found += (found.empty() ? "" : "; ") + finding.Text;
  }
  return {level, name + (found.empty() ? std::string(kNobodyElse) + " it" : found)};
}

}  // namespace

TCheckedLayout LayoutOfThisProgram() {
  TCheckedLayout layout;
  layout.ProgramPath = ExecutablePath();
  layout.ProgramFolder = ExecutableDirectoryOf(layout.ProgramPath);
  layout.SettingsPath = ConfigFilePathFor(layout.ProgramPath);
  layout.CompanionPath = CompanionImagePath(layout.ProgramFolder);
  return layout;
}

TProgramImage DescribeProgramImage(const std::string& head) {
  if (head.size() < 0x40 || head.compare(0, 2, "MZ") != 0)
    return {false, "not a Windows program (no MZ header)"};
  const size_t pe = Word(head, 0x3C) | static_cast<size_t>(Word(head, 0x3E)) << 16;
  // Signature, file header (20 bytes), then the optional header up to its subsystem field.
  if (pe > head.size() || head.size() - pe < 24 + 70 ||
      head.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
    return {false, "not a Windows program (no PE header)"};
  const unsigned machine = Word(head, pe + 4);
  const unsigned characteristics = Word(head, pe + 22);
  const unsigned subsystem = Word(head, pe + 24 + 68);
  if (characteristics & IMAGE_FILE_DLL) return {false, "a DLL, not a program"};
  if (!(characteristics & IMAGE_FILE_EXECUTABLE_IMAGE))
    return {false, "not a Windows program (not marked executable)"};
  const char* architecture = machine == IMAGE_FILE_MACHINE_AMD64   ? "x64"
                             : machine == IMAGE_FILE_MACHINE_I386  ? "x86"
                             : machine == IMAGE_FILE_MACHINE_ARM64 ? "ARM64"
                                                                   : "another architecture";
  const char* kind = subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI   ? ", console"
                     : subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI ? ", windowed"
                                                                : "";
  return {true, std::string("a Windows program (") + architecture + kind + ")"};
}

std::vector<TCheckLine> CheckSettings(TCheckedLayout& layout) {
  const std::string name = "settings " + layout.SettingsPath + ": ";
  if (auto fault = PresenceFault(name, layout.SettingsPath, fkFile, "so no script can run",
                                 "a folder, not a file"))
    return {std::move(*fault)};
  TAgentSettings settings;
  if (layout.Loaded) {
    settings = *layout.Loaded;
  } else {
    try {
      settings = ReadAgentSettings(layout.SettingsPath);
    } catch (const std::exception& e) {
      return {{clFail, name + "cannot be read: " + e.what()}};
    }
  }
  layout.PhpExePath = settings.PhpExePath;
  layout.WebRootPath = settings.WebRootPath;
  const std::string& timeLimit = settings.ScriptTimeLimit;
  std::vector<TCheckLine> lines{{clOk, name + (layout.Loaded ? "read by the service" : "read")}};
  const auto keyLine = [&lines](const std::string& key, const std::string& value) {
    if (value.empty())
      lines.push_back({clFail, key + ": not set in section [General]"});
    else
      lines.push_back({clOk, key + " = " + value});
  };
  keyLine("PHP_EXE_PATH", layout.PhpExePath);
  keyLine("WEB_ROOT_PATH", layout.WebRootPath);
  // The optional limit, read as the service reads it: a text that is not a number of seconds
  // means no limit, which the administrator who wrote it did not intend.
  const int32_t limitMs = ScriptTimeLimitFromSetting(timeLimit);
  if (limitMs > 0)
    lines.push_back({clOk, "ScriptTimeLimit = " + std::to_string(limitMs / 1000) + " s"});
  else if (timeLimit.empty() || timeLimit.find_first_not_of("+0") == std::string::npos)
    lines.push_back({clOk, "ScriptTimeLimit: not set, so a run may last as long as it needs"});
  else
    lines.push_back(
        {clWarn, "ScriptTimeLimit = " + timeLimit +
                     ": not a number of seconds, so a run may last as long as it needs"});
  return lines;
}

std::vector<TCheckLine> CheckInterpreter(const TCheckedLayout& layout, DWORD runBoundMs) {
  std::vector<TCheckLine> lines;
  const std::string& php = layout.PhpExePath;
  if (php.empty()) return lines;
  if (!ProgramFileLine("interpreter", php, "so no script can run", lines)) return lines;
  // Whoever may replace the interpreter, or put a DLL beside it, would have this run theirs with
  // the rights of whoever checks: an administrator at --check, the system at a start. So the run
  // waits for the verdict on both, taken afresh here, just before it.
  for (const std::string& path : {php, ExecutableDirectoryOf(php)})
    if (PermissionLine(path).Level == clFail) {
      lines.push_back({clWarn, "interpreter -v: not run, because others may change " + path +
                                   " (see its permissions)"});
      return lines;
    }
  // The same quoting as a script's command line, so the run finds the program the runners do.
  // At the bound the run is ended with whatever it started: a hung interpreter cannot hold the
  // check, nor outlive it.
  std::string output;
  TChildOutcome run;
  ExecuteAndCollect("\"" + php + "\" -v", output, run, TRunOptions{.TimeLimitMs = runBoundMs});
  lines.push_back(VersionRunLine(run, output, runBoundMs));
  return lines;
}

std::vector<TCheckLine> CheckScripts(const TCheckedLayout& layout) {
  if (layout.WebRootPath.empty()) return {};
  const std::string folder = ScriptsFolder(layout);
  const std::string name = "scripts folder " + folder + ": ";
  if (auto fault =
          PresenceFault(name, folder, fkFolder, "so no script can run", "a file, not a folder"))
    return {std::move(*fault)};
  std::vector<TCheckLine> lines{{clOk, name + "present"}};
  for (const TScriptScheduleRow& row : ScriptSchedule)
    if (KindOf(folder + "\\" + row.ScriptFile) != fkFile)
      lines.push_back(
          {clFail, std::string("script ") + row.ScriptFile + ": missing from " + folder});
  if (lines.size() == 1)
    lines.push_back({clOk, "scripts: all " + std::to_string(ScriptSchedule.size()) + " present"});
  return lines;
}

std::vector<TCheckLine> CheckCompanion(const TCheckedLayout& layout) {
  std::vector<TCheckLine> lines;
  ProgramFileLine("companion", layout.CompanionPath, "so the service cannot start it", lines);
  const std::vector<DWORD> running = TRunQRXProxyThread::ProcessIdsOf(kCompanionImageName);
  // Judged as the service judges them: only the companion's own file running as the service
  // counts, whatever else runs under that name.
  const TProcessAccount service = ServiceProcessAccount();
  const TCompanionJudge judge(layout.CompanionPath, service);
  std::string companions;
  std::string others;
  for (const DWORD id : running) {
    const TProcessJudgement judged = judge.Judge(id);
    std::string& list = judged.Verdict == cvCompanion ? companions : others;
    list += (list.empty() ? "" : ", ") + std::to_string(id);
    if (judged.Verdict != cvCompanion && !judged.Path.empty()) list += " (" + judged.Path + ")";
  }
  const std::string notCounted =
      others.empty() ? "" : "; not the companion, so not counted: " + others;
  if (companions.empty()) {
    lines.push_back({clWarn, std::string("companion process: no ") + kCompanionImageName +
                                 " beside brenlow.exe runs as the service (the running service "
                                 "starts one), so its pipe is not probed" +
                                 notCounted});
    return lines;
  }
  lines.push_back({clOk, "companion process: running, process id " + companions + notCounted});
  lines.push_back(
      ProbeLine(ExchangeProbe(SystemProbePipeApi(), kProbeWaitTimeoutMs, kProbeExchangeTimeoutMs,
                              [&judge](DWORD server) { return judge.Judge(server); }),
                layout.CompanionPath, service));
  return lines;
}

std::vector<TCheckLine> CheckPermissions(const TCheckedLayout& layout) {
  std::vector<std::string> paths{layout.ProgramFolder, layout.ProgramPath, layout.SettingsPath,
                                 layout.CompanionPath};
  if (!layout.PhpExePath.empty()) {
    paths.push_back(layout.PhpExePath);
    paths.push_back(ExecutableDirectoryOf(layout.PhpExePath));
  }
  if (!layout.WebRootPath.empty()) paths.push_back(ScriptsFolder(layout));
  std::vector<TCheckLine> lines;
  std::vector<std::string> checked;
  for (const std::string& path : paths) {
    // A missing file has a line of its own in its group; a folder named twice is looked at once.
    if (KindOf(path) == fkMissing) continue;
    bool seen = false;
    for (const std::string& done : checked) seen = seen || SameTextAscii(done, path);
    if (seen) continue;
    checked.push_back(path);
    lines.push_back(PermissionLine(path));
  }
  if (layout.WebRootPath.empty()) return lines;
  // A line for each script open to change; the others share one.
  int fine = 0;
  for (const TScriptScheduleRow& row : ScriptSchedule) {
    const std::string path = ScriptsFolder(layout) + "\\" + row.ScriptFile;
    if (KindOf(path) != fkFile) continue;
    TCheckLine line = PermissionLine(path);
    if (line.Level == clOk)
      ++fine;
    else
      lines.push_back(std::move(line));
  }
  if (fine > 0)
    lines.push_back({clOk, "permissions of " + std::to_string(fine) + " scripts in " +
                               ScriptsFolder(layout) + ": " + kNobodyElse + " them"});
  return lines;
}

}  // namespace brenlow
