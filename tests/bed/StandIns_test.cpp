// The stand-ins that the other tests rely on behave as the real programs would.

#include <windows.h>

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

// Sends one request byte to the companion's pipe and returns the reply (-1 when there is none).
int Probe() {
  const char* name = "\\\\.\\pipe\\tevrin_qrx_proxy_pipe";
  if (!WaitNamedPipeA(name, 5000)) return -1;
  UniqueHandle pipe(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!pipe) return -1;
  unsigned char byte = 0;
  DWORD n = 0;
  if (!WriteFile(pipe.get(), &byte, 1, &n, nullptr)) return -1;
  if (!ReadFile(pipe.get(), &byte, 1, &n, nullptr) || n != 1) return -1;
  return byte;
}

TEST(TaskkillStandIn, EndsAProcessTreeThroughCmdAsTheKillStepRunsIt) {
  TempDir dir;
  CopyFileOrThrow(StandInPath("sleeper.exe"), dir / "bedroot.exe");
  CopyFileOrThrow(StandInPath("sleeper.exe"), dir / "bedkid.exe");
  Launch(dir / "bedroot.exe", "--spawn \"" + (dir / "bedkid.exe") + "\"");
  ASSERT_TRUE(WaitFor([] { return ProcessIdsByName("bedkid.exe").size() == 1; }, 20000));

  // The same shape of command line the service uses: cmd ""/C taskkill /im NAME /f /t.
  const auto result = RunProcess("cmd \"\"/C taskkill /im bedroot.exe /f /t");
  EXPECT_EQ(result.exitCode, 0u) << result.out << result.err;
  EXPECT_NE(result.out.find("bedkid.exe"), std::string::npos) << result.out;
  EXPECT_TRUE(WaitFor([] { return ProcessIdsByName("bedroot.exe").empty(); }, 20000));
  EXPECT_TRUE(WaitFor([] { return ProcessIdsByName("bedkid.exe").empty(); }, 20000));

  const auto none = RunProcess("cmd \"\"/C taskkill /im bedroot.exe /f /t");
  EXPECT_EQ(none.exitCode, 128u);
}

TEST(CompanionStandIn, AnswersByTheModeBesideIt) {
  TempDir dir;
  CopyFileOrThrow(StandInPath("qrx_proxy.exe"), dir / "qrx_proxy.exe");
  WriteFileText(dir / "qrx_proxy.mode", "reply1\r\n");
  Launch(dir / "qrx_proxy.exe");
  EXPECT_TRUE(WaitFor([] { return Probe() == 1; }, 20000));

  WriteFileText(dir / "qrx_proxy.mode", "reply0");
  EXPECT_TRUE(WaitFor([] { return Probe() == 0; }, 20000));

  KillProcessesByName("qrx_proxy.exe");
  EXPECT_NE(ReadFileText(dir / "qrx_proxy.log").find("start "), std::string::npos);
}

}  // namespace
}  // namespace brenlow::test
