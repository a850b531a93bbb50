#pragma once
// One line of the check's report: a level and what was looked at. The command prints the lines
// and ends with an exit code computed from them; the start-time Warning lists the ones that are
// not OK.

#include <string>
#include <vector>

namespace brenlow {

enum TCheckLevel { clOk, clWarn, clFail };

struct TCheckLine {
  TCheckLevel Level = clOk;
  std::string Text;  // what was looked at and what was found, without a line end
};

// "OK   ", "WARN " or "FAIL " followed by the text and CR LF, for each line in order.
std::string FormatCheckLines(const std::vector<TCheckLine>& lines);

// 0 when every line is OK, 1 when the worst is a WARN, 2 when there is a FAIL.
int CheckExitCode(const std::vector<TCheckLine>& lines);

// The lines that are not OK, in order.
std::vector<TCheckLine> Problems(const std::vector<TCheckLine>& lines);

}  // namespace brenlow
