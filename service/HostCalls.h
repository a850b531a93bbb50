#pragma once
// Everything the service host asks of Windows: the service manager, the control thread's message
// queue, the host's own event log writer and standard output. The host makes these calls only
// through this interface, so its decisions can be exercised against a stand-in service manager;
// TWin32HostCalls binds the real functions.

#include <windows.h>

#include <string>

namespace brenlow {

class TServiceHostCalls {
 public:
  virtual ~TServiceHostCalls() = default;

  // Service manager (advapi32), with the parameters of the functions they stand for.
  virtual SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) = 0;
  virtual SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access,
                                   DWORD serviceType, DWORD startType, DWORD errorControl,
                                   LPCSTR binaryPath, LPCSTR loadOrderGroup, LPDWORD tagId,
                                   LPCSTR dependencies, LPCSTR startName, LPCSTR password) = 0;
  virtual BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, LPVOID info) = 0;
  virtual SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) = 0;
  virtual BOOL DeleteService(SC_HANDLE service) = 0;
  virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;
  virtual BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) = 0;
  virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR name,
                                                              LPHANDLER_FUNCTION_EX handler,
                                                              LPVOID context) = 0;
  virtual BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) = 0;
  // Thread message queue (user32).
  virtual BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // The calling thread's error code of the last failing call above.
  virtual DWORD GetLastError() = 0;

  // ServiceEventLog: the host's writer, named after the executable. It is created on its first
  // use, which also registers its event source. Writing never fails towards the caller.
  virtual void ServiceLogError(const std::string& text) = 0;
  virtual void ServiceLogInfo(const std::string& text) = 0;
  // Removes the registration of the writer's event source (creating the writer first if need be).
  virtual void ServiceLogUnregisterSource() = 0;

  // Standard output, bytes as given.
  virtual void WriteOutput(const std::string& text) = 0;
};

}  // namespace brenlow
