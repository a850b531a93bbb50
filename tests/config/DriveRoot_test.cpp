// An executable in a drive root forms its configuration path with two separators in a row; the
// file must still be found there.

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace brenlow {
namespace {

TEST(ConfigFileAtADriveRoot, IsFoundThroughTheDoubledSeparator) {
  const std::string program = "C:\\brenlow-config-probe.exe";
  const std::string config = "C:\\brenlow.ini";
  test::CopyFileOrThrow(test::StandInPath("config_probe.exe"), program);
  test::WriteFileText(config,
                      "[General]\r\nPHP_EXE_PATH=C:\\php\\php.exe\r\nWEB_ROOT_PATH=D:\\web\r\n");
  const test::ProcessResult result = test::RunProcess("\"" + program + "\"");
  DeleteFileA(program.c_str());
  DeleteFileA(config.c_str());
  EXPECT_EQ(result.exitCode, 0u) << result.out;
  EXPECT_EQ(result.out, "C:\\\\brenlow.ini\nC:\\php\\php.exe\nD:\\web\n");
}

}  // namespace
}  // namespace brenlow
