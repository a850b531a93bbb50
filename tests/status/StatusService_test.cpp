// brenlow.exe --status against the service in Wine's service manager, with the interpreter and
// companion stand-ins: one life from installed to stopped, read as an administrator, a monitoring
// check and a JSON parser would, with the failing streak's entries from the trace, and an impostor
// that runs from another folder and holds the companion's pipe when the service starts.

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "agent/DaemonUnit1.h"
#include "status/StatusLayout.h"
#include "tests/service/ServiceClient.h"
#include "tests/support/EventTrace.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

const char* const kService = "TevrinInternalSvc";

// The line of the report that holds what, or "" when none does.
std::string LineWith(const std::string& report, const std::string& what) {
  const size_t at = report.find(what);
  if (at == std::string::npos) return "";
  const size_t begin = report.rfind('\n', at) + 1;
  return report.substr(begin, report.find("\r\n", at) - begin);
}

std::string AccessListOf(HKEY key) {
  DWORD size = 4096;
  std::vector<BYTE> descriptor(size);
  char* text = nullptr;
  if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size) ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
    return "<unreadable>";
  const std::string result(text);
  LocalFree(text);
  return result;
}

class StatusOfTheService : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveService(kService);
    for (const std::string& made : {folder_, php_, dir_ / "web", scripts_})
      ASSERT_TRUE(CreateDirectoryA(made.c_str(), nullptr)) << made;
    CopyFileOrThrow(ProgramPath("brenlow.exe"), Exe());
    CopyFileOrThrow(StandInPath("php_standin.exe"), php_ + "\\php.exe");
    CopyFileOrThrow(StandInPath("qrx_proxy.exe"), folder_ + "\\qrx_proxy.exe");
    WriteFileText(folder_ + "\\brenlow.ini", "[General]\r\nPHP_EXE_PATH=" + php_ +
                                                 "\\php.exe\r\nWEB_ROOT_PATH=" + dir_ / "web");
    // Every script there, so that the checks at the start find nothing to fail.
    for (const TScriptScheduleRow& row : ScriptSchedule)
      WriteFileText(scripts_ + "\\" + row.ScriptFile, "<?php\r\n");
    ASSERT_EQ(Status().exitCode, 2u);  // not installed
    ASSERT_EQ(RunProcess("\"" + Exe() + "\" --install").exitCode, 0u);
  }
  void TearDown() override {
    RemoveService(kService);
    KillProcessesByName("qrx_proxy.exe");
  }

  std::string Exe() const { return folder_ + "\\brenlow.exe"; }
  ProcessResult Status() { return RunProcess("\"" + Exe() + "\" --status"); }
  // Tells the interpreter stand-in how runs of task.reach.probe.php (every 3 s) end.
  void ProbeScriptExits(unsigned code) {
    WriteFileText(scripts_ + "\\task.reach.probe.php", "standin: exit=" + std::to_string(code));
  }
  static std::vector<TraceEntry> ScriptEntries(const TraceFile& trace) {
    std::vector<TraceEntry> entries;
    for (const TraceEntry& e : trace.Entries())
      if (e.source == "Tevrin Inner Service" && e.text.rfind("Script ", 0) == 0)
        entries.push_back(e);
    return entries;
  }

  TempDir dir_;
  const std::string folder_ = dir_ / "Tevrin Agent", php_ = dir_ / "php";
  const std::string scripts_ = dir_ / "web\\scripts";
};

TEST_F(StatusOfTheService, ShowsTheLiveStatusReportsAFailingStreakOnceAndEndsWithTheService) {
  // What an earlier process might have left: a lasting key, with a script no longer there.
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kStatusKeyPath);
  UniqueRegKey key;
  ASSERT_EQ(
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kStatusKeyPath) + "\\task.gone.php").c_str(),
                      0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(Status().exitCode, 2u);  // installed, stopped

  // A program named qrx_proxy.exe from another folder runs from before the service's start and
  // serves the companion's pipe, answering 1. The program's own companion serves no pipe yet.
  const std::string impostor = dir_ / "elsewhere\\qrx_proxy.exe";
  ASSERT_TRUE(CreateDirectoryA((dir_ / "elsewhere").c_str(), nullptr));
  CopyFileOrThrow(StandInPath("qrx_proxy.exe"), impostor);
  const DWORD impostorId = Launch(impostor);
  ASSERT_TRUE(WaitFor([] { return WaitNamedPipeA(ProbePipeName, 1) != FALSE; }, 20000));
  WriteFileText(folder_ + "\\qrx_proxy.mode", "nopipe");

  ProbeScriptExits(3);
  const TraceFile trace;
  const DWORD started = GetTickCount();
  ASSERT_EQ(StartNamedService(kService), 0u);
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  const std::string pid = std::to_string(QueryState(kService).processId);

  // The impostor keeps nothing from being started: the launcher starts the program's own
  // companion beside it at once.
  ASSERT_TRUE(WaitFor([&] { return FileExists(folder_ + "\\qrx_proxy.log"); }, 20000));
  std::cout << "the program's own companion ran " << GetTickCount() - started
            << " ms after the service's start\n";
  std::vector<DWORD> companions = ProcessIdsByName("qrx_proxy.exe");
  ASSERT_EQ(companions.size(), 2u);
  const DWORD own = companions[0] == impostorId ? companions[1] : companions[0];

  // --check counts only the program's own companion and fails the pipe's server.
  const ProcessResult check = RunProcess("\"" + Exe() + "\" --check");
  EXPECT_EQ(check.exitCode, 2u);
  EXPECT_NE(check.out.find("OK   companion process: running, process id " + std::to_string(own) +
                           "; not the companion, so not counted: " + std::to_string(impostorId) +
                           " (" + impostor + ")"),
            std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find(std::string("FAIL companion pipe ") + ProbePipeName +
                           ": served by process " + std::to_string(impostorId) + " (" + impostor +
                           "), not by " + folder_ + "\\qrx_proxy.exe"),
            std::string::npos)
      << check.out;

  // After five failed runs: WARNING, and every script with a line of its own.
  ProcessResult status;
  ASSERT_TRUE(WaitFor([&] { return (status = Status()).exitCode == 1; }, 90000)) << status.out;
  EXPECT_EQ(status.out.rfind("WARNING: task.reach.probe.php failed ", 0), 0u) << status.out;
  EXPECT_NE(LineWith(status.out, "Service TevrinInternalSvc: running, process " + pid + ","), "");
  for (const TScriptScheduleRow& row : ScriptSchedule)
    EXPECT_NE(LineWith(status.out, std::string("  ") + row.ScriptFile + "  "), "") << status.out;
  EXPECT_NE(LineWith(status.out, "  task.reach.probe.php  ").find(" in a row, exit code 3; last"),
            std::string::npos);
  // The same verdict as one JSON object, with the same exit code, and every script in it.
  const ProcessResult asJson = RunProcess("\"" + Exe() + "\" -s --json");
  const nlohmann::json json = nlohmann::json::parse(asJson.out, nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << asJson.out;
  EXPECT_EQ(asJson.exitCode, 1u);
  EXPECT_EQ(json["verdict"], "WARNING");
  EXPECT_EQ(json["exitCode"], 1);
  EXPECT_EQ(json["service"]["processId"], QueryState(kService).processId);
  EXPECT_NE(asJson.out.find("\"task.reach.probe.php failed "), std::string::npos) << asJson.out;
  ASSERT_EQ(json["scripts"].size(), ScriptSchedule.size()) << asJson.out;
  for (size_t i = 0; i < ScriptSchedule.size(); ++i)
    EXPECT_EQ(json["scripts"][i]["name"], ScriptSchedule[i].ScriptFile);
  EXPECT_EQ(json["scripts"][2]["lastExitCode"], 3);  // task.reach.probe.php
  // The 3 s script's last end shows between its runs; a report may fall on a run under way.
  EXPECT_TRUE(WaitFor(
      [&] {
        return LineWith(Status().out, "  task.upstream.sync.php  ").find(", exit 0; ") !=
               std::string::npos;
      },
      20000, 200));
  // The monitor's ten probes of the impostor end in the kill by name, which ends it too; the
  // launcher then starts the companion afresh, which now serves the pipe. The companion line
  // names the process the launcher waits on, and the kill.
  ASSERT_TRUE(WaitFor(
      [&] {
        return !ProcessIdsByName("qrx_proxy.exe").empty() &&
               ProcessIdsByName("qrx_proxy.exe") != companions;
      },
      150000, 500));
  WriteFileText(folder_ + "\\qrx_proxy.mode", "reply1");
  ASSERT_TRUE(WaitFor(
      [&] {
        companions = ProcessIdsByName("qrx_proxy.exe");
        status = Status();
        return companions.size() == 1 &&
               ReadFileText(folder_ + "\\qrx_proxy.log")
                       .find("start " + std::to_string(companions[0]) + " ") != std::string::npos &&
               LineWith(status.out, "Companion qrx_proxy.exe: process " +
                                        std::to_string(companions[0]) + "; 2 starts, 1 kill;") !=
                   "";
      },
      150000, 500))
      << status.out;
  std::cout << "the companion ran " << (GetTickCount() - started) / 1000
            << " s after the service's start, the impostor killed\n";

  // The key was made afresh: volatile, only SYSTEM and Administrators may write.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStatusKeyPath, 0, KEY_ALL_ACCESS, key.put()), 0);
  EXPECT_EQ(AccessListOf(key.get()), kStatusKeySddl);
  UniqueRegKey child;
  EXPECT_EQ(RegOpenKeyExA(key.get(), "task.gone.php", 0, KEY_READ, child.put()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExA(key.get(), "lasting", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, child.put(), nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  key.reset();

  // The script runs well again: one Information after the one Warning, and OK.
  ProbeScriptExits(0);
  ASSERT_TRUE(WaitFor([&] { return ScriptEntries(trace).size() >= 2; }, 60000)) << trace.Text();
  ASSERT_TRUE(WaitFor([&] { return (status = Status()).exitCode == 0; }, 60000)) << status.out;
  const std::vector<TraceEntry> entries = ScriptEntries(trace);
  ASSERT_EQ(entries.size(), 2u) << trace.Text();
  EXPECT_EQ(entries[0].type, static_cast<unsigned>(EVENTLOG_WARNING_TYPE));
  EXPECT_EQ(entries[0].text,
            "Script task.reach.probe.php has failed 5 runs in a row; the last one: exit code 3.");
  EXPECT_EQ(entries[1].type, static_cast<unsigned>(EVENTLOG_INFORMATION_TYPE));
  EXPECT_EQ(entries[1].text.rfind("Script task.reach.probe.php ran well again after ", 0), 0u);

  // Stopped: CRITICAL, and the status has gone with the service.
  ASSERT_EQ(SendControl(kService, SERVICE_CONTROL_STOP), 0u);
  ASSERT_TRUE(WaitForState(kService, SERVICE_STOPPED));
  status = Status();
  EXPECT_EQ(status.exitCode, 2u);
  EXPECT_EQ(status.out,
            "CRITICAL: TevrinInternalSvc is stopped\r\nService TevrinInternalSvc: stopped\r\n");
  const ProcessResult stoppedJson = RunProcess("\"" + Exe() + "\" --status --json");
  const nlohmann::json stopped = nlohmann::json::parse(stoppedJson.out, nullptr, false);
  EXPECT_EQ(stoppedJson.exitCode, 2u);
  EXPECT_EQ(stopped["verdict"], "CRITICAL") << stoppedJson.out;
  EXPECT_TRUE(stopped["companion"].is_null() && stopped["scripts"].empty()) << stoppedJson.out;

  // The companion outlives the service, and the service started again takes it over.
  ASSERT_EQ(ProcessIdsByName("qrx_proxy.exe"), companions);
  ASSERT_EQ(StartNamedService(kService), 0u);
  ASSERT_TRUE(WaitForState(kService, SERVICE_RUNNING));
  EXPECT_TRUE(WaitFor(
      [&] {
        return LineWith((status = Status()).out,
                        "Companion qrx_proxy.exe: process " + std::to_string(companions[0]) +
                            "; 0 starts, 0 kills;") != "";
      },
      30000, 500))
      << status.out;
  EXPECT_EQ(ProcessIdsByName("qrx_proxy.exe"), companions);
  ASSERT_EQ(SendControl(kService, SERVICE_CONTROL_STOP), 0u);
  ASSERT_TRUE(WaitForState(kService, SERVICE_STOPPED));
}

}  // namespace
}  // namespace brenlow::test
