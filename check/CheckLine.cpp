#include "check/CheckLine.h"

#include <algorithm>

namespace brenlow {

std::string FormatCheckLines(const std::vector<TCheckLine>& lines) {
  static const char* const kLabels[] = {"OK   ", "WARN ", "FAIL "};
  std::string text;
  for (const TCheckLine& line : lines) text += kLabels[line.Level] + line.Text + "\r\n";
  return text;
}

int CheckExitCode(const std::vector<TCheckLine>& lines) {
  TCheckLevel worst = clOk;
  for (const TCheckLine& line : lines) worst = std::max(worst, line.Level);
  return worst == clFail ? 2 : worst == clWarn ? 1 : 0;
}

std::vector<TCheckLine> Problems(const std::vector<TCheckLine>& lines) {
  std::vector<TCheckLine> problems;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(problems),
               [](const TCheckLine& line) { return line.Level != clOk; });
  return problems;
}

}  // namespace brenlow
