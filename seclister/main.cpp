// seclister: lists the security packages that the security support provider interface offers,
// one numbered line a package. It reads no arguments, configuration or input, and tells by its
// exit code which step failed.

#define SECURITY_WIN32
#include <windows.h>
#include <security.h>

#include <cstdio>
#include <utility>

namespace brenlow::seclister {
namespace {

enum ExitCode : int {
  kListed = 0,
  kNoLibrary = 1,
  kNoEntryPoint = 2,
  kNoFunctionTable = 3,
  kEnumerationFailed = 4,
};

// Owns the module handle of a loaded library and releases it with FreeLibrary on every path.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const char* fileName) noexcept : module_(LoadLibraryA(fileName)) {}
  ~LoadedLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  explicit operator bool() const noexcept { return module_ != nullptr; }
  HMODULE get() const noexcept { return module_; }

 private:
  HMODULE module_;
};

// A provider that hands back a null string must not make printf read through a null pointer;
// the line shows "(null)" in its place, as the Microsoft C runtime itself would print it.
const char* Printable(const char* text) { return text != nullptr ? text : "(null)"; }

// Prints one package line. position counts from 1; the version is an unsigned 16-bit number and
// prints as such (65535, never -1).
void PrintPackageLine(unsigned long position, const SecPkgInfoA& package) {
  std::printf("%d: %s, version %d [%s]\n", static_cast<int>(position), Printable(package.Name),
              static_cast<int>(package.wVersion), Printable(package.Comment));
}

INIT_SECURITY_INTERFACE_A FindEntryPoint(HMODULE library) {
  const FARPROC entry = GetProcAddress(library, SECURITY_ENTRYPOINT_ANSIA);
  // GetProcAddress hands back a generic function pointer; the entry point's real signature is
  // known from the interface.
  return reinterpret_cast<INIT_SECURITY_INTERFACE_A>(reinterpret_cast<void (*)()>(entry));
}

int ListSecurityPackages() {
  const LoadedLibrary library("security.dll");
  if (!library) {
    std::fputs("unable to load security.dll\n", stderr);
    return kNoLibrary;
  }
  const INIT_SECURITY_INTERFACE_A initSecurityInterface = FindEntryPoint(library.get());
  if (initSecurityInterface == nullptr) {
    std::fputs("unable to locate security.dll entrypoint\n", stderr);
    return kNoEntryPoint;
  }
  const PSecurityFunctionTableA table = initSecurityInterface();
  if (table == nullptr) {
    std::fputs("unable to get function table using security.dllentrypoint\n", stderr);
    return kNoFunctionTable;
  }

  unsigned long count = 0;
  PSecPkgInfoA packages = nullptr;
  const SECURITY_STATUS status = table->EnumerateSecurityPackagesA(&count, &packages);
  // Only SEC_E_OK promises that the count and the array were set; after anything else neither
  // is read, and the array is given back only if the provider handed one out anyway.
  if (status != SEC_E_OK) {
    if (packages != nullptr) table->FreeContextBuffer(packages);
    std::fprintf(stderr, "unable to enumerate security packages: %d\n", static_cast<int>(status));
    return kEnumerationFailed;
  }
  for (unsigned long index = 0; index < count; ++index)
    PrintPackageLine(index + 1, packages[index]);
  // The array belongs to the provider: it goes back once, also when it lists no package.
  table->FreeContextBuffer(packages);
  return kListed;
}

}  // namespace
}  // namespace brenlow::seclister

// Arguments are ignored: the tool has no options.
int main() { return brenlow::seclister::ListSecurityPackages(); }
