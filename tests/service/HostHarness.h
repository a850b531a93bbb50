#pragma once
// Runs the service host against the stand-in service manager, with this program's definition
// holder and a daemon class "TDaemon1" whose hooks each test sets.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/DaemonApp.h"
#include "service/DaemonMapperUnit1.h"
#include "tests/service/FakeHostCalls.h"

namespace brenlow::test {

struct HostHarness {
  FakeHostCalls calls;  // declared first: it outlives every host run
  TDaemonRegistry registry;
  std::function<void(TDaemon&)> hooks;               // sets the hooks of each daemon created
  std::function<void(TCustomDaemonMapper&)> adjust;  // changes the definitions

  HostHarness() {
    registry.RegisterDaemonMapper("TDaemonMapper1", [this] {
      auto mapper = std::make_unique<TDaemonMapper1>();
      if (adjust) adjust(*mapper);
      return mapper;
    });
    registry.RegisterDaemonClass("TDaemon1", [this] {
      auto daemon = std::make_unique<TDaemon>();
      if (hooks) hooks(*daemon);
      return daemon;
    });
  }

  int Run(const std::vector<std::string>& args) {
    THostOptions options;
    options.TeardownWaitMs = 5000;
    options.MarkedForDeleteWaitMs = 400;
    options.MarkedForDeletePauseMs = 20;
    TCustomDaemonApplication app(registry, calls, args, options);
    return app.Run();
  }
};

}  // namespace brenlow::test
