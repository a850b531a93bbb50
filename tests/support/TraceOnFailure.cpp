// Linked into every test program: when a case fails, its output ends with the event-log trace
// that the test bed's services wrote while it ran, so that a red run can be understood from its
// log alone, without running it again.

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/EventTrace.h"

namespace brenlow::test {
namespace {

// The most lines shown: the end of the trace, where a failure usually is.
constexpr size_t kShownLines = 120;

class TraceOnFailure : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override { trace_.emplace(); }

  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (!trace_ || !info.result()->Failed()) return;
    std::vector<std::string> lines;
    std::istringstream text(trace_->Text());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    const size_t first = lines.size() > kShownLines ? lines.size() - kShownLines : 0;
    std::ostringstream out;
    out << "--- " << info.test_suite_name() << "." << info.name()
        << " failed; the test bed's event-log trace while it ran (" << lines.size() << " lines"
        << (first > 0 ? ", the last " + std::to_string(kShownLines) + " shown" : "") << ", from "
        << trace_->path() << ") ---\n";
    for (size_t i = first; i < lines.size(); ++i) out << lines[i] << "\n";
    out << "--- end of the trace ---\n";
    std::fputs(out.str().c_str(), stdout);
    std::fflush(stdout);
  }

 private:
  std::optional<TraceFile> trace_;
};

// Appended before main runs; GoogleTest owns the listener from then on.
const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new TraceOnFailure);
  return true;
}();

}  // namespace
}  // namespace brenlow::test
