// ExecuteAndCollect against real child processes (the exec_child stand-in) under Wine.

#include "agent/ExecuteAndCollect.h"

#include "agent/ExecuteSeam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/SecurityDescriptor.h"
#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace brenlow {
namespace {

using test::StandInPath;
using test::WaitFor;

std::string Child(const std::string& actions) {
  return "\"" + StandInPath("exec_child.exe") + "\" " + actions;
}

std::string Pattern(unsigned long count) {
  std::string bytes;
  for (unsigned long i = 0; i < count; ++i) bytes.push_back(static_cast<char>(i % 251));
  return bytes;
}

struct Outcome {
  bool result = false;
  std::string output;
};

// Runs call on a thread of its own. A call that has not returned after 30 s has hung: the test
// fails and the program ends, which breaks the pipes its children still hold.
template <typename Result>
Result WithDeadline(std::function<Result()> call, const std::string& what) {
  struct Shared {
    std::atomic<bool> done{false};
    Result result;
  };
  auto shared = std::make_shared<Shared>();
  std::thread([shared, call] {
    shared->result = call();
    shared->done = true;
  }).detach();
  if (!WaitFor([&] { return shared->done.load(); }, 30000)) {
    ADD_FAILURE() << "the call did not return: " << what;
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  return shared->result;
}

Outcome ExecuteWithDeadline(const std::string& commandLine) {
  return WithDeadline<Outcome>(
      [commandLine] {
        Outcome outcome;
        outcome.result = ExecuteAndCollect(commandLine, outcome.output);
        return outcome;
      },
      commandLine);
}

// A manual-reset event with a name unique to this test program.
struct NamedEvent {
  std::string name = "brenlow-exec-test-" + std::to_string(GetCurrentProcessId());
  UniqueHandle handle{CreateEventA(nullptr, TRUE, FALSE, name.c_str())};
  ~NamedEvent() { SetEvent(handle.get()); }
};

TEST(QuoteCommandLinePiece, WrapsOnlyPiecesWithASpaceAndNoQuote) {
  const struct {
    std::string piece, expected;
  } cases[] = {
      {"plain", "plain"},
      {"two words", "\"two words\""},
      {"C:\\Program Files\\dir\\", "\"C:\\Program Files\\dir\\\""},  // backslashes stay
      {"say \"hi\" now", "say \"hi\" now"},                          // a quote forbids wrapping
      {"tab\there", "tab\there"},                                    // only spaces count
      {"", ""},
      {" ", "\" \""},
      {"\"\"/C", "\"\"/C"},
  };
  for (const auto& c : cases) EXPECT_EQ(QuoteCommandLinePiece(c.piece), c.expected) << c.piece;
}

TEST(JoinCommandLine, JoinsExecutableAndArgumentsWithSingleSpaces) {
  EXPECT_EQ(JoinCommandLine("C:\\Program Files\\x.exe", {}), "\"C:\\Program Files\\x.exe\"");
  EXPECT_EQ(JoinCommandLine("x.exe", {"a b", ""}), "x.exe \"a b\" ");
  EXPECT_EQ(JoinCommandLine("x.exe", {"", "a"}), "x.exe  a");
}

// Both forms pass the command line on unchanged: the child echoes what it was given.
TEST(ExecuteAndCollect, CommandLineReachesTheChildByteForByte) {
  const std::string line = Child("cmdline \"a  b\" \"\"/C x\\\"y \xE9 end");
  std::string output;
  EXPECT_TRUE(ExecuteAndCollect(line, output));
  EXPECT_EQ(output, line);
  const std::string program = StandInPath("exec_child.exe");
  EXPECT_TRUE(ExecuteAndCollect(program, {"cmdline", "two words", "\"q\" x"}, output));
  EXPECT_EQ(output, QuoteCommandLinePiece(program) + " cmdline \"two words\" \"q\" x");
}

TEST(ExecuteAndCollect, AProgramThatCannotBeStartedGivesFalseAndNoOutput) {
  const struct {
    std::string program;
    std::vector<std::string> args;
    bool argumentForm;
  } cases[] = {
      {"Z:\\no\\such\\program.exe", {}, false},
      {"", {}, false},
      {"", {"arg"}, true},
      {"no_such_program_anywhere", {"a b"}, true},
  };
  for (const auto& c : cases) {
    std::string output = "left over";
    EXPECT_FALSE(c.argumentForm ? ExecuteAndCollect(c.program, c.args, output)
                                : ExecuteAndCollect(c.program, output))
        << c.program;
    EXPECT_EQ(output, "") << c.program;
  }
}

// The draining form keeps nothing and says how the child ended, or why it never started.
TEST(ExecuteAndDrain, TellsHowTheChildEnded) {
  TChildOutcome o = ExecuteAndDrain(Child("out 300000 err 300000"));
  EXPECT_TRUE(o.Started && o.Ended && o.Succeeded());
  o = ExecuteAndDrain(Child("out 70000 exit 3"));
  EXPECT_TRUE(o.Ended);
  EXPECT_FALSE(o.Succeeded());
  EXPECT_EQ(o.ExitCode, 3u);
  o = ExecuteAndDrain(StandInPath("exec_child.exe"), {"exit", "5"});
  EXPECT_EQ(o.ExitCode, 5u);
  o = ExecuteAndDrain("Z:\\no\\such\\program.exe");
  EXPECT_FALSE(o.Started || o.Ended || o.Succeeded());
  EXPECT_TRUE(o.Error == ERROR_FILE_NOT_FOUND || o.Error == ERROR_PATH_NOT_FOUND) << o.Error;
  o = ExecuteAndDrain("", std::vector<std::string>{});
  EXPECT_FALSE(o.Started);
  EXPECT_EQ(o.Error, 0u);
}

// The streaming form hands over both pipes whole, each in the order the child wrote it, while
// the child writes more than a pipe holds to each in turn.
TEST(ExecuteAndStream, HandsOverBothStreamsWholeAndInOrder) {
  std::string streams[2];
  const TChildOutcome o = WithDeadline<TChildOutcome>(
      [&streams] {
        return ExecuteAndStream(Child("out 200003 err 150001 out 70000 exit 4"),
                                [&streams](TOutputStream stream, const char* data, size_t size) {
                                  streams[stream == osError].append(data, size);
                                });
      },
      "streaming");
  EXPECT_TRUE(o.Ended);
  EXPECT_EQ(o.ExitCode, 4u);
  EXPECT_TRUE(streams[0] == Pattern(200003) + Pattern(70000)) << streams[0].size();
  EXPECT_TRUE(streams[1] == Pattern(150001)) << streams[1].size();
}

// A read that fails with anything but the pipe's end closes our end of that pipe: the child,
// which writes far more than the pipe holds, sees its writes fail and ends, instead of waiting
// for ever on a full pipe nobody reads. Both the first read of standard output and a read in the
// middle of the stream are failed.
TEST(ExecuteAndDrain, AFailedReadLeavesNoChildBlockedOnItsPipe) {
  for (const int failing : {1, 6}) {
    const TChildOutcome o = WithDeadline<TChildOutcome>(
        [failing] {
          auto reads = std::make_shared<int>(0);
          TRunSeam seam;
          seam.FailRead = [reads, failing]() -> DWORD {
            return ++*reads == failing ? ERROR_NO_SYSTEM_RESOURCES : 0;
          };
          return ExecuteWithSeam(Child("out 2000000 err 2000000"), nullptr, {}, seam);
        },
        "read " + std::to_string(failing) + " failed");
    EXPECT_TRUE(o.Started && o.Ended) << failing;
  }
}

// A child that prints without pause, every read of it completed at once as on Windows, so that
// every wait of the loop finds one done, is ended at its limit all the same, long before it has
// written its 1000 MB.
TEST(ExecuteAndDrain, AChildPrintingWithoutPauseIsEndedAtItsLimit) {
  const TChildOutcome o = WithDeadline<TChildOutcome>(
      [] {
        return ExecuteWithSeam(Child("block 65536 out 1000000000"), nullptr,
                               TRunOptions{.TimeLimitMs = 1000},
                               TRunSeam{.ReadsCompleteAtOnce = true});
      },
      "a child printing without pause");
  EXPECT_TRUE(o.Ended && o.TimedOut);
  EXPECT_EQ(o.ExitCode, kTimeLimitExitCode);
}

// The same with the child gone, once it has printed, and a grandchild printing without pause on
// the pipe it inherited: reads that end at once are taken one after another without a wait, but
// the child's end still returns the call, long before the grandchild has written its 4000 MB.
TEST(ExecuteAndStream, AGrandchildPrintingWithoutPauseDoesNotHoldTheCall) {
  unsigned long long taken = 0;
  const TChildOutcome o = WithDeadline<TChildOutcome>(
      [&taken] {
        return ExecuteWithSeam(
            Child("block 65536 out 1048576 spawn block 65536 out 4000000000"),
            [&taken](TOutputStream, const char*, size_t size) { taken += size; }, {},
            TRunSeam{.ReadsCompleteAtOnce = true});
      },
      "a grandchild printing without pause");
  EXPECT_TRUE(o.Ended && !o.TimedOut);
  EXPECT_EQ(o.ExitCode, 0u);
  EXPECT_LT(taken, 1000000000u) << "the call waited for the grandchild";
}

// What the child does, and what the call returns for it. Every call runs under a deadline: the
// cases with a full standard error pipe, exit code 259 (also what GetExitCodeProcess reports for
// a child still running) and a child waiting for end-of-file on its input would otherwise hang.
TEST(ExecuteAndCollect, ResultAndOutputFollowTheChild) {
  const struct {
    const char* what;
    std::string actions;
    bool result;
    std::string output;
  } cases[] = {
      {"more than the pipe holds, whole and in order", "out 200003", true, Pattern(200003)},
      {"a chatty child's many small writes, whole and in order", "block 512 out 1000003", true,
       Pattern(1000003)},
      {"standard error only", "err 5000", true, ""},
      {"standard error only, failing", "err 10 exit 3", false, ""},
      // Far more on standard error than its pipe holds before anything on standard output: only
      // draining standard error lets the child get that far.
      {"standard error filled while standard output is quiet", "err 300000 hex 646f6e65", true,
       "done"},
      {"exit code 1 with text", "hex 6572726f720d0a exit 1", false, "error\r\n"},
      {"exit code 259", "hex 6f6b exit 259", false, "ok"},
      {"bytes unchanged", "hex 0d0a0a0d0d00417f80ffe9c3a91a0d", true,
       std::string("\r\n\n\r\r\0A\x7f\x80\xff\xe9\xc3\xa9\x1a\r", 15)},
      {"reading standard input sees end-of-file", "stdin", true, "eof"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = ExecuteWithDeadline(Child(c.actions));
    EXPECT_EQ(outcome.result, c.result) << c.what;
    EXPECT_EQ(outcome.output.size(), c.output.size()) << c.what;
    EXPECT_TRUE(outcome.output == c.output)
        << c.what << ": bytes differ"
        << (outcome.output.size() < 100 ? ", got \"" + outcome.output + "\"" : "");
  }
}

// The calling thread sleeps while the child is silent: it wakes for the child's output and its
// end, not on a clock.
TEST(ExecuteAndCollect, ASilentChildLeavesTheCallingThreadAsleep) {
  std::string output;
  DWORD wakeUps = 0;
  EXPECT_TRUE(ExecuteAndCollect(Child("sleep 2500 hex 6f6b"), output, &wakeUps));
  EXPECT_EQ(output, "ok");
  EXPECT_LE(wakeUps, 4u);
}

// The grandchild inherits the output pipe and keeps it open, silent, until told to write: the
// call must return when the child ends, not when the pipe does.
TEST(ExecuteAndCollect, GrandchildHoldingTheOutputPipeDoesNotHoldTheCall) {
  NamedEvent release;
  const Outcome outcome = ExecuteWithDeadline(
      Child("hex 6368696c64 spawn waitevent " + release.name + " hex 4c415445"));
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.output, "child");
}

// An inheritable handle of the caller must not reach the child: it gets its three pipe ends only.
TEST(ExecuteAndCollect, ChildInheritsOnlyItsOwnPipeEnds) {
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE readHandle = nullptr;
  HANDLE writeHandle = nullptr;
  ASSERT_TRUE(CreatePipe(&readHandle, &writeHandle, &inheritable, 0));
  UniqueHandle readEnd(readHandle);
  UniqueHandle writeEnd(writeHandle);
  char value[32];
  std::snprintf(value, sizeof(value), "%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(writeHandle)));
  std::string output;
  EXPECT_TRUE(ExecuteAndCollect(Child(std::string("writehandle ") + value), output));
  DWORD waiting = 0;
  ASSERT_TRUE(PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &waiting, nullptr));
  EXPECT_EQ(waiting, 0u) << "the child wrote into a pipe of the caller";
}

// Only the account the caller runs as may open the pipes of the child's output.
TEST(ExecuteAndCollect, OutputPipesAdmitThisAccountAlone) {
  std::string output;
  EXPECT_TRUE(ExecuteAndCollect(Child("stdoutacl"), output));
  EXPECT_EQ(output, "D:P(A;;FA;;;" + ProcessAccountSid() + ")");
}

// GetProcessHandleCount reports 0 under Wine, but handle values are reused lowest first. A
// leaked handle keeps its slot, so the highest of a batch of fresh handles moves up; the batch
// is large enough to reach past the slots one call uses.
HANDLE HighestOfFreshHandles() {
  std::vector<UniqueHandle> probes;
  HANDLE highest = nullptr;
  for (int i = 0; i < 64; ++i) {
    probes.emplace_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    highest = std::max(highest, probes.back().get());
  }
  return highest;
}

TEST(ExecuteAndCollect, ManyCallsLeaveNoHandleBehind) {
  std::string output;
  ExecuteAndCollect(Child("out 10"), output);  // lets the system set up what it keeps
  ExecuteAndCollect("Z:\\no\\such\\program.exe", output);
  const HANDLE before = HighestOfFreshHandles();
  for (int i = 0; i < 30; ++i) {
    EXPECT_TRUE(ExecuteAndCollect(Child("out 3000 err 3000"), output));
    EXPECT_FALSE(ExecuteAndCollect(Child("hex 41 exit 1"), output));
  }
  for (int i = 0; i < 200; ++i) {
    EXPECT_FALSE(ExecuteAndCollect("Z:\\no\\such\\program.exe", output));
    EXPECT_FALSE(ExecuteAndCollect("", {}, output));
  }
  EXPECT_EQ(HighestOfFreshHandles(), before);
}

}  // namespace
}  // namespace brenlow
