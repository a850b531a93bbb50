#pragma once
// The daemon classes this program registers with its host.

#include "service/DaemonApp.h"

namespace brenlow {

void RegisterDaemonClasses(TDaemonRegistry& registry);

}  // namespace brenlow
