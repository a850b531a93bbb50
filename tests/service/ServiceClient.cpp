#include "tests/service/ServiceClient.h"

#include <vector>

#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

UniqueServiceHandle OpenNamed(const std::string& name, DWORD access) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return {};
  return UniqueServiceHandle(OpenServiceA(manager.get(), name.c_str(), access));
}

}  // namespace

StoredConfig QueryStoredConfig(const std::string& name) {
  StoredConfig result;
  const UniqueServiceHandle service = OpenNamed(name, SERVICE_QUERY_CONFIG);
  if (!service) return result;
  DWORD needed = 0;
  QueryServiceConfigA(service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!QueryServiceConfigA(service.get(), config, static_cast<DWORD>(buffer.size()), &needed))
    return result;
  result.found = true;
  result.serviceType = config->dwServiceType;
  result.startType = config->dwStartType;
  result.errorControl = config->dwErrorControl;
  result.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : "";
  result.displayName = config->lpDisplayName ? config->lpDisplayName : "";
  result.startName = config->lpServiceStartName ? config->lpServiceStartName : "";

  QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<BYTE> more(needed + sizeof(SERVICE_DESCRIPTIONA));
  auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(more.data());
  if (QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, more.data(),
                           static_cast<DWORD>(more.size()), &needed) &&
      description->lpDescription != nullptr)
    result.description = description->lpDescription;
  return result;
}

ServiceState QueryState(const std::string& name) {
  ServiceState result;
  const UniqueServiceHandle service = OpenNamed(name, SERVICE_QUERY_STATUS);
  if (!service) return result;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed))
    return result;
  result.found = true;
  result.state = status.dwCurrentState;
  result.controlsAccepted = status.dwControlsAccepted;
  result.win32ExitCode = status.dwWin32ExitCode;
  result.processId = status.dwProcessId;
  result.waitHint = status.dwWaitHint;
  return result;
}

DWORD StartNamedService(const std::string& name) {
  const UniqueServiceHandle service = OpenNamed(name, SERVICE_START);
  if (!service) return GetLastError();
  return StartServiceA(service.get(), 0, nullptr) ? 0 : GetLastError();
}

DWORD SendControl(const std::string& name, DWORD control) {
  const UniqueServiceHandle service =
      OpenNamed(name, SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                          SERVICE_USER_DEFINED_CONTROL);
  if (!service) return GetLastError();
  SERVICE_STATUS status{};
  return ControlService(service.get(), control, &status) ? 0 : GetLastError();
}

bool WaitForState(const std::string& name, DWORD state, DWORD timeoutMs) {
  return WaitFor([&] { return QueryState(name).state == state; }, timeoutMs);
}

void RemoveService(const std::string& name) {
  const ServiceState before = QueryState(name);
  if (!before.found) return;
  if (before.state != SERVICE_STOPPED) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, before.processId));
    SendControl(name, SERVICE_CONTROL_STOP);
    if (!WaitForState(name, SERVICE_STOPPED, 10000) && process) TerminateProcess(process.get(), 1);
    if (process) WaitForSingleObject(process.get(), 10000);
  }
  const UniqueServiceHandle service = OpenNamed(name, DELETE);
  if (service) DeleteService(service.get());
}

bool MachineKeyExists(const std::string& path) {
  UniqueRegKey key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

}  // namespace brenlow::test
