// The event log writer through its system-call seam: what it registers, opens, writes and
// closes, in which order, and how it behaves when calls fail.

#include "eventlog/EventLog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/UniqueHandle.h"

namespace brenlow::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Records every call as one line of text and fails the calls a test names.
class FakeApi final : public EventLogApi {
 public:
  std::string failOn;        // a call whose line starts with this fails
  bool throwAlways = false;  // every call throws, as one that runs out of memory would
  DWORD openDelayMs = 0;     // widens the window for concurrent first entries
  std::string executablePath = "C:\\Program Files\\Tevrin\\my.agent.exe";

  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  size_t Count(const std::string& prefix) const {
    size_t count = 0;
    for (const auto& call : Calls()) count += call.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
  }

  LSTATUS RegCreateKeyExA(HKEY root, const char* subKey, DWORD reserved, const char* keyClass,
                          DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result,
                          DWORD*) override {
    if (Record("RegCreateKeyExA " + Root(root) + subKey + " " + std::to_string(reserved) + " \"" +
               keyClass + "\" " + std::to_string(options) + " " + Hex(access) +
               (security ? " security" : "")))
      return ERROR_ACCESS_DENIED;
    *result = reinterpret_cast<HKEY>(0x4B4B);
    return ERROR_SUCCESS;
  }
  LSTATUS RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const BYTE* data,
                         DWORD size) override {
    std::string value;
    if (type == REG_DWORD && size == 4) {
      DWORD number;
      std::memcpy(&number, data, 4);
      value = "REG_DWORD " + std::to_string(number);
    } else {
      // Nulls shown as \0, so a counted terminator is visible.
      value = "REG_SZ \"";
      for (DWORD i = 0; i < size; ++i) value += data[i] ? std::string(1, data[i]) : "\\0";
      value += "\"";
    }
    return Record("RegSetValueExA " + Hex(key) + " " + name + " " + value +
                  " size=" + std::to_string(size))
               ? ERROR_ACCESS_DENIED
               : ERROR_SUCCESS;
  }
  LSTATUS RegCloseKey(HKEY key) override {
    return Record("RegCloseKey " + Hex(key)) ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
  }
  LSTATUS RegDeleteKeyA(HKEY root, const char* subKey) override {
    return Record("RegDeleteKeyA " + Root(root) + subKey) ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
  }
  HANDLE OpenEventLogA(const char* server, const char* source) override {
    Sleep(openDelayMs);
    const bool fail = Record(std::string("OpenEventLogA ") + (server ? server : "(null)") + " \"" +
                             source + "\"");
    return fail ? nullptr : reinterpret_cast<HANDLE>(0xCAFE);
  }
  BOOL ReportEventA(HANDLE log, WORD type, WORD category, DWORD id, PSID user, WORD count,
                    DWORD dataSize, const char** strings, void* data) override {
    std::string line = "ReportEventA " + Hex(log) + " " + std::to_string(type) + " " +
                       std::to_string(category) + " " + std::to_string(id) + (user ? " user" : "") +
                       " " + std::to_string(count);
    for (WORD i = 0; i < count; ++i)
      line += strings[i] ? " \"" + std::string(strings[i]) + "\"" : " (null)";
    line += " data=" + std::to_string(dataSize) + (data ? "+" : "");
    return Record(line) ? FALSE : TRUE;
  }
  BOOL CloseEventLog(HANDLE log) override { return !Record("CloseEventLog " + Hex(log)); }
  std::string ExecutablePath() override {
    if (throwAlways) throw std::runtime_error("out of memory");
    return executablePath;
  }

 private:
  static std::string Hex(const void* value) { return Hex(reinterpret_cast<uintptr_t>(value)); }
  static std::string Hex(uintptr_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
  }
  static std::string Root(HKEY root) { return root == HKEY_LOCAL_MACHINE ? "HKLM\\" : "?\\"; }

  // Records the call; true when it is to fail.
  bool Record(const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(line);
    }
    if (throwAlways) throw std::runtime_error("out of memory");
    return !failOn.empty() && line.rfind(failOn, 0) == 0;
  }

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

const std::string kSources = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

TEST(ResolveIdentification, KeepsTheFileNameWithoutItsLastExtension) {
  const struct {
    const char* path;
    const char* name;
  } cases[] = {
      {"C:\\Program Files\\Tevrin\\brenlow.exe", "brenlow"},
      {"C:\\x\\my.agent.exe", "my.agent"},
      {"C:\\x\\.hidden", ".hidden"},  // the only "." is the first character
      {"C:\\x\\.hidden.exe", ".hidden"},
      {"C:\\dir.d\\noext", "noext"},  // a "." in a folder name does not count
      {"C:/unix/style.exe", "style"},
      {"C:name.exe", "name"},
      {"trailing.", "trailing"},
      {"plain.exe", "plain"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveIdentification(c.path), c.name) << c.path;
}

TEST(TEventLog, OpensOnTheFirstEntryAndWritesLevelCategoryAndId) {
  FakeApi api;
  auto log = std::make_unique<TEventLog>(api);
  log->SetIdentification("Tevrin Inner Service");
  EXPECT_FALSE(log->Active());
  EXPECT_EQ(log->EventIDOffset(), 0u);

  log->LogWarning("probe failed 3 times");
  EXPECT_TRUE(log->Active());
  EXPECT_EQ(log->EventIDOffset(), 1000u);
  log->LogInfo("Starting qrx_proxy process.");
  log->LogError("");
  log->LogInfo("100% done,\r\n\tsecond line");
  log.reset();

  EXPECT_THAT(api.Calls(),
              ElementsAre("OpenEventLogA (null) \"Tevrin Inner Service\"",
                          "ReportEventA cafe 2 2 1002 1 \"probe failed 3 times\" data=0",
                          "ReportEventA cafe 4 1 1001 1 \"Starting qrx_proxy process.\" data=0",
                          // An empty message is an empty text, not a missing one.
                          "ReportEventA cafe 1 3 1003 1 \"\" data=0",
                          // Nothing is added, cut or escaped.
                          "ReportEventA cafe 4 1 1001 1 \"100% done,\r\n\tsecond line\" data=0",
                          "CloseEventLog cafe"));
}

TEST(TEventLog, ResolvesAnEmptyIdentificationAndKeepsAGivenOffset) {
  FakeApi api;
  {
    TEventLog log(api);
    log.SetEventIDOffset(5000);
    log.LogEntry(etDebug, "x");
    EXPECT_EQ(log.Identification(), "my.agent");
    EXPECT_EQ(log.EventIDOffset(), 5000u);
  }
  EXPECT_THAT(api.Calls(),
              ElementsAre("OpenEventLogA (null) \"my.agent\"",
                          "ReportEventA cafe 4 4 5004 1 \"x\" data=0", "CloseEventLog cafe"));
}

// A failed open is not repeated: the writer is active, each entry goes to ReportEventA with the
// null handle (which drops it), and there is no handle to close.
TEST(TEventLog, AFailedOpenLeavesTheWriterActiveAndIsNeverRetried) {
  FakeApi api;
  api.failOn = "OpenEventLogA";
  {
    TEventLog log(api);
    log.SetIdentification("Src");
    log.LogInfo("one");
    EXPECT_TRUE(log.Active());
    log.LogError("two");
  }
  EXPECT_THAT(api.Calls(), ElementsAre("OpenEventLogA (null) \"Src\"",
                                       "ReportEventA 0 4 1 1001 1 \"one\" data=0",
                                       "ReportEventA 0 1 3 1003 1 \"two\" data=0"));
}

TEST(TEventLog, RegistersTheFourValuesInOrderWithoutOpeningTheLog) {
  FakeApi api;
  {
    TEventLog log(api);
    log.SetIdentification("Tevrin Inner Service");
    EXPECT_TRUE(log.RegisterSource(""));
    EXPECT_FALSE(log.Active());
  }
  const std::string exe = "\"C:\\Program Files\\Tevrin\\my.agent.exe\\0\" size=37";
  EXPECT_THAT(
      api.Calls(),
      ElementsAre("RegCreateKeyExA " + kSources + "Tevrin Inner Service 0 \"\" 0 f003f",
                  "RegSetValueExA 4b4b CategoryCount REG_DWORD 4 size=4",
                  "RegSetValueExA 4b4b TypesSupported REG_DWORD 7 size=4",
                  "RegSetValueExA 4b4b CategoryMessageFile REG_SZ " + exe,
                  "RegSetValueExA 4b4b EventMessageFile REG_SZ " + exe, "RegCloseKey 4b4b"));

  // A given message file, under the name resolved from the executable.
  FakeApi other;
  TEventLog resolved(other);
  EXPECT_TRUE(resolved.RegisterSource("D:\\m.dll"));
  const auto calls = other.Calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[0].rfind("RegCreateKeyExA " + kSources + "my.agent 0", 0), 0u) << calls[0];
  EXPECT_EQ(calls[4], "RegSetValueExA 4b4b EventMessageFile REG_SZ \"D:\\m.dll\\0\" size=9");
}

// A key that cannot be created gets nothing; a value that cannot be written stops the ones
// after it, and the key is closed all the same.
TEST(TEventLog, AFailedRegistryCallStopsTheLaterOnes) {
  const struct {
    const char* failOn;
    size_t values;
    bool closed;
  } cases[] = {
      {"RegCreateKeyExA", 0, false},
      {"RegSetValueExA 4b4b CategoryCount", 1, true},
      {"RegSetValueExA 4b4b TypesSupported", 2, true},
      {"RegSetValueExA 4b4b CategoryMessageFile", 3, true},
      {"RegSetValueExA 4b4b EventMessageFile", 4, true},
  };
  for (const auto& c : cases) {
    FakeApi api;
    api.failOn = c.failOn;
    TEventLog log(api);
    log.SetIdentification("Src");
    EXPECT_FALSE(log.RegisterSource("")) << c.failOn;
    EXPECT_EQ(api.Count("RegSetValueExA"), c.values) << c.failOn;
    EXPECT_EQ(api.Count("RegCloseKey"), c.closed ? 1u : 0u) << c.failOn;
    // Entries are still written under the same name.
    log.LogInfo("after");
    EXPECT_EQ(api.Count("OpenEventLogA (null) \"Src\""), 1u) << c.failOn;
  }
}

TEST(TEventLog, UnregisterDeletesTheSourceKeyButNeverTheApplicationKey) {
  FakeApi api;
  TEventLog log(api);
  EXPECT_TRUE(log.UnregisterSource());
  api.failOn = "RegDeleteKeyA";
  EXPECT_FALSE(log.UnregisterSource());
  EXPECT_THAT(api.Calls(), ElementsAre("RegDeleteKeyA " + kSources + "my.agent",
                                       "RegDeleteKeyA " + kSources + "my.agent"));

  // Without a source name the key path would be the Application log's own key.
  FakeApi nameless;
  nameless.executablePath = "";
  TEventLog unnamed(nameless);
  EXPECT_FALSE(unnamed.RegisterSource(""));
  EXPECT_FALSE(unnamed.UnregisterSource());
  EXPECT_THAT(nameless.Calls(), IsEmpty());
}

TEST(TEventLog, NothingEscapesToTheCaller) {
  FakeApi api;
  api.throwAlways = true;
  {
    TEventLog log(api);
    log.SetIdentification("Src");
    EXPECT_FALSE(log.RegisterSource(""));
    EXPECT_FALSE(log.UnregisterSource());
    log.LogWarning("one");
    EXPECT_TRUE(log.Active());
    log.LogInfo("two");
  }
  // The open that threw is not tried again; the entries were still attempted.
  EXPECT_EQ(api.Count("OpenEventLogA"), 1u);
  EXPECT_EQ(api.Count("ReportEventA"), 2u);
  EXPECT_EQ(api.Count("CloseEventLog"), 0u);
}

// Threads writing their first entries at once open the log once, and none writes before the
// open has finished.
TEST(TEventLog, ConcurrentFirstEntriesOpenOnce) {
  FakeApi api;
  api.openDelayMs = 100;
  TEventLog log(api);
  log.SetIdentification("Src");
  UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(go);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&log, &go, i] {
      WaitForSingleObject(go.get(), INFINITE);
      log.LogEntry(i % 2 ? etWarning : etError, "first");
    });
  }
  Sleep(50);
  SetEvent(go.get());
  for (auto& thread : threads) thread.join();
  const auto calls = api.Calls();
  ASSERT_EQ(calls.size(), 9u);
  EXPECT_EQ(calls[0], "OpenEventLogA (null) \"Src\"");
  for (size_t i = 1; i < calls.size(); ++i)
    EXPECT_EQ(calls[i].rfind("ReportEventA cafe ", 0), 0u) << calls[i];
}

// Repeats, on a clock of the test's own: an entry whose level and text were written ten times
// in the last ten minutes is left out; once the oldest of them has left the window, one
// Information entry counts the left-out ones before the next entry of that text is written. Other
// texts and levels are counted apart, and what is left at the end is reported then.
TEST(TEventLog, LeavesOutTheEleventhRepeatWithinTenMinutesAndSaysSoLater) {
  FakeApi api;
  ULONGLONG now = 5000;
  {
    TEventLog log(api, TRepeatLimitSettings{.Now = [&] { return now; }});
    log.SetIdentification("Src");
    for (int i = 0; i < 12; ++i, now += 1000) log.LogInfo("Error waiting pipe. Error num = 2");
    log.LogWarning("Error waiting pipe. Error num = 2");
    log.LogInfo("Error waiting pipe. Error num = 231");
    EXPECT_EQ(api.Count("ReportEventA"), 12u);
    now = 5000 + 10 * 60 * 1000 - 1;  // the first entry is still within the window
    log.LogInfo("Error waiting pipe. Error num = 2");
    EXPECT_EQ(api.Count("ReportEventA"), 12u);
    now += 1;
    log.LogInfo("Error waiting pipe. Error num = 2");
    for (int i = 0; i < 30; ++i) log.LogError("Cannot start");
  }
  const auto calls = api.Calls();
  ASSERT_EQ(calls.size(), 27u);
  EXPECT_EQ(calls[11], "ReportEventA cafe 2 2 1002 1 \"Error waiting pipe. Error num = 2\" data=0");
  EXPECT_EQ(calls[12],
            "ReportEventA cafe 4 1 1001 1 \"Error waiting pipe. Error num = 231\" data=0");
  // Left out from second 15 (the eleventh) to 10:05: the last 10 minutes.
  EXPECT_EQ(calls[13],
            "ReportEventA cafe 4 1 1001 1 \"3 entries like \"Error waiting pipe. Error num = 2\" "
            "were left out in the last 10 minutes.\" data=0");
  EXPECT_EQ(calls[14], "ReportEventA cafe 4 1 1001 1 \"Error waiting pipe. Error num = 2\" data=0");
  EXPECT_EQ(calls[24], "ReportEventA cafe 1 3 1003 1 \"Cannot start\" data=0");
  EXPECT_EQ(calls[25],
            "ReportEventA cafe 4 1 1001 1 \"20 entries like \"Cannot start\" were left out in "
            "the last 1 minutes.\" data=0");
}

// The minutes of a report are whole and cover every entry it counts; texts no longer repeated
// are forgotten, and no more than MaxTexts are followed at once.
TEST(TRepeatLimit, ReportsTruthfulMinutesAndForgetsOldTexts) {
  const std::string x = "4 entries like \"x\" were left out in the last ";
  EXPECT_EQ(LeftOutText(4, "x", 1000, 1000), x + "1 minutes.");
  EXPECT_EQ(LeftOutText(4, "x", 1000, 61000), x + "1 minutes.");
  EXPECT_EQ(LeftOutText(4, "x", 1000, 61001), x + "2 minutes.");
  ULONGLONG now = 0;
  TRepeatLimit limit(TRepeatLimitSettings{.Count = 1, .MaxTexts = 3, .Now = [&] { return ++now; }});
  for (const char* text : {"a", "a", "b", "c"}) limit.Admit(etInfo, text);
  // "a", seen longest ago, makes room for "d" and reports what it left out.
  EXPECT_THAT(limit.Admit(etInfo, "d").Reports,
              ElementsAre("1 entries like \"a\" were left out in the last 1 minutes."));
  EXPECT_EQ(limit.Followed(), 3u);
  now += 10 * 60 * 1000;  // all of them have left the window
  const auto later = limit.Admit(etInfo, "e");
  EXPECT_TRUE(later.Reports.empty() && later.Write);
  EXPECT_EQ(limit.Followed(), 1u);
  EXPECT_TRUE(limit.TakeAllReports().empty());
}

}  // namespace
}  // namespace brenlow::test
