#include "check/TestCommand.h"

#include <algorithm>
#include <cstdio>

#include "common/AsciiText.h"
#include "common/SystemError.h"
#include "config/AgentSettings.h"
#include "config/IniFile.h"

namespace brenlow {
namespace {

// An exit code's meaning where it points at the host rather than at the script.
std::string ExitCodeHint(DWORD code) {
  return code == 0xC0000135 ? " (a DLL the interpreter needs was not found)" : "";
}

std::string Seconds(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f s", static_cast<double>(ms) / 1000.0);
  return text;
}

std::string ScriptNames() {
  std::string text;
  for (const TScriptScheduleRow& row : ScriptSchedule)
    text += "  " + std::string(row.ScriptFile) + "\r\n";
  return text;
}

std::string AccountName() {
  char name[257];
  DWORD size = sizeof(name);
  return GetUserNameA(name, &size) ? std::string(name) : "unknown";
}

}  // namespace

const TScriptScheduleRow* FindScheduledScript(const std::string& name) {
  for (const TScriptScheduleRow& row : ScriptSchedule)
    if (SameTextAscii(row.ScriptFile, name)) return &row;
  return nullptr;
}

size_t TShownStream::Take(size_t size) {
  const uint64_t room = total_ < limit_ ? limit_ - total_ : 0;
  total_ += size;
  return static_cast<size_t>(std::min<uint64_t>(room, size));
}

int TestExitCode(const TChildOutcome& outcome) {
  if (!outcome.Started || !outcome.Ended || outcome.TimedOut) return 2;
  return outcome.ExitCode == 0 ? 0 : 1;
}

std::string TestOutcomeLine(const TChildOutcome& outcome, uint64_t elapsedMs, int32_t timeLimitMs) {
  if (!outcome.Started) return "Could not be run: " + ErrorText(outcome.Error) + "\r\n";
  if (outcome.TimedOut)
    return "Reached its time limit of " + std::to_string(timeLimitMs / 1000) + " s after " +
           Seconds(elapsedMs) +
           (outcome.Ended ? " and was ended with the processes it started.\r\n"
                          : " and could not be ended: " + ErrorText(outcome.Error) + "\r\n");
  if (!outcome.Ended)
    return "Its end could not be awaited after " + Seconds(elapsedMs) + ": " +
           ErrorText(outcome.Error) + "\r\n";
  return "Ended with exit code " + ExitCodeText(outcome.ExitCode) + ExitCodeHint(outcome.ExitCode) +
         " after " + Seconds(elapsedMs) + ".\r\n";
}

bool ServiceMayRunScripts(const TServiceFacts& service) {
  return service.OpenError == 0 && service.StatusError == 0 && service.State != 0 &&
         service.State != SERVICE_STOPPED;
}

int RunTestCommand(const std::string& script, const std::string& serviceName,
                   const TTestOutput& out) {
  const TScriptScheduleRow* row = FindScheduledScript(script);
  if (row == nullptr) {
    out.Write((script.empty() ? std::string("No script named")
                              : "\"" + script + "\" is not one of the scripts") +
              ". Name one of these (letter case does not matter):\r\n" + ScriptNames());
    return 2;
  }
  if (ServiceMayRunScripts(ReadServiceFacts(serviceName)))
    out.Write("Note: the service " + serviceName +
              " is running and runs this script on its own schedule: its run and this one may "
              "overlap.\r\n");

  const std::string configPath = ConfigFilePath();
  TAgentSettings settings;
  try {
    settings = ReadAgentSettings(configPath);
  } catch (const EFOpenError& e) {
    out.Write(std::string("The settings cannot be read: ") + e.what() + "\r\n");
    return 2;
  }
  for (const auto& [key, value] :
       {std::pair<const char*, const std::string&>{"PHP_EXE_PATH", settings.PhpExePath},
        {"WEB_ROOT_PATH", settings.WebRootPath}})
    if (value.empty())
      out.Write(std::string(key) + " is not set in " + configPath +
                " (the service's runs fail the same way; brenlow.exe --check shows every "
                "setting).\r\n");

  // The service's children start in the system folder, and an interpreter that misses a DLL
  // must fail at once rather than wait for someone to close the system's error box: the same
  // here, so that relative paths and such failures come out as they do for the service.
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, sizeof(system));
  if (length > 0 && length < sizeof(system)) SetCurrentDirectoryA(system);
  SetErrorMode(kServiceErrorMode);

  const std::string commandLine =
      ScriptCommandLine(settings.PhpExePath, settings.WebRootPath, row->ScriptFile);
  const int32_t timeLimitMs = ScriptTimeLimitFromSetting(settings.ScriptTimeLimit);
  out.Write("Settings: " + configPath + "\r\nCommand line: " + commandLine + "\r\nTime limit: " +
            (timeLimitMs > 0 ? std::to_string(timeLimitMs / 1000) + " s (ScriptTimeLimit)"
                             : std::string("none (ScriptTimeLimit is not set)")) +
            "\r\nAccount: " + AccountName() + " (the service runs as LocalSystem)\r\n" +
            "--- the script's standard output and standard error, as they come ---\r\n");

  // The sink is called on this thread as the pieces arrive; each write goes out at once (the
  // writers are unbuffered), so the reader sees the output as the script writes it.
  TShownStream shown[2] = {TShownStream(kTestShownBytes), TShownStream(kTestShownBytes)};
  char last = '\n';
  const auto sink = [&](TOutputStream stream, const char* data, size_t size) {
    const size_t take = shown[stream == osError].Take(size);
    if (take == 0) return;
    (stream == osError ? out.WriteError : out.Write)(std::string(data, take));
    last = data[take - 1];
  };
  const ULONGLONG started = GetTickCount64();
  const TChildOutcome outcome = ExecuteAndStream(commandLine, sink, ScriptRunOptions(timeLimitMs));
  const ULONGLONG elapsed = GetTickCount64() - started;

  std::string end = last == '\n' ? "" : "\r\n";
  end += "--- end of the script's output ---\r\n";
  const char* names[2] = {"standard output", "standard error"};
  for (int i = 0; i < 2; ++i)
    if (shown[i].LeftOut() > 0)
      end += "The script's " + std::string(names[i]) + " was cut after " +
             std::to_string(kTestShownBytes) + " bytes: " + std::to_string(shown[i].LeftOut()) +
             " of its " + std::to_string(shown[i].Total()) + " bytes were left out.\r\n";
  out.Write(end + TestOutcomeLine(outcome, elapsed, timeLimitMs));
  return TestExitCode(outcome);
}

}  // namespace brenlow
