#include "agent/CommandLineQuoting.h"

namespace brenlow {

std::string QuoteCommandLinePiece(const std::string& piece) {
  if (piece.find(' ') != std::string::npos && piece.find('"') == std::string::npos)
    return '"' + piece + '"';
  return piece;
}

std::string JoinCommandLine(const std::string& executable,
                            const std::vector<std::string>& arguments) {
  std::string line = QuoteCommandLinePiece(executable);
  for (const std::string& argument : arguments) {
    line += ' ';
    line += QuoteCommandLinePiece(argument);
  }
  return line;
}

}  // namespace brenlow
