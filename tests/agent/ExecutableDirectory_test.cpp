#include "common/ExecutableDirectory.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace brenlow {
namespace {

TEST(ExecutableDirectory, CutsTheFileNameAndAFinalSeparatorExceptAtARoot) {
  const struct {
    std::string path, expected;
  } cases[] = {
      {"C:\\Program Files\\Tevrin\\brenlow.exe", "C:\\Program Files\\Tevrin"},
      {"C:\\brenlow.exe", "C:\\"},  // a drive root keeps its separator
      {"C:/brenlow.exe", "C:/"},
      {"C:brenlow.exe", "C:"},
      {"\\\\server\\share\\brenlow.exe", "\\\\server\\share"},
      {"\\brenlow.exe", "\\"},  // a lone separator stays
      {"/opt/brenlow.exe", "/opt"},
      {"C:\\dir\\\\brenlow.exe", "C:\\dir\\\\"},  // the one before is a separator: both stay
      {"C:\\mixed/brenlow.exe", "C:\\mixed"},
      {"brenlow.exe", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ExecutableDirectoryOf(c.path), c.expected) << c.path;
}

TEST(ExecutableDirectory, IsTheRunningProgramsFolder) {
  EXPECT_EQ(ExecutableDirectory(), test::ThisExecutableDir());
}

}  // namespace
}  // namespace brenlow
