#include "service/ServiceQuery.h"

#include "common/UniqueHandle.h"

namespace brenlow {
namespace {

// Fills buffer by a query that says how much room it needs; the error of the failed call, or 0.
template <typename Query>
DWORD QueryGrowing(std::vector<BYTE>& buffer, Query query) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD needed = 0;
    if (query(buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return error;
    buffer.resize(needed);
  }
  return ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace

TServiceFacts ReadServiceFacts(const std::string& serviceName) {
  TServiceFacts facts;
  const UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    facts.OpenError = GetLastError();
    return facts;
  }
  UniqueServiceHandle service(OpenServiceA(manager.get(), serviceName.c_str(),
                                           SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
  DWORD configDenied = 0;
  if (!service && GetLastError() == ERROR_ACCESS_DENIED) {
    // The state alone is still worth having.
    configDenied = ERROR_ACCESS_DENIED;
    service.reset(OpenServiceA(manager.get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
  }
  if (!service) {
    facts.OpenError = GetLastError();
    return facts;
  }
  std::vector<BYTE> buffer(4096);
  facts.ConfigError =
      configDenied != 0
          ? configDenied
          : QueryGrowing(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
              return QueryServiceConfigA(
                  service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(data), size, needed);
            });
  if (facts.ConfigError == 0) {
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(buffer.data());
    facts.CommandLine = config->lpBinaryPathName ? config->lpBinaryPathName : "";
    facts.StartType = config->dwStartType;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                           sizeof(status), &needed)) {
    facts.State = status.dwCurrentState;
    facts.ProcessId = status.dwProcessId;
    if (facts.ProcessId != 0) facts.ProcessCreated = ProcessCreationTime(facts.ProcessId);
  } else {
    facts.StatusError = GetLastError();
  }
  facts.RecoveryError =
      configDenied != 0 ? configDenied
                        : QueryGrowing(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
                            return QueryServiceConfig2A(
                                service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, data, size, needed);
                          });
  if (facts.RecoveryError == 0) {
    const auto* failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(buffer.data());
    facts.RecoveryResetSeconds = failure->dwResetPeriod;
    if (failure->lpsaActions != nullptr)
      facts.RecoveryActions.assign(failure->lpsaActions, failure->lpsaActions + failure->cActions);
  }
  return facts;
}

uint64_t ProcessCreationTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

uint64_t ProcessCreationTime(DWORD processId) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  return process ? ProcessCreationTime(process.get()) : 0;
}

std::string ServiceStateText(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_CONTINUE_PENDING:
      return "continue pending";
    case SERVICE_PAUSE_PENDING:
      return "pause pending";
    case SERVICE_PAUSED:
      return "paused";
  }
  return "in state " + std::to_string(state);
}

}  // namespace brenlow
