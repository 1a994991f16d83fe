// "/qu" device query and its hardware-ID test: real INF files read through
// SetupAPI, attached devices from the fake device list.
#include "device/device_query.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_inf.h"
#include "fakes/fake_devices.h"
#include "fakes/report_capture.h"

namespace {

using device_test::ModelsLine;
using fakes::FakeDevice;
using fakes::Log;
using fakes::Report;
using fakes::Trace;

const std::wstring kEntry = L"\nEnter CQoDriverComImp::DealDeviceOpt(query)...";
const std::wstring kLeave = L"Leave CQoDriverComImp::DealDeviceOpt(query)...";
const std::wstring kKeyboard = L"USB\\VID_046D&PID_C31C\\5&2B1E2A9&0&1";

FakeDevice AppleDevice(const std::wstring& serial, bool present = true) {
  FakeDevice device{L"USB\\VID_05AC&PID_12A8\\" + serial, present};
  device.properties = {{SPDRP_CLASS, L"USB"},
                       {SPDRP_CLASSGUID, L"{36fc9e60-c465-11cf-8056-444553540000}"},
                       {SPDRP_DRIVER, L"{36fc9e60-c465-11cf-8056-444553540000}\\0007"},
                       {SPDRP_DEVICEDESC, L"Fixture Mobile Device A"},
                       {SPDRP_FRIENDLYNAME, L"Fixture Phone"},
                       {SPDRP_MFG, L"Fixture Devices"}};
  return device;
}

class DeviceQueryTest : public testing::Test {
 protected:
  void SetUp() override {
    infPath_ = dir_ / L"usb.inf";
    WriteModels(ModelsLine(L"USB\\VID_05AC&PID_12A8") + ModelsLine(L"USB\\VID_05AC&PID_12AB"));
  }

  void TearDown() override {
    EXPECT_EQ(fake_.setsObtained, fake_.setsDestroyed) << "every device set is released";
    EXPECT_EQ(fake_.infsOpened, fake_.infsClosed) << "every INF handle is closed";
    for (DWORD size : fake_.instanceIdBufferSizes) EXPECT_EQ(size, 260u);
    for (const fakes::PropertyRead& read : fake_.propertyReads) EXPECT_EQ(read.bufferBytes, 520u);
  }

  void WriteModels(const std::wstring& lines, const std::wstring& section = device_test::kModelsSection) {
    ASSERT_TRUE(device_test::WriteInf(infPath_, device_test::InfText(lines, section)));
  }

  int Run() { return device::CQoDriverComImp::DealDeviceOpt(infPath_.c_str(), device_test::kModelsSection); }

  testing_support::TempDir dir_;
  std::wstring infPath_;
  fakes::ReportCapture capture_{/*logOn=*/true};
  fakes::FakeDevices fake_;
};

TEST_F(DeviceQueryTest, ReportsTheFirstAttachedMatchOnBothChannels) {
  // The detached device is not in the set, so the match is member 1.
  fake_.devices = {{kKeyboard, true}, AppleDevice(L"DETACHED", false), AppleDevice(L"00001111aaaa")};

  EXPECT_EQ(Run(), 1);
  const std::wstring guid = L"{36fc9e60-c465-11cf-8056-444553540000}";
  EXPECT_EQ(capture_.Reports(), (std::vector<Report>{
                                    Log(kEntry),
                                    Trace(L"1 appdev HarewareID \t = USB\\VID_05AC&PID_12A8\\00001111aaaa"),
                                    Trace(L"1 murvex HarewareID \t = usb\\vid_05ac&pid_12a8\\00001111aaaa"),
                                    Trace(L"1 appdev Class \t\t = USB"),
                                    Trace(L"1 appdev ClassGuid \t = " + guid),
                                    Trace(L"1 appdev Driver \t\t = " + guid + L"\\0007"),
                                    Trace(L"1 appdev DeviceDesc \t = Fixture Mobile Device A"),
                                    Trace(L"1 appdev FriendlyName \t = Fixture Phone"),
                                    Trace(L"1 appdev Mfg \t\t = Fixture Devices"),
                                    Log(L"1 appdev Class \t\t = USB"),
                                    Log(L"1 appdev ClassGuid \t = " + guid),
                                    Log(L"1 appdev Driver \t = " + guid + L"\\0007"),
                                    Log(L"1 appdev DeviceDesc \t = Fixture Mobile Device A"),
                                    Log(L"1 appdev FriendlyName \t = Fixture Phone"),
                                    Log(L"1 appdev Mfg \t\t = Fixture Devices"),
                                    Log(kLeave),
                                }));

  ASSERT_EQ(fake_.classDevsRequests.size(), 1u);
  const fakes::ClassDevsRequest& request = fake_.classDevsRequests[0];
  EXPECT_TRUE(request.ex);
  EXPECT_TRUE(request.anyClass);
  EXPECT_EQ(request.enumerator, L"USB");
  EXPECT_EQ(request.flags, static_cast<DWORD>(DIGCF_PRESENT | DIGCF_ALLCLASSES));
  EXPECT_TRUE(request.plain);
  EXPECT_EQ(fake_.openedInfs, (std::vector<std::wstring>{infPath_, infPath_})) << "as passed, once per device";

  std::vector<DWORD> properties;
  for (const fakes::PropertyRead& read : fake_.propertyReads) properties.push_back(read.property);
  EXPECT_EQ(properties, (std::vector<DWORD>{SPDRP_CLASS, SPDRP_CLASSGUID, SPDRP_DRIVER, SPDRP_DEVICEDESC,
                                            SPDRP_FRIENDLYNAME, SPDRP_MFG}));
}

TEST_F(DeviceQueryTest, TwoAttachedMatchesReportOnlyTheLowerIndex) {
  fake_.devices = {AppleDevice(L"FIRST"), AppleDevice(L"SECOND")};
  EXPECT_EQ(Run(), 1);
  const std::vector<std::wstring> traced = capture_.Messages(fakes::Channel::kTrace);
  ASSERT_EQ(traced.size(), 8u);
  EXPECT_EQ(traced[0], L"0 appdev HarewareID \t = USB\\VID_05AC&PID_12A8\\FIRST");
  for (const std::wstring& line : capture_.Messages(fakes::Channel::kLog)) {
    EXPECT_EQ(line.find(L"SECOND"), std::wstring::npos);
  }
  EXPECT_EQ(fake_.openedInfs.size(), 1u) << "the INF is not searched for the device after the match";
  EXPECT_EQ(fake_.instanceIdBufferSizes.size(), 1u);
}

TEST_F(DeviceQueryTest, UnreadablePropertyHasNoTraceLineAndAnEmptyLogValue) {
  FakeDevice device{L"USB\\VID_05AC&PID_12AB\\1", true};
  // A name too long for the buffer: the failed read leaves part of it there.
  device.properties = {{SPDRP_DEVICEDESC, L"Fixture Mobile Device B"}, {SPDRP_FRIENDLYNAME, std::wstring(300, L'F')}};
  fake_.devices = {device};

  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(capture_.Reports(), (std::vector<Report>{
                                    Log(kEntry),
                                    Trace(L"0 appdev HarewareID \t = USB\\VID_05AC&PID_12AB\\1"),
                                    Trace(L"0 murvex HarewareID \t = usb\\vid_05ac&pid_12ab\\1"),
                                    Trace(L"0 appdev DeviceDesc \t = Fixture Mobile Device B"),
                                    Log(L"0 appdev Class \t\t = "),
                                    Log(L"0 appdev ClassGuid \t = "),
                                    Log(L"0 appdev Driver \t = "),
                                    Log(L"0 appdev DeviceDesc \t = Fixture Mobile Device B"),
                                    Log(L"0 appdev FriendlyName \t = "),
                                    Log(L"0 appdev Mfg \t\t = "),
                                    Log(kLeave),
                                }));
}

TEST_F(DeviceQueryTest, PercentAndNonAsciiTextInAPropertyPassUnchanged) {
  FakeDevice device = AppleDevice(L"1");
  device.properties[SPDRP_FRIENDLYNAME] = L"100% caf\u00e9 %s %d";
  device.properties[SPDRP_MFG] = L"\u82f9\u679c";
  fake_.devices = {device};

  EXPECT_EQ(Run(), 1);
  const std::vector<std::wstring> traced = capture_.Messages(fakes::Channel::kTrace);
  ASSERT_EQ(traced.size(), 8u);
  EXPECT_EQ(traced[6], L"0 appdev FriendlyName \t = 100% caf\u00e9 %s %d");
  EXPECT_EQ(traced[7], L"0 appdev Mfg \t\t = \u82f9\u679c");
  const std::vector<std::wstring> logged = capture_.Messages(fakes::Channel::kLog);
  ASSERT_EQ(logged.size(), 8u);
  EXPECT_EQ(logged[5], L"0 appdev FriendlyName \t = 100% caf\u00e9 %s %d");
  EXPECT_NE(capture_.stdoutBytes().find(" = 100% caf\xe9 %s %d\r\n"), std::string::npos)
      << "one byte per code unit up to 255";
}

TEST_F(DeviceQueryTest, NoMatchLogsOnlyEntryAndLeave) {
  fake_.devices = {{kKeyboard, true}, {L"USB\\ROOT_HUB30\\4&1", true}, AppleDevice(L"DETACHED", false)};
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(capture_.Reports(), (std::vector<Report>{Log(kEntry), Log(kLeave)}));
  EXPECT_EQ(fake_.infsOpened, 2);
}

TEST_F(DeviceQueryTest, DeviceSetNotObtained) {
  fake_.classDevsError = ERROR_INVALID_FLAGS;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(capture_.Reports(),
            (std::vector<Report>{Log(kEntry), Log(L"SetupDiGetClassDevsEx FAILED(1004)"), Log(kLeave)}));
  EXPECT_EQ(fake_.setsDestroyed, 0);
}

TEST_F(DeviceQueryTest, InfProblemsAreTracedForEveryDeviceAndMatchNothing) {
  fake_.devices = {AppleDevice(L"1"), AppleDevice(L"2")};
  WriteModels(ModelsLine(L"USB\\VID_05AC&PID_12A8"), L"Apple.NTx86");
  EXPECT_EQ(Run(), 1);
  ASSERT_TRUE(DeleteFileW(infPath_.c_str()));
  EXPECT_EQ(Run(), 1);
  const std::wstring noSection = L"SetupFindFirstLine failed(-536870654)";  // 0xE0000102
  EXPECT_EQ(capture_.Reports(), (std::vector<Report>{Log(kEntry), Trace(noSection), Trace(noSection), Log(kLeave),
                                                     Log(kEntry), Trace(L"SetupOpenInfFile failed(2)"),
                                                     Trace(L"SetupOpenInfFile failed(2)"), Log(kLeave)}));
  EXPECT_EQ(fake_.infsOpened, 2);
}

TEST_F(DeviceQueryTest, UnreadableInstanceIdIsSkippedButCounted) {
  fake_.devices = {AppleDevice(L"UNREADABLE"), AppleDevice(L"2")};
  fake_.devices[0].failInstanceId = true;
  EXPECT_EQ(Run(), 1);
  const std::vector<std::wstring> traced = capture_.Messages(fakes::Channel::kTrace);
  ASSERT_FALSE(traced.empty());
  EXPECT_EQ(traced[0], L"1 appdev HarewareID \t = USB\\VID_05AC&PID_12A8\\2");
  EXPECT_EQ(fake_.openedInfs.size(), 1u);
}

// MatchInfHardwareId on its own, over a section with every kind of line.
class MatchInfHardwareIdTest : public DeviceQueryTest {
 protected:
  bool Match(const std::wstring& instanceId) {
    return device::MatchInfHardwareId(infPath_.c_str(), device_test::kModelsSection, instanceId.c_str()) != FALSE;
  }
};

TEST_F(MatchInfHardwareIdTest, ContainmentWithOnlyAToZFolded) {
  WriteModels(ModelsLine(L"USB\\Vid_05AC&Pid_12A8") + ModelsLine(L"USB\\\u00C4PFEL"));
  EXPECT_TRUE(Match(L"usb\\vid_05ac&pid_12a8\\0000111122223333"));
  EXPECT_TRUE(Match(L"USB\\VID_05AC&PID_12A8&MI_01\\6&3A1B&0&0001")) << "continues after the ID";
  EXPECT_TRUE(Match(L"XUSB\\VID_05AC&PID_12A80"));
  EXPECT_FALSE(Match(L"USB\\VID_05AC&PID_12A\\8"));
  EXPECT_TRUE(Match(L"usb\\\u00C4pfel\\1"));
  EXPECT_FALSE(Match(L"usb\\\u00E4pfel\\1")) << "\u00C4 and \u00E4 are not folded";
  EXPECT_TRUE(capture_.Reports().empty());
  EXPECT_EQ(fake_.infsOpened, 6) << "opened afresh for every question";
}

TEST_F(MatchInfHardwareIdTest, UnusableLinesAreSkippedAndAnEmptyIdMatchesNothing) {
  WriteModels(L"%Device.Desc%=Device_Install\r\n%Device.Desc%=Device_Install,\r\n" +
              ModelsLine(L"USB\\" + std::wstring(256, L'Y')) +  // 260 characters: does not fit
              ModelsLine(L"USB\\" + std::wstring(255, L'Z')) +  // 259 characters: fits
              ModelsLine(L"USB\\VID_05AC&PID_12A8"));
  EXPECT_FALSE(Match(kKeyboard));
  EXPECT_FALSE(Match(L"USB\\" + std::wstring(256, L'Y') + L"\\1"));
  EXPECT_TRUE(Match(L"USB\\" + std::wstring(255, L'Z') + L"\\1"));
  EXPECT_TRUE(Match(L"USB\\VID_05AC&PID_12A8\\1"));
}

TEST_F(MatchInfHardwareIdTest, LeavesTheCallersTextAsItWas) {
  wchar_t instanceId[] = L"USB\\VID_05AC&PID_12A8\\ABC";
  EXPECT_TRUE(device::MatchInfHardwareId(infPath_.c_str(), device_test::kModelsSection, instanceId));
  EXPECT_STREQ(instanceId, L"USB\\VID_05AC&PID_12A8\\ABC");
}

}  // namespace
