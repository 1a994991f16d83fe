// The fault sweep itself: counting, the k-th failure, and the handle books.
// (Its verdicts on the tool are only worth as much as these.)
#include "fakes/fault_sweep.h"

#include <gtest/gtest.h>

#include <set>

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

// Below the sweep: the real close, but only once per handle, so that the
// double release the books must catch does no harm.
std::set<HINF> g_closedInfs;
void WINAPI CloseInfOnce(HINF inf) {
  if (g_closedInfs.insert(inf).second) platform::RealCalls().SetupCloseInfFile(inf);
}

TEST(FaultSweepTest, KeepsTheBooksOnHandles) {
  testing_support::TempDir dir;
  const std::wstring inf = dir / L"a.inf";
  ASSERT_TRUE(testing_support::WriteBytes(inf, "[Version]\r\nSignature=\"$Windows NT$\"\r\n"));
  auto closeOnce = platform::Override(&platform::Calls::SetupCloseInfFile, &CloseInfOnce);
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

// SetupAPI is loaded on the first call and each entry looked up once; a
// failed load or lookup fails that one call, and the next call tries again.
TEST(FaultSweepTest, FailsTheWayWindowsDoes) {
  testing_support::TempDir dir;
  const std::wstring inf = dir / L"a.inf";
  ASSERT_TRUE(testing_support::WriteBytes(inf, "[Version]\r\nSignature=\"$Windows NT$\"\r\n"));
  auto open = [&] { return platform::Sys().SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr); };
  const struct {
    long failAt;
    const char* call;
    DWORD error;
  } cases[] = {{1, "SetupOpenInfFileW", ERROR_FILE_NOT_FOUND},
               {2, "GetSystemDirectoryW", ERROR_MOD_NOT_FOUND},
               {3, "LoadLibraryExW", ERROR_MOD_NOT_FOUND},
               {4, "GetProcAddress", ERROR_PROC_NOT_FOUND}};
  for (const auto& c : cases) {
    FaultSweep sweep(c.failAt);
    SetLastError(0);
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE) << c.call;
    EXPECT_EQ(GetLastError(), c.error) << c.call;
    EXPECT_STREQ(fakes::CallName(sweep.injectedCall()), c.call);
    EXPECT_EQ(sweep.acquired(), 0);
    platform::unique_hinf again(open());
    EXPECT_TRUE(again.valid()) << c.call;
  }

  using fakes::CallId;
  FaultSweep count;
  for (int i = 0; i < 2; ++i) platform::unique_hinf opened(open());
  EXPECT_EQ(count.callsMade(),
            (std::vector<CallId>{fakes::kSetupOpenInfFileW, fakes::kGetSystemDirectoryW, fakes::kLoadLibraryExW,
                                 fakes::kGetProcAddress, fakes::kGetProcAddress, fakes::kSetupOpenInfFileW}))
      << "the library loaded once, SetupOpenInfFileW and SetupCloseInfFile looked up once each";
  EXPECT_TRUE(count.Outstanding().empty()) << "a loaded system library is no handle to give back";
}

// A kill ends the run for good: its call and every later one throw, so
// nothing more reaches the system, while releases, and the lookups they make
// on first use, go through and never throw, even where the kill lands in one.
TEST(FaultSweepTest, AKillIsStickyAndLetsOnlyReleasesThrough) {
  testing_support::TempDir dir;
  const std::wstring inf = dir / L"a.inf", made = dir / L"made";
  ASSERT_TRUE(testing_support::WriteBytes(inf, "[Version]\r\nSignature=\"$Windows NT$\"\r\n"));
  for (bool releaseFirst : {false, true}) {
    FaultSweep sweep(5);  // calls 1 to 4 open the INF, SetupAPI loaded on first use
    sweep.kills = true;
    platform::unique_hinf held(platform::Sys().SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    if (releaseFirst) held.reset();  // 5: SetupCloseInfFile's lookup
    EXPECT_THROW(platform::Sys().CreateDirectoryW(made.c_str(), nullptr), fakes::Killed);
    EXPECT_THROW(platform::Sys().GetLastError(), fakes::Killed) << "again, by a call that never fails too";
    held.reset();
    EXPECT_TRUE(sweep.killed());
    EXPECT_TRUE(sweep.Outstanding().empty()) << releaseFirst;
  }
  EXPECT_FALSE(testing_support::Exists(made));
}

}  // namespace
