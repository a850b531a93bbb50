#pragma once
// The host's calls bound to the real Windows functions, and ServiceEventLog: the host's own
// event log writer, named after the executable, created on its first use.

#include <memory>
#include <mutex>

#include "service/HostCalls.h"

namespace brenlow {

class TEventLog;

class TWin32HostCalls : public TServiceHostCalls {
 public:
  TWin32HostCalls();
  ~TWin32HostCalls() override;

  SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) override;
  SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access,
                           DWORD serviceType, DWORD startType, DWORD errorControl,
                           LPCSTR binaryPath, LPCSTR loadOrderGroup, LPDWORD tagId,
                           LPCSTR dependencies, LPCSTR startName, LPCSTR password) override;
  BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, LPVOID info) override;
  SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) override;
  BOOL DeleteService(SC_HANDLE service) override;
  BOOL CloseServiceHandle(SC_HANDLE handle) override;
  BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) override;
  SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX handler,
                                                      LPVOID context) override;
  BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) override;
  BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) override;
  DWORD GetLastError() override;

  void ServiceLogError(const std::string& text) override;
  void ServiceLogInfo(const std::string& text) override;
  void ServiceLogUnregisterSource() override;

  void WriteOutput(const std::string& text) override;

 private:
  TEventLog& ServiceEventLog();

  std::once_flag logCreated_;
  std::unique_ptr<TEventLog> log_;
};

}  // namespace brenlow
