// The installer package driven by the system's msiexec, silently, as a deployment tool would:
// an install with both settings, reinstalls, an upgrade from an older release, a refused
// downgrade and the uninstall. What each leaves is read back through the service manager, the
// registry, the installed files and brenlow.ini, and from the scripts the service runs.

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/service/ServiceClient.h"
#include "tests/support/EventSourceCheck.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

const char* const kService = "TevrinInternalSvc";
const std::string kVersion = BRENLOW_VERSION;
const std::string kOldVersion = BRENLOW_OLD_VERSION;
const std::string kFolder = "C:\\Program Files\\Tevrin Agent";
const std::string kExe = kFolder + "\\brenlow.exe";
const std::string kIni = kFolder + "\\brenlow.ini";
// A folder an administrator chose instead (INSTALLDIR).
const std::string kOtherFolder = "C:\\Tevrin Other Place";
// The manual's line for running the installed package again: a plain /i of an installed product
// is a maintenance run that changes nothing on Windows (Wine's installer reinstalls).
const std::string kReinstall = "REINSTALL=ALL REINSTALLMODE=vamus";

std::string Parent(const std::string& path) { return path.substr(0, path.find_last_of('\\')); }

// The build's package, or the tests' package of an older release.
std::string PackagePath(const std::string& version) {
  const std::string tests = Parent(ThisExecutableDir());
  const std::string name = "TevrinAgent-" + version + "-x64.msi";
  return version == kVersion ? Parent(tests) + "\\" + name : tests + "\\packages\\" + name;
}

// Product codes of the installed packages of the agent, whatever their version.
std::vector<std::string> InstalledProducts() {
  std::vector<std::string> codes;
  char code[39];
  for (DWORD i = 0; MsiEnumRelatedProductsA(BRENLOW_UPGRADE_CODE, 0, i, code) == ERROR_SUCCESS; ++i)
    codes.push_back(code);
  return codes;
}

std::string InstalledVersion(const std::string& productCode) {
  char version[64];
  DWORD size = sizeof(version);
  if (MsiGetProductInfoA(productCode.c_str(), "VersionString", version, &size) != ERROR_SUCCESS)
    return "<none>";
  return std::string(version, size);
}

std::vector<std::string> FolderListing(const std::string& folder = kFolder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string IniValue(const char* key) {
  char value[1024];
  const DWORD n = GetPrivateProfileStringA("General", key, "", value, sizeof(value), kIni.c_str());
  return std::string(value, n);
}

// What brenlow.exe --install run from the installed folder registers, and running.
void ExpectTheServiceOfTheManualInstallRunning(const std::string& exe = kExe) {
  const StoredConfig config = QueryStoredConfig(kService);
  ASSERT_TRUE(config.found);
  EXPECT_EQ(config.binaryPath, "\"" + exe + "\" --run");
  EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_IGNORE));
  EXPECT_EQ(config.displayName, "Tevrin Internal Service");
  EXPECT_EQ(config.description, "Tevrin inner service");
  EXPECT_EQ(config.startName, "LocalSystem");
  EXPECT_TRUE(WaitForState(kService, SERVICE_RUNNING)) << QueryState(kService).state;
}

// The message of the package's launch condition `condition`, as its table holds it (Wine's
// installer logs no message of a condition it refuses).
std::string LaunchConditionMessage(const std::string& package, const std::string& condition) {
  PMSIHANDLE database, view, record;
  char text[512] = "";
  DWORD size = sizeof(text);
  const std::string query =
      "SELECT `Description` FROM `LaunchCondition` WHERE `Condition` = '" + condition + "'";
  if (MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
      MsiDatabaseOpenViewA(database, query.c_str(), &view) == ERROR_SUCCESS &&
      MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS)
    MsiRecordGetStringA(record, 1, text, &size);
  return text;
}

// Sets the build number that the system keeps.
void SetWindowsBuild(const char* build) {
  RegSetKeyValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                  "CurrentBuildNumber", REG_SZ, build, static_cast<DWORD>(strlen(build) + 1));
}

// Each test starts without the agent installed and leaves it so, also when it fails.
class Package : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveAll();
    ASSERT_TRUE(InstalledProducts().empty());
    // The interpreter stand-in in a folder whose path holds a space, as the settings name it.
    const std::string phpDir = dir_ / "php dir";
    ASSERT_TRUE(CreateDirectoryA(phpDir.c_str(), nullptr));
    php_ = phpDir + "\\php.exe";
    CopyFileOrThrow(StandInPath("php_standin.exe"), php_);
    runs_ = phpDir + "\\standin-runs.log";
    web_ = dir_ / "web root";
  }
  void TearDown() override { RemoveAll(); }

  void RemoveAll() {
    for (const std::string& code : InstalledProducts()) Msiexec("/x " + code);
    RemoveService(kService);
    std::error_code ignored;
    for (const std::string& folder : {kFolder, kOtherFolder})
      std::filesystem::remove_all(folder, ignored);
  }

  // msiexec without any user interface, with a verbose log; its exit code.
  DWORD Msiexec(const std::string& arguments) {
    log_ = dir_ / ("msiexec-" + std::to_string(++runs_count_) + ".log");
    return RunProcess("msiexec " + arguments + " /qn /l*v \"" + log_ + "\"", {}, 180000).exitCode;
  }
  DWORD Install(const std::string& version, const std::string& properties = "") {
    return Msiexec("/i \"" + PackagePath(version) + "\" " + properties);
  }
  std::string BothSettings() const {
    return "PHP_EXE_PATH=\"" + php_ + "\" WEB_ROOT_PATH=\"" + web_ + "\"";
  }
  // brenlow.ini as an administrator might have edited it.
  std::string EditedIni(const std::string& web) const {
    return "; kept by hand\r\n[General]\r\nPHP_EXE_PATH=" + php_ + "\r\nWEB_ROOT_PATH=" + web +
           "\r\n[Notes]\r\nowner=operations\r\n";
  }
  std::string Log() const { return "msiexec log " + log_ + ":\n" + ReadFileText(log_); }

  TempDir dir_;
  std::string php_, web_, runs_, log_;
  int runs_count_ = 0;
};

TEST_F(Package, InstallsWithTheSettingsKeepsTheFileThroughReinstallsAndLeavesItOnUninstall) {
  // Windows 8.1 and Server 2012 R2 (build 9600), which Windows Installer reports as it does 10,
  // are refused by the build number that the system keeps.
  char build[32];
  DWORD size = sizeof(build);
  ASSERT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                         "CurrentBuildNumber", RRF_RT_REG_SZ, nullptr, build, &size),
            ERROR_SUCCESS);
  SetWindowsBuild("9600");
  EXPECT_EQ(Install(kVersion, BothSettings()), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
  SetWindowsBuild(build);
  EXPECT_TRUE(InstalledProducts().empty());
  EXPECT_EQ(
      LaunchConditionMessage(PackagePath(kVersion), "Installed OR WINDOWSCURRENTBUILD >= 10240"),
      "Tevrin Agent needs Windows 10 or Windows Server 2016 or later.");
  ASSERT_EQ(Install(kVersion, BothSettings() + " SCRIPT_TIME_LIMIT=120"), 0u) << Log();
  EXPECT_EQ(FolderListing(),
            (std::vector<std::string>{"brenlow.exe", "brenlow.ini", "seclister.exe"}));
  const std::vector<std::string> products = InstalledProducts();
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(InstalledVersion(products[0]), kVersion);
  for (const std::string name : {"brenlow", "seclister"}) {
    const std::string file = kFolder + "\\" + name + ".exe";
    EXPECT_EQ(VersionInfoText(file, "FileVersion"), kVersion) << name;
    EXPECT_EQ(VersionInfoText(file, "ProductVersion"), kVersion) << name;
    EXPECT_EQ(VersionInfoText(file, "ProductName"), name == "brenlow" ? "Tevrin Agent" : name)
        << name;
    EXPECT_EQ(VersionInfoText(file, "CompanyName"), "Tevrin") << name;
    EXPECT_EQ(VersionInfoText(file, "InternalName"), name);
    EXPECT_EQ(VersionInfoText(file, "OriginalFilename"), name + ".exe");
    EXPECT_NE(VersionInfoText(file, "FileDescription"), "<missing>") << name;
  }
  ExpectTheServiceOfTheManualInstallRunning();
  ExpectEventSourceRegisteredWith("brenlow", kExe);
  ExpectEventSourceRegisteredWith("Tevrin Inner Service", kExe);
  EXPECT_EQ(IniValue("PHP_EXE_PATH"), php_);
  EXPECT_EQ(IniValue("WEB_ROOT_PATH"), web_);
  EXPECT_EQ(IniValue("ScriptTimeLimit"), "120");
  const std::string script = "\"" + php_ + "\" \"" + web_ + "\\scripts\\task.upstream.sync.php\"";
  EXPECT_TRUE(WaitFor([&] { return ReadFileText(runs_).find(script) != std::string::npos; }, 30000))
      << "no run of " << script << " in " << runs_;

  // A reinstall without the properties leaves the administrator's file as it is; a property
  // given changes its own key only.
  const std::string edited = EditedIni(web_);
  WriteFileText(kIni, edited);
  ASSERT_EQ(Install(kVersion, kReinstall), 0u) << Log();
  EXPECT_EQ(ReadFileText(kIni), edited);
  ExpectTheServiceOfTheManualInstallRunning();
  const std::string otherWeb = "D:\\other web";
  ASSERT_EQ(Install(kVersion, kReinstall + " WEB_ROOT_PATH=\"" + otherWeb + "\""), 0u) << Log();
  EXPECT_EQ(ReadFileText(kIni), EditedIni(otherWeb));
  ExpectTheServiceOfTheManualInstallRunning();
  EXPECT_EQ(InstalledProducts().size(), 1u);

  ASSERT_EQ(Msiexec("/x \"" + PackagePath(kVersion) + "\""), 0u) << Log();
  EXPECT_FALSE(QueryState(kService).found);
  EXPECT_FALSE(MachineKeyExists(EventSourceKey("brenlow")));
  EXPECT_EQ(FolderListing(), std::vector<std::string>{"brenlow.ini"});
  EXPECT_EQ(ReadFileText(kIni), EditedIni(otherWeb));
  EXPECT_TRUE(InstalledProducts().empty());
}

// In a folder of the administrator's choice, which every later run finds again.
TEST_F(Package, UpgradesAnOlderReleaseInPlaceAndRefusesToGoBack) {
  const std::string exe = kOtherFolder + "\\brenlow.exe";
  const std::string ini = kOtherFolder + "\\brenlow.ini";
  ASSERT_EQ(Install(kOldVersion, "INSTALLDIR=\"" + kOtherFolder + "\" " + BothSettings()), 0u)
      << Log();
  ExpectTheServiceOfTheManualInstallRunning(exe);
  const std::string edited = EditedIni(web_);
  WriteFileText(ini, edited);

  ASSERT_EQ(Install(kVersion), 0u) << Log();
  std::vector<std::string> products = InstalledProducts();
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(InstalledVersion(products[0]), kVersion);
  ExpectTheServiceOfTheManualInstallRunning(exe);
  ExpectEventSourceRegisteredWith("brenlow", exe);
  EXPECT_EQ(ReadFileText(ini), edited);
  EXPECT_TRUE(FolderListing().empty());

  EXPECT_EQ(Install(kOldVersion), static_cast<DWORD>(ERROR_INSTALL_FAILURE)) << Log();
  products = InstalledProducts();
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(InstalledVersion(products[0]), kVersion);
  EXPECT_EQ(QueryState(kService).state, static_cast<DWORD>(SERVICE_RUNNING));

  ASSERT_EQ(Msiexec("/x \"" + PackagePath(kVersion) + "\""), 0u) << Log();
  EXPECT_FALSE(QueryState(kService).found);
  EXPECT_EQ(FolderListing(kOtherFolder), std::vector<std::string>{"brenlow.ini"});
  EXPECT_EQ(ReadFileText(ini), edited);
}

}  // namespace
}  // namespace brenlow::test
