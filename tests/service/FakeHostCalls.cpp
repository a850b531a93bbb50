#include "tests/service/FakeHostCalls.h"

#include <chrono>
#include <cstring>

namespace brenlow::test {
namespace {

const auto kScriptDeadline = std::chrono::seconds(20);
const SERVICE_STATUS_HANDLE kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5000);

}  // namespace

FakeHostCalls::~FakeHostCalls() {
  if (!serviceMain_.joinable()) return;
  // A service that never stopped would keep its service main waiting: let the test fail
  // instead of hanging.
  if (timedOut)
    serviceMain_.detach();
  else
    serviceMain_.join();
}

std::vector<SERVICE_STATUS> FakeHostCalls::Statuses() const {
  std::lock_guard lock(mutex_);
  return statuses_;
}

std::vector<DWORD> FakeHostCalls::States() const {
  std::vector<DWORD> states;
  for (const auto& s : Statuses()) states.push_back(s.dwCurrentState);
  return states;
}

std::vector<FakeHostCalls::Entry> FakeHostCalls::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

bool FakeHostCalls::Fails(const std::string& call) {
  std::lock_guard lock(mutex_);
  calls.push_back(call);
  const std::string name = call.substr(0, call.find(' '));
  const auto it = failWith.find(name);
  if (it == failWith.end()) return false;
  if (const auto times = failTimes.find(name); times != failTimes.end() && times->second-- <= 0)
    return false;
  ::SetLastError(it->second);
  return true;
}

SC_HANDLE FakeHostCalls::NewHandle(const std::string& service) {
  const SC_HANDLE h = reinterpret_cast<SC_HANDLE>(static_cast<UINT_PTR>(nextHandle_++));
  openHandles.insert(h);
  handleService_[h] = service;
  return h;
}

SC_HANDLE FakeHostCalls::OpenSCManagerA(LPCSTR, LPCSTR, DWORD access) {
  if (Fails("OpenSCManagerA " + std::to_string(access))) return nullptr;
  return NewHandle("");
}

SC_HANDLE FakeHostCalls::CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName,
                                        DWORD access, DWORD serviceType, DWORD startType,
                                        DWORD errorControl, LPCSTR binaryPath,
                                        LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                        LPCSTR startName, LPCSTR password) {
  if (Fails(std::string("CreateServiceA ") + name)) return nullptr;
  if (!openHandles.count(manager)) return ::SetLastError(ERROR_INVALID_HANDLE), nullptr;
  if (services.count(name)) return ::SetLastError(ERROR_SERVICE_EXISTS), nullptr;
  Service s;
  s.displayName = displayName;
  s.binaryPath = binaryPath;
  s.loadOrderGroup = loadOrderGroup;
  s.access = access;
  s.serviceType = serviceType;
  s.startType = startType;
  s.errorControl = errorControl;
  s.tagRequested = tagId != nullptr;
  if (tagId) *tagId = tagToAssign;
  if (dependencies) {
    const char* p = dependencies;
    while (*p) p += std::strlen(p) + 1;
    s.dependencies.assign(dependencies, static_cast<std::size_t>(p - dependencies) + 1);
  }
  s.startNameNull = startName == nullptr;
  s.passwordNull = password == nullptr;
  services[name] = s;
  return NewHandle(name);
}

BOOL FakeHostCalls::ChangeServiceConfig2A(SC_HANDLE service, DWORD level, LPVOID info) {
  if (Fails("ChangeServiceConfig2A " + handleService_[service] + " " + std::to_string(level)))
    return FALSE;
  Service& s = services[handleService_[service]];
  if (level == SERVICE_CONFIG_DESCRIPTION)
    s.description = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
  if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
    const auto* f = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
    s.failureActionsSet = true;
    s.resetPeriod = f->dwResetPeriod;
    s.rebootMsgNull = f->lpRebootMsg == nullptr;
    s.commandNull = f->lpCommand == nullptr;
    s.failureActions.clear();
    for (DWORD i = 0; i < f->cActions; ++i)
      s.failureActions.emplace_back(f->lpsaActions[i].Type, f->lpsaActions[i].Delay);
  }
  return TRUE;
}

SC_HANDLE FakeHostCalls::OpenServiceA(SC_HANDLE, LPCSTR name, DWORD access) {
  if (Fails(std::string("OpenServiceA ") + name + " " + std::to_string(access))) return nullptr;
  if (!services.count(name)) return ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
  return NewHandle(name);
}

BOOL FakeHostCalls::DeleteService(SC_HANDLE service) {
  if (Fails("DeleteService " + handleService_[service])) return FALSE;
  services.erase(handleService_[service]);
  return TRUE;
}

BOOL FakeHostCalls::CloseServiceHandle(SC_HANDLE handle) {
  if (Fails("CloseServiceHandle " + handleService_[handle])) return FALSE;
  if (openHandles.erase(handle) == 0) return ::SetLastError(ERROR_INVALID_HANDLE), FALSE;
  return TRUE;
}

BOOL FakeHostCalls::StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (Fails("StartServiceCtrlDispatcherA")) return FALSE;
  for (const auto* e = table; e->lpServiceName != nullptr; ++e)
    dispatchNames.push_back(e->lpServiceName);
  const LPSERVICE_MAIN_FUNCTIONA main = table[0].lpServiceProc;
  serviceMain_ = std::thread([this, main] {
    std::vector<std::string> args = serviceMainArgs;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    main(static_cast<DWORD>(argv.size()), argv.data());
    std::lock_guard lock(mutex_);
    mainReturned_ = true;
    changed_.notify_all();
  });
  // Deliver the script's controls on this thread, each once its awaited state was reported.
  std::size_t seen = 0;
  for (const Step& step : script) {
    const bool reached = step.awaitState == 0 || WaitUntil([&] {
                           for (std::size_t i = seen; i < statuses_.size(); ++i)
                             if (statuses_[i].dwCurrentState == step.awaitState)
                               return seen = i + 1, true;
                           return false;
                         });
    if (!reached) break;
    LPHANDLER_FUNCTION_EX handler;
    LPVOID context;
    {
      std::lock_guard lock(mutex_);
      handler = handler_;
      context = context_;
    }
    if (handler) handler(step.control, 0, nullptr, context);
  }
  // The dispatcher returns once the service has stopped (or its service main gave up).
  WaitUntil([&] {
    if (mainReturned_) return true;
    for (const auto& s : statuses_)
      if (s.dwCurrentState == SERVICE_STOPPED) return true;
    return false;
  });
  return TRUE;
}

bool FakeHostCalls::WaitUntil(const std::function<bool()>& done) {
  std::unique_lock lock(mutex_);
  if (changed_.wait_for(lock, kScriptDeadline, done)) return true;
  timedOut = true;
  return false;
}

SERVICE_STATUS_HANDLE FakeHostCalls::RegisterServiceCtrlHandlerExA(LPCSTR name,
                                                                   LPHANDLER_FUNCTION_EX handler,
                                                                   LPVOID context) {
  if (Fails(std::string("RegisterServiceCtrlHandlerExA ") + name)) return nullptr;
  std::lock_guard lock(mutex_);
  handler_ = handler;
  context_ = context;
  return kStatusHandle;
}

BOOL FakeHostCalls::SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  if (Fails("SetServiceStatus")) return FALSE;
  if (handle != kStatusHandle) return ::SetLastError(ERROR_INVALID_HANDLE), FALSE;
  std::lock_guard lock(mutex_);
  statuses_.push_back(*status);
  changed_.notify_all();
  return TRUE;
}

BOOL FakeHostCalls::PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  if (Fails("PostThreadMessageA " + std::to_string(message) + " " + std::to_string(wParam)))
    return FALSE;
  return ::PostThreadMessageA(threadId, message, wParam, lParam);
}

void FakeHostCalls::ServiceLogError(const std::string& text) {
  std::lock_guard lock(mutex_);
  log_.push_back({'E', text});
}

void FakeHostCalls::ServiceLogInfo(const std::string& text) {
  std::lock_guard lock(mutex_);
  log_.push_back({'I', text});
}

void FakeHostCalls::ServiceLogUnregisterSource() {
  std::lock_guard lock(mutex_);
  calls.push_back("ServiceLogUnregisterSource");
}

void FakeHostCalls::WriteOutput(const std::string& text) {
  std::lock_guard lock(mutex_);
  output += text;
}

}  // namespace brenlow::test
