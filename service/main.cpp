// Entry point of brenlow.exe.

#include <cstdio>

#include "common/SystemError.h"

int main() {
  std::printf("Usage: %s [command]\n", brenlow::ExecutablePath().c_str());
  return 0;
}
