// The registration of the agent's event source in the real (Wine) registry, as brenlow.exe
// writes it at start whatever it was asked to do.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "agent/QRXProxyCheckerUnit.h"
#include "common/UniqueHandle.h"
#include "tests/support/EventSourceCheck.h"
#include "tests/support/EventTrace.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

const std::string kAgentKey = EventSourceKey("Tevrin Inner Service");

RegistryValue ReadValue(const char* name) { return ReadMachineValue(kAgentKey, name); }

void ExpectRegisteredWith(const std::string& exe) {
  ExpectEventSourceRegisteredWith("Tevrin Inner Service", exe);
}

TEST(AgentEventLog, IsOneInactiveWriterForTheAgentSource) {
  TEventLog& log = AgentEventLog();
  EXPECT_EQ(&log, &AgentEventLog());
  EXPECT_EQ(log.Identification(), "Tevrin Inner Service");
  EXPECT_FALSE(log.Active());
}

// Printing the usage registers the source with the executable's path but never opens the log.
TEST(AgentEventSource, IsRegisteredByAnyRunWithoutOpeningTheLog) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAgentKey.c_str());
  ASSERT_FALSE(ReadValue("CategoryCount").present);
  const TraceFile trace = TraceFile::OfChildren();
  const std::string exe = ProgramPath("brenlow.exe");
  const auto result = RunProcess("\"" + exe + "\"", {kEventTraceDebug});
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(result.out.rfind("Usage:", 0), 0u) << result.out;
  ExpectRegisteredWith(exe);
  EXPECT_EQ(trace.Text().find("OpenEventLog"), std::string::npos) << trace.Text();
  EXPECT_TRUE(trace.Entries().empty());
}

// Run from another folder, the executable rewrites both message files with its new path and
// leaves the key's other values alone.
TEST(AgentEventSource, FollowsTheExecutableToAnotherFolder) {
  const std::string original = ProgramPath("brenlow.exe");
  {
    TempDir dir;
    const std::string copy = dir / "brenlow.exe";
    CopyFileOrThrow(original, copy);
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAgentKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    const char other[] = "kept";
    ASSERT_EQ(RegSetValueExA(key.get(), "Other", 0, REG_SZ, reinterpret_cast<const BYTE*>(other),
                             sizeof(other)),
              ERROR_SUCCESS);
    key.reset();

    const auto result = RunProcess("\"" + copy + "\"", {}, 60000, dir.path());
    EXPECT_EQ(result.exitCode, 0u);
    ExpectRegisteredWith(copy);
    EXPECT_EQ(ReadValue("Other").data, std::string("kept") + '\0');
  }
  // Back to the build's own executable, and without the extra value.
  UniqueRegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKey.c_str(), 0, KEY_SET_VALUE, key.put()) ==
      ERROR_SUCCESS)
    RegDeleteValueA(key.get(), "Other");
  key.reset();
  EXPECT_EQ(RunProcess("\"" + original + "\"").exitCode, 0u);
  ExpectRegisteredWith(original);
}

}  // namespace
}  // namespace brenlow::test
