#include "check/CheckCommand.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "agent/ExecuteAndCollect.h"
#include "agent/QRXProxyCheckerUnit.h"
#include "agent/WorkerThread.h"
#include "check/Checks.h"
#include "check/ServiceCheck.h"
#include "status/StatusBoard.h"
#include "status/StatusLayout.h"

namespace brenlow {
namespace {

// The checks in the order they are made and shown. Those of the files the service reads and
// runs are also made at every start; the companion and the service are what the start itself
// brings up. Who may change the files comes right after the settings that name them and before
// anything is run: the interpreter's run is left out when others may have replaced it, and the
// lines that say why come first.
struct TCheckGroup {
  const char* Name;
  bool AtStart;
  std::vector<TCheckLine> (*Run)(TCheckedLayout& layout);
};
constexpr TCheckGroup kCheckGroups[] = {
    {"settings", true, [](TCheckedLayout& layout) { return CheckSettings(layout); }},
    {"permissions", true, [](TCheckedLayout& layout) { return CheckPermissions(layout); }},
    {"interpreter", true, [](TCheckedLayout& layout) { return CheckInterpreter(layout); }},
    {"scripts", true, [](TCheckedLayout& layout) { return CheckScripts(layout); }},
    {"companion", false, [](TCheckedLayout& layout) { return CheckCompanion(layout); }},
    {"service", false, [](TCheckedLayout& layout) { return CheckService(layout.ProgramPath); }},
};

// The lines of the groups asked for, each group's passed to write as soon as it is done. A
// group that cannot complete is a finding too, never the end of the check.
std::vector<TCheckLine> RunGroups(bool atStartOnly,
                                  const std::function<void(const std::vector<TCheckLine>&)>& write,
                                  const std::optional<TAgentSettings>& loaded = std::nullopt) {
  TCheckedLayout layout = LayoutOfThisProgram();
  layout.Loaded = loaded;
  std::vector<TCheckLine> lines;
  for (const TCheckGroup& group : kCheckGroups) {
    if (atStartOnly && !group.AtStart) continue;
    std::vector<TCheckLine> found;
    try {
      found = group.Run(layout);
    } catch (const std::exception& e) {
      found = {
          {clFail, std::string(group.Name) + ": the check could not be completed: " + e.what()}};
    } catch (...) {
      found = {{clFail, std::string(group.Name) + ": the check could not be completed"}};
    }
    write(found);
    lines.insert(lines.end(), found.begin(), found.end());
  }
  return lines;
}

class TStartupCheckThread final : public TWorkerThread {
 public:
  static void Start(const TAgentSettings& loaded) {
    StartSelfReleasing(std::shared_ptr<TWorkerThread>(new TStartupCheckThread(loaded)));
  }

 protected:
  explicit TStartupCheckThread(TAgentSettings loaded) : loaded_(std::move(loaded)) {}

  void Execute() override {
    const std::vector<TCheckLine> problems = Problems(StartChecks(loaded_));
    // The failures stay in the live status for monitoring to see; the Warning lists them all.
    std::vector<std::string> failures;
    for (const TCheckLine& line : problems)
      if (line.Level == clFail) failures.push_back(line.Text);
    ServiceStatusBoard().SetTexts(status_value::kStartCheckFailures, failures);
    const std::string warning = StartWarningText(problems);
    if (!warning.empty()) AgentEventLog().LogWarning(warning);
  }

 private:
  const TAgentSettings loaded_;
};

}  // namespace

std::vector<TCheckLine> StartChecks(const TAgentSettings& loaded) {
  return RunGroups(
      true, [](const std::vector<TCheckLine>&) {}, loaded);
}

int RunCheckCommand(const std::function<void(const std::string&)>& write) {
  // An interpreter that misses a DLL must fail at once rather than wait for someone to close
  // the system's error box; the child inherits this mode.
  SetErrorMode(kServiceErrorMode);
  return CheckExitCode(RunGroups(
      false, [&write](const std::vector<TCheckLine>& group) { write(FormatCheckLines(group)); }));
}

std::string StartWarningText(const std::vector<TCheckLine>& problems) {
  if (problems.empty()) return {};
  std::string text = FormatCheckLines(problems);
  text.resize(text.size() - 2);  // the last line end
  return "The service started, but its checks found these problems (brenlow.exe --check shows "
         "every check):\r\n" +
         text;
}

void StartStartupCheck(const TAgentSettings& loaded) { TStartupCheckThread::Start(loaded); }

}  // namespace brenlow
