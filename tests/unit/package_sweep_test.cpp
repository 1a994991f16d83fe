// "/i" and "/u" with every failable call failed in turn, the library's own
// entry points included: whatever fails, a loaded library is given back
// exactly once and nothing else is left open.
#include <gtest/gtest.h>

#include "fakes/fake_difx.h"
#include "fakes/fault_sweep.h"
#include "fakes/report_capture.h"
#include "package/package_store.h"

namespace {

const wchar_t kNetworkInf[] =
    L"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\NetDrivers\\netaapl64.inf";
const wchar_t kUsbInf[] = L"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\Drivers\\usbaapl64.inf";

void SweepEveryCall(int (*operation)()) {
  long total = 0;
  {
    fakes::FakeDifx difx;
    fakes::ReportCapture capture(true);
    fakes::FaultSweep count;
    operation();
    total = count.failableCalls();
  }
  ASSERT_GT(total, 6) << "the sweep saw the operation's calls";

  for (long failAt = 1; failAt <= total; ++failAt) {
    fakes::FakeDifx difx;
    difx.redirectBareName = true;  // a failed module path query: still this folder's fake
    fakes::ReportCapture capture(true);
    {
      fakes::FaultSweep sweep(failAt);
      operation();
      ASSERT_TRUE(sweep.injected());
      const char* failed = fakes::CallName(sweep.injectedCall());
      EXPECT_TRUE(sweep.Outstanding().empty()) << "left open after failing " << failed;
      EXPECT_TRUE(sweep.badReleases().empty()) << "released twice after failing " << failed;
    }
    EXPECT_EQ(difx.freed, difx.loaded) << "call " << failAt;
    EXPECT_LE(difx.loaded.size(), 1u);
  }
}

TEST(PackageSweepTest, InstallGivesEverythingBackWhateverFails) {
  SweepEveryCall([] { return package::InstallDrviver(kNetworkInf, kUsbInf, L"Apple.NTamd64"); });
}

TEST(PackageSweepTest, UninstallGivesEverythingBackWhateverFails) {
  SweepEveryCall([] { return package::UnloadDriver(kNetworkInf, kUsbInf); });
}

}  // namespace
