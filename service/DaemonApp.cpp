#include "service/DaemonApp.h"

#include <atomic>

#include "common/SystemError.h"
#include "service/CommandLine.h"
#include "service/DaemonErrors.h"

namespace brenlow {
namespace {

std::atomic<TCustomDaemonApplication*> currentApplication{nullptr};

// The exit code of a command that failed outside its own handling. The administrator's commands
// speak a monitor's language: 1 would read as a mere WARNING, so --check ends as a FAIL (2) and
// --status as UNKNOWN (3).
int FailedCommandExitCode(TDaemonCommand command) {
  return command == dcCheck ? 2 : command == dcStatus ? 3 : 1;
}

}  // namespace

void TDaemonRegistry::RegisterDaemonMapper(const std::string& className,
                                           TDaemonMapperFactory factory) {
  if (mapper_)
    RaiseDaemonError("Not changing daemon mapper class " + mapperClassName_ + " with " + className +
                     ": Only 1 mapper allowed.");
  mapperClassName_ = className;
  mapper_ = std::move(factory);
}

void TDaemonRegistry::RegisterDaemonClass(const std::string& className, TDaemonFactory factory) {
  classes_[className] = std::move(factory);
}

bool TDaemonRegistry::HasDaemonClass(const std::string& className) const {
  return classes_.count(className) != 0;
}

std::unique_ptr<TDaemon> TDaemonRegistry::CreateDaemon(const std::string& className) const {
  const auto it = classes_.find(className);
  if (it == classes_.end()) RaiseDaemonError("Unknown daemon class name: " + className);
  return it->second();
}

TCustomDaemonApplication::TCustomDaemonApplication(const TDaemonRegistry& registry,
                                                   TServiceHostCalls& calls,
                                                   std::vector<std::string> args,
                                                   THostOptions options)
    : registry_(registry), calls_(calls), args_(std::move(args)), options_(options) {
  currentApplication = this;
}

TCustomDaemonApplication::~TCustomDaemonApplication() {
  if (mapper_ && mapper_->OnDestroy) mapper_->OnDestroy(mapper_.get());
  currentApplication = nullptr;
}

TCustomDaemonApplication* TCustomDaemonApplication::Current() { return currentApplication; }

int TCustomDaemonApplication::Run() {
  const TDaemonCommand command = FindCommand(args_);
  try {
    CreateDaemonDefs();
    switch (command) {
      case dcInstall:
        InstallDaemons();
        return 0;
      case dcUninstall:
        UninstallDaemons();
        return 0;
      case dcRun:
        return RunDaemons() ? 0 : 1;
      case dcCheck:
        if (options_.Check) return options_.Check();
        break;
      case dcStatus:
        if (options_.Status) return options_.Status(StatusAsJson(args_));
        break;
      case dcTest:
        if (options_.Test) return options_.Test(TestScriptArgument(args_));
        break;
      case dcVersion:
        if (options_.Version) return options_.Version();
        break;
      case dcUsage:
        break;
    }
    calls_.WriteOutput(UsageText(ExecutablePath()));
    return 0;
  } catch (const EHostError& e) {
    ShowException(e.Address, e.ClassName(), e.what());
  } catch (const std::exception& e) {
    ShowException(nullptr, "Exception", e.what());
  }
  return FailedCommandExitCode(command);
}

void TCustomDaemonApplication::CreateDaemonDefs() {
  if (!registry_.HasDaemonMapper()) RaiseDaemonError("No daemon mapper class registered.");
  mapper_ = registry_.CreateDaemonMapper();
  if (mapper_->OnCreate) mapper_->OnCreate(mapper_.get());
  const TDaemonDefs& defs = mapper_->DaemonDefs;
  for (std::size_t i = 0; i < defs.Count(); ++i)
    if (!registry_.HasDaemonClass(defs[i].DaemonClassName))
      RaiseDaemonError("Unknown daemon class name: " + defs[i].DaemonClassName);
}

std::unique_ptr<TDaemon> TCustomDaemonApplication::CreateDaemon(TDaemonDef& def) const {
  std::unique_ptr<TDaemon> daemon = registry_.CreateDaemon(def.DaemonClassName);
  daemon->Definition = &def;
  return daemon;
}

void TCustomDaemonApplication::ShowException(const void* address, const std::string& kind,
                                             const std::string& message) {
  calls_.ServiceLogError(message);
  calls_.WriteOutput(ExceptionText(address, kind, message) + "\r\n");
}

bool TCustomDaemonApplication::RunDaemons() {
  if (mapper_->OnRun) mapper_->OnRun(mapper_.get());
  TDaemonDefs& defs = mapper_->DaemonDefs;
  std::vector<SERVICE_TABLE_ENTRYA> table;
  std::vector<std::string> names;
  names.reserve(defs.Count());
  for (std::size_t i = 0; i < defs.Count(); ++i) {
    if (!defs[i].Enabled) continue;
    daemons_.push_back(CreateDaemon(defs[i]));
    controllers_.push_back(std::make_unique<TDaemonController>(calls_, daemons_.back().get(),
                                                               options_.ControlThreadStackSize));
    daemons_.back()->Controller = controllers_.back().get();
    names.push_back(defs[i].Name());
    table.push_back({names.back().data(), &ServiceMain});
  }
  table.push_back({nullptr, nullptr});

  const BOOL dispatched = calls_.StartServiceCtrlDispatcherA(table.data());
  const DWORD error = dispatched ? 0 : calls_.GetLastError();

  // The dispatcher returns once every service has reported stopped; the service mains may still
  // be finishing. Give them time before their objects go away, and if one does not return, let
  // the objects go with the process rather than pull them from under it.
  bool idle = true;
  for (const auto& c : controllers_) idle = c->WaitIdle(options_.TeardownWaitMs) && idle;
  if (!idle) {
    for (auto& d : daemons_) static_cast<void>(d.release());
    for (auto& c : controllers_) static_cast<void>(c.release());
  }

  if (!dispatched) {
    calls_.ServiceLogError("Failed to start service manager: " + SystemErrorText(error));
    return false;
  }
  return true;
}

void WINAPI TCustomDaemonApplication::ServiceMain(DWORD argc, LPSTR* argv) {
  TCustomDaemonApplication* app = Current();
  if (app == nullptr) return;
  if (TDaemonController* controller = app->FindController(argc, argv)) controller->Main(argc, argv);
}

TDaemonController* TCustomDaemonApplication::FindController(DWORD argc, LPSTR* argv) {
  const TDaemonDef* def = nullptr;
  if (argc > 0) {
    def = mapper_->DaemonDefs.FindByName(argv[0] ? argv[0] : "");
  } else if (mapper_->DaemonDefs.Count() == 1) {
    def = &mapper_->DaemonDefs[0];
  }
  for (const auto& c : controllers_)
    if (def != nullptr && c->Daemon->Definition == def) return c.get();
  return nullptr;
}

}  // namespace brenlow
