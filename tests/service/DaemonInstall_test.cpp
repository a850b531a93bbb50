// Install, uninstall and the failure path of a command, against the stand-in service manager;
// the registration rules of the host.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "common/SystemError.h"
#include "service/DaemonErrors.h"
#include "tests/service/HostHarness.h"

namespace brenlow::test {
namespace {

using Calls = std::vector<std::string>;
const std::string kOpenManager = "OpenSCManagerA 983103";                  // SC_MANAGER_ALL_ACCESS
const std::string kOpenService = "OpenServiceA TevrinInternalSvc 983551";  // SERVICE_ALL_ACCESS

TEST(DaemonInstall, CreatesTheServiceWithThisProgramsDefinition) {
  HostHarness host;
  EXPECT_EQ(host.Run({"-i"}), 0);
  EXPECT_EQ(host.calls.calls,
            (Calls{kOpenManager, "CreateServiceA TevrinInternalSvc",
                   "ChangeServiceConfig2A TevrinInternalSvc 1",  // the description
                   "ChangeServiceConfig2A TevrinInternalSvc 2",  // the recovery actions
                   "CloseServiceHandle TevrinInternalSvc", "CloseServiceHandle "}));
  ASSERT_EQ(host.calls.services.count("TevrinInternalSvc"), 1u);
  const auto& s = host.calls.services["TevrinInternalSvc"];
  EXPECT_EQ(s.displayName, "Tevrin Internal Service");
  EXPECT_EQ(s.description, "Tevrin inner service");
  EXPECT_EQ(s.access, static_cast<DWORD>(SERVICE_ALL_ACCESS));
  EXPECT_EQ(s.serviceType, 0x10u);
  EXPECT_EQ(s.startType, 2u);
  EXPECT_EQ(s.errorControl, 0u);
  EXPECT_EQ(s.binaryPath, ServiceCommandLine(ExecutablePath(), ""));
  EXPECT_EQ(s.loadOrderGroup, "");
  EXPECT_EQ(s.dependencies, "");
  EXPECT_FALSE(s.tagRequested);
  EXPECT_TRUE(s.startNameNull);
  EXPECT_TRUE(s.passwordNull);
  // Restart after 5 s, 30 s, then 60 s for every later failure; the count resets after a day.
  EXPECT_TRUE(s.failureActionsSet);
  EXPECT_EQ(s.resetPeriod, 86400u);
  EXPECT_TRUE(s.rebootMsgNull);
  EXPECT_TRUE(s.commandNull);
  EXPECT_EQ(s.failureActions, (std::vector<std::pair<int, DWORD>>{{SC_ACTION_RESTART, 5000},
                                                                  {SC_ACTION_RESTART, 30000},
                                                                  {SC_ACTION_RESTART, 60000}}));
  EXPECT_TRUE(host.calls.openHandles.empty());
  EXPECT_TRUE(host.calls.output.empty());
  EXPECT_TRUE(host.calls.Log().empty());
}

TEST(DaemonInstall, AFailingCallEndsTheCommandWithItsErrorAndClosesWhatWasOpen) {
  struct Case {
    Calls args;
    const char* failing;  // injected failure; none: the service exists already
    DWORD code;
    std::size_t callsMade;
  };
  const Case cases[] = {
      {{"--install"}, "OpenSCManagerA", ERROR_ACCESS_DENIED, 1},
      {{"--install"}, nullptr, ERROR_SERVICE_EXISTS, 3},
      {{"--uninstall"}, "OpenSCManagerA", ERROR_ACCESS_DENIED, 2},
      {{"--uninstall"}, nullptr, ERROR_SERVICE_DOES_NOT_EXIST, 4},
      {{"--uninstall"}, "DeleteService", ERROR_SERVICE_MARKED_FOR_DELETE, 6},
  };
  for (const auto& c : cases) {
    const std::string label = c.args[0] + " " + std::to_string(c.code);
    HostHarness host;
    if (c.failing != nullptr) host.calls.failWith[c.failing] = c.code;
    if (c.code == ERROR_SERVICE_EXISTS || c.code == ERROR_SERVICE_MARKED_FOR_DELETE)
      host.calls.services["TevrinInternalSvc"] = {};
    EXPECT_EQ(host.Run(c.args), 1) << label;
    EXPECT_EQ(host.calls.calls.size(), c.callsMade) << label;
    EXPECT_TRUE(host.calls.openHandles.empty()) << label;
    const std::string message = OSErrorMessage(c.code);
    const auto log = host.calls.Log();
    ASSERT_EQ(log.size(), 1u) << label;
    EXPECT_EQ(log[0].level, 'E');
    EXPECT_EQ(log[0].text, message);
    const std::string& out = host.calls.output;
    EXPECT_EQ(out.rfind("Exception at ", 0), 0u) << out;
    EXPECT_NE(out.find(": EOSError:\n" + message), std::string::npos) << out;
    // Uninstall removes the host's event source before it opens anything.
    if (c.args[0] == "--uninstall") {
      EXPECT_EQ(host.calls.calls[0], "ServiceLogUnregisterSource");
    }
  }
}

// A service still marked for deletion (1072) is waited for: the creation is tried again until it
// succeeds, or fails with that error once the wait is over.
TEST(DaemonInstall, RetriesTheCreationWhileTheOldServiceIsMarkedForDeletion) {
  for (const bool goesAway : {true, false}) {
    HostHarness host;
    host.calls.failWith["CreateServiceA"] = ERROR_SERVICE_MARKED_FOR_DELETE;
    if (goesAway) host.calls.failTimes["CreateServiceA"] = 3;
    const ULONGLONG began = GetTickCount64();
    EXPECT_EQ(host.Run({"-i"}), goesAway ? 0 : 1);
    const auto tries = std::count(host.calls.calls.begin(), host.calls.calls.end(),
                                  "CreateServiceA TevrinInternalSvc");
    if (goesAway) {
      EXPECT_EQ(tries, 4);
      EXPECT_EQ(host.calls.services.count("TevrinInternalSvc"), 1u);
      EXPECT_TRUE(host.calls.output.empty());
    } else {
      EXPECT_GT(tries, 2);
      EXPECT_GE(GetTickCount64() - began, 400u);
      EXPECT_NE(
          host.calls.output.find(": EOSError:\n" + OSErrorMessage(ERROR_SERVICE_MARKED_FOR_DELETE)),
          std::string::npos)
          << host.calls.output;
    }
    EXPECT_TRUE(host.calls.openHandles.empty());
  }
}

TEST(DaemonInstall, ADescriptionOrRecoveryThatCannotBeSetIsNoFailure) {
  HostHarness host;
  host.calls.failWith["ChangeServiceConfig2A"] = ERROR_ACCESS_DENIED;
  EXPECT_EQ(host.Run({"/INSTALL"}), 0);
  EXPECT_EQ(host.calls.services.count("TevrinInternalSvc"), 1u);
  EXPECT_EQ(host.calls.calls.size(), 6u);  // both settings tried, both handles closed
  EXPECT_TRUE(host.calls.openHandles.empty());
  EXPECT_TRUE(host.calls.output.empty());
}

TEST(DaemonInstall, UninstallRemovesTheSourceThenDeletesTheService) {
  HostHarness host;
  host.calls.services["TevrinInternalSvc"] = {};
  EXPECT_EQ(host.Run({"/UnInstall"}), 0);
  EXPECT_EQ(host.calls.calls,
            (Calls{"ServiceLogUnregisterSource", kOpenManager, kOpenService,
                   "DeleteService TevrinInternalSvc", "CloseServiceHandle TevrinInternalSvc",
                   "CloseServiceHandle "}));
  EXPECT_TRUE(host.calls.services.empty());
  EXPECT_TRUE(host.calls.output.empty());
  EXPECT_TRUE(host.calls.Log().empty());
}

TEST(DaemonInstall, WalksEnabledDefinitionsInOrderWithTheirOwnSettings) {
  HostHarness host;
  std::vector<std::string> events;
  host.adjust = [&](TCustomDaemonMapper& m) {
    m.OnInstall = [&](TCustomDaemonMapper*) { events.push_back("OnInstall"); };
    m.OnUnInstall = [&](TCustomDaemonMapper*) { events.push_back("OnUnInstall"); };
    TDaemonDef& a = m.DaemonDefs[0];
    a.Options.Include(doInteractive);
    a.WinBindings.Dependencies = {{"Tcpip", false}, {"NetGroup", true}};
    a.WinBindings.GroupName = "Tevrin";
    a.WinBindings.UserName = "svcuser";
    a.WinBindings.IDTag = 1;
    TDaemonDef& b = m.DaemonDefs.Add();
    b.DaemonClassName = "TDaemon1";
    b.SetName("Skipped");
    b.Enabled = false;
    TDaemonDef& c = m.DaemonDefs.Add();
    c.DaemonClassName = "TDaemon1";
    c.SetName("Second");
    c.RunArguments = "--fast";
    c.WinBindings.StartType = stManual;
  };
  host.hooks = [&](TDaemon& d) {
    d.BeforeInstall = [&](TDaemon* s) { events.push_back("before " + s->Definition->Name()); };
    d.AfterUnInstall = [&](TDaemon* s) { events.push_back("after " + s->Definition->Name()); };
  };
  EXPECT_EQ(host.Run({"--install=now"}), 0);
  const auto& a = host.calls.services["TevrinInternalSvc"];
  const auto& c = host.calls.services["Second"];
  EXPECT_EQ(host.calls.services.count("Skipped"), 0u);
  // Two services share the process; the interactive flag stays.
  EXPECT_EQ(a.serviceType, 0x120u);
  EXPECT_EQ(c.serviceType, 0x20u);
  EXPECT_EQ(a.dependencies, std::string("Tcpip\0+NetGroup\0\0", 17));
  EXPECT_EQ(a.loadOrderGroup, "Tevrin");
  EXPECT_TRUE(a.tagRequested);
  EXPECT_FALSE(a.startNameNull);
  EXPECT_TRUE(a.passwordNull);
  EXPECT_EQ(c.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(c.binaryPath, ServiceCommandLine(ExecutablePath(), "--fast"));

  EXPECT_EQ(host.Run({"-u"}), 0);
  EXPECT_TRUE(host.calls.services.empty());
  EXPECT_EQ(events, (Calls{"OnInstall", "before TevrinInternalSvc", "before Second", "OnUnInstall",
                           "after Second", "after TevrinInternalSvc"}));
}

TEST(DaemonRegistration, FaultsOfRegistrationAndDefinitions) {
  TDaemonRegistry registry;
  auto mapper = [] { return std::make_unique<TDaemonMapper1>(); };
  registry.RegisterDaemonMapper("TDaemonMapper1", mapper);
  try {
    registry.RegisterDaemonMapper("TOtherMapper", mapper);
    ADD_FAILURE() << "a second mapper was accepted";
  } catch (const EDaemon& e) {
    EXPECT_STREQ(e.what(),
                 "Not changing daemon mapper class TDaemonMapper1 with TOtherMapper: Only 1 "
                 "mapper allowed.");
  }
  // Registering a class again replaces it.
  int made = 0;
  registry.RegisterDaemonClass("TDaemon1", [&] { return ++made, std::make_unique<TDaemon>(); });
  registry.RegisterDaemonClass("TDaemon1", [&] { return made += 10, std::make_unique<TDaemon>(); });
  registry.CreateDaemon("TDaemon1");
  EXPECT_EQ(made, 10);

  TDaemonDefs defs;
  defs.Add().SetName("One");
  TDaemonDef& two = defs.Add();
  two.SetName("Two");
  two.SetName("Two");  // its own name again
  EXPECT_THROW(two.SetName("ONE"), EDaemon);
  EXPECT_EQ(two.Name(), "Two");
}

TEST(DaemonRegistration, ACommandWithoutMapperOrWithAnUnknownClassFails) {
  FakeHostCalls calls;
  TDaemonRegistry empty;
  EXPECT_EQ(TCustomDaemonApplication(empty, calls, {"-i"}).Run(), 1);
  EXPECT_NE(calls.output.find(": EDaemon:\nNo daemon mapper class registered."), std::string::npos)
      << calls.output;

  HostHarness host;
  host.adjust = [](TCustomDaemonMapper& m) { m.DaemonDefs[0].DaemonClassName = "TNope"; };
  EXPECT_EQ(host.Run({}), 1);
  EXPECT_NE(host.calls.output.find(": EDaemon:\nUnknown daemon class name: TNope."),
            std::string::npos)
      << host.calls.output;
  ASSERT_EQ(host.calls.Log().size(), 1u);
  EXPECT_EQ(host.calls.Log()[0].text, "Unknown daemon class name: TNope");
}

}  // namespace
}  // namespace brenlow::test
