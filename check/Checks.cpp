#include "check/Checks.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "agent/CompanionIdentity.h"
#include "agent/DaemonUnit1.h"
#include "agent/ExecuteAndCollect.h"
#include "agent/QRXProxyCheckerUnit.h"
#include "check/AccessList.h"
#include "check/InterpreterFiles.h"
#include "common/AsciiText.h"
#include "common/ExecutableDirectory.h"
#include "common/FileIdentity.h"
#include "common/SystemError.h"
#include "common/UniqueHandle.h"
#include "config/IniFile.h"
#include "service/DaemonMapperUnit1.h"
#include "service/ServiceQuery.h"
#include "status/StatusLayout.h"

namespace brenlow {
namespace {

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

constexpr const char* kNobodyElse = "only administrators and the system may change";

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// The worst level of the findings, and their texts joined.
TCheckLine FindingsLine(const std::string& name, const std::vector<TAccessFinding>& findings,
                        const std::string& close) {
  TCheckLevel level = clOk;
  std::string found;
  for (const TAccessFinding& finding : findings) {
    level = std::max(level, finding.Level);
    found += (found.empty() ? "" : "; ") + finding.Text;
  }
  return {level, name + found + (close.empty() ? "" : status_value::kCloseItWith + close)};
}

// Who may change one path, as one line: OK, or the worst finding with every finding named and
// the command that closes them. role says what the path is to the service, when it is not plain.
TCheckLine PermissionLine(const std::string& path, const std::string& role = "") {
  const std::string name =
      "permissions of " + path + (role.empty() ? "" : " (" + role + ")") + ": ";
  const TSecurityDescriptor descriptor = TSecurityDescriptor::OfFile(path);
  if (descriptor.Error() != 0)
    return {clWarn, name + "cannot be read: " + ErrorText(descriptor.Error())};
  const std::vector<TAccessFinding> findings =
      ReviewAccessList(descriptor.get(), KindOf(path) == fkFolder);
  if (findings.empty()) return {clOk, name + kNobodyElse + " it"};
  return FindingsLine(name, findings, CloseCommand(path, findings));
}

// Who may create a folder that does not exist: whoever may make a folder in the nearest one
// above it that does (or take that one over), and then put what they like in it.
TCheckLine CreationLine(const std::string& missing, const std::string& role) {
  std::string above = missing;
  for (const TFolderStep& step : FoldersUpToRoot(missing)) {
    above = step.Parent;
    if (KindOf(above) == fkFolder) break;
  }
  const std::string name = "permissions of " + above + " (where " + missing + ", " + role +
                           " that does not exist, could be made): ";
  const TSecurityDescriptor descriptor = TSecurityDescriptor::OfFile(above);
  if (descriptor.Error() != 0)
    return {clWarn, name + "cannot be read: " + ErrorText(descriptor.Error())};
  std::vector<TAccessFinding> findings;
  for (TAccessFinding& finding : ReviewAccessList(descriptor.get()))
    if (finding.Rights & (FILE_ADD_SUBDIRECTORY | WRITE_DAC | WRITE_OWNER))
      findings.push_back(std::move(finding));
  if (findings.empty()) return {clOk, name + "only administrators and the system may make it"};
  TCheckLine line = FindingsLine(name, findings, "");
  line.Text +=
      "; remove it from where it is named, or make it where only administrators may "
      "change it";
  return line;
}

// The permission lines of a set of paths, each path judged once, and the folders whose way up
// to their drive's root is judged at the end.
class TPermissionReview {
 public:
  // A line for an existing path. Quiet paths only count when all is well: one line says so.
  void Judge(const std::string& path, const std::string& role = "", bool quiet = false) {
    if (KindOf(path) == fkMissing || !FirstTime(path)) return;
    Add(PermissionLine(path, role), path, quiet);
  }
  void JudgeCreation(const std::string& missing, const std::string& role) {
    if (!FirstTime(missing)) return;
    Add(CreationLine(missing, role), missing, true);
  }
  // The interpreter, what it loads and the folders they lie in.
  void JudgeInterpreter(const std::string& php) {
    if (php.empty()) return;
    Judge(php);
    const std::string folder = ExecutableDirectoryOf(php);
    Judge(folder);
    WalkUpFrom(folder);
    const std::vector<TLoadedPath> loads = InterpreterLoads(InterpreterSearchFor(
        php, DescribeProgramImage(ReadHead(php)).Machine == IMAGE_FILE_MACHINE_I386,
        TDaemonMapper1().DaemonDefs[0].Name()));
    for (const TLoadedPath& load : loads) {
      if (load.Missing) {
        JudgeCreation(load.Path, load.Role);
        continue;
      }
      Judge(load.Path, load.Role, true);
      WalkUpFrom(load.Folder ? load.Path : ExecutableDirectoryOf(load.Path));
    }
    FoldQuiet(
        "files and folders the interpreter reads or loads (its settings, extensions and the "
        "service's PATH)");
  }
  void WalkUpFrom(const std::string& folder) {
    if (KindOf(folder) == fkFolder) walks_.push_back(folder);
  }
  // One line for the quiet paths judged since the last fold, when none had a finding.
  void FoldQuiet(const std::string& what) {
    if (quietOk_ > 0)
      lines_.push_back({clOk, "permissions of " + std::to_string(quietOk_) + " " + what + ": " +
                                  kNobodyElse + " them"});
    quietOk_ = 0;
  }

  // The lines for the folders above: one for each that others may replace, or one for them all.
  std::vector<TCheckLine> Finish() {
    std::map<std::string, TSecurityDescriptor> descriptors;  // by the path in capitals
    const auto descriptorOf = [&](const std::string& path) -> const TSecurityDescriptor& {
      auto found = descriptors.find(Upper(path));
      if (found == descriptors.end())
        found = descriptors.emplace(Upper(path), TSecurityDescriptor::OfFile(path)).first;
      return found->second;
    };
    std::set<std::string> judged;
    size_t fine = 0;
    bool replaceable = false;
    for (const std::string& start : walks_)
      for (const TFolderStep& step : FoldersUpToRoot(start)) {
        if (!judged.insert(Upper(step.Folder)).second) continue;
        const std::string name = "folder " + step.Folder +
                                 (SameTextAscii(step.Folder, start) ? "" : ", above " + start) +
                                 ": ";
        const TSecurityDescriptor& folder = descriptorOf(step.Folder);
        const TSecurityDescriptor& parent = descriptorOf(step.Parent);
        const DWORD error = folder.Error() != 0 ? folder.Error() : parent.Error();
        if (error != 0) {
          Add({clWarn, name + "who may replace it cannot be read: " + ErrorText(error)},
              step.Folder, false);
          replaceable = true;
          continue;
        }
        const std::vector<TAccessFinding> findings =
            ReviewReplacement(folder.get(), step.Parent, parent.get());
        if (findings.empty()) {
          ++fine;
          continue;
        }
        Add(FindingsLine(name, findings, CloseCommand(step.Folder, findings)), step.Folder, false);
        replaceable = true;
      }
    if (!replaceable && fine > 0)
      lines_.push_back({clOk,
                        "folders on the way to what the service runs and reads: none may be "
                        "renamed or made anew by others (" +
                            std::to_string(fine) + " up to their drives' roots)"});
    walks_.clear();
    return std::move(lines_);
  }

  // The first path that others may change (a FAIL), or empty.
  const std::string& FirstFailure() const { return firstFailure_; }

 private:
  bool FirstTime(const std::string& path) { return seen_.insert(Upper(path)).second; }

  void Add(TCheckLine line, const std::string& path, bool quiet) {
    if (line.Level == clFail && firstFailure_.empty()) firstFailure_ = path;
    if (quiet && line.Level == clOk)
      ++quietOk_;
    else
      lines_.push_back(std::move(line));
  }

  std::vector<TCheckLine> lines_;
  std::set<std::string> seen_;
  std::vector<std::string> walks_;
  size_t quietOk_ = 0;
  std::string firstFailure_;
};

// The scripts folder and the scripts in it: all of them, or the one named. OK scripts share one
// line.
void JudgeScripts(TPermissionReview& review, const TCheckedLayout& layout,
                  const std::string& only = "") {
  if (layout.WebRootPath.empty()) return;
  const std::string folder = ScriptsFolder(layout);
  review.Judge(folder);
  review.WalkUpFrom(folder);
  for (const TScriptScheduleRow& row : ScriptSchedule) {
    if (!only.empty() && !SameTextAscii(only, row.ScriptFile)) continue;
    const std::string path = folder + "\\" + row.ScriptFile;
    if (KindOf(path) == fkFile) review.Judge(path, "", only.empty());
  }
  review.FoldQuiet("scripts in " + folder);
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
  return {true, std::string("a Windows program (") + architecture + kind + ")", machine};
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
  // Whoever may replace the interpreter, or what it loads, would have this run theirs with the
  // rights of whoever checks: an administrator at --check, the system at a start. So the run
  // waits for the verdict, taken afresh here, just before it.
  TPermissionReview review;
  review.JudgeInterpreter(php);
  review.Finish();
  if (!review.FirstFailure().empty()) {
    lines.push_back({clWarn, "interpreter -v: not run, because others may change " +
                                 review.FirstFailure() + " (see its permissions)"});
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
  TPermissionReview review;
  for (const std::string& path :
       {layout.ProgramFolder, layout.ProgramPath, layout.SettingsPath, layout.CompanionPath})
    review.Judge(path);
  review.WalkUpFrom(layout.ProgramFolder);
  review.JudgeInterpreter(layout.PhpExePath);
  JudgeScripts(review, layout);
  return review.Finish();
}

std::vector<TCheckLine> CheckScriptPermissions(const TCheckedLayout& layout,
                                               const std::string& script) {
  TPermissionReview review;
  review.JudgeInterpreter(layout.PhpExePath);
  JudgeScripts(review, layout, script);
  return review.Finish();
}

}  // namespace brenlow
