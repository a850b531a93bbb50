// The registration of the agent's event source in the real (Wine) registry, as brenlow.exe
// writes it at start whatever it was asked to do.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "agent/QRXProxyCheckerUnit.h"
#include "common/UniqueHandle.h"
#include "tests/support/EventTrace.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

const char* const kAgentKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tevrin Inner Service";

struct Value {
  bool present = false;
  DWORD type = 0;
  DWORD size = 0;
  std::string data;
};

Value ReadValue(const char* name) {
  Value value;
  UniqueRegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return value;
  char buffer[4096];
  DWORD size = sizeof(buffer);
  if (RegQueryValueExA(key.get(), name, nullptr, &value.type, reinterpret_cast<BYTE*>(buffer),
                       &size) != ERROR_SUCCESS)
    return value;
  value.present = true;
  value.size = size;
  value.data.assign(buffer, size);
  return value;
}

DWORD DwordOf(const Value& value) {
  DWORD number = 0;
  if (value.data.size() == sizeof(number)) std::memcpy(&number, value.data.data(), sizeof(number));
  return number;
}

// Both message files name the executable, each stored with its terminating null counted.
void ExpectRegisteredWith(const std::string& exe) {
  const Value count = ReadValue("CategoryCount");
  EXPECT_EQ(count.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(DwordOf(count), 4u);
  const Value types = ReadValue("TypesSupported");
  EXPECT_EQ(types.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(DwordOf(types), 7u);
  for (const char* name : {"CategoryMessageFile", "EventMessageFile"}) {
    const Value file = ReadValue(name);
    EXPECT_EQ(file.type, static_cast<DWORD>(REG_SZ)) << name;
    EXPECT_EQ(file.size, exe.size() + 1) << name;
    EXPECT_EQ(file.data, exe + '\0') << name;
  }
}

TEST(AgentEventLog, IsOneInactiveWriterForTheAgentSource) {
  TEventLog& log = AgentEventLog();
  EXPECT_EQ(&log, &AgentEventLog());
  EXPECT_EQ(log.Identification(), "Tevrin Inner Service");
  EXPECT_FALSE(log.Active());
}

// Printing the usage registers the source with the executable's path but never opens the log.
TEST(AgentEventSource, IsRegisteredByAnyRunWithoutOpeningTheLog) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAgentKey);
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
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
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
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
    RegDeleteValueA(key.get(), "Other");
  key.reset();
  EXPECT_EQ(RunProcess("\"" + original + "\"").exitCode, 0u);
  ExpectRegisteredWith(original);
}

}  // namespace
}  // namespace brenlow::test
