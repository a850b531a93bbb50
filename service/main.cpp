// Entry point of brenlow.exe: the service host performs the one command of the command line.

#include <memory>
#include <string>
#include <vector>

#include "service/DaemonApp.h"
#include "service/DaemonClasses.h"
#include "service/DaemonMapperUnit1.h"
#include "service/Win32HostCalls.h"

int main(int argc, char** argv) {
  using namespace brenlow;
  TDaemonRegistry registry;
  registry.RegisterDaemonMapper("TDaemonMapper1",
                                [] { return std::make_unique<TDaemonMapper1>(); });
  RegisterDaemonClasses(registry);

  TWin32HostCalls calls;
  TCustomDaemonApplication application(registry, calls,
                                       std::vector<std::string>(argv + 1, argv + argc));
  return application.Run();
}
