// deploy\*.cmd run by cmd from a package folder, as a management agent runs them. Wine sets ProgramFiles
// afresh in every process and has no 32-bit cmd here, so a 32-bit agent's view cannot be made.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mds_version.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"

// winver.h after the windows.h that tool_runner.h brings in.
#include <winver.h>

namespace {

using testing_support::CountSystemCopiesOf;
using testing_support::Exists;
using testing_support::ListFolder;
using testing_support::NetworkInfPath;
using testing_support::UsbInfPath;

// What a detection rule reads: the fixed file version.
std::string FileVersion(const std::wstring& path) {
  std::vector<char> data(GetFileVersionInfoSizeW(path.c_str(), nullptr) + 1);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT size = 0;
  if (!GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &size)) {
    return "";
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
  return text;
}

class DeployE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* file :
         {L"mdsdriver.exe", L"difxapi_x64.dll", L"deploy\\install.cmd", L"deploy\\uninstall.cmd"}) {
      ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\" + file, package_.path()));
    }
    ASSERT_TRUE(testing_support::WriteBytes(package_ / L"vezazez.cfg", ""));
    TearDown();
    ASSERT_TRUE(testing_support::PlacePackages());
  }

  void TearDown() override {
    SetEnvironmentVariableW(L"PROCESSOR_ARCHITEW6432", nullptr);
    testing_support::RemoveTree(installed_);
    const std::wstring packages = testing_support::FixtureDir() + L"\\packages";
    testing_support::RemoveSystemCopiesOf(packages + L"\\Drivers\\usbaapl64.inf");
    testing_support::RemoveSystemCopiesOf(packages + L"\\NetDrivers\\netaapl64.inf");
    testing_support::RemovePackages();
  }

  // The command's full exit code, as the agent reads it.
  DWORD Run(const std::wstring& command) {
    const testing_support::ToolRun run =
        testing_support::RunAsDebuggee(_wgetenv(L"ComSpec"), L"/c \"" + (package_ / command) + L"\"", package_.path());
    EXPECT_TRUE(run.started && run.finished) << testing::PrintToString(command);
    return run.exitCode;
  }

  testing_support::TempDir package_;
  const std::wstring installed_ = std::wstring(_wgetenv(L"ProgramW6432")) + L"\\mdsdriver";
};

TEST_F(DeployE2ETest, InstallThenUninstallLeaveNothingBehind) {
  ASSERT_EQ(Run(L"install.cmd"), 0u);
  EXPECT_EQ(FileVersion(installed_ + L"\\mdsdriver.exe"), MDS_VERSION_DOTTED);
  EXPECT_EQ(ListFolder(installed_ + L"\\log").size(), 1u) << "the marker came along: one log file for /i";
  EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()), 1);
  EXPECT_EQ(Run(L"install.cmd"), 0u) << "again: /i answers 2, already installed";

  EXPECT_EQ(Run(L"uninstall.cmd"), 0u);
  EXPECT_FALSE(Exists(installed_));
  EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()) + CountSystemCopiesOf(NetworkInfPath()), 0);
  // Nothing installed or stored: /u's check stores the packages and answers
  // 0, so the command runs it once more, which removes them.
  EXPECT_EQ(Run(L"uninstall.cmd"), 0u);
  EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()) + CountSystemCopiesOf(NetworkInfPath()), 0);
}

TEST_F(DeployE2ETest, AFailedInstallAnswers1603AndLeavesOnlyItsLog) {
  struct Row {
    const char* name;
    std::wstring remove;  // a file taken away first
    const wchar_t* architecture;
    bool brokenLibrary;              // so that /i answers 0
    std::vector<std::wstring> left;  // in the installed folder
  };
  const Row rows[] = {{"USB INF missing", UsbInfPath(), nullptr, false, {}},
                      {"network INF missing", NetworkInfPath(), nullptr, false, {}},
                      {"ARM64", L"", L"ARM64", false, {}},
                      {"/i answers 0", L"", nullptr, true, {L"log"}},
                      {"/i answers 0, no marker", package_ / L"vezazez.cfg", nullptr, true, {}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    ASSERT_TRUE(row.remove.empty() || DeleteFileW(row.remove.c_str()));
    SetEnvironmentVariableW(L"PROCESSOR_ARCHITEW6432", row.architecture);
    ASSERT_TRUE(!row.brokenLibrary || testing_support::WriteBytes(package_ / L"difxapi_x64.dll", "MZ"));
    EXPECT_EQ(Run(L"install.cmd"), 1603u);
    EXPECT_EQ(ListFolder(installed_), row.left);
    EXPECT_EQ(Exists(installed_), !row.left.empty());
  }
}

}  // namespace
