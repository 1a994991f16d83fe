// The fault sweep itself: counting, the k-th failure, and the handle books.
// (Its verdicts on the tool are only worth as much as these.)
#include "fakes/fault_sweep.h"

#include <gtest/gtest.h>

#include "app/commands.h"
#include "fakes/output_capture.h"
#include "platform/handles.h"
#include "support/tool_runner.h"

namespace {

using fakes::FaultSweep;

int RunComplaint() {
  std::wstring exe = L"mdsdriver.exe", bad = L"/bad";
  wchar_t* argv[] = {&exe[0], &bad[0]};
  return app::RunTool(2, argv);
}

TEST(FaultSweepTest, CountsFailableCallsAndFailsTheKth) {
  fakes::OutputCapture capture;
  long total = 0;
  {
    FaultSweep count;
    RunComplaint();
    total = count.failableCalls();
    EXPECT_FALSE(count.injected());
    ASSERT_EQ(count.callsMade().size(), 3u);
    EXPECT_EQ(count.callsMade()[0], fakes::kGetSystemDirectoryW);
    EXPECT_EQ(count.callsMade()[1], fakes::kGetStdHandle);
    EXPECT_EQ(count.callsMade()[2], fakes::kWriteFile);
  }
  EXPECT_EQ(total, 3);
  EXPECT_EQ(capture.stdoutBytes.size(), capture.stdoutBytes.find("88!\r\n") + 5);

  capture.stdoutBytes.clear();
  {
    FaultSweep failStdout(2);  // GetStdHandle answers INVALID_HANDLE_VALUE
    EXPECT_EQ(RunComplaint(), 0);
    EXPECT_TRUE(failStdout.injected());
    EXPECT_STREQ(fakes::CallName(failStdout.injectedCall()), "GetStdHandle");
    EXPECT_EQ(failStdout.failableCalls(), 2) << "no write without a handle";
  }
  EXPECT_EQ(capture.stdoutBytes, "");
  EXPECT_EQ(capture.debugStrings.size(), 2u) << "the debugger copy is still sent";
}

TEST(FaultSweepTest, KeepsTheBooksOnHandles) {
  testing_support::TempDir dir;
  const std::wstring inf = dir / L"a.inf";
  ASSERT_TRUE(testing_support::WriteBytes(inf, "[Version]\r\nSignature=\"$Windows NT$\"\r\n"));
  FaultSweep sweep;
  HINF leaked = platform::Sys().SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(leaked, INVALID_HANDLE_VALUE);
  {
    platform::unique_hinf closed(platform::Sys().SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    EXPECT_TRUE(closed.valid());
  }
  EXPECT_EQ(sweep.acquired(), 2);
  EXPECT_EQ(sweep.Outstanding(), (std::map<std::string, int>{{"inf", 1}}));
  platform::Sys().SetupCloseInfFile(leaked);
  platform::Sys().SetupCloseInfFile(leaked);
  EXPECT_TRUE(sweep.Outstanding().empty());
  EXPECT_EQ(sweep.badReleases(), std::vector<std::string>{"inf"}) << "the second close is a double release";
}

TEST(FaultSweepTest, FailsTheWayWindowsDoes) {
  testing_support::TempDir dir;
  const std::wstring inf = dir / L"a.inf";
  ASSERT_TRUE(testing_support::WriteBytes(inf, "[Version]\r\nSignature=\"$Windows NT$\"\r\n"));
  FaultSweep sweep(1);
  SetLastError(0);
  EXPECT_EQ(platform::Sys().SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(sweep.acquired(), 0);
}

}  // namespace
