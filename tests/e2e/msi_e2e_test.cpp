// The Windows Installer package run by msiexec as a management agent runs it:
// its full exit code, the product's registration, the files and the store.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "mds_version.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"

// After the windows.h that tool_runner.h brings in.
#include <msi.h>
#include <msiquery.h>

namespace {

using testing_support::CopyWithVersion;
using testing_support::CountSystemCopiesOf;
using testing_support::Exists;
using testing_support::NetworkInfPath;
using testing_support::UsbInfPath;

class MsiE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    TearDown();
    ASSERT_TRUE(testing_support::PlacePackages());
  }

  void TearDown() override {
    testing_support::RemoveTree(installed_);  // a stand-in's, put there by a test
    for (const auto& product : Products()) Msiexec(L"/x " + product.first);
    testing_support::RemoveTree(installed_);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver");  // the ownership records
    testing_support::RemoveSystemCopiesOfSamples();
    testing_support::RemovePackages();
  }

  // msiexec's full exit code, silent, with its verbose log in log_.
  DWORD Msiexec(const std::wstring& arguments) {
    const testing_support::ToolRun run = testing_support::RunAsDebuggee(
        system_ + L"\\msiexec.exe", arguments + L" /qn /norestart /l*v \"" + log_ + L"\"", work_.path(), 300000);
    EXPECT_TRUE(run.started && run.finished) << testing::PrintToString(arguments);
    return run.exitCode;
  }
  DWORD Install(const std::wstring& package) { return Msiexec(L"/i \"" + package + L"\""); }
  DWORD Tool(const wchar_t* arguments) {
    return testing_support::RunAsDebuggee(bin_ + L"\\mdsdriver.exe", arguments, work_.path()).exitCode;
  }
  bool Logged(const char* text) {
    std::string log;
    return testing_support::ReadBytes(log_, log) && log.find(text) != std::string::npos;
  }
  // The run identity on the first logged command line that starts with `command`.
  std::string RunId(const std::string& command) {
    std::string log;
    const size_t at = testing_support::ReadBytes(log_, log) ? log.find(command) : std::string::npos;
    return at == std::string::npos ? "" : log.substr(at + command.size(), 38);
  }

  // The installed products named mdsdriver, as Apps and Features lists them,
  // each with its version (not by upgrade code: Wine's upgrade drops that list).
  static std::map<std::wstring, std::wstring> Products() {
    std::map<std::wstring, std::wstring> products;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumProductsW(i, code) == ERROR_SUCCESS; ++i) {
      wchar_t name[64] = L"", version[64] = L"";
      DWORD nameSize = 64, versionSize = 64;
      MsiGetProductInfoW(code, INSTALLPROPERTY_INSTALLEDPRODUCTNAME, name, &nameSize);
      MsiGetProductInfoW(code, INSTALLPROPERTY_VERSIONSTRING, version, &versionSize);
      if (std::wstring(name) == L"mdsdriver") products[code] = version;
    }
    return products;
  }
  static int Stored() { return CountSystemCopiesOf(UsbInfPath()) + CountSystemCopiesOf(NetworkInfPath()); }

  // One product of `version`, its files in place, both packages stored.
  void ExpectInstalled(const std::wstring& version) {
    ASSERT_EQ(Products().size(), 1u);
    EXPECT_EQ(Products().begin()->second, version);
    EXPECT_TRUE(Exists(installed_ + L"\\mdsdriver.exe") && Exists(installed_ + L"\\difxapi_x64.dll"));
    EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()) + 10 * CountSystemCopiesOf(NetworkInfPath()), 11) << "one of each";
  }

  testing_support::TempDir work_;
  const std::wstring log_ = work_ / L"msiexec.log";
  const std::wstring system_ = std::wstring(_wgetenv(L"SystemRoot")) + L"\\system32";
  const std::wstring installed_ = std::wstring(_wgetenv(L"ProgramW6432")) + L"\\mdsdriver";
  const std::wstring bin_ = testing_support::ModuleDir();
  const std::wstring package_ = bin_ + L"\\..\\msi\\mdsdriver-" MDS_VERSION_TEXT L"-x64.msi";
  // The test build's second package: the same binaries, a higher version;
  // and its third, which fails after its install step.
  const std::wstring upgrade_ = bin_ + L"\\..\\msi\\test\\mdsdriver-upgrade-x64.msi";
  const std::wstring failing_ = bin_ + L"\\..\\msi\\test\\mdsdriver-fails-x64.msi";
};

TEST_F(MsiE2ETest, InstallsAgainUpgradesAndRemovesWithTheStore) {
  ASSERT_EQ(Msiexec(L"/i \"" + package_ + L"\" MDSLOG=1"), 0u);
  ExpectInstalled(L"" MDS_VERSION_TEXT);
  EXPECT_TRUE(Logged("mdsdriver.exe\" /deploy /run {")) << "each step's command line is in the log";
  EXPECT_TRUE(Exists(installed_ + L"\\vezazez.cfg")) << "MDSLOG=1 switches the tool's log on";
  EXPECT_TRUE(Exists(installed_ + L"\\log"));

  ASSERT_EQ(Install(package_), 0u) << "the same version again";
  ExpectInstalled(L"" MDS_VERSION_TEXT);

  ASSERT_EQ(Install(upgrade_), 0u) << "a higher version replaces this one";
  ExpectInstalled(L"" MDS_TEST_UPGRADE_VERSION);
  EXPECT_TRUE(Logged("mdsdriver.exe\" /deploy /run {") && !Logged("/adopt")) << "the older version kept records";

  ASSERT_EQ(Msiexec(L"/x " + Products().begin()->first), 0u);
  EXPECT_TRUE(Products().empty());
  EXPECT_FALSE(Exists(installed_)) << "the folder goes, the tool's log with it; left: "
                                   << testing::PrintToString(testing_support::ListFolder(installed_));
  EXPECT_EQ(Stored(), 0);

  // Wine's upgrade forgets the upgrade code, so the refusal is tried afresh.
  ASSERT_EQ(Install(upgrade_), 0u);
  EXPECT_EQ(Install(package_), 1603u) << "an older version is refused over a newer one";
  ExpectInstalled(L"" MDS_TEST_UPGRADE_VERSION);
}

// Each fails with 1603 and leaves the store and the disk as they were: a
// launch condition, checked before anything changes; a failing /deploy,
// which undoes itself; and a later action that fails, whose rollback takes
// out the one package that /deploy added and leaves the other, stored before.
TEST_F(MsiE2ETest, AFailedInstallChangesNothing) {
  const struct {
    std::wstring remove, arguments;
    const char* logged;
  } rows[] = {{UsbInfPath(), L"", "LaunchConditions. Return value 0"},  // Wine's word for a failure; Windows logs 3
              {L"", L" ALLUSERS=\"\"", "LaunchConditions. Return value 0"},  // Wine ignores MSIINSTALLPERUSER=1
              {testing_support::PackageRoot() + L"\\Drivers\\usbaapl64.cat", L"", "the packages are not stored"},
              {L"", L"", "mdsdriver.exe\" /undeploy /run {"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.logged);
    SetUp();
    ASSERT_TRUE(row.remove.empty() || DeleteFileW(row.remove.c_str()));
    const bool late = row.logged[0] == 'm';
    if (late) {  // the network package owned by an earlier deployment
      ASSERT_EQ(Tool(L"/deploy"), 0u);
      const std::wstring usb = testing_support::SystemCopiesOf(UsbInfPath()).at(0);
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\mdsdriver\\Copies\\" + usb.substr(usb.rfind(L'\\') + 1)).c_str());
      testing_support::RemoveSystemCopiesOf(UsbInfPath());
    }
    // Wine answers a failing exe action's 1603 with 1627; Windows with 1603.
    EXPECT_EQ(Msiexec(L"/i \"" + (late ? failing_ : package_) + L"\"" + row.arguments), late ? 1627u : 1603u);
    EXPECT_TRUE(Logged(row.logged));
    EXPECT_EQ(RunId("\" /undeploy /run "), RunId("\" /deploy /run ")) << "the rollback undoes its own run";
    EXPECT_TRUE(Products().empty());
    EXPECT_FALSE(Exists(installed_));
    EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()) + 10 * CountSystemCopiesOf(NetworkInfPath()), late ? 10 : 0);
    EXPECT_TRUE(!late || (Tool(L"/undeploy") == 0 && Stored() == 0)) << "the earlier record put back";
  }
  // Its undo step is in the script before the install step: a failure of the step itself runs it.
  MSIHANDLE database = 0, view = 0, record = 0;
  ASSERT_EQ(MsiOpenDatabaseW(package_.c_str(), MSIDBOPEN_READONLY, &database), 0u);
  ASSERT_EQ(MsiDatabaseOpenViewW(database,
                                 L"SELECT `Action` FROM `InstallExecuteSequence` WHERE `Action` = 'MdsUndoInstall' OR "
                                 L"`Action` = 'MdsInstallDrivers' ORDER BY `Sequence`",
                                 &view),
            0u);
  wchar_t first[32] = L"";
  DWORD size = 32;
  EXPECT_TRUE(MsiViewExecute(view, 0) == 0 && MsiViewFetch(view, &record) == 0 &&
              MsiRecordGetStringW(record, 1, first, &size) == 0);
  EXPECT_STREQ(first, L"MdsUndoInstall");
  for (const MSIHANDLE handle : {record, view, database}) MsiCloseHandle(handle);
}

// Removal takes out what a deployment added and nothing else, also after an
// upgrade: only 0.2.x's exe in the folder has the install adopt (never a
// property), and then the copies 0.2.x stored go. It answers as the tool did
// (a stand-in gives the answers Wine never gives, or only after minutes): a
// restart asked for is msiexec's 3010, a store busy at first is waited for, a
// failure fails it; with the installed tool gone it runs its own copy.
// (Wine's rollback of a failed removal unregisters the product; Windows
// keeps it.)
TEST_F(MsiE2ETest, RemovalTakesOutWhatADeploymentAdded) {
  const struct {
    const char* logged;
    const char* standin;  // its answers, or null for the tool
    bool makers;          // the packages stored before, by someone else; upgraded before the removal
    DWORD answer;
    const wchar_t* arguments = L"";  // the first install's
    bool archive = false;            // 0.2.x's exe in the folder: it stored the packages
  } rows[] = {
      {"/undeploy answered 0", nullptr, true, 0},
      {"/undeploy answered 0", nullptr, true, 0, L" WIX_UPGRADE_DETECTED={4E3B5C2A-1D6F-4A8B-9C0E-7F2D1B3A5C6E}"},
      {"/undeploy answered 0", nullptr, true, 0, L"", true},
      {"the package's own copy is put back", nullptr, false, 0},
      {"msiexec answers 3010", "3010", false, 3010},
      {"the driver store is busy", "1618 0", false, 0},
      {"the driver store stayed busy", "1618 1618 1618 1618 1618 0", false, 1603},
      {"the packages are not all taken out", "1603", false, 1603}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.logged);
    SetUp();
    ASSERT_TRUE(!row.makers || Tool(L"/i") == 1u);
    const std::vector<std::wstring> before = testing_support::SystemInfNames();
    ASSERT_TRUE(!row.archive || (CreateDirectoryW(installed_.c_str(), nullptr) &&
                                 CopyWithVersion(bin_ + L"\\mdsdriver.exe", installed_ + L"\\mdsdriver.exe", 2, 0)));
    ASSERT_EQ(Msiexec(L"/i \"" + package_ + L"\"" + row.arguments), 0u);
    EXPECT_EQ(Logged("mdsdriver.exe\" /deploy /adopt /run {"), row.archive);
    ASSERT_TRUE(!row.makers || Install(upgrade_) == 0u);
    if (row.standin == nullptr && !row.makers) testing_support::RemoveTree(installed_);
    if (row.standin != nullptr) {
      ASSERT_TRUE(testing_support::WriteBytes(installed_ + L"\\answers.txt", row.standin));
      ASSERT_TRUE(CopyFileW((bin_ + L"\\mds_standin.exe").c_str(), (installed_ + L"\\mdsdriver.exe").c_str(), FALSE));
    }
    EXPECT_EQ(Msiexec(L"/x " + Products().begin()->first), row.answer);
    EXPECT_TRUE(Logged(row.logged));
    EXPECT_FALSE(Logged(": not written, error")) << "the package's own copies were put back";
    EXPECT_EQ(Stored(), (row.makers && !row.archive) || row.standin != nullptr ? 2 : 0);
    EXPECT_TRUE(row.answer == 1603 || Products().empty());
    EXPECT_TRUE(!row.makers || row.archive || testing_support::SystemInfNames() == before) << "the maker's copies";
  }
}

}  // namespace
