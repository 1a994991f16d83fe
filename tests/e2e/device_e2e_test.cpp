// mdsdriver.exe "/re", "/qu" and "/i" run for real under the debugger, with
// the fixture packages at their fixed place and three sample USB devices
// registered in the prefix as a freshly plugged, driverless device stands
// there: Wine's own device installer really puts the fixture driver on the
// devices the models section names. Each test undoes what it added: devices
// (and their driver keys), packages, system copies.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/fixture_packages.h"
#include "support/tool_runner.h"
#include "tools/device_registry.h"

// setupapi.h after the windows.h that tool_runner.h brings in.
#include <setupapi.h>

namespace {

using device_registry::Property;
using testing_support::RunAsDebuggee;
using testing_support::ToolRun;

// Two devices that models lines name, and one that none does, each with the
// description its bus reports before a driver is installed.
const device_registry::SampleDevice kKeyboard = {
    L"USB\\VID_046D&PID_C31C\\5&2B1E2A9&0&1", L"USB Keyboard", L"", L"", L"6400", {0x03, 0x01, 0x01}};
const device_registry::SampleDevice kPhone = {
    L"USB\\VID_05AC&PID_12A8\\0000111122223333", L"Mobile Phone", L"", L"", L"0311", {0xFF, 0xFE, 0x02}};
const device_registry::SampleDevice kTablet = {
    L"USB\\VID_05AC&PID_12AB\\00004444", L"Mobile Tablet", L"", L"", L"0320", {0xFF, 0xFE, 0x02}};
const device_registry::SampleDevice* const kSampleDevices[] = {&kKeyboard, &kPhone, &kTablet};

const wchar_t kUsbClassGuid[] = L"{36FC9E60-C465-11CF-8056-444553540000}";

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
  return bytes;
}

std::string Narrow(const std::wstring& ascii) { return std::string(ascii.begin(), ascii.end()); }

class DeviceE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\mdsdriver.exe", folder_.path()));
    CleanUp();
    ASSERT_TRUE(testing_support::PlacePackages());
    for (const device_registry::SampleDevice* device : kSampleDevices) ASSERT_TRUE(device_registry::Register(*device));
  }

  void TearDown() override { CleanUp(); }

  static void CleanUp() {
    for (const device_registry::SampleDevice* device : kSampleDevices) device_registry::Remove(device->instanceId);
    testing_support::RemoveSystemCopiesOf(FixtureUsbInf());
    testing_support::RemoveSystemCopiesOf(testing_support::FixtureDir() + L"\\packages\\NetDrivers\\netaapl64.inf");
    testing_support::RemovePackages();
  }

  static std::wstring FixtureUsbInf() { return testing_support::FixtureDir() + L"\\packages\\Drivers\\usbaapl64.inf"; }

  void PutMarker() { ASSERT_TRUE(testing_support::WriteBytes(folder_ / L"vezazez.cfg", "")); }

  ToolRun Run(const std::wstring& arguments) {
    ToolRun run = RunAsDebuggee(folder_ / L"mdsdriver.exe", arguments, folder_.path());
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.finished) << "a hang here is Wine's installer asking for a file the package does not ship";
    return run;
  }

  // The messages of the run's log file, each without its timestamp, TAB and
  // closing LF CR LF.
  std::vector<std::string> LogMessages() {
    std::vector<std::string> messages;
    const std::vector<std::wstring> files = testing_support::ListFolder(folder_ / L"log");
    EXPECT_EQ(files.size(), 1u);
    std::string bytes;
    if (files.size() != 1 || !testing_support::ReadBytes(folder_ / L"log\\" + files[0], bytes)) return messages;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\n\r\n", start)) != std::string::npos; start = end + 3) {
      const std::string record = bytes.substr(start, end - start);
      EXPECT_TRUE(record.size() >= 20 && record[4] == '-' && record[19] == '\t') << record;
      messages.push_back(record.substr(20));
    }
    EXPECT_EQ(start, bytes.size()) << "the file ends with a whole record";
    return messages;
  }

  // The phone and the tablet carry the fixture driver, read back from the
  // system: USB class, a driver key of their own under that class, and the
  // INF's description. The keyboard, which no models line names, has none
  // and keeps its own description.
  static void ExpectFixtureDriverOnTheNamedDevices() {
    const struct {
      const device_registry::SampleDevice* device;
      const wchar_t* infDescription;  // nullptr: no models line names it
    } kExpected[] = {
        {&kPhone, L"Fixture Mobile Device A"}, {&kTablet, L"Fixture Mobile Device B"}, {&kKeyboard, nullptr}};
    std::vector<std::wstring> drivers;
    for (const auto& expected : kExpected) {
      const std::wstring& id = expected.device->instanceId;
      SCOPED_TRACE(Narrow(id));
      const std::optional<std::wstring> driver = Property(id, SPDRP_DRIVER);
      if (expected.infDescription == nullptr) {
        EXPECT_EQ(Property(id, SPDRP_CLASS), std::nullopt);
        EXPECT_EQ(driver, std::nullopt);
        EXPECT_EQ(Property(id, SPDRP_DEVICEDESC), expected.device->description);
        continue;
      }
      EXPECT_EQ(Property(id, SPDRP_CLASS), L"USB");
      EXPECT_EQ(Property(id, SPDRP_CLASSGUID), kUsbClassGuid);
      EXPECT_EQ(Property(id, SPDRP_DEVICEDESC), expected.infDescription);
      ASSERT_TRUE(driver.has_value());
      // "<class GUID>\NNNN": the number is the system's choice.
      EXPECT_EQ(driver->substr(0, 39), kUsbClassGuid + std::wstring(L"\\"));
      EXPECT_EQ(driver->size(), 43u);
      drivers.push_back(*driver);
    }
    ASSERT_EQ(drivers.size(), 2u);
    EXPECT_NE(drivers[0], drivers[1]) << "each device has a driver key of its own";
  }

  // "/qu" reports the first named device in set order with all that it holds.
  void ExpectQueryReportsTheInstalledDriver() {
    const std::vector<std::wstring> ids = device_registry::UsbInstanceIds();
    size_t index = 0;
    while (index < ids.size() && _wcsicmp(ids[index].c_str(), kPhone.instanceId.c_str()) != 0 &&
           _wcsicmp(ids[index].c_str(), kTablet.instanceId.c_str()) != 0) {
      ++index;
    }
    ASSERT_LT(index, ids.size());
    const std::wstring id = ids[index];
    const ToolRun run = Run(L"/qu");
    EXPECT_EQ(run.exitCode, 0u);
    const std::string tag = "[app](" + std::to_string(run.mainThreadId) + "): " + std::to_string(index) + " ";
    std::string lower = Narrow(id);
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    EXPECT_EQ(run.output,
              tag + "appdev HarewareID \t = " + Narrow(id) + "\r\n" +                //
                  tag + "murvex HarewareID \t = " + lower + "\r\n" +                 //
                  tag + "appdev Class \t\t = USB\r\n" +                              //
                  tag + "appdev ClassGuid \t = " + Narrow(kUsbClassGuid) + "\r\n" +  //
                  tag + "appdev Driver \t\t = " + Narrow(Property(id, SPDRP_DRIVER).value_or(L"?")) + "\r\n" + tag +
                  "appdev DeviceDesc \t = " + Narrow(Property(id, SPDRP_DEVICEDESC).value_or(L"?")) + "\r\n");
  }

  testing_support::TempDir folder_;
};

TEST_F(DeviceE2ETest, QueryPrintsTheMatchingDeviceAndExitsZero) {
  // The member index is the device's place in the set, the keyboard counted.
  const std::vector<std::wstring> ids = device_registry::UsbInstanceIds();
  size_t index = 0;
  while (index < ids.size() && _wcsicmp(ids[index].c_str(), kPhone.instanceId.c_str()) != 0) ++index;
  ASSERT_LT(index, ids.size());

  const ToolRun run = Run(L"/qu");
  EXPECT_EQ(run.exitCode, 0u);
  const std::string tag = "[app](" + std::to_string(run.mainThreadId) + "): " + std::to_string(index) + " ";
  // Class and Driver stay unset while no driver is installed: no lines for
  // them, nor for the friendly name and maker a driverless device lacks.
  EXPECT_EQ(run.output, tag + "appdev HarewareID \t = " + Narrow(ids[index]) + "\r\n" +  //
                            tag + "murvex HarewareID \t = usb\\vid_05ac&pid_12a8\\0000111122223333\r\n" + tag +
                            "appdev ClassGuid \t = {36FC9E60-C465-11CF-8056-444553540000}\r\n" + tag +
                            "appdev DeviceDesc \t = Mobile Phone\r\n");
  EXPECT_EQ(run.debugStrings.size(), 4u) << "the trace lines only: no marker, no log";
  EXPECT_FALSE(testing_support::Exists(folder_ / L"log"));
}

TEST_F(DeviceE2ETest, QueryWithTheMarkerLogsTheSixProperties) {
  PutMarker();
  const ToolRun run = Run(L"/QU");
  EXPECT_EQ(run.exitCode, 0u);
  std::vector<std::string> messages = LogMessages();
  ASSERT_EQ(messages.size(), 8u);
  for (size_t i = 1; i <= 6; ++i) messages[i] = messages[i].substr(messages[i].find(' '));  // drop the index
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "\nEnter CQoDriverComImp::DealDeviceOpt(query)...",
                          " appdev Class \t\t = ", " appdev ClassGuid \t = {36FC9E60-C465-11CF-8056-444553540000}",
                          " appdev Driver \t = ", " appdev DeviceDesc \t = Mobile Phone", " appdev FriendlyName \t = ",
                          " appdev Mfg \t\t = ", "Leave CQoDriverComImp::DealDeviceOpt(query)..."}));
}

TEST_F(DeviceE2ETest, DeviceTextCannotForgeTraceLinesOrLogRecords) {
  // A USB device reports its own description: this one tries to add a trace
  // line and a log record that read as genuine.
  device_registry::Remove(kPhone.instanceId);
  device_registry::SampleDevice forged = kPhone;
  forged.description = L"Evil\r\n[app](1): 9 appdev HarewareID \t = USB\\VID_DEAD&PID_BEEF\\FORGED";
  forged.friendlyName = L"X\n\r\n2020-01-01 00:00:00\tDriverPackageUninstall usbaapl successed !";
  ASSERT_TRUE(device_registry::Register(forged));
  PutMarker();

  const ToolRun run = Run(L"/qu");
  EXPECT_EQ(run.exitCode, 0u);
  size_t lines = 0;
  for (size_t at = 0; (at = run.output.find('\n', at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 5u) << "the two IDs, ClassGuid, DeviceDesc and FriendlyName, a line each: " << run.output;
  EXPECT_NE(run.output.find("DeviceDesc \t = Evil??[app](1): 9 appdev HarewareID ? = USB\\VID_DEAD"),
            std::string::npos);
  const std::vector<std::string> messages = LogMessages();
  ASSERT_EQ(messages.size(), 8u);
  EXPECT_NE(messages[5].find("FriendlyName \t = X???2020-01-01 00:00:00?DriverPackageUninstall"), std::string::npos);
}

TEST_F(DeviceE2ETest, RefreshInstallsTheDriverOnTheNamedDevicesAndExitsOne) {
  ASSERT_EQ(testing_support::CountSystemCopiesOf(FixtureUsbInf()), 0);
  for (const device_registry::SampleDevice* device : kSampleDevices) {
    ASSERT_EQ(Property(device->instanceId, SPDRP_DRIVER), std::nullopt) << "driverless before";
  }
  // The first entry of each ID list, as Windows lists them.
  EXPECT_EQ(Property(kPhone.instanceId, SPDRP_HARDWAREID), L"USB\\VID_05AC&PID_12A8&REV_0311");
  EXPECT_EQ(Property(kKeyboard.instanceId, SPDRP_COMPATIBLEIDS), L"USB\\Class_03&SubClass_01&Prot_01");
  const ToolRun run = Run(L"/re");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(testing_support::CountSystemCopiesOf(FixtureUsbInf()), 1);
  EXPECT_EQ(run.output, "") << "nothing on the trace";
  EXPECT_TRUE(run.debugStrings.empty());
  ExpectFixtureDriverOnTheNamedDevices();
  ExpectQueryReportsTheInstalledDriver();

  // Again: the same driver keys, still one system copy.
  const std::optional<std::wstring> driver = Property(kPhone.instanceId, SPDRP_DRIVER);
  EXPECT_EQ(Run(L"/re").exitCode, 1u);
  EXPECT_EQ(Property(kPhone.instanceId, SPDRP_DRIVER), driver);
  EXPECT_EQ(testing_support::CountSystemCopiesOf(FixtureUsbInf()), 1);
}

// "/i" on a clean store: both packages in, then the same device update as
// "/re". "/u" takes the packages out again; the devices keep the driver
// they were given.
TEST_F(DeviceE2ETest, InstallPutsTheDriverOnTheNamedDevicesAndUninstallLeavesIt) {
  ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\difxapi_x64.dll", folder_.path()));
  EXPECT_EQ(Run(L"/i").exitCode, 1u);
  ExpectFixtureDriverOnTheNamedDevices();
  ExpectQueryReportsTheInstalledDriver();

  EXPECT_EQ(Run(L"/u").exitCode, 1u);
  EXPECT_EQ(testing_support::CountSystemCopiesOf(FixtureUsbInf()), 0);
  EXPECT_EQ(testing_support::CountSystemCopiesOf(testing_support::NetworkInfPath()), 0);
  ExpectFixtureDriverOnTheNamedDevices();
}

TEST_F(DeviceE2ETest, RefreshWithTheMarkerLogsEntryAndVerdict) {
  PutMarker();
  EXPECT_EQ(Run(L"/Re").exitCode, 1u);
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"\nUpdateDevice...", " Driver Update Successed!\n"}));
}

TEST_F(DeviceE2ETest, RefreshWithoutTheInfExitsFour) {
  PutMarker();
  ASSERT_TRUE(DeleteFileW(testing_support::UsbInfPath().c_str()));
  EXPECT_EQ(Run(L"/re").exitCode, 4u);
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               "\nUpdateDevice...",
                               Utf8(L"\u6253\u5F00\u6587\u4EF6\u5931\u8D25\uFF1A" + testing_support::UsbInfPath()),
                               " Driver Update failed!\n"}));
}

TEST_F(DeviceE2ETest, RefreshWithoutTheModelsSectionExitsFive) {
  std::string inf;
  ASSERT_TRUE(testing_support::ReadBytes(FixtureUsbInf(), inf));
  const size_t section = inf.find("[Apple.NTamd64]");
  ASSERT_NE(section, std::string::npos);
  inf.replace(section, 15, "[Apple.NTx86]");
  ASSERT_TRUE(testing_support::WriteBytes(testing_support::UsbInfPath(), inf));

  EXPECT_EQ(Run(L"/re").exitCode, 5u);
  EXPECT_EQ(testing_support::CountSystemCopiesOf(testing_support::UsbInfPath()), 0) << "nothing copied";
}

}  // namespace
