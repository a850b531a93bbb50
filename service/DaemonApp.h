#pragma once
// The service host: one per process. It examines the command line once and performs one command:
// install, uninstall, run as a service, or print the usage text.

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "service/Daemon.h"
#include "service/DaemonController.h"
#include "service/DaemonMapper.h"
#include "service/HostCalls.h"

namespace brenlow {

using TDaemonMapperFactory = std::function<std::unique_ptr<TCustomDaemonMapper>()>;
using TDaemonFactory = std::function<std::unique_ptr<TDaemon>()>;

// The classes the host may create: exactly one definition-list holder and the daemon classes
// that its definitions name.
class TDaemonRegistry {
 public:
  // Raises EDaemon when a holder is already registered; the first one stays.
  void RegisterDaemonMapper(const std::string& className, TDaemonMapperFactory factory);
  // Registering a class name again replaces the class.
  void RegisterDaemonClass(const std::string& className, TDaemonFactory factory);

  bool HasDaemonMapper() const { return static_cast<bool>(mapper_); }
  std::unique_ptr<TCustomDaemonMapper> CreateDaemonMapper() const { return mapper_(); }
  bool HasDaemonClass(const std::string& className) const;
  std::unique_ptr<TDaemon> CreateDaemon(const std::string& className) const;

 private:
  std::string mapperClassName_;
  TDaemonMapperFactory mapper_;
  std::map<std::string, TDaemonFactory> classes_;
};

struct THostOptions {
  // How long the end of the run command waits for the service mains to return before the
  // daemon objects are destroyed.
  DWORD TeardownWaitMs = 10000;
  SIZE_T ControlThreadStackSize = kControlThreadStackSize;
  // Install tries the creation of a service again while it fails because a service of that
  // name is still marked for deletion (a deleted service that some program still holds a handle
  // to): for up to this long, with this pause between tries.
  DWORD MarkedForDeleteWaitMs = 30000;
  DWORD MarkedForDeletePauseMs = 500;
  // The administrator's commands (--check, --status, --test, --version), which live outside the
  // host. Each writes its own output and returns the program's exit code; one that is not set
  // prints the usage text instead. Test is given the script named on the command line, Status
  // whether --json is on it.
  std::function<int()> Check;
  std::function<int(bool json)> Status;
  std::function<int(const std::string& script)> Test;
  std::function<int()> Version;
};

class TCustomDaemonApplication {
 public:
  // args: the command line without the program name.
  TCustomDaemonApplication(const TDaemonRegistry& registry, TServiceHostCalls& calls,
                           std::vector<std::string> args, THostOptions options = {});
  ~TCustomDaemonApplication();
  TCustomDaemonApplication(const TCustomDaemonApplication&) = delete;
  TCustomDaemonApplication& operator=(const TCustomDaemonApplication&) = delete;

  // One pass of command processing. Returns the program's exit code: 0 after a command that
  // succeeded and after the usage text, 1 after a command that failed; the administrator's
  // commands return their own, and when one fails outside its own handling (an error raised
  // through the host) --check ends with 2 and --status with 3.
  int Run();

  TServiceHostCalls& Calls() { return calls_; }
  // The host of this process while one exists (the service main and the control handler are
  // plain functions that the service manager calls).
  static TCustomDaemonApplication* Current();

 private:
  void CreateDaemonDefs();
  std::unique_ptr<TDaemon> CreateDaemon(TDaemonDef& def) const;
  void InstallDaemons();
  void CreateServiceFor(SC_HANDLE manager, TDaemonDef& def);
  void UninstallDaemons();
  bool RunDaemons();
  void ShowException(const void* address, const std::string& kind, const std::string& message);

  static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
  TDaemonController* FindController(DWORD argc, LPSTR* argv);

  const TDaemonRegistry& registry_;
  TServiceHostCalls& calls_;
  const std::vector<std::string> args_;
  const THostOptions options_;
  std::unique_ptr<TCustomDaemonMapper> mapper_;
  std::vector<std::unique_ptr<TDaemon>> daemons_;
  std::vector<std::unique_ptr<TDaemonController>> controllers_;
};

}  // namespace brenlow
