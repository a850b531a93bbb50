// Black-box runs of seclister.exe: against Wine's own security.dll, and against stand-in
// providers placed beside a copy of the program.

#define SECURITY_WIN32
#include <windows.h>
#include <security.h>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

// Wine 8 takes WINEDLLOVERRIDES only from the Unix environment a process inherits, never from
// the environment block given to CreateProcess, so the tests set Wine's per-program override
// instead (HKCU\Software\Wine\AppDefaults\<program>\DllOverrides). The copies of seclister.exe
// that use it carry names of their own, so seclister.exe itself keeps Wine's security.dll.
// "native" loads the security.dll beside the program; "" disables the library altogether.
std::string ProgramWithOverride(const std::string& fileName, const char* loadOrder) {
  const std::string key = "Software\\Wine\\AppDefaults\\" + fileName + "\\DllOverrides";
  UniqueRegKey overrides;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      overrides.put(), nullptr) != ERROR_SUCCESS ||
      RegSetValueExA(overrides.get(), "security", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(loadOrder),
                     static_cast<DWORD>(std::strlen(loadOrder) + 1)) != ERROR_SUCCESS)
    throw std::runtime_error("cannot set the DLL override for " + fileName);
  return fileName;
}

const std::string& NativeSecurityProgram() {
  static const std::string name = ProgramWithOverride("seclister_native.exe", "native");
  return name;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The listing seclister should print, taken from this process's own view of the provider and
// written out by hand, with the CR LF line ends of a text-mode stream.
std::string ExpectedListing() {
  UniqueLibrary library(LoadLibraryA("security.dll"));
  if (!library) return "cannot load security.dll";
  auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
      reinterpret_cast<void (*)()>(GetProcAddress(library.get(), "InitSecurityInterfaceA")));
  const PSecurityFunctionTableA table = init != nullptr ? init() : nullptr;
  if (table == nullptr) return "no function table";
  unsigned long count = 0;
  PSecPkgInfoA packages = nullptr;
  if (table->EnumerateSecurityPackagesA(&count, &packages) != SEC_E_OK) return "failed";
  std::string listing;
  for (unsigned long i = 0; i < count; ++i)
    listing += std::to_string(i + 1) + ": " + packages[i].Name + ", version " +
               std::to_string(packages[i].wVersion) + " [" + packages[i].Comment + "]\r\n";
  table->FreeContextBuffer(packages);
  return listing;
}

// One numbered line per package, CR LF line ends, nothing on standard error; arguments change
// nothing.
TEST(SecLister, ListsWinesProvidersOnePerLineWhateverTheArguments) {
  const std::string expected = ExpectedListing();
  ASSERT_EQ(expected.rfind("1: ", 0), 0u) << expected;
  for (const std::string args : {"", " -h", " --install x", " /?", " \"\""}) {
    SCOPED_TRACE(args);
    const auto result = RunProcess(Quoted(ProgramPath("seclister.exe")) + args);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");
  }
}

// A copy of seclister.exe in a fresh folder with a stand-in security.dll beside it. The stand-in
// writes each call it receives to security.log beside itself.
class ListerWithStandIn {
 public:
  explicit ListerWithStandIn(const std::string& variant) {
    CopyFileOrThrow(ProgramPath("seclister.exe"), dir_ / NativeSecurityProgram());
    CopyFileOrThrow(StandInPath("security\\" + variant + "\\security.dll"), dir_ / "security.dll");
  }
  ProcessResult Run() const { return RunProcess(Quoted(dir_ / NativeSecurityProgram())); }
  std::string Calls() const { return ReadFileText(dir_ / "security.log"); }

 private:
  TempDir dir_;
};

struct Provider {
  const char* variant;
  DWORD exitCode;
  const char* out;
  const char* err;
  const char* calls;  // what the stand-in saw, in order
};

void PrintTo(const Provider& p, std::ostream* os) { *os << p.variant; }

class SecListerStandIn : public testing::TestWithParam<Provider> {};

// Each provider's listing or failure message, the exit code, and the calls the provider saw: the
// array is given back once when the provider handed one out (also an empty one), and the library
// is always released.
TEST_P(SecListerStandIn, ListsOrReportsTheFailingStep) {
  const Provider& p = GetParam();
  const ListerWithStandIn lister(p.variant);
  const auto result = lister.Run();
  EXPECT_EQ(result.exitCode, p.exitCode);
  EXPECT_EQ(result.out, p.out);
  EXPECT_EQ(result.err, p.err);
  EXPECT_EQ(lister.Calls(), p.calls);
}

// "List": numbering from 1 in the provider's order (not sorted), versions as unsigned 16-bit
// numbers, an empty and a null comment. SEC_E_INSUFFICIENT_MEMORY is 0x80090300, a negative
// status.
INSTANTIATE_TEST_SUITE_P(
    Providers, SecListerStandIn,
    testing::Values(
        Provider{"List", 0,
                 "1: Zeta, version 1 [first in the array, last by name]\r\n"
                 "2: Alpha, version 65535 [Test package]\r\n"
                 "3: Mu, version 32768 []\r\n"
                 "4: Nu, version 0 [(null)]\r\n",
                 "", "load\ninit\nenumerate\nfree\nunload\n"},
        Provider{"Empty", 0, "", "", "load\ninit\nenumerate\nfree\nunload\n"},
        Provider{"NoEntry", 2, "", "unable to locate security.dll entrypoint\r\n",
                 "load\nunload\n"},
        Provider{"NoTable", 3, "", "unable to get function table using security.dllentrypoint\r\n",
                 "load\ninit\nunload\n"},
        Provider{"FailUnset", 4, "", "unable to enumerate security packages: -2146893056\r\n",
                 "load\ninit\nenumerate\nunload\n"},
        Provider{"FailSet", 4, "", "unable to enumerate security packages: -2146893056\r\n",
                 "load\ninit\nenumerate\nfree\nunload\n"}),
    [](const testing::TestParamInfo<Provider>& info) { return info.param.variant; });

// Disabled by the DLL override, or not a loadable image at all.
TEST(SecLister, UnloadableLibraryExitsWithCode1) {
  TempDir dir;
  const std::string disabled = dir / ProgramWithOverride("seclister_nosecurity.exe", "");
  const std::string broken = dir / NativeSecurityProgram();
  CopyFileOrThrow(ProgramPath("seclister.exe"), disabled);
  CopyFileOrThrow(ProgramPath("seclister.exe"), broken);
  WriteFileText(dir / "security.dll", "not a library");
  for (const std::string& program : {disabled, broken}) {
    const auto result = RunProcess(Quoted(program));
    EXPECT_EQ(result.exitCode, 1u) << program;
    EXPECT_EQ(result.out, "") << program;
    EXPECT_EQ(result.err, "unable to load security.dll\r\n") << program;
  }
}

}  // namespace
}  // namespace brenlow::test
