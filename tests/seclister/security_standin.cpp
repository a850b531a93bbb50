// A stand-in security.dll for testing seclister. It is built once per variant (see the
// CMakeLists.txt next to this file); each variant behaves in one way that the lister must handle.
// Every call the lister makes is appended, one word per line, to "security.log" beside the DLL,
// so a test can check which calls came, in what order and how often.
//
// Variants (STANDIN_MODE):
//   NoEntry    exports only InitSecurityInterfaceW, not the A entry point
//   NoTable    InitSecurityInterfaceA returns NULL
//   Empty      lists no package but still hands out an array
//   List       lists four packages (unsorted names, extreme versions, a null comment)
//   FailUnset  enumeration fails without touching its out-parameters
//   FailSet    enumeration fails after setting a count and an array

#define SECURITY_WIN32
#include <windows.h>
#include <security.h>

#include <cstring>

#include "common/UniqueHandle.h"

#define STANDIN_NoEntry 1
#define STANDIN_NoTable 2
#define STANDIN_Empty 3
#define STANDIN_List 4
#define STANDIN_FailUnset 5
#define STANDIN_FailSet 6
#define STANDIN_IS(mode) (STANDIN_MODE == STANDIN_##mode)

namespace {

HMODULE self;

void Record(const char* word) {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  char* name = std::strrchr(path, '\\');
  if (name == nullptr || static_cast<size_t>(name - path) + sizeof("\\security.log") > MAX_PATH)
    return;
  std::strcpy(name, "\\security.log");
  brenlow::UniqueHandle log(CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!log) return;
  DWORD written = 0;
  WriteFile(log.get(), word, static_cast<DWORD>(std::strlen(word)), &written, nullptr);
  WriteFile(log.get(), "\n", 1, &written, nullptr);
}

char kZeta[] = "Zeta", kZetaComment[] = "first in the array, last by name";
char kAlpha[] = "Alpha", kAlphaComment[] = "Test package";
char kMu[] = "Mu", kMuComment[] = "";
char kNu[] = "Nu";

SecPkgInfoA packages[] = {
    {0, 1, 0, 0, kZeta, kZetaComment},
    {0, 65535, 0, 0, kAlpha, kAlphaComment},
    {0, 32768, 0, 0, kMu, kMuComment},
    {0, 0, 0, 0, kNu, nullptr},
};

SECURITY_STATUS SEC_ENTRY EnumeratePackages(unsigned long* count, PSecPkgInfoA* array) {
  Record("enumerate");
#if STANDIN_IS(Empty)
  *count = 0;
  *array = packages;
  return SEC_E_OK;
#elif STANDIN_IS(List)
  *count = sizeof(packages) / sizeof(packages[0]);
  *array = packages;
  return SEC_E_OK;
#elif STANDIN_IS(FailSet)
  *count = 2;
  *array = packages;
  return SEC_E_INSUFFICIENT_MEMORY;
#else
  (void)count;
  (void)array;
  return SEC_E_INSUFFICIENT_MEMORY;
#endif
}

SECURITY_STATUS SEC_ENTRY FreeBuffer(void* buffer) {
  Record(buffer == packages ? "free" : "free-unknown-pointer");
  return SEC_E_OK;
}

SecurityFunctionTableA table = [] {
  SecurityFunctionTableA t{};
  t.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION;
  t.EnumerateSecurityPackagesA = EnumeratePackages;
  t.FreeContextBuffer = FreeBuffer;
  return t;
}();

}  // namespace

// The SDK header declares these entry points as imports; defining them here makes them exports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#if STANDIN_IS(NoEntry)
extern "C" __declspec(dllexport) PSecurityFunctionTableW SEC_ENTRY InitSecurityInterfaceW() {
  Record("init-w");
  return nullptr;
}
#else
extern "C" __declspec(dllexport) PSecurityFunctionTableA SEC_ENTRY InitSecurityInterfaceA() {
  Record("init");
#if STANDIN_IS(NoTable)
  return nullptr;
#else
  return &table;
#endif
}
#endif
#pragma GCC diagnostic pop

// A detach through FreeLibrary comes with a null reserved pointer; one at process exit without.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    self = instance;
    DisableThreadLibraryCalls(instance);
    Record("load");
  } else if (reason == DLL_PROCESS_DETACH) {
    Record(reserved == nullptr ? "unload" : "exit");
  }
  return TRUE;
}
