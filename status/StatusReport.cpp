#include "status/StatusReport.h"

#include <algorithm>

#include "common/SystemError.h"
#include "service/ServiceQuery.h"
#include "status/StatusLayout.h"
#include "status/StatusRecords.h"

namespace brenlow {
namespace {

constexpr uint64_t kTicksPerMs = 10000;  // FILETIME counts 100 ns

uint64_t MsBetween(uint64_t from, uint64_t to) { return to > from ? (to - from) / kTicksPerMs : 0; }

std::string Counted(uint64_t count, const char* one, const char* many) {
  return CountText(count) + " " + (count == 1 ? one : many);
}

// The states in which the service's process does its work: a pause changes only what the
// service reports, its workers go on.
bool Working(DWORD state) {
  return state == SERVICE_RUNNING || state == SERVICE_PAUSED || state == SERVICE_PAUSE_PENDING ||
         state == SERVICE_CONTINUE_PENDING;
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

// Collects the report's reasons by how much they weigh.
struct Verdict {
  std::vector<std::string> warnings;
  std::vector<std::string> unknowns;
};

// What a run without an exit code failed at.
std::string FailedStepText(DWORD step) {
  switch (step) {
    case TRunEnd::fsWait:
      return "its end could not be awaited";
    case TRunEnd::fsEndAtLimit:
      return "could not be ended at its time limit";
  }
  return "could not start";
}

std::string ScriptText(const TScriptStatus& s, uint64_t now, Verdict& verdict) {
  if (!s.Present) {
    verdict.unknowns.push_back("no status for " + s.Script);
    return "no status";
  }
  const uint64_t sinceStart = MsBetween(s.LastStart, now);
  if (s.WaitingFor != 0)
    return "waiting for a run left by the previous start, process " + std::to_string(s.WaitingFor);
  if (!s.Running && s.Runs == 0) return "first run not yet due";
  std::vector<std::string> parts;
  if (s.Running) {
    parts.push_back("running for " + SpanText(sinceStart));
    if (sinceStart > std::max<uint64_t>(kLongRunPeriods * s.Period, kLongRunFloorMs))
      verdict.warnings.push_back(s.Script + " running for " + SpanText(sinceStart));
  }
  if (s.FailuresInARow > 0) {
    const std::string how = s.HasExitCode ? "exit code " + ExitCodeText(s.LastExitCode)
                                          : FailedStepText(s.LastFailedStep) + ", system error " +
                                                std::to_string(s.LastError);
    parts.push_back((s.FailuresInARow == 1
                         ? std::string("the last run failed")
                         : "failed " + CountText(s.FailuresInARow) + " runs in a row") +
                    ", " + how);
    if (s.FailuresInARow >= kFailingStreak)
      verdict.warnings.push_back(s.Script + " failed " + CountText(s.FailuresInARow) +
                                 " runs in a row");
  }
  if (!s.Running) {
    std::string last =
        "last run " + SpanText(sinceStart) + " ago, " + SpanText(s.LastDuration, true);
    if (s.FailuresInARow == 0) last += ", exit " + ExitCodeText(s.LastExitCode);
    parts.push_back(last);
  }
  if (s.Runs > 0) parts.push_back(Counted(s.Runs, "run", "runs"));
  if (!s.Running) {
    const TNextRun next = NextRunOf(s, now);
    // Rounded up: "in about 1 s" until it is due.
    const uint64_t ms = next.Due > now ? (next.Due - now + kTicksPerMs - 1) / kTicksPerMs : 0;
    if (next.OverdueMs > 0) {
      parts.push_back("overdue by " + SpanText(next.OverdueMs));
      verdict.warnings.push_back(s.Script + " overdue by " + SpanText(next.OverdueMs));
    } else {
      parts.push_back(ms > 0 ? "next in about " + SpanText((ms + 999) / 1000 * 1000)
                             : "next due now");
    }
  }
  return Joined(parts, "; ");
}

std::string CompanionText(const TCompanionStatus& c, uint64_t started, uint64_t now,
                          Verdict& verdict) {
  if (!c.Present) {
    verdict.unknowns.push_back("no status for the companion");
    return "no status";
  }
  std::string text = c.ProcessId != 0 ? "process " + std::to_string(c.ProcessId) : "no process";
  text += "; " + Counted(c.Starts, "start", "starts") + ", " + Counted(c.Kills, "kill", "kills");
  if (c.LastProbe == 0) {
    text += "; no probe yet";
  } else {
    text += "; last probe " + SpanText(MsBetween(c.LastProbe, now)) + " ago: " + c.LastProbeResult;
    if (c.ProbeFailures > 0) text += ", " + Counted(c.ProbeFailures, "failure", "failures");
  }
  const uint64_t silent = MsBetween(std::max(c.LastGoodProbe, started), now);
  if (silent > kProbeSilenceMs)
    verdict.warnings.push_back("no good reply from the companion for " + SpanText(silent));
  return text;
}

}  // namespace

std::string SpanText(uint64_t ms, bool tenths) {
  if (tenths && ms < 9950) {
    const uint64_t t = (ms + 50) / 100;
    return std::to_string(t / 10) + "." + std::to_string(t % 10) + " s";
  }
  const uint64_t s = ms / 1000;
  const auto two = [](uint64_t big, const char* bigUnit, uint64_t small, const char* smallUnit) {
    std::string text = std::to_string(big) + " " + bigUnit;
    return small == 0 ? text : text + " " + std::to_string(small) + " " + smallUnit;
  };
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return two(s / 60, "min", s % 60, "s");
  if (s < 86400) return two(s / 3600, "h", s / 60 % 60, "min");
  return two(s / 86400, "d", s / 3600 % 24, "h");
}

std::string CountText(uint64_t count) {
  std::string digits = std::to_string(count);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, " ");
  return digits;
}

TNextRun NextRunOf(const TScriptStatus& s, uint64_t now) {
  TNextRun next;
  if (!s.Present || s.Running || s.Runs == 0) return next;
  // The period is the pause after a run's end.
  next.Due = s.LastStart + (static_cast<uint64_t>(s.LastDuration) + s.Period) * kTicksPerMs;
  const uint64_t late = MsBetween(next.Due, now);
  if (late > s.Period + kOverdueSlackMs) next.OverdueMs = late;
  return next;
}

const char* CheckResultWord(TCheckResult result) {
  static const char* const kWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  return kWords[result];
}

bool StatusIsLive(const TServiceState& service, const TAgentStatus& status) {
  // Process ids are reused: the writer records its own creation time, which names the process
  // whatever the clock has done since (a step back at boot leaves it as it was). Only when
  // either side does not know it does the id alone decide.
  return status.Present && service.ProcessId != 0 && status.ProcessId == service.ProcessId &&
         (service.ProcessCreated == 0 || status.ProcessCreated == 0 ||
          service.ProcessCreated == status.ProcessCreated);
}

TStatusReport MakeStatusReport(const TServiceState& service, const TAgentStatus& status,
                               uint64_t now) {
  std::vector<std::string> lines;
  TStatusReport report;
  const std::string name = "Service " + service.Name + ": ";
  if (service.QueryError == ERROR_SERVICE_DOES_NOT_EXIST) {
    report.Result = crCritical;
    report.Reasons.push_back(service.Name + " is not installed");
    lines.push_back(name + "not installed");
  } else if (service.QueryError != 0) {
    report.Result = crUnknown;
    report.Reasons.push_back("the service manager could not be asked: system error " +
                             std::to_string(service.QueryError));
    lines.push_back(name + "unknown");
  } else if (!Working(service.State)) {
    report.Result = crCritical;
    report.Reasons.push_back(service.Name + " is " + ServiceStateText(service.State));
    lines.push_back(name + ServiceStateText(service.State));
    if (status.Present)
      lines.push_back("(the status left by process " + std::to_string(status.ProcessId) +
                      ", which has ended, is not shown)");
  } else if (!StatusIsLive(service, status)) {
    report.Result = crUnknown;
    report.Reasons.push_back(status.Present
                                 ? "the status key was written by process " +
                                       std::to_string(status.ProcessId) + ", not by the service's"
                                 : "the running service has written no status");
    lines.push_back(name + ServiceStateText(service.State) + ", process " +
                    std::to_string(service.ProcessId));
  } else {
    Verdict verdict;
    report.Live = true;
    lines.push_back(name + ServiceStateText(service.State) + ", process " +
                    std::to_string(service.ProcessId) + ", started " +
                    SpanText(MsBetween(status.Started, now)) + " ago");
    // Others may change what runs as LocalSystem, or something it needs is missing: a warning for
    // as long as the service runs with it. The headline names the first, without the command
    // that closes it.
    const std::vector<std::string>& failed = status.StartCheckFailures;
    if (!failed.empty())
      verdict.warnings.push_back(
          "the service started with a failed check: " +
          failed[0].substr(0, failed[0].find(status_value::kCloseItWith)) +
          (failed.size() > 1 ? " (and " + CountText(failed.size() - 1) + " more)" : ""));
    for (const std::string& failure : failed) lines.push_back("Start check failed: " + failure);
    lines.push_back("Companion qrx_proxy.exe: " +
                    CompanionText(status.Companion, status.Started, now, verdict));
    size_t width = 0;
    for (const TScriptStatus& s : status.Scripts) width = std::max(width, s.Script.size());
    for (const TScriptStatus& s : status.Scripts) {
      std::string every = s.Present ? "every " + SpanText(s.Period) : "";
      every.resize(std::max<size_t>(every.size(), 12), ' ');
      std::string script = s.Script;
      script.resize(width, ' ');
      lines.push_back("  " + script + "  " + every + "  " + ScriptText(s, now, verdict));
    }
    // UNKNOWN outweighs WARNING, and only its reasons are given.
    report.Result = !verdict.unknowns.empty()   ? crUnknown
                    : !verdict.warnings.empty() ? crWarning
                                                : crOk;
    report.Reasons = report.Result == crUnknown ? verdict.unknowns : verdict.warnings;
  }
  const std::string headline = report.Reasons.empty()
                                   ? service.Name + " is running and nothing is failing"
                                   : Joined(report.Reasons, "; ");
  report.Text = std::string(CheckResultWord(report.Result)) + ": " + headline + "\r\n";
  for (const std::string& line : lines) report.Text += line + "\r\n";
  return report;
}

}  // namespace brenlow
