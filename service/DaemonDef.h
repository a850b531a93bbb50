#pragma once
// The service definition record: what the service manager is told about a service at install
// time and what the status reports carry while it runs. The list of definitions keeps the names
// unique.

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "common/AsciiText.h"

namespace brenlow {

enum TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum TServiceType { stWin32, stDevice, stFileSystem };
enum TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };
enum TDaemonOption { doAllowStop, doAllowPause, doInteractive };

// A set of TDaemonOption values.
class TDaemonOptions {
 public:
  TDaemonOptions(std::initializer_list<TDaemonOption> options = {}) {
    for (auto o : options) Include(o);
  }
  bool Contains(TDaemonOption o) const { return (bits_ & Bit(o)) != 0; }
  void Include(TDaemonOption o) { bits_ |= Bit(o); }
  void Exclude(TDaemonOption o) { bits_ &= ~Bit(o); }

 private:
  static std::uint8_t Bit(TDaemonOption o) { return static_cast<std::uint8_t>(1u << o); }
  std::uint8_t bits_ = 0;
};

struct TDependency {
  std::string Name;
  bool IsGroup = false;  // the name is a load-order group
};

struct TWinBindings {
  std::vector<TDependency> Dependencies;
  std::string GroupName;
  std::string UserName;  // empty: the local system account
  std::string Password;
  TStartType StartType = stBoot;
  std::int32_t WaitHint = 0;
  DWORD IDTag = 0;  // receives the tag the service manager assigns when not 0
  TServiceType ServiceType = stWin32;
  TErrorSeverity ErrorSeverity = esIgnore;
  // Recovery: when the service's process ends without having reported stopped, the service
  // manager restarts it after RestartDelays[n] milliseconds at the n-th failure in a row, and
  // after the last delay at every later one; the count starts again after FailureResetPeriod
  // seconds without a failure. Empty: install leaves the manager's default (no recovery).
  std::vector<DWORD> RestartDelays;
  DWORD FailureResetPeriod = 0;
  // Run time only: put into the status reports, never stored.
  DWORD ServiceExitCode = 0;
  DWORD Win32ExitCode = 0;
};

class TDaemonDefs;

class TDaemonDef {
 public:
  explicit TDaemonDef(TDaemonDefs* collection) : collection_(collection) {}

  const std::string& Name() const { return name_; }
  // Raises EDaemon "Duplicate daemon name: %s" when another definition of the same list already
  // has this name (ASCII letter case ignored).
  void SetName(const std::string& name);

  std::string DaemonClassName;
  std::string DisplayName;
  std::string Description;
  std::string RunArguments;
  TDaemonOptions Options{doAllowStop, doAllowPause};
  bool Enabled = true;
  bool LogStatusReport = false;
  TWinBindings WinBindings;

 private:
  TDaemonDefs* collection_;
  std::string name_;
};

// The ordered list of definitions. Definitions keep their address for the list's life.
class TDaemonDefs {
 public:
  TDaemonDef& Add();
  std::size_t Count() const { return items_.size(); }
  TDaemonDef& operator[](std::size_t i) { return *items_[i]; }
  const TDaemonDef& operator[](std::size_t i) const { return *items_[i]; }
  // The definition with this name (ASCII letter case ignored), or null.
  TDaemonDef* FindByName(const std::string& name);

 private:
  std::vector<std::unique_ptr<TDaemonDef>> items_;
};

// The service manager's values for the enumerations.
DWORD ServiceTypeValue(TServiceType type);
DWORD StartTypeValue(TStartType type);
DWORD ErrorControlValue(TErrorSeverity severity);

// What install passes to CreateServiceA; defCount is the number of definitions in the list.
DWORD InstallServiceType(const TDaemonDef& def, std::size_t defCount);
DWORD InstallStartType(const TDaemonDef& def);
// The registered command line: the program path, quoted when it holds a space, then " --run"
// and, when there are any, a space and the run arguments.
std::string ServiceCommandLine(const std::string& programPath, const std::string& runArguments);
// The double-NUL terminated dependency list ("+" marks a group). Empty for no dependencies,
// which CreateServiceA is given as NULL.
std::string DependenciesText(const std::vector<TDependency>& dependencies);

}  // namespace brenlow
