#include "service/Win32HostCalls.h"

#include "eventlog/EventLog.h"

namespace brenlow {

TWin32HostCalls::TWin32HostCalls() = default;
TWin32HostCalls::~TWin32HostCalls() = default;

SC_HANDLE TWin32HostCalls::OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  return ::OpenSCManagerA(machine, database, access);
}

SC_HANDLE TWin32HostCalls::CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName,
                                          DWORD access, DWORD serviceType, DWORD startType,
                                          DWORD errorControl, LPCSTR binaryPath,
                                          LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                          LPCSTR startName, LPCSTR password) {
  return ::CreateServiceA(manager, name, displayName, access, serviceType, startType, errorControl,
                          binaryPath, loadOrderGroup, tagId, dependencies, startName, password);
}

BOOL TWin32HostCalls::ChangeServiceConfig2A(SC_HANDLE service, DWORD level, LPVOID info) {
  return ::ChangeServiceConfig2A(service, level, info);
}

SC_HANDLE TWin32HostCalls::OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
  return ::OpenServiceA(manager, name, access);
}

BOOL TWin32HostCalls::DeleteService(SC_HANDLE service) { return ::DeleteService(service); }

BOOL TWin32HostCalls::CloseServiceHandle(SC_HANDLE handle) { return ::CloseServiceHandle(handle); }

BOOL TWin32HostCalls::StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  return ::StartServiceCtrlDispatcherA(table);
}

SERVICE_STATUS_HANDLE TWin32HostCalls::RegisterServiceCtrlHandlerExA(LPCSTR name,
                                                                     LPHANDLER_FUNCTION_EX handler,
                                                                     LPVOID context) {
  return ::RegisterServiceCtrlHandlerExA(name, handler, context);
}

BOOL TWin32HostCalls::SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  return ::SetServiceStatus(handle, status);
}

BOOL TWin32HostCalls::PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
  return ::PostThreadMessageA(threadId, message, wParam, lParam);
}

DWORD TWin32HostCalls::GetLastError() { return ::GetLastError(); }

TEventLog& TWin32HostCalls::ServiceEventLog() {
  // The host writes from the main thread, the service main and the control thread: the writer
  // is created, and its source registered, exactly once. Its Identification stays empty, so the
  // source is the executable's base name.
  std::call_once(logCreated_, [this] {
    log_ = std::make_unique<TEventLog>();
    log_->RegisterSource("");
  });
  return *log_;
}

void TWin32HostCalls::ServiceLogError(const std::string& text) {
  ServiceEventLog().LogEntry(etError, text);
}

void TWin32HostCalls::ServiceLogInfo(const std::string& text) {
  ServiceEventLog().LogEntry(etInfo, text);
}

void TWin32HostCalls::ServiceLogUnregisterSource() { ServiceEventLog().UnregisterSource(); }

void TWin32HostCalls::WriteOutput(const std::string& text) {
  // Written as bytes: the texts carry their own line ends.
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace brenlow
