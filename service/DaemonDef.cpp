#include "service/DaemonDef.h"

#include "service/DaemonErrors.h"

namespace brenlow {

void TDaemonDef::SetName(const std::string& name) {
  if (collection_ != nullptr) {
    const TDaemonDef* other = collection_->FindByName(name);
    if (other != nullptr && other != this) RaiseDaemonError("Duplicate daemon name: " + name);
  }
  name_ = name;
}

TDaemonDef& TDaemonDefs::Add() {
  items_.push_back(std::make_unique<TDaemonDef>(this));
  return *items_.back();
}

TDaemonDef* TDaemonDefs::FindByName(const std::string& name) {
  for (auto& item : items_)
    if (SameTextAscii(item->Name(), name)) return item.get();
  return nullptr;
}

DWORD ServiceTypeValue(TServiceType type) {
  switch (type) {
    case stWin32:
      return SERVICE_WIN32_OWN_PROCESS;
    case stDevice:
      return SERVICE_KERNEL_DRIVER;
    case stFileSystem:
      return SERVICE_FILE_SYSTEM_DRIVER;
  }
  return SERVICE_WIN32_OWN_PROCESS;
}

DWORD StartTypeValue(TStartType type) {
  switch (type) {
    case stBoot:
      return SERVICE_BOOT_START;
    case stSystem:
      return SERVICE_SYSTEM_START;
    case stAuto:
      return SERVICE_AUTO_START;
    case stManual:
      return SERVICE_DEMAND_START;
    case stDisabled:
      return SERVICE_DISABLED;
  }
  return SERVICE_DEMAND_START;
}

DWORD ErrorControlValue(TErrorSeverity severity) {
  switch (severity) {
    case esIgnore:
      return SERVICE_ERROR_IGNORE;
    case esNormal:
      return SERVICE_ERROR_NORMAL;
    case esSevere:
      return SERVICE_ERROR_SEVERE;
    case esCritical:
      return SERVICE_ERROR_CRITICAL;
  }
  return SERVICE_ERROR_NORMAL;
}

DWORD InstallServiceType(const TDaemonDef& def, std::size_t defCount) {
  DWORD type = ServiceTypeValue(def.WinBindings.ServiceType);
  if (def.WinBindings.ServiceType == stWin32) {
    if (def.Options.Contains(doInteractive)) type |= SERVICE_INTERACTIVE_PROCESS;
    // Several services in one program share its process.
    if (defCount > 1)
      type = (type & ~DWORD{SERVICE_WIN32_OWN_PROCESS}) | SERVICE_WIN32_SHARE_PROCESS;
  }
  return type;
}

DWORD InstallStartType(const TDaemonDef& def) {
  const TStartType start = def.WinBindings.StartType;
  // Only drivers can start at boot or system time; a program service starts automatically.
  if ((start == stBoot || start == stSystem) && def.WinBindings.ServiceType != stDevice)
    return SERVICE_AUTO_START;
  return StartTypeValue(start);
}

std::string ServiceCommandLine(const std::string& programPath, const std::string& runArguments) {
  std::string line =
      programPath.find(' ') == std::string::npos ? programPath : "\"" + programPath + "\"";
  line += " --run";
  if (!runArguments.empty()) line += " " + runArguments;
  return line;
}

std::string DependenciesText(const std::vector<TDependency>& dependencies) {
  std::string text;
  for (const auto& d : dependencies) {
    if (d.IsGroup) text += SC_GROUP_IDENTIFIERA;
    text += d.Name;
    text.push_back('\0');
  }
  if (!text.empty()) text.push_back('\0');
  return text;
}

}  // namespace brenlow
