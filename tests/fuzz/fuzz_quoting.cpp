// Fuzz target: quoting the pieces of a command line and joining them.
// The input is cut at NUL bytes: the first piece is the program, the rest its arguments.

#include <string>
#include <vector>

#include "agent/CommandLineQuoting.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

// Splits a command line at spaces outside double quotes and drops the quotes: how a program
// reads back a line whose pieces hold no double quote, tab or backslash before a quote.
std::vector<std::string> SplitSimple(const std::string& line) {
  std::vector<std::string> pieces(1);
  bool quoted = false;
  for (char c : line) {
    if (c == '"')
      quoted = !quoted;
    else if (c == ' ' && !quoted)
      pieces.emplace_back();
    else
      pieces.back() += c;
  }
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> pieces = brenlow::fuzz::SplitAtNul(data, size);
  const std::vector<std::string> arguments(pieces.begin() + 1, pieces.end());
  const std::string line = brenlow::JoinCommandLine(pieces[0], arguments);

  std::string expected = brenlow::QuoteCommandLinePiece(pieces[0]);
  for (const std::string& argument : arguments)
    expected += " " + brenlow::QuoteCommandLinePiece(argument);
  FUZZ_CHECK(line == expected);
  FUZZ_CHECK(line == brenlow::JoinCommandLine(pieces[0], arguments));

  bool simple = true;
  for (const std::string& piece : pieces) {
    const std::string quoted = brenlow::QuoteCommandLinePiece(piece);
    const bool wraps = piece.find(' ') != std::string::npos && piece.find('"') == std::string::npos;
    FUZZ_CHECK(quoted == (wraps ? "\"" + piece + "\"" : piece));
    simple = simple && !piece.empty() && piece.find_first_of("\"\t") == std::string::npos &&
             piece.back() != '\\';
  }
  // Pieces without quotes, tabs or a final backslash keep their boundaries on the line.
  if (simple) FUZZ_CHECK(SplitSimple(line) == pieces);
  return 0;
}
