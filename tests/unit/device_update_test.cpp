// "/re" device driver update: real INF files read through SetupAPI, devices
// from the fake device list, reports captured per channel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/driver_update.h"
#include "device_inf.h"
#include "fakes/fake_devices.h"
#include "fakes/report_capture.h"
#include "platform/store_lock.h"
#include "support/fixture_packages.h"

namespace {

using device_test::ModelsLine;
using fakes::FakeDevice;
using fakes::Log;
using fakes::Report;

const std::wstring kEntry = L"\nUpdateDevice...";
const std::wstring kSucceeded = L" Driver Update Successed!\n";
const std::wstring kFailed = L" Driver Update failed!\n";
const std::wstring kAppleId = L"USB\\VID_05AC&PID_12A8";
const std::wstring kAppleDevice = L"USB\\VID_05AC&PID_12A8\\0000111122223333";
const std::wstring kKeyboard = L"USB\\VID_046D&PID_C31C\\5&2B1E2A9&0&1";

class UpdateDeviceTest : public testing::Test {
 protected:
  void SetUp() override { infPath_ = dir_ / L"usb.inf"; }

  void TearDown() override {
    EXPECT_EQ(fake_.setsObtained, fake_.setsDestroyed) << "every device set is released";
    EXPECT_EQ(fake_.infsOpened, fake_.infsClosed) << "every INF handle is closed";
    EXPECT_TRUE(fake_.nodeStatusOutputsZeroed);
    for (DWORD size : fake_.instanceIdBufferSizes) EXPECT_EQ(size, 260u);
  }

  void WriteModels(const std::wstring& lines) {
    ASSERT_TRUE(device_test::WriteInf(infPath_, device_test::InfText(lines)));
  }

  int Run() { return device::UpdateDevice(infPath_.c_str(), device_test::kModelsSection); }

  std::vector<std::wstring> FlaggedDevices() const {
    std::vector<std::wstring> ids;
    for (const fakes::FlagWrite& write : fake_.flagWrites) ids.push_back(write.instanceId);
    return ids;
  }

  testing_support::TempDir dir_;
  std::wstring infPath_;
  fakes::ReportCapture capture_{/*logOn=*/true};
  fakes::FakeDevices fake_;
};

// The waits that could have lasted: a try at once (0 ms) is no wait.
int g_waits = 0;
DWORD WINAPI TimedOutWait(HANDLE, DWORD ms) {
  if (ms != 0) ++g_waits;
  return WAIT_TIMEOUT;
}

// Whether another thread could take the store lock while the driver update ran.
bool g_lockHeldAtUpdate = false;
BOOL WINAPI UpdateUnderTheLock(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL) {
  g_lockHeldAtUpdate = !testing_support::StoreLockIsFree();
  return TRUE;
}

TEST_F(UpdateDeviceTest, CopiesTheInfAndUpdatesEveryHardwareIdLowerCased) {
  WriteModels(ModelsLine(kAppleId) + ModelsLine(L"USB\\Vid_05AC&Pid_12AB") + ModelsLine(L"USB\\VID_05AC&PID_1290"));
  fake_.devices = {{kKeyboard, false}, {kAppleDevice, true}};
  // Another run keeps the store lock past the wait: the copy goes ahead without it.
  auto wait = platform::Override(&platform::Calls::WaitForSingleObject, &TimedOutWait);

  EXPECT_EQ(Run(), 1);
  // The wait is told, and so is its end.
  std::vector<Report> reports = capture_.Reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[2].message.rfind(L"Waiting for the store lock failed after ", 0), 0u);
  reports.erase(reports.begin() + 2);
  EXPECT_EQ(reports, (std::vector<Report>{Log(kEntry), Log(L"Waiting for the store lock (another run holds it)..."),
                                          Log(kSucceeded)}));
  EXPECT_TRUE(capture_.stdoutBytes().empty()) << "nothing on the trace";

  ASSERT_EQ(fake_.copies.size(), 1u);
  EXPECT_EQ(fake_.copies[0].infPath, infPath_);
  EXPECT_EQ(fake_.copies[0].mediaType, static_cast<DWORD>(SPOST_PATH));
  EXPECT_EQ(fake_.copies[0].copyStyle, 0u);
  EXPECT_FALSE(fake_.copies[0].anyNameOutput);

  ASSERT_EQ(fake_.classDevsRequests.size(), 1u);
  const fakes::ClassDevsRequest& request = fake_.classDevsRequests[0];
  EXPECT_FALSE(request.ex);
  EXPECT_TRUE(request.anyClass);
  EXPECT_EQ(request.enumerator, L"USB");
  EXPECT_EQ(request.flags, static_cast<DWORD>(DIGCF_ALLCLASSES)) << "attached or not";
  EXPECT_TRUE(request.plain);

  const std::vector<std::wstring> expectedIds = {L"usb\\vid_05ac&pid_12a8", L"usb\\vid_05ac&pid_12ab",
                                                 L"usb\\vid_05ac&pid_1290"};
  ASSERT_EQ(fake_.driverUpdates.size(), expectedIds.size());
  for (size_t i = 0; i < expectedIds.size(); ++i) {
    EXPECT_EQ(fake_.driverUpdates[i].hardwareId, expectedIds[i]);
    EXPECT_EQ(fake_.driverUpdates[i].infPath, infPath_);
    EXPECT_EQ(fake_.driverUpdates[i].flags, static_cast<DWORD>(INSTALLFLAG_FORCE));
    EXPECT_EQ(fake_.driverUpdates[i].rebootBefore, FALSE);
  }
  // The attached match is asked about and left alone; the keyboard is never asked about.
  EXPECT_EQ(fake_.nodeStatusAsked, std::vector<std::wstring>{kAppleDevice});
  EXPECT_TRUE(fake_.flagWrites.empty());
  EXPECT_EQ(fake_.releases, "is") << "the INF is closed before the device set is released";
}

TEST_F(UpdateDeviceTest, FailedCopyThenAFlaggedDetachedDeviceSucceeds) {
  WriteModels(ModelsLine(kAppleId));
  fake_.copyError = ERROR_ACCESS_DENIED;
  fake_.driverUpdateResult = FALSE;  // its outcome changes nothing
  fake_.devices = {{kAppleDevice, false}};
  fake_.devices[0].configFlags = 0x401;

  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(capture_.Reports(),
            (std::vector<Report>{Log(kEntry), Log(L"\t SetupCopyOEMInf failed(5)"), Log(kSucceeded)}));
  ASSERT_EQ(fake_.flagWrites.size(), 1u);
  EXPECT_EQ(fake_.flagWrites[0].instanceId, kAppleDevice);
  EXPECT_EQ(fake_.flagWrites[0].value, 0x421u) << "CONFIGFLAG_REINSTALL added, every other bit kept";
  ASSERT_EQ(fake_.propertyReads.size(), 1u);
  EXPECT_EQ(fake_.propertyReads[0].property, static_cast<DWORD>(SPDRP_CONFIGFLAGS));
  EXPECT_EQ(fake_.propertyReads[0].bufferBytes, 4u);
}

TEST_F(UpdateDeviceTest, FailedCopyWithNothingFlaggedFails) {
  WriteModels(ModelsLine(kAppleId) + ModelsLine(L"USB\\VID_05AC&PID_12AB"));
  fake_.copyError = ERROR_FILE_NOT_FOUND;
  fake_.devices = {{kAppleDevice, false}, {L"USB\\VID_05AC&PID_12AB\\1", false}};
  fake_.devices[0].failConfigFlagsRead = true;
  fake_.devices[1].failConfigFlagsWrite = true;

  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(capture_.Reports(), (std::vector<Report>{Log(kEntry), Log(L"\t SetupCopyOEMInf failed(2)"), Log(kFailed)}));
  EXPECT_TRUE(fake_.flagWrites.empty());
  EXPECT_EQ(fake_.nodeStatusAsked.size(), 2u);
}

TEST_F(UpdateDeviceTest, NoDeviceSetEndsWithoutVerdict) {
  WriteModels(ModelsLine(kAppleId));
  fake_.classDevsError = ERROR_INVALID_FLAGS;
  fake_.devices = {{kAppleDevice, false}};
  EXPECT_EQ(Run(), 0) << "even though the copy succeeded";
  EXPECT_EQ(capture_.Reports(), std::vector<Report>{Log(kEntry)});
  EXPECT_EQ(fake_.copies.size(), 1u);
  EXPECT_EQ(fake_.infsClosed, 1);
  EXPECT_TRUE(fake_.driverUpdates.empty());

  fake_.copyError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(capture_.Reports(), (std::vector<Report>{Log(kEntry), Log(kEntry), Log(L"\t SetupCopyOEMInf failed(5)")}));
  EXPECT_EQ(fake_.setsDestroyed, 0);
}

TEST_F(UpdateDeviceTest, MissingOrEmptySectionGivesFiveWithoutCopying) {
  const std::wstring kNoDescriptor = L"\u6CA1\u6709\u53EF\u7528\u8BBE\u5907\u63CF\u8FF0\u7B26";
  for (const std::wstring& text : {device_test::InfText(ModelsLine(kAppleId), L"Apple.NTx86"),  // section missing
                                   device_test::InfText(L"")}) {                                // section empty
    ASSERT_TRUE(device_test::WriteInf(infPath_, text));
    EXPECT_EQ(Run(), 5);
  }
  EXPECT_EQ(capture_.Reports(), (std::vector<Report>{Log(kEntry), Log(kNoDescriptor), Log(kFailed), Log(kEntry),
                                                     Log(kNoDescriptor), Log(kFailed)}));
  EXPECT_EQ(fake_.infsOpened, 2);
  EXPECT_TRUE(fake_.copies.empty());
  EXPECT_TRUE(fake_.classDevsRequests.empty());
}

TEST_F(UpdateDeviceTest, InfThatWillNotOpenGivesFour) {
  const std::wstring kOpenFailed = L"\u6253\u5F00\u6587\u4EF6\u5931\u8D25\uFF1A";
  EXPECT_EQ(Run(), 4) << "no file";
  ASSERT_TRUE(testing_support::WriteBytes(infPath_, "this is not an INF file\r\n"));
  EXPECT_EQ(Run(), 4) << "no [Version]";
  EXPECT_EQ(capture_.Reports(), (std::vector<Report>{Log(kEntry), Log(kOpenFailed + infPath_), Log(kFailed),
                                                     Log(kEntry), Log(kOpenFailed + infPath_), Log(kFailed)}));
  EXPECT_EQ(fake_.openedInfs.size(), 2u);
  EXPECT_EQ(fake_.infsOpened, 0);
  EXPECT_TRUE(fake_.copies.empty());
  EXPECT_TRUE(fake_.classDevsRequests.empty());
}

DWORD WINAPI NoFullPath(LPCWSTR, DWORD, LPWSTR, LPWSTR*) {
  SetLastError(ERROR_INVALID_NAME);
  return 0;
}

TEST_F(UpdateDeviceTest, PathThatCannotBeMadeAbsoluteGivesThree) {
  auto noFullPath = platform::Override(&platform::Calls::GetFullPathNameW, &NoFullPath);
  EXPECT_EQ(device::UpdateDevice(L"usb.inf", device_test::kModelsSection), 3);
  EXPECT_EQ(capture_.Reports(),
            (std::vector<Report>{Log(kEntry), Log(L".inf\u6587\u4EF6 usb.inf \u672A\u627E\u5230\n"), Log(kFailed)}));
  EXPECT_TRUE(fake_.openedInfs.empty());
}

TEST_F(UpdateDeviceTest, PathTooLongForTheBufferGivesThree) {
  const std::wstring longPath = dir_.path() + L"\\" + std::wstring(300 - dir_.path().size(), L'a') + L".inf";
  EXPECT_EQ(device::UpdateDevice(longPath.c_str(), device_test::kModelsSection), 3);
  EXPECT_TRUE(fake_.openedInfs.empty()) << "nothing is opened by an empty or cut path";
}

TEST_F(UpdateDeviceTest, RelativePathIsMadeAbsoluteButReportedAsGiven) {
  WriteModels(ModelsLine(kAppleId));
  wchar_t saved[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW(dir_.path().c_str()));
  const int found = device::UpdateDevice(L"usb.inf", device_test::kModelsSection);
  const int missing = device::UpdateDevice(L"absent.inf", device_test::kModelsSection);
  SetCurrentDirectoryW(saved);

  EXPECT_EQ(found, 1);
  EXPECT_EQ(missing, 4);
  EXPECT_EQ(fake_.openedInfs, (std::vector<std::wstring>{infPath_, dir_ / L"absent.inf"}));
  ASSERT_EQ(fake_.copies.size(), 1u);
  EXPECT_EQ(fake_.copies[0].infPath, infPath_);
  ASSERT_EQ(fake_.driverUpdates.size(), 1u);
  EXPECT_EQ(fake_.driverUpdates[0].infPath, infPath_);
  EXPECT_EQ(capture_.Messages(fakes::Channel::kLog).at(3), L"\u6253\u5F00\u6587\u4EF6\u5931\u8D25\uFF1Aabsent.inf");
}

TEST_F(UpdateDeviceTest, AnAttachedFirstMatchShieldsALaterDetachedOne) {
  WriteModels(ModelsLine(kAppleId));
  fake_.devices = {{kAppleDevice, true}, {L"USB\\VID_05AC&PID_12A8\\FFFF", false}};
  EXPECT_EQ(Run(), 1);
  EXPECT_TRUE(fake_.flagWrites.empty());
  EXPECT_EQ(fake_.nodeStatusAsked, std::vector<std::wstring>{kAppleDevice});
}

TEST_F(UpdateDeviceTest, MatchFoldsAToZAndFindsTheIdAnywhereInTheInstanceId) {
  WriteModels(ModelsLine(L"Usb\\Vid_05ac&PID_12a8"));
  fake_.copyError = ERROR_ACCESS_DENIED;  // so that only a flag write can make it succeed
  fake_.devices = {{L"USB\\VID_05AC&PID_12A9\\1", false}, {L"usb\\vid_05ac&pid_12a8&mi_01\\6&3A1B&0&0001", false}};
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(FlaggedDevices(), std::vector<std::wstring>{L"usb\\vid_05ac&pid_12a8&mi_01\\6&3A1B&0&0001"});
}

TEST_F(UpdateDeviceTest, LinesWithoutAUsableHardwareIdAreSkipped) {
  const std::wstring fits(259, L'Z');
  WriteModels(
      L"%Device.Desc%=Device_Install\r\n"     // no field 2
      L"%Device.Desc%=Device_Install,\r\n" +  // empty field 2
      ModelsLine(std::wstring(260, L'Y')) +   // does not fit 260 characters
      ModelsLine(fits) +
      ModelsLine(kAppleId));
  fake_.copyError = ERROR_ACCESS_DENIED;
  fake_.devices = {{kKeyboard, false}, {kAppleDevice, false}};

  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(fake_.driverUpdates.size(), 2u) << "no driver update for the skipped lines";
  EXPECT_EQ(fake_.driverUpdates[0].hardwareId, std::wstring(259, L'z'));
  EXPECT_EQ(fake_.driverUpdates[1].hardwareId, L"usb\\vid_05ac&pid_12a8");
  // An empty ID would name the keyboard, the first device in the set.
  EXPECT_EQ(FlaggedDevices(), std::vector<std::wstring>{kAppleDevice});
  // Two walks: to the end of the set for the 259 Zs, to the match for the last line.
  EXPECT_EQ(fake_.enumerations, 3 + 2);
}

TEST_F(UpdateDeviceTest, EveryLineWalksTheSameSetAfresh) {
  WriteModels(ModelsLine(L"USB\\VID_05AC") + ModelsLine(kAppleId));
  fake_.devices = {{L"USB\\VID_05AC&PID_12A8\\unreadable", false}, {kAppleDevice, false}};
  fake_.devices[0].failInstanceId = true;

  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(fake_.setsObtained, 1);
  EXPECT_EQ(FlaggedDevices(), (std::vector<std::wstring>{kAppleDevice, kAppleDevice})) << "flagged once per line";
  EXPECT_EQ(fake_.flagWrites[1].value, static_cast<DWORD>(CONFIGFLAG_REINSTALL));
}

// Inside a run's lock that timed out ("/i"'s), the update's own lock is that
// one: it waits no more, and the update goes ahead without.
TEST_F(UpdateDeviceTest, InsideARunsTimedOutLockTheUpdateWaitsNoMore) {
  WriteModels(ModelsLine(kAppleId));
  auto wait = platform::Override(&platform::Calls::WaitForSingleObject, &TimedOutWait);
  g_waits = 0;
  const platform::StoreLock runLock(platform::kStoreLockWaitMs);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(g_waits, 1) << "one wait for the run, none more for its update";
}

// The driver update installs from the INF folder too: "/re" holds the store
// lock through it, not through the copy alone.
TEST_F(UpdateDeviceTest, DriverUpdateRunsUnderTheStoreLock) {
  WriteModels(ModelsLine(kAppleId));
  auto update = platform::Override(&platform::Calls::UpdateDriverForPlugAndPlayDevicesW, &UpdateUnderTheLock);
  EXPECT_EQ(Run(), 1);
  EXPECT_TRUE(g_lockHeldAtUpdate) << "the lock was free while the driver update ran";
}

}  // namespace
