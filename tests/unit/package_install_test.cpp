// "/i": both preinstalls through a scripted difxapi_x64.dll, the result, the
// log lines, the library given back, and the device update afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/driver_update.h"
#include "fakes/fake_difx.h"
#include "fakes/report_capture.h"
#include "difx_api.h"
#include "package/package_store.h"
#include "support/fixture_packages.h"

namespace {

using fakes::kNetworkPackage;
using fakes::kPreinstall;
using fakes::kUsbPackage;
using fakes::Log;
using fakes::Logs;
using fakes::Report;

const wchar_t kNetworkInf[] =
    L"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\NetDrivers\\netaapl64.inf";
const wchar_t kUsbInf[] = L"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\Drivers\\usbaapl64.inf";
const wchar_t kModelsSection[] = L"Apple.NTamd64";

class PackageInstallTest : public testing::Test {
 protected:
  int Install() { return package::InstallDrviver(kNetworkInf, kUsbInf, kModelsSection); }

  // The package lines come first, exactly; whatever follows is the device
  // update's own.
  void ExpectPackageLines(const std::vector<std::wstring>& messages) {
    const std::vector<Report> reports = capture_.Reports();
    const std::vector<Report> expected = Logs(messages);
    ASSERT_GE(reports.size(), expected.size());
    EXPECT_EQ(std::vector<Report>(reports.begin(), reports.begin() + expected.size()), expected);
    const std::vector<Report> rest(reports.begin() + expected.size(), reports.end());
    for (const Report& report : rest) {
      EXPECT_EQ(report.message.find(L"DriverPackage"), std::wstring::npos) << "a package line after the update";
    }
    deviceReports_ = rest;
  }

  // The update runs once per call, after the library has been given back
  // (or was never there). Its first Windows call is GetFullPathNameW, which
  // the harness fails, so it ends there.
  void ExpectDeviceUpdateAfterTheLibrary() {
    const int fullPathCalls = difx_.Count(L"GetFullPathNameW");
    if (fullPathCalls > 0) {
      EXPECT_GT(difx_.TickOf(L"GetFullPathNameW"), difx_.TickOf(L"FreeLibrary"));
      EXPECT_GT(difx_.TickOf(L"GetFullPathNameW"), difx_.LastLibraryCallTick());
    }
    if (DeviceUpdateIsObservable()) {
      EXPECT_EQ(fullPathCalls, 1) << "the device update runs exactly once";
      ASSERT_FALSE(deviceReports_.empty());
      EXPECT_EQ(deviceReports_.front(), Log(L"\nUpdateDevice..."));
    } else {
      EXPECT_EQ(fullPathCalls, 0);
    }
  }

  // Loaded once from the exe's folder and given back once, the same handle,
  // after the library's last call.
  void ExpectLibraryLoadedAndFreedOnce() {
    ASSERT_EQ(difx_.loadPaths, std::vector<std::wstring>{difx_.libraryPath()});
    ASSERT_EQ(difx_.loaded.size(), 1u);
    EXPECT_EQ(difx_.freed, difx_.loaded);
    EXPECT_GT(difx_.TickOf(L"FreeLibrary"), difx_.LastLibraryCallTick());
    EXPECT_EQ(difx_.lookups, std::vector<std::string>{"DriverPackagePreinstallW"});
  }

  // Calls device::UpdateDevice on its own: a device update that calls
  // nothing at all through the call table (the stand-in before the real
  // one) cannot be seen from here, and then only its absence is checked.
  bool DeviceUpdateIsObservable() {
    const int before = difx_.Count(L"GetFullPathNameW");
    device::UpdateDevice(kUsbInf, kModelsSection);
    return difx_.Count(L"GetFullPathNameW") > before;
  }

  void ExpectPreinstallCalls() {
    const std::vector<fakes::DifxCall> calls = difx_.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].which, kPreinstall);
    EXPECT_STREQ(calls[0].path, kNetworkInf);
    EXPECT_EQ(calls[0].flags, 0u);
    EXPECT_EQ(calls[1].which, kPreinstall);
    EXPECT_STREQ(calls[1].path, kUsbInf);
    EXPECT_EQ(calls[1].flags, 0u);
  }

  fakes::FakeDifx difx_;
  fakes::ReportCapture capture_{true};
  std::vector<Report> deviceReports_;
};

TEST_F(PackageInstallTest, BothPackagesNewToTheStore) {
  difx_.Script(kNetworkPackage, kPreinstall, ERROR_SUCCESS, ERROR_SUCCESS);
  difx_.Script(kUsbPackage, kPreinstall, ERROR_SUCCESS, ERROR_SUCCESS);
  EXPECT_EQ(Install(), 1);
  ExpectPackageLines({L"\nEnter InstallDrviver...", L"DriverPackagePreinstall netaapl successed !",
                      L"DriverPackagePreinstall usbaapl successed !"});
  ExpectPreinstallCalls();
  ExpectLibraryLoadedAndFreedOnce();
  ExpectDeviceUpdateAfterTheLibrary();
}

TEST_F(PackageInstallTest, BothPackagesAlreadyInTheStore) {
  difx_.Script(kNetworkPackage, kPreinstall, ERROR_ALREADY_EXISTS, ERROR_ALREADY_EXISTS);
  difx_.Script(kUsbPackage, kPreinstall, ERROR_ALREADY_EXISTS, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Install(), 2);
  ExpectPackageLines({L"\nEnter InstallDrviver...", L"DriverPackagePreinstall netaapl alread exist !",
                      L"DriverPackagePreinstall usbaapl alread exist !"});
  ExpectPreinstallCalls();
  ExpectLibraryLoadedAndFreedOnce();
  ExpectDeviceUpdateAfterTheLibrary();
}

// The line shows the last error; the result is the returned code.
TEST_F(PackageInstallTest, FailedPreinstallsPrintTheLastErrorNotTheReturnedCode) {
  difx_.Script(kNetworkPackage, kPreinstall, ERROR_INVALID_PARAMETER, 1234);
  difx_.Script(kUsbPackage, kPreinstall, ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Install(), ERROR_SHARING_VIOLATION);
  ExpectPackageLines({L"\nEnter InstallDrviver...", L"DriverPackagePreinstall netaapl FAILED(1234)",
                      L"DriverPackagePreinstall usbaapl failed(5)"});
  ExpectLibraryLoadedAndFreedOnce();
  ExpectDeviceUpdateAfterTheLibrary();
}

struct UsbFailure {
  DWORD returned;
  DWORD lastError;
  const wchar_t* line;
};

class PackageInstallUsbFailureTest : public PackageInstallTest, public testing::WithParamInterface<UsbFailure> {};

// Any code but 0 and 183 is the result unchanged, even where it looks like
// another row: 1 like "put into the store", 2 like "already there".
TEST_P(PackageInstallUsbFailureTest, ReturnedCodeIsTheResult) {
  const UsbFailure failure = GetParam();
  difx_.Script(kNetworkPackage, kPreinstall, ERROR_SUCCESS, ERROR_SUCCESS);
  difx_.Script(kUsbPackage, kPreinstall, failure.returned, failure.lastError);
  EXPECT_EQ(Install(), static_cast<int>(failure.returned));
  ExpectPackageLines({L"\nEnter InstallDrviver...", L"DriverPackagePreinstall netaapl successed !", failure.line});
  ExpectLibraryLoadedAndFreedOnce();
  ExpectDeviceUpdateAfterTheLibrary();
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PackageInstallUsbFailureTest,
    testing::Values(
        UsbFailure{ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, L"DriverPackagePreinstall usbaapl failed(2)"},
        UsbFailure{ERROR_INVALID_FUNCTION, 0, L"DriverPackagePreinstall usbaapl failed(0)"},
        UsbFailure{ERROR_DRIVER_PACKAGE_NOT_IN_STORE, ERROR_DRIVER_PACKAGE_NOT_IN_STORE,
                   L"DriverPackagePreinstall usbaapl failed(-536870142)"},
        UsbFailure{ERROR_ACCESS_DENIED, 0xE0000247, L"DriverPackagePreinstall usbaapl failed(-536870329)"}));

// Whatever happens to the network package, the USB package alone decides.
TEST(PackageInstallNetworkTest, NetworkOutcomeNeverChangesTheResult) {
  struct Outcome {
    DWORD returned;
    DWORD lastError;
  };
  const Outcome networkOutcomes[] = {
      {ERROR_SUCCESS, ERROR_SUCCESS}, {ERROR_ALREADY_EXISTS, 0}, {ERROR_FILE_NOT_FOUND, 2}, {0xE0000247, 77}};
  const struct {
    Outcome usb;
    int result;
  } usbRows[] = {{{ERROR_SUCCESS, 0}, 1}, {{ERROR_ALREADY_EXISTS, 0}, 2}, {{ERROR_GEN_FAILURE, 9}, 31}};
  for (const Outcome& network : networkOutcomes) {
    for (const auto& row : usbRows) {
      fakes::FakeDifx difx;
      fakes::ReportCapture capture(true);
      difx.Script(kNetworkPackage, kPreinstall, network.returned, network.lastError);
      difx.Script(kUsbPackage, kPreinstall, row.usb.returned, row.usb.lastError);
      EXPECT_EQ(package::InstallDrviver(kNetworkInf, kUsbInf, kModelsSection), row.result)
          << "network " << network.returned << ", usb " << row.usb.returned;
      EXPECT_EQ(difx.Calls().size(), 2u) << "the USB package is handled all the same";
      EXPECT_EQ(difx.freed.size(), 1u);
    }
  }
}

TEST_F(PackageInstallTest, MissingLibraryGivesZeroAndStillUpdatesDevices) {
  difx_.MakeLibraryMissing();
  EXPECT_EQ(Install(), 0);
  ExpectPackageLines({L"\nEnter InstallDrviver..."});
  EXPECT_EQ(difx_.loadPaths.size(), 1u);
  EXPECT_TRUE(difx_.loaded.empty());
  EXPECT_TRUE(difx_.freed.empty()) << "nothing loaded, nothing to give back";
  EXPECT_TRUE(difx_.lookups.empty());
  EXPECT_TRUE(difx_.Calls().empty());
  ExpectDeviceUpdateAfterTheLibrary();
}

TEST_F(PackageInstallTest, MissingPreinstallExportGivesZeroAndStillUpdatesDevices) {
  difx_.Hide(kPreinstall);
  EXPECT_EQ(Install(), 0);
  ExpectPackageLines({L"\nEnter InstallDrviver..."});
  ExpectLibraryLoadedAndFreedOnce();
  EXPECT_TRUE(difx_.Calls().empty());
  ExpectDeviceUpdateAfterTheLibrary();
}

TEST_F(PackageInstallTest, ModulePathWithoutBackslashLoadsByTheBareName) {
  difx_.SetModulePath(L"mdsdriver.exe");
  difx_.redirectBareName = true;
  difx_.Script(kNetworkPackage, kPreinstall, ERROR_SUCCESS, ERROR_SUCCESS);
  difx_.Script(kUsbPackage, kPreinstall, ERROR_ALREADY_EXISTS, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Install(), 2);
  ExpectPackageLines({L"\nEnter InstallDrviver...", L"DriverPackagePreinstall netaapl successed !",
                      L"DriverPackagePreinstall usbaapl alread exist !"});
  EXPECT_EQ(difx_.loadPaths, std::vector<std::wstring>{L"difxapi_x64.dll"});
  EXPECT_EQ(difx_.freed, difx_.loaded);
  ExpectDeviceUpdateAfterTheLibrary();
}

// Another run holds the store lock: a clock that only the waits move, and the
// lock had 45 s into the wait after `g_timedOut` full waits ran out (-1: never).
ULONGLONG g_clock = 0;
int g_timedOut = 0;
ULONGLONG WINAPI WaitsClock() { return g_clock; }
DWORD WINAPI HeldElsewhere(HANDLE lock, DWORD ms) {
  if (ms == 0) return WAIT_TIMEOUT;
  g_clock += g_timedOut-- != 0 ? ms : 45000;
  return g_timedOut == -1 ? platform::RealCalls().WaitForSingleObject(lock, 0) : WAIT_TIMEOUT;
}

// Each wait is logged, and its time when it gives up; a preinstall whose wait
// gave up asks the library nothing (it would answer 183); a lock had is kept.
TEST(PackageInstallLockTest, EveryWaitIsLoggedWithTheTimeItTook) {
  const std::wstring wait = L"Waiting for the store lock (another run holds it)...",
                     gaveUp = L"Waiting for the store lock failed after 120000 ms(1460)", update = L"\nUpdateDevice...";
  const struct {
    int timedOut, result;
    std::vector<std::wstring> lines;  // from the entry line's next to the device update's first
  } rows[] = {{-1,
               ERROR_TIMEOUT,
               {wait, gaveUp, wait, gaveUp, L"DriverPackagePreinstall netaapl FAILED(1460)", wait, gaveUp,
                L"DriverPackagePreinstall usbaapl failed(1460)", update}},
              {1,
               2,
               {wait, gaveUp, wait, L"DriverPackagePreinstall netaapl alread exist !",
                L"DriverPackagePreinstall usbaapl alread exist !", update}}};
  auto clock = platform::Override(&platform::Calls::GetTickCount64, &WaitsClock);
  auto waits = platform::Override(&platform::Calls::WaitForSingleObject, &HeldElsewhere);
  for (const auto& row : rows) {
    fakes::FakeDifx difx;
    fakes::ReportCapture capture(true);
    g_clock = 5000;
    g_timedOut = row.timedOut;
    EXPECT_EQ(package::InstallDrviver(kNetworkInf, kUsbInf, kModelsSection), row.result);
    const std::vector<std::wstring> lines = capture.Messages(fakes::Channel::kLog);
    ASSERT_GT(lines.size(), row.lines.size());
    EXPECT_EQ(std::vector<std::wstring>(lines.begin() + 1, lines.begin() + 1 + row.lines.size()), row.lines);
  }
}

// The device update's first call: whether another thread could take the
// store lock at that moment. The update then ends there, as in the harness.
bool g_lockHeldAtUpdate = false;
DWORD WINAPI FullPathUnderTheLock(LPCWSTR, DWORD, LPWSTR, LPWSTR*) {
  g_lockHeldAtUpdate = !testing_support::StoreLockIsFree();
  SetLastError(ERROR_INVALID_NAME);
  return 0;
}

// The lock spans the preinstalls and the device update: no other run's "/u"
// acts in between.
TEST_F(PackageInstallTest, DeviceUpdateRunsUnderTheRunsStoreLock) {
  auto fullPath = platform::Override(&platform::Calls::GetFullPathNameW, &FullPathUnderTheLock);
  EXPECT_EQ(Install(), 2) << "both packages in the store already";
  EXPECT_TRUE(g_lockHeldAtUpdate) << "the lock was free when the device update began";
}

}  // namespace
