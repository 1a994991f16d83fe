// mdsdriver.exe run for real under the debugger: no switch and unrecognised switches.
#include <gtest/gtest.h>

#include <string>

#include "support/tool_runner.h"

namespace {

using testing_support::RunAsDebuggee;
using testing_support::TempDir;
using testing_support::ToolRun;

class DispatchE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\mdsdriver.exe", folder_.path()));
  }

  ToolRun Run(const std::wstring& arguments) {
    ToolRun run = RunAsDebuggee(folder_ / L"mdsdriver.exe", arguments, folder_.path());
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.finished);
    return run;
  }

  // Whatever ran, the folder holds nothing but the exe afterwards: no log folder.
  void ExpectFolderUntouched() {
    const auto names = testing_support::ListFolder(folder_.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], L"mdsdriver.exe");
  }

  TempDir folder_;
};

TEST_F(DispatchE2ETest, NoSwitchSaysNothingAndExitsZero) {
  const ToolRun run = Run(L"");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, "");
  EXPECT_TRUE(run.debugStrings.empty());
  ExpectFolderUntouched();
}

TEST_F(DispatchE2ETest, UnrecognisedSwitchesComplain) {
  for (const std::wstring arguments : {L"/x", L"-i", L"/install", L"\"/i \"", L"\"\"", L"i /i"}) {
    const ToolRun run = Run(arguments);
    const std::string tid = std::to_string(run.mainThreadId);
    EXPECT_EQ(run.exitCode, 0u) << testing::PrintToString(arguments);
    EXPECT_EQ(run.output, "[app](" + tid + "): hello boy,cmd error!\r\n88!\r\n");
    ASSERT_EQ(run.debugStrings.size(), 1u);
    EXPECT_EQ(run.debugStrings[0], L"[app](" + std::to_wstring(run.mainThreadId) + L"): hello boy,cmd error!\n88!\n");
  }
  ExpectFolderUntouched();
}

TEST_F(DispatchE2ETest, UnrecognisedSwitchWritesNoLogEvenWithTheMarker) {
  ASSERT_TRUE(testing_support::WriteBytes(folder_ / L"vezazez.cfg", ""));
  const ToolRun run = Run(L"/X");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.debugStrings.size(), 1u);
  EXPECT_FALSE(testing_support::Exists(folder_ / L"log"));
}

}  // namespace
