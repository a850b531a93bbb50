// The version information and the application manifest, read back from the built seclister.exe
// the way Explorer and the loader read them.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

using testing::ElementsAre;

TEST(SecListerResources, VersionInformationNamesTheProgram) {
  const std::string exe = ProgramPath("seclister.exe");
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
  ASSERT_GT(size, 0u) << GetLastError();
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, info.data()));

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  EXPECT_EQ(VersionInfoText(exe, "InternalName"), "seclister");
  EXPECT_EQ(VersionInfoText(exe, "OriginalFilename"), "seclister.exe");
  EXPECT_EQ(VersionInfoText(exe, "ProductName"), "seclister");
}

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
  reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(reinterpret_cast<ULONG_PTR>(name));
  return TRUE;
}

TEST(SecListerResources, ManifestRunsAsInvokerWithoutUiAccess) {
  UniqueLibrary exe(
      LoadLibraryExA(ProgramPath("seclister.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(exe) << GetLastError();

  // Exactly one manifest, the one the loader reads for a process (id 1).
  std::vector<ULONG_PTR> names;
  EnumResourceNamesA(exe.get(), MAKEINTRESOURCEA(24), CollectName,
                     reinterpret_cast<LONG_PTR>(&names));
  EXPECT_THAT(names, ElementsAre(1u));

  HRSRC found = FindResourceA(exe.get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(found, nullptr);
  HGLOBAL loaded = LoadResource(exe.get(), found);
  ASSERT_NE(loaded, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(loaded)),
                             SizeofResource(exe.get(), found));

  const std::regex element(R"(<requestedExecutionLevel\b([^>]*)>)");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(manifest, match, element)) << manifest;
  const std::string attributes = match[1];
  EXPECT_TRUE(std::regex_search(attributes, std::regex(R"(\blevel\s*=\s*["']asInvoker["'])")))
      << attributes;
  EXPECT_TRUE(std::regex_search(attributes, std::regex(R"(\buiAccess\s*=\s*["']false["'])")))
      << attributes;
  const std::string rest = match.suffix();
  EXPECT_EQ(rest.find("requestedExecutionLevel"), std::string::npos) << "second execution level";
}

}  // namespace
}  // namespace brenlow::test
