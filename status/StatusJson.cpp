#include "status/StatusJson.h"

#include <cstdio>

#include "service/ServiceQuery.h"
#include "status/StatusRecords.h"

namespace brenlow {
namespace {

const std::string kNull = "null";

std::string Number(uint64_t value) { return std::to_string(value); }

// A count or id that 0 means nothing for.
std::string NumberOrNull(uint64_t value) { return value != 0 ? Number(value) : kNull; }

std::string StateWord(const TServiceState& service) {
  if (service.QueryError == ERROR_SERVICE_DOES_NOT_EXIST) return "not installed";
  if (service.QueryError != 0 || service.State == 0) return "unknown";
  return ServiceStateText(service.State);
}

// What failed in a run that has no exit code; null when it ended.
std::string FailedStepWord(DWORD step) {
  switch (step) {
    case TRunEnd::fsStart:
      return JsonString("start");
    case TRunEnd::fsWait:
      return JsonString("wait");
    case TRunEnd::fsEndAtLimit:
      return JsonString("end at time limit");
  }
  return kNull;
}

// Each object's members, in one place per object: a value added to the status gets its member
// here.

TJsonMembers ServiceMembers(const TServiceState& service, const TAgentStatus& status,
                            const TStatusReport& report) {
  return {{"name", JsonString(service.Name)},
          {"state", JsonString(StateWord(service))},
          {"processId", NumberOrNull(service.ProcessId)},
          {"started", report.Live ? JsonTime(status.Started) : kNull}};
}

TJsonMembers CompanionMembers(const TCompanionStatus& c) {
  return {{"processId", NumberOrNull(c.ProcessId)},
          {"starts", Number(c.Starts)},
          {"kills", Number(c.Kills)},
          {"lastProbe", JsonTime(c.LastProbe)},
          {"lastProbeResult", c.LastProbe != 0 ? JsonString(c.LastProbeResult) : kNull},
          {"lastGoodProbe", JsonTime(c.LastGoodProbe)},
          {"probeFailures", Number(c.ProbeFailures)}};
}

TJsonMembers ScriptMembers(const TScriptStatus& s, uint64_t now) {
  // Without its subkey only the name is known; the last run's values wait for its end.
  const auto known = [&s](const std::string& value) { return s.Present ? value : kNull; };
  const auto ended = [&s](const std::string& value) {
    return s.Present && s.Runs > 0 ? value : kNull;
  };
  const TNextRun next = NextRunOf(s, now);
  return {{"name", JsonString(s.Script)},
          {"period", known(Number(s.Period))},
          {"runs", known(Number(s.Runs))},
          {"failuresInARow", known(Number(s.FailuresInARow))},
          {"running", known(s.Running ? "true" : "false")},
          {"waitingFor", known(NumberOrNull(s.WaitingFor))},
          {"lastStart", known(JsonTime(s.LastStart))},
          {"lastDuration", ended(Number(s.LastDuration))},
          {"lastExitCode", ended(s.HasExitCode ? Number(s.LastExitCode) : kNull)},
          {"lastError", ended(Number(s.LastError))},
          {"lastFailedStep", ended(FailedStepWord(s.LastFailedStep))},
          {"nextRunDue", JsonTime(next.Due)},
          {"overdueBy", known(Number(next.OverdueMs))}};
}

// Texts as a JSON array on one line.
std::string JsonArray(const std::vector<std::string>& texts) {
  std::string json;
  for (const std::string& text : texts) json += (json.empty() ? "" : ", ") + JsonString(text);
  return "[" + json + "]";
}

}  // namespace

std::string JsonObject(const TJsonMembers& members, const std::string& lineStart) {
  std::string json = "{";
  for (const auto& [name, value] : members)
    json += (json.size() > 1 ? "," + (lineStart.empty() ? " " : lineStart) : lineStart) +
            JsonString(name) + ": " + value;
  return json + (lineStart.empty() ? "}" : "\r\n}");
}

std::string JsonString(const std::string& text, UINT codePage) {
  std::wstring wide;
  if (!text.empty()) {
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (length > 0) {
      wide.resize(static_cast<size_t>(length));
      MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
    } else {
      // A code page the system does not know: each byte as the character of that number.
      for (const unsigned char c : text) wide += static_cast<wchar_t>(c);
    }
  }
  std::string json = "\"";
  for (const wchar_t c : wide) {
    switch (c) {
      case L'"':
        json += "\\\"";
        break;
      case L'\\':
        json += "\\\\";
        break;
      case L'\b':
        json += "\\b";
        break;
      case L'\f':
        json += "\\f";
        break;
      case L'\n':
        json += "\\n";
        break;
      case L'\r':
        json += "\\r";
        break;
      case L'\t':
        json += "\\t";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          json += static_cast<char>(c);
        } else {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
          json += escape;
        }
    }
  }
  return json + "\"";
}

std::string JsonTime(uint64_t fileTime) {
  const FILETIME time{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
  SYSTEMTIME t;
  if (fileTime == 0 || !FileTimeToSystemTime(&time, &t)) return kNull;
  char text[40];
  std::snprintf(text, sizeof(text), "\"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\"",
                static_cast<unsigned>(t.wYear), static_cast<unsigned>(t.wMonth),
                static_cast<unsigned>(t.wDay), static_cast<unsigned>(t.wHour),
                static_cast<unsigned>(t.wMinute), static_cast<unsigned>(t.wSecond),
                static_cast<unsigned>(t.wMilliseconds));
  return text;
}

std::string StatusJson(const TServiceState& service, const TAgentStatus& status,
                       const TStatusReport& report, uint64_t now) {
  // One script a line, so that the object stays readable in a console.
  std::string scripts;
  if (report.Live)
    for (const TScriptStatus& s : status.Scripts)
      scripts += (scripts.empty() ? "\r\n    " : ",\r\n    ") + JsonObject(ScriptMembers(s, now));
  // What the checks at the start found FAIL; null while they run, or without the service's status.
  const TJsonMembers members = {
      {"format", Number(kStatusJsonFormat)},
      {"verdict", JsonString(CheckResultWord(report.Result))},
      {"exitCode", Number(report.Result)},
      {"reasons", JsonArray(report.Reasons)},
      {"time", JsonTime(now)},
      {"service", JsonObject(ServiceMembers(service, status, report))},
      {"startCheckFailures",
       report.Live && status.StartChecked ? JsonArray(status.StartCheckFailures) : kNull},
      {"companion", report.Live && status.Companion.Present
                        ? JsonObject(CompanionMembers(status.Companion))
                        : kNull},
      {"scripts", scripts.empty() ? "[]" : "[" + scripts + "\r\n  ]"}};
  return JsonObject(members, "\r\n  ") + "\r\n";
}

}  // namespace brenlow
