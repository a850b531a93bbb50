#pragma once
// The holder of the definition list, with its optional hooks.

#include <functional>

#include "service/DaemonDef.h"

namespace brenlow {

class TCustomDaemonMapper;
using TDaemonMapperEvent = std::function<void(TCustomDaemonMapper* Sender)>;

class TCustomDaemonMapper {
 public:
  TCustomDaemonMapper() = default;
  virtual ~TCustomDaemonMapper() = default;
  TCustomDaemonMapper(const TCustomDaemonMapper&) = delete;
  TCustomDaemonMapper& operator=(const TCustomDaemonMapper&) = delete;

  TDaemonDefs DaemonDefs;

  TDaemonMapperEvent OnCreate;     // after the host has created the holder
  TDaemonMapperEvent OnDestroy;    // before the host destroys it
  TDaemonMapperEvent OnInstall;    // service manager open, before the first definition
  TDaemonMapperEvent OnUnInstall;  // likewise for uninstall
  TDaemonMapperEvent OnRun;        // run command, before the daemon objects are created
};

}  // namespace brenlow
