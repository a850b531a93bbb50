#pragma once
// A small client of the service manager, as an administrator's tool would use it: reads a
// service's stored configuration and status, sends controls, and removes a service.

#include <windows.h>

#include <string>

namespace brenlow::test {

struct StoredConfig {
  bool found = false;
  DWORD serviceType = 0, startType = 0, errorControl = 0;
  std::string binaryPath, displayName, description, startName;
};

// QueryServiceConfigA and QueryServiceConfig2A (description).
StoredConfig QueryStoredConfig(const std::string& name);

struct ServiceState {
  bool found = false;
  DWORD state = 0, controlsAccepted = 0, win32ExitCode = 0, processId = 0, waitHint = 0;
};

// QueryServiceStatusEx.
ServiceState QueryState(const std::string& name);

// StartServiceA; 0 or the error code.
DWORD StartNamedService(const std::string& name);
// ControlService; 0 or the error code.
DWORD SendControl(const std::string& name, DWORD control);

// Waits (up to timeoutMs) until the service reports `state`.
bool WaitForState(const std::string& name, DWORD state, DWORD timeoutMs = 20000);

// Stops the service if it runs, ends its process if it does not stop, and deletes it.
// Does nothing for a service that does not exist.
void RemoveService(const std::string& name);

// True when the key exists under HKEY_LOCAL_MACHINE.
bool MachineKeyExists(const std::string& path);

}  // namespace brenlow::test
