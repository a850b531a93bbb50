#pragma once
// Text comparison shared by the command line, the service list and the configuration reader.
// Plain C++: no Windows header, so it also builds natively.

#include <string>

namespace brenlow {

// True when a and b have the same length and the same bytes, with the letters A to Z equal to
// a to z; every other byte must match exactly.
bool SameTextAscii(const std::string& a, const std::string& b);

}  // namespace brenlow
