#pragma once
// A stand-in for the service manager behind the host's calls. It keeps installed services in
// memory, fails chosen calls with chosen codes, and plays the dispatcher: it runs the service
// main on a thread of its own and delivers scripted controls through the registered handler on
// the dispatcher's thread, as the service manager does.

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/HostCalls.h"

namespace brenlow::test {

class FakeHostCalls : public TServiceHostCalls {
 public:
  struct Service {
    std::string displayName, binaryPath, loadOrderGroup, dependencies, description;
    DWORD access = 0, serviceType = 0, startType = 0, errorControl = 0;
    bool tagRequested = false, startNameNull = false, passwordNull = false;
    // SERVICE_CONFIG_FAILURE_ACTIONS as given: the actions as (type, delay) pairs.
    bool failureActionsSet = false, rebootMsgNull = false, commandNull = false;
    DWORD resetPeriod = 0;
    std::vector<std::pair<int, DWORD>> failureActions;
  };
  struct Entry {
    char level;  // 'E' error, 'I' information
    std::string text;
    bool operator==(const Entry&) const = default;
  };
  // A control to deliver once a report of `awaitState` has arrived (0: at once).
  struct Step {
    DWORD awaitState;
    DWORD control;
  };

  ~FakeHostCalls() override;

  // Set up by the test before the host runs.
  std::map<std::string, Service> services;
  std::map<std::string, DWORD> failWith;  // call name -> error code it fails with
  std::map<std::string, int> failTimes;   // call name -> how often it fails (absent: always)
  std::vector<std::string> serviceMainArgs{"TevrinInternalSvc"};
  std::vector<Step> script;
  DWORD tagToAssign = 7;

  // What happened. `calls` names each call, with its main argument where there is one.
  std::vector<std::string> calls;
  std::set<SC_HANDLE> openHandles;
  std::vector<std::string> dispatchNames;
  std::string output;
  bool timedOut = false;  // the scripted service did not get where the script expected
  std::vector<SERVICE_STATUS> Statuses() const;
  std::vector<Entry> Log() const;
  std::vector<DWORD> States() const;  // dwCurrentState of each report

  SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD access) override;
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
  DWORD GetLastError() override { return ::GetLastError(); }
  void ServiceLogError(const std::string& text) override;
  void ServiceLogInfo(const std::string& text) override;
  void ServiceLogUnregisterSource() override;
  void WriteOutput(const std::string& text) override;

 private:
  bool Fails(const std::string& call);  // records the call; true (error set) when it must fail
  SC_HANDLE NewHandle(const std::string& service);
  bool WaitUntil(const std::function<bool()>& done);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<SC_HANDLE, std::string> handleService_;
  unsigned nextHandle_ = 0x100;
  std::vector<SERVICE_STATUS> statuses_;
  std::vector<Entry> log_;
  LPHANDLER_FUNCTION_EX handler_ = nullptr;
  LPVOID context_ = nullptr;
  bool mainReturned_ = false;
  std::thread serviceMain_;
};

}  // namespace brenlow::test
