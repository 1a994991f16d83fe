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

namespace {

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
    for (const auto& product : Products()) Msiexec(L"/x " + product.first);
    testing_support::RemoveTree(installed_);
    testing_support::RemoveSystemCopiesOfSamples();
    testing_support::RemovePackages();
  }

  // msiexec's full exit code, silent, with its verbose log in log_.
  DWORD Msiexec(const std::wstring& arguments) {
    const testing_support::ToolRun run = testing_support::RunAsDebuggee(
        system_ + L"\\msiexec.exe", arguments + L" /qn /l*v \"" + log_ + L"\"", work_.path(), 300000);
    EXPECT_TRUE(run.started && run.finished) << testing::PrintToString(arguments);
    return run.exitCode;
  }
  DWORD Install(const std::wstring& package) { return Msiexec(L"/i \"" + package + L"\""); }
  bool Logged(const char* text) {
    std::string log;
    return testing_support::ReadBytes(log_, log) && log.find(text) != std::string::npos;
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
  // The test build's second package: the same binaries, a higher version.
  const std::wstring upgrade_ = bin_ + L"\\..\\msi\\test\\mdsdriver-upgrade-x64.msi";
};

TEST_F(MsiE2ETest, InstallsAgainUpgradesAndRemovesWithTheStore) {
  ASSERT_EQ(Msiexec(L"/i \"" + package_ + L"\" MDSLOG=1"), 0u);
  ExpectInstalled(L"" MDS_VERSION_TEXT);
  EXPECT_TRUE(Logged("mdsdriver.exe\" /i answered 1")) << "each step's answer is in the log";
  EXPECT_TRUE(Exists(installed_ + L"\\vezazez.cfg")) << "MDSLOG=1 switches the tool's log on";
  EXPECT_TRUE(Exists(installed_ + L"\\log"));

  ASSERT_EQ(Install(package_), 0u) << "the same version again";
  ExpectInstalled(L"" MDS_VERSION_TEXT);

  ASSERT_EQ(Install(upgrade_), 0u) << "a higher version replaces this one";
  ExpectInstalled(L"" MDS_TEST_UPGRADE_VERSION);

  ASSERT_EQ(Msiexec(L"/x " + Products().begin()->first), 0u);
  EXPECT_TRUE(Products().empty());
  EXPECT_FALSE(Exists(installed_)) << "the folder goes, the tool's log with it";
  EXPECT_EQ(Stored(), 0);

  // Wine's upgrade forgets the upgrade code, so the refusal is tried afresh.
  ASSERT_EQ(Install(upgrade_), 0u);
  EXPECT_EQ(Install(package_), 1603u) << "an older version is refused over a newer one";
  ExpectInstalled(L"" MDS_TEST_UPGRADE_VERSION);
}

// Each fails with 1603 and leaves the store and the disk as they were: a
// launch condition, checked before anything changes, and a failing /i, whose
// step undoes what it stored before the rollback.
TEST_F(MsiE2ETest, AFailedInstallChangesNothing) {
  const std::pair<std::wstring, const char*> rows[] = {
      {UsbInfPath(), "LaunchConditions. Return value 0"},  // Wine's word for a failure; Windows logs 3
      {testing_support::PackageRoot() + L"\\Drivers\\usbaapl64.cat", "undo: the store held neither package before"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.second);
    SetUp();
    ASSERT_TRUE(DeleteFileW(row.first.c_str()));
    EXPECT_EQ(Install(package_), 1603u);
    EXPECT_TRUE(Logged(row.second));
    EXPECT_TRUE(Products().empty());
    EXPECT_FALSE(Exists(installed_));
    EXPECT_EQ(Stored(), 0);
  }
}

}  // namespace
