// The health monitor's counter and its probe, through its pipe seam: every path of a cycle,
// including the failed open and failed send that a real pipe cannot be made to produce.

#include "agent/QRXProxyCheckerUnit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <set>
#include <stdexcept>

#include "agent/ExecuteAndCollect.h"
#include "common/SystemError.h"
#include "tests/agent/AgentTestSupport.h"

namespace brenlow {
namespace {

using test::CycleDriver;
using test::kKillDebug;
using test::kKillQrx;
using test::LoggedEntry;
using test::RecordingEventLog;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(DecideProbe, CountsByTheOutcomeAndKillsAboveNine) {
  const struct {
    int32_t count;
    TProbeOutcome outcome;
    int32_t after;
    const char* warning;  // null: no kill
    TProbePause pause;
  } cases[] = {
      {0, poWaitFailed, 1, nullptr, ppFailedWait},
      {8, poWaitFailed, 9, nullptr, ppFailedWait},
      {9, poWaitFailed, 10, kNoPipeWarning, ppNone},
      {0, poOpenFailed, 0, nullptr, ppFailedOpen},
      {9, poOpenFailed, 9, nullptr, ppFailedOpen},
      {9, poSendFailed, 9, nullptr, ppFailedOpen},
      {9, poGoodReply, 0, nullptr, ppProbe},
      {0, poBadReply, 1, nullptr, ppProbe},
      {9, poBadReply, 10, kNoCoordinatorWarning, ppProbe},
      {3, poRaised, 4, nullptr, ppProbe},
      {9, poRaised, 10, kNoCoordinatorWarning, ppProbe},
      // An error raised by the kill after a failed wait finds the counter still at 10.
      {10, poRaised, 11, kNoCoordinatorWarning, ppProbe},
      {0, poForeignServer, 1, nullptr, ppProbe},
      {9, poForeignServer, 10, kNoPipeWarning, ppProbe},
  };
  for (const auto& c : cases) {
    const TProbeDecision d = DecideProbe(c.count, c.outcome);
    const std::string row = std::to_string(c.count) + " / " + std::to_string(c.outcome);
    EXPECT_EQ(d.FailCount, c.after) << row;
    EXPECT_EQ(d.Kill, c.warning != nullptr) << row;
    EXPECT_STREQ(d.Warning, c.warning) << row;
    EXPECT_EQ(d.Pause, c.pause) << row;
  }
}

TEST(KillCompanion, RunsTheTaskKillerForTheCompanionThenItsDebugBuild) {
  std::vector<std::string> lines;
  TProxyCheckerThread::KillCompanion(
      [&](const std::string& exe, const std::vector<std::string>& args) {
        lines.push_back(JoinCommandLine(exe, args));
      });
  EXPECT_THAT(lines, ElementsAre(kKillQrx, kKillDebug));
}

// The judge compares files, not path texts: the companion's file reached through its 8.3 name, a
// "\\?\" prefix, other letter case or another link to it is the companion's, a copy is not; and
// the file counts only when run by the service's account in the service's session. Under Wine
// every process runs as one user in one session, and junctions cannot be made: the path a process
// gives and its account come through the seam here, the files and their identities are real.
TEST(CompanionJudge, ComparesFilesByIdentityAndAccountsByUserAndSession) {
  const test::TempDir dir;
  const std::string companion = dir / "qrx_proxy companion.exe";
  const std::string link = dir / "linked.exe";
  const std::string copy = dir / "copy.exe";
  test::WriteFileText(companion, "MZ");
  test::WriteFileText(copy, "MZ");
  ASSERT_TRUE(CreateHardLinkA(link.c_str(), companion.c_str(), nullptr)) << GetLastError();
  char shortName[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameA(companion.c_str(), shortName, MAX_PATH), 0u);
  ASSERT_NE(std::string(shortName), companion);
  const std::string upper = CharUpperA(std::string(companion).data());

  const TProcessAccount service{"S-1-5-18", 0}, user{"S-1-5-21-1-2-3-1001", 0};
  const struct {
    std::string path;
    TProcessAccount account;
    TCompanionVerdict verdict;
  } cases[] = {
      {companion, service, cvCompanion},
      {upper, service, cvCompanion},
      {shortName, service, cvCompanion},
      {"\\\\?\\" + companion, service, cvCompanion},
      {link, service, cvCompanion},
      {copy, service, cvOtherFile},
      {dir / "missing.exe", service, cvUnknown},
      {"", service, cvUnknown},
      {companion, user, cvOtherAccount},
      {link, user, cvOtherAccount},
      {companion, {"S-1-5-18", 2}, cvOtherAccount},
      {companion, TProcessAccount{}, cvUnknown},  // the account cannot be read
  };
  for (const auto& c : cases) {
    TProcessFacts facts;
    facts.ImagePath = [&](HANDLE) { return c.path; };
    facts.Account = [&](HANDLE) { return c.account; };
    const TProcessJudgement judged =
        TCompanionJudge(companion, service, facts).Judge(GetCurrentProcess());
    EXPECT_EQ(judged.Verdict, c.verdict) << c.path << " as " << AccountText(c.account);
    EXPECT_EQ(judged.Path, c.path);
  }
  // The system's own answers for this test program: its file, run by its own account.
  EXPECT_EQ(JudgeAsCompanion(GetCurrentProcessId(), ExecutablePath()).Verdict, cvCompanion);
  EXPECT_EQ(JudgeAsCompanion(GetCurrentProcessId(), companion).Verdict, cvOtherFile);
}

// The companion the cycle tests' monitor trusts.
constexpr const char* kCompanion = "C:\\Program Files\\Tevrin Agent\\qrx_proxy.exe";

// What one probe of the fake pipe does.
struct Step {
  DWORD waitError = 0;  // the wait fails with this code
  DWORD openError = 0;  // the open fails with this code
  DWORD sendError = 0;  // the send fails with this code (ERROR_TIMEOUT: it ran out of time)
  enum Reply { kByte, kReadFails, kTimesOut, kReadThrows } reply = kByte;
  unsigned char byte = 1;
  DWORD server = 77;                       // the pipe's server
  DWORD serverError = 0;                   // its process id cannot be had
  TCompanionVerdict judged = cvCompanion;  // what the judge makes of it
};
Step WaitFails(DWORD error = ERROR_FILE_NOT_FOUND) { return {.waitError = error}; }
Step OpenFails(DWORD error) { return {.openError = error}; }
Step SendFails(DWORD error) { return {.sendError = error}; }
Step Replies(unsigned char byte) { return {.byte = byte}; }
Step Reply(Step::Reply reply) { return {.reply = reply}; }
Step Judged(TCompanionVerdict verdict) { return {.judged = verdict}; }

// Plays a script of probes and records every call as a line of text. Handles are numbers of
// its own; it checks each is closed exactly once.
class FakePipe final : public ProbePipeApi {
 public:
  std::deque<Step> script;
  std::vector<std::string> calls;
  std::set<HANDLE> open;

  BOOL WaitNamedPipeA(const char* name, DWORD timeoutMs) override {
    if (script.empty()) throw std::logic_error("the script has run out");
    step_ = script.front();
    script.pop_front();
    calls.push_back(std::string("WaitNamedPipeA ") + name + " " + std::to_string(timeoutMs));
    return Fail(step_.waitError);
  }
  HANDLE CreateFileA(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                     DWORD disposition, DWORD flags, HANDLE templateFile) override {
    char line[256];
    std::snprintf(line, sizeof(line),
                  "CreateFileA %s access=%08lX share=%lu security=%p disposition=%lu "
                  "flags=%08lX template=%p",
                  name, access, share, static_cast<void*>(security), disposition, flags,
                  templateFile);
    calls.push_back(line);
    if (!Fail(step_.openError)) return INVALID_HANDLE_VALUE;
    const HANDLE handle = reinterpret_cast<HANDLE>(next_ += 4);
    open.insert(handle);
    return handle;
  }
  BOOL WriteFile(HANDLE pipe, const void* data, DWORD size, DWORD* written,
                 DWORD timeoutMs) override {
    calls.push_back("WriteFile " + Name(pipe) + " size=" + std::to_string(size) +
                    " byte=" + std::to_string(*static_cast<const unsigned char*>(data)) +
                    " within=" + std::to_string(timeoutMs));
    *written = step_.sendError ? 0 : size;
    return Fail(step_.sendError);
  }
  // The read gets what is left of the exchange's time.
  BOOL ReadFile(HANDLE pipe, void* data, DWORD size, DWORD* read, DWORD timeoutMs) override {
    calls.push_back("ReadFile " + Name(pipe) + " size=" + std::to_string(size));
    EXPECT_LE(timeoutMs, 5000u);
    *read = 0;
    switch (step_.reply) {
      case Step::kReadThrows:
        throw std::runtime_error("read failed badly");
      case Step::kReadFails:
        return Fail(ERROR_BROKEN_PIPE);
      case Step::kTimesOut:
        return Fail(ERROR_TIMEOUT);
      case Step::kByte:
        break;
    }
    *static_cast<unsigned char*>(data) = step_.byte;
    *read = 1;
    return TRUE;
  }
  BOOL GetNamedPipeServerProcessId(HANDLE pipe, ULONG* processId) override {
    calls.push_back("GetNamedPipeServerProcessId " + Name(pipe));
    *processId = step_.serverError ? 0 : step_.server;
    return Fail(step_.serverError);
  }
  // The monitor's judge of a server it does not hold.
  TProcessJudgement Judge(DWORD processId, const std::string& trusted) {
    calls.push_back("JudgeServer " + std::to_string(processId) + " " + trusted);
    TProcessJudgement judged;
    judged.Verdict = step_.judged;
    judged.Error = step_.judged == cvUnknown ? ERROR_ACCESS_DENIED : 0;
    return judged;
  }
  BOOL CloseHandle(HANDLE handle) override {
    calls.push_back("CloseHandle " + Name(handle));
    EXPECT_EQ(open.erase(handle), 1u) << "closed twice or never opened: " << Name(handle);
    return TRUE;
  }

 private:
  static BOOL Fail(DWORD error) {
    if (error == 0) return TRUE;
    SetLastError(error);
    return FALSE;
  }
  static std::string Name(HANDLE h) { return "#" + std::to_string(reinterpret_cast<uintptr_t>(h)); }

  Step step_;
  uintptr_t next_ = 0;
};

// Each case plays a script through a monitor with the product's timings; the pauses and the
// kill commands are recorded instead of taken.
class MonitorCycleTest : public ::testing::Test {
 protected:
  CycleDriver& Monitor() {
    if (!monitor_) {
      TProxyCheckerSettings settings;
      settings.Log = &log_.log();
      settings.Pipe = &pipe_;
      settings.RunCommand = [this](const std::string& exe, const std::vector<std::string>& args) {
        if (killThrows_-- > 0) throw std::runtime_error("no memory for the kill");
        commands_.push_back(JoinCommandLine(exe, args));
      };
      settings.PauseFor = [this](DWORD ms) { pauses_.push_back(ms); };
      settings.TrustedServer = [] { return std::string(kCompanion); };
      settings.Companion = &held_;
      settings.JudgeServer = [this](DWORD id, const std::string& trusted) {
        return pipe_.Judge(id, trusted);
      };
      monitor_ = std::make_unique<CycleDriver>(std::move(settings));
    }
    return *monitor_;
  }
  void Play(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      pipe_.script.push_back(step);
      Monitor().RunCycle();
    }
    EXPECT_THAT(pipe_.open, IsEmpty()) << "a pipe handle was left open";
  }
  static std::vector<Step> Times(int n, const Step& step) { return std::vector<Step>(n, step); }
  static std::vector<Step> Then(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  static std::vector<DWORD> Pauses(int n, DWORD ms) { return std::vector<DWORD>(n, ms); }

  RecordingEventLog log_;
  FakePipe pipe_;
  std::vector<std::string> commands_;
  std::vector<DWORD> pauses_;
  int killThrows_ = 0;
  TCompanionProcess held_;  // what the launcher holds
  std::unique_ptr<CycleDriver> monitor_;
};

// One healthy exchange, call by call: a wait of 5 s, an overlapped open for reading and writing
// with no sharing and identification as the most the server may do with the client's identity,
// the server's process judged against the companion's path, the request byte 0 and the reply
// byte within the exchange's 5 s, the close; then the 5 s pause. The flags 40110080 are
// FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION.
TEST_F(MonitorCycleTest, AHealthyProbeIsTheOneByteExchange) {
  Play({Replies(1)});
  EXPECT_THAT(
      pipe_.calls,
      ElementsAre(R"(WaitNamedPipeA \\.\pipe\tevrin_qrx_proxy_pipe 5000)",
                  R"(CreateFileA \\.\pipe\tevrin_qrx_proxy_pipe access=C0000000 share=0 )"
                  "security=0000000000000000 disposition=3 flags=40110080 "
                  "template=0000000000000000",
                  "GetNamedPipeServerProcessId #4", std::string("JudgeServer 77 ") + kCompanion,
                  "WriteFile #4 size=1 byte=0 within=5000", "ReadFile #4 size=1",
                  "CloseHandle #4"));
  EXPECT_EQ(Monitor().FailCount(), 0);
  EXPECT_THAT(pauses_, ElementsAre(5000));
  EXPECT_THAT(log_.Entries(), IsEmpty());
  EXPECT_THAT(commands_, IsEmpty());
}

TEST_F(MonitorCycleTest, TenFailedWaitsWarnKillPauseAndStartTheCountAgain) {
  Play(Times(10, WaitFails()));
  std::vector<LoggedEntry> expected(10, {etInfo, "Error waiting pipe. Error num = 2"});
  expected.push_back({etWarning, kNoPipeWarning});
  EXPECT_EQ(log_.Entries(), expected);
  EXPECT_THAT(commands_, ElementsAre(kKillQrx, kKillDebug));
  // A second after each failed wait below the threshold; after the tenth only the kill's pause.
  std::vector<DWORD> pauses = Pauses(9, 1000);
  pauses.push_back(3000);
  EXPECT_EQ(pauses_, pauses);
  EXPECT_EQ(Monitor().FailCount(), 0);

  Play({WaitFails(ERROR_SEM_TIMEOUT)});
  EXPECT_EQ(Monitor().FailCount(), 1);
  EXPECT_EQ(log_.Entries().back(), (LoggedEntry{etInfo, "Error waiting pipe. Error num = 121"}));
}

// A request or reply that ran out of time counts as a bad reply, without an entry of its own.
TEST_F(MonitorCycleTest, TenBadRepliesWarnOfTheCoordinatorAndKill) {
  Play({Replies(0), Replies(2), Replies(0xFF), Reply(Step::kReadFails), Reply(Step::kTimesOut),
        SendFails(ERROR_TIMEOUT)});
  EXPECT_EQ(Monitor().FailCount(), 6);
  Play(Times(4, Replies(0)));
  EXPECT_THAT(log_.Entries(), ElementsAre(LoggedEntry{etWarning, kNoCoordinatorWarning}));
  EXPECT_THAT(commands_, ElementsAre(kKillQrx, kKillDebug));
  // Every completed probe pauses 5 s; the kill's 3 s come before the tenth's.
  std::vector<DWORD> expected = Pauses(9, 5000);
  expected.insert(expected.end(), {3000, 5000});
  EXPECT_EQ(pauses_, expected);
  EXPECT_EQ(Monitor().FailCount(), 0);
}

// A pipe served by anything the judge does not call the companion (another program, the
// companion's file run by another account, one that cannot be told) or whose server cannot be
// had gets no request; each such probe counts, without an entry of its own, and the tenth kills
// with the Warning of a missing pipe. The process the launcher holds is the companion without
// being judged, and only while it is held.
TEST_F(MonitorCycleTest, AForeignServerGetsNothingAndTenOfThemKill) {
  Play({Judged(cvOtherFile), Judged(cvOtherAccount), Judged(cvUnknown),
        Step{.serverError = ERROR_ACCESS_DENIED}});
  EXPECT_EQ(Monitor().FailCount(), 4);
  for (const std::string& call : pipe_.calls) EXPECT_NE(call.rfind("WriteFile", 0), 0u) << call;
  Play({Replies(1)});
  EXPECT_EQ(Monitor().FailCount(), 0);

  UniqueHandle self;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                              self.put(), SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                              0));
  held_.Hold(std::move(self));
  pipe_.calls.clear();
  Step heldServer = Judged(cvOtherAccount);
  heldServer.server = GetCurrentProcessId();
  Play({heldServer});
  EXPECT_EQ(Monitor().FailCount(), 0);
  for (const std::string& call : pipe_.calls) EXPECT_NE(call.rfind("JudgeServer", 0), 0u) << call;
  held_.Release();
  Play({heldServer});
  EXPECT_EQ(Monitor().FailCount(), 1);

  Play(Times(9, Judged(cvOtherFile)));
  EXPECT_THAT(log_.Entries(), ElementsAre(LoggedEntry{etWarning, kNoPipeWarning}));
  EXPECT_THAT(commands_, ElementsAre(kKillQrx, kKillDebug));
  std::vector<DWORD> expected = Pauses(15, 5000);
  expected.insert(expected.end(), {3000, 5000});
  EXPECT_EQ(pauses_, expected);
}

// Failed opens and sends are reported and paused after, but not counted: five failed waits
// and five more still make ten; each failure below the threshold pauses a second. The send
// failure keeps the open's text.
TEST_F(MonitorCycleTest, FailedOpensAndSendsNeitherCountNorReset) {
  Play(Then(Then(Times(5, WaitFails()), {OpenFails(ERROR_PIPE_BUSY), SendFails(ERROR_NO_DATA),
                                         OpenFails(ERROR_ACCESS_DENIED)}),
            Times(5, WaitFails())));
  const LoggedEntry wait{etInfo, "Error waiting pipe. Error num = 2"};
  EXPECT_THAT(log_.Entries(),
              ElementsAre(wait, wait, wait, wait, wait,
                          LoggedEntry{etError, "Error CreateFile pipe. Error num = 231"},
                          LoggedEntry{etError, "Error CreateFile pipe. Error num = 232"},
                          LoggedEntry{etError, "Error CreateFile pipe. Error num = 5"}, wait, wait,
                          wait, wait, wait, LoggedEntry{etWarning, kNoPipeWarning}));
  std::vector<DWORD> pauses = Pauses(12, 1000);
  pauses.push_back(3000);
  EXPECT_EQ(pauses_, pauses);
  EXPECT_THAT(commands_, ElementsAre(kKillQrx, kKillDebug));
  EXPECT_EQ(Monitor().FailCount(), 0);
  // The failed send still closed its handle (checked by Play) and read nothing.
  EXPECT_EQ(std::count_if(pipe_.calls.begin(), pipe_.calls.end(),
                          [](const std::string& c) { return c.rfind("ReadFile", 0) == 0; }),
            0);
}

// An error raised in the middle of a probe closes the pipe and counts as a failed probe; one
// raised by the kill after a failed wait counts as well, so the kill is tried again.
TEST_F(MonitorCycleTest, RaisedErrorsCountAndNeverEndTheMonitor) {
  Play({Reply(Step::kReadThrows)});
  EXPECT_EQ(Monitor().FailCount(), 1);
  EXPECT_THAT(pauses_, ElementsAre(5000));
  Play(Then(Times(8, Replies(0)), {Reply(Step::kReadThrows)}));
  EXPECT_THAT(log_.Entries(), ElementsAre(LoggedEntry{etWarning, kNoCoordinatorWarning}));
  EXPECT_EQ(commands_.size(), 2u);
  EXPECT_EQ(Monitor().FailCount(), 0);

  commands_.clear();
  killThrows_ = 1;
  Play(Times(10, WaitFails()));
  std::vector<std::string> warnings;
  for (const auto& e : log_.Entries())
    if (e.level == etWarning) warnings.push_back(e.text);
  EXPECT_THAT(warnings, ElementsAre(kNoCoordinatorWarning, kNoPipeWarning, kNoCoordinatorWarning));
  EXPECT_THAT(commands_, ElementsAre(kKillQrx, kKillDebug));
  EXPECT_EQ(Monitor().FailCount(), 0);
}

}  // namespace
}  // namespace brenlow
