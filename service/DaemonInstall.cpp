// Install and uninstall: the definitions turned into service-manager calls.

#include <algorithm>
#include <vector>

#include "common/SystemError.h"
#include "service/DaemonApp.h"
#include "service/DaemonErrors.h"

namespace brenlow {
namespace {

// Owns a service-manager handle and closes it through the host's calls. Closing keeps the
// error code of the call that failed before it.
class TServiceHandle {
 public:
  TServiceHandle(TServiceHostCalls& calls, SC_HANDLE handle) : calls_(calls), handle_(handle) {}
  ~TServiceHandle() {
    if (handle_ == nullptr) return;
    const DWORD error = ::GetLastError();
    calls_.CloseServiceHandle(handle_);
    ::SetLastError(error);
  }
  TServiceHandle(const TServiceHandle&) = delete;
  TServiceHandle& operator=(const TServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  TServiceHostCalls& calls_;
  SC_HANDLE handle_;
};

const char* NullIfEmpty(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

void TCustomDaemonApplication::InstallDaemons() {
  TServiceHandle manager(calls_, calls_.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.get() == nullptr) RaiseOSError(calls_.GetLastError());
  if (mapper_->OnInstall) mapper_->OnInstall(mapper_.get());
  TDaemonDefs& defs = mapper_->DaemonDefs;
  for (std::size_t i = 0; i < defs.Count(); ++i) {
    if (!defs[i].Enabled) continue;
    const std::unique_ptr<TDaemon> daemon = CreateDaemon(defs[i]);
    if (daemon->BeforeInstall) daemon->BeforeInstall(daemon.get());
    CreateServiceFor(manager.get(), defs[i]);
    if (daemon->AfterInstall) daemon->AfterInstall(daemon.get());
  }
}

void TCustomDaemonApplication::CreateServiceFor(SC_HANDLE manager, TDaemonDef& def) {
  TWinBindings& w = def.WinBindings;
  const std::string commandLine = ServiceCommandLine(ExecutablePath(), def.RunArguments);
  const std::string dependencies = DependenciesText(w.Dependencies);
  const auto create = [&] {
    return calls_.CreateServiceA(
        manager, def.Name().c_str(), def.DisplayName.c_str(), SERVICE_ALL_ACCESS,
        InstallServiceType(def, mapper_->DaemonDefs.Count()), InstallStartType(def),
        ErrorControlValue(w.ErrorSeverity), commandLine.c_str(), w.GroupName.c_str(),
        w.IDTag == 0 ? nullptr : &w.IDTag, dependencies.empty() ? nullptr : dependencies.data(),
        NullIfEmpty(w.UserName), NullIfEmpty(w.Password));
  };
  // A service deleted a moment ago (by the package, on an upgrade) stays marked for deletion
  // until the last program that holds a handle to it, such as an open Services console, lets
  // go: wait a while for that rather than fail at once. Any other error fails at once.
  const ULONGLONG deadline = GetTickCount64() + options_.MarkedForDeleteWaitMs;
  SC_HANDLE created = nullptr;
  while ((created = create()) == nullptr) {
    const DWORD error = calls_.GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE || now >= deadline) RaiseOSError(error);
    Sleep(static_cast<DWORD>(std::min<ULONGLONG>(options_.MarkedForDeletePauseMs, deadline - now)));
  }
  TServiceHandle service(calls_, created);
  std::string description = def.Description;
  SERVICE_DESCRIPTIONA info{description.data()};
  // A service without its description is still a working service.
  calls_.ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &info);
  if (!w.RestartDelays.empty()) {
    std::vector<SC_ACTION> actions;
    for (const DWORD delay : w.RestartDelays) actions.push_back({SC_ACTION_RESTART, delay});
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = w.FailureResetPeriod;
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    // No reboot message and no command. Like the description, the recovery settings are not
    // worth failing the install for.
    calls_.ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  }
}

void TCustomDaemonApplication::UninstallDaemons() {
  calls_.ServiceLogUnregisterSource();
  TServiceHandle manager(calls_, calls_.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.get() == nullptr) RaiseOSError(calls_.GetLastError());
  if (mapper_->OnUnInstall) mapper_->OnUnInstall(mapper_.get());
  TDaemonDefs& defs = mapper_->DaemonDefs;
  for (std::size_t i = defs.Count(); i-- > 0;) {
    if (!defs[i].Enabled) continue;
    const std::unique_ptr<TDaemon> daemon = CreateDaemon(defs[i]);
    if (daemon->BeforeUnInstall) daemon->BeforeUnInstall(daemon.get());
    {
      TServiceHandle service(
          calls_, calls_.OpenServiceA(manager.get(), defs[i].Name().c_str(), SERVICE_ALL_ACCESS));
      if (service.get() == nullptr) RaiseOSError(calls_.GetLastError());
      if (!calls_.DeleteService(service.get())) RaiseOSError(calls_.GetLastError());
    }
    if (daemon->AfterUnInstall) daemon->AfterUnInstall(daemon.get());
  }
}

}  // namespace brenlow
