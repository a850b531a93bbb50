// Entry point of brenlow.exe.

#include <cstdio>

#include "agent/QRXProxyCheckerUnit.h"
#include "common/SystemError.h"

int main() {
  // The agent's event source is registered in every mode, before the command line is examined.
  brenlow::CreateAgentEventLog();
  std::printf("Usage: %s [command]\n", brenlow::ExecutablePath().c_str());
  return 0;
}
