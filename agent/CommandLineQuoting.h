#pragma once
// How a program and its arguments become one command line for CreateProcessA. Plain C++: no
// Windows header, so it also builds natively.

#include <string>
#include <vector>

namespace brenlow {

// A piece of a command line: wrapped in double quotes when it holds a space and no double
// quote, otherwise unchanged. Tabs do not count; nothing is ever escaped.
std::string QuoteCommandLinePiece(const std::string& piece);

// The executable, then for each argument one space and the argument, each through
// QuoteCommandLinePiece.
std::string JoinCommandLine(const std::string& executable,
                            const std::vector<std::string>& arguments);

}  // namespace brenlow
