#pragma once
// Text comparison shared by the command line, the service list, the configuration reader, the
// process-list walk and the checks.
// Plain C++: no Windows header, so it also builds natively.

#include <string_view>

namespace brenlow {

// True when a and b have the same length and the same bytes, with the letters A to Z equal to
// a to z; every other byte must match exactly.
bool SameTextAscii(std::string_view a, std::string_view b);

}  // namespace brenlow
