// mdsdriver.exe "/re" and "/qu" run for real under the debugger, with the
// fixture USB package at its fixed place and sample USB devices registered in
// the prefix. Each test undoes what it added: devices, package, system copies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fixture_packages.h"
#include "support/tool_runner.h"
#include "tools/device_registry.h"

namespace {

using testing_support::RunAsDebuggee;
using testing_support::ToolRun;

const device_registry::SampleDevice kKeyboard = {L"USB\\VID_046D&PID_C31C\\5&2B1E2A9&0&1", L"USB Input Device", L"",
                                                 L"(Standard USB Host Controller)"};
const device_registry::SampleDevice kPhone = {L"USB\\VID_05AC&PID_12A8\\0000111122223333", L"Fixture Mobile Device A",
                                              L"Fixture Phone", L"Fixture Devices"};

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
    ASSERT_TRUE(device_registry::Register(kKeyboard));
    ASSERT_TRUE(device_registry::Register(kPhone));
  }

  void TearDown() override { CleanUp(); }

  static void CleanUp() {
    device_registry::Remove(kKeyboard.instanceId);
    device_registry::Remove(kPhone.instanceId);
    testing_support::RemoveSystemCopiesOf(FixtureUsbInf());
    testing_support::RemovePackages();
  }

  static std::wstring FixtureUsbInf() { return testing_support::FixtureDir() + L"\\packages\\Drivers\\usbaapl64.inf"; }

  void PutMarker() { ASSERT_TRUE(testing_support::WriteBytes(folder_ / L"vezazez.cfg", "")); }

  ToolRun Run(const std::wstring& arguments) {
    ToolRun run = RunAsDebuggee(folder_ / L"mdsdriver.exe", arguments, folder_.path());
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.finished);
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
  // Class and Driver stay unset while no driver is installed: no lines for them.
  EXPECT_EQ(run.output, tag + "appdev HarewareID \t = " + Narrow(ids[index]) + "\r\n" +  //
                            tag + "murvex HarewareID \t = usb\\vid_05ac&pid_12a8\\0000111122223333\r\n" + tag +
                            "appdev ClassGuid \t = {36FC9E60-C465-11CF-8056-444553540000}\r\n" + tag +
                            "appdev DeviceDesc \t = Fixture Mobile Device A\r\n" + tag +
                            "appdev FriendlyName \t = Fixture Phone\r\n" +  //
                            tag + "appdev Mfg \t\t = Fixture Devices\r\n");
  EXPECT_EQ(run.debugStrings.size(), 6u) << "the trace lines only: no marker, no log";
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
                          " appdev Driver \t = ", " appdev DeviceDesc \t = Fixture Mobile Device A",
                          " appdev FriendlyName \t = Fixture Phone", " appdev Mfg \t\t = Fixture Devices",
                          "Leave CQoDriverComImp::DealDeviceOpt(query)..."}));
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
  EXPECT_EQ(lines, 6u) << run.output;
  EXPECT_NE(run.output.find("DeviceDesc \t = Evil??[app](1): 9 appdev HarewareID ? = USB\\VID_DEAD"),
            std::string::npos);
  const std::vector<std::string> messages = LogMessages();
  ASSERT_EQ(messages.size(), 8u);
  EXPECT_NE(messages[5].find("FriendlyName \t = X???2020-01-01 00:00:00?DriverPackageUninstall"), std::string::npos);
}

TEST_F(DeviceE2ETest, RefreshCopiesTheInfIntoTheSystemAndExitsOne) {
  ASSERT_EQ(testing_support::CountSystemCopiesOf(FixtureUsbInf()), 0);
  const ToolRun run = Run(L"/re");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(testing_support::CountSystemCopiesOf(FixtureUsbInf()), 1);
  EXPECT_EQ(run.output, "") << "nothing on the trace";
  EXPECT_TRUE(run.debugStrings.empty());
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
