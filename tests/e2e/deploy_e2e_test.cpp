// deploy\*.cmd run by cmd from a package folder, as a management agent runs them. Wine sets ProgramFiles
// afresh in every process and has no 32-bit cmd here, so a 32-bit agent's view cannot be made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
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

// The release archive as it unzips: the binaries and the marker at the top,
// the commands in deploy\.
class DeployE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryW((package_ / L"deploy").c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    for (const wchar_t* file :
         {L"mdsdriver.exe", L"difxapi_x64.dll", L"deploy\\install.cmd", L"deploy\\uninstall.cmd"}) {
      ASSERT_TRUE(CopyFileW((testing_support::ModuleDir() + L"\\" + file).c_str(), (package_ / file).c_str(), FALSE));
    }
    ASSERT_TRUE(testing_support::WriteBytes(package_ / L"vezazez.cfg", ""));
    TearDown();
    ASSERT_TRUE(testing_support::PlacePackages());
  }

  void TearDown() override {
    SetEnvironmentVariableW(L"PROCESSOR_ARCHITEW6432", nullptr);
    EXPECT_TRUE(native_[0] == L'\0' || SetNative(native_)) << "the PC's architecture put back";
    testing_support::RemoveTree(installed_);
    testing_support::RemoveSystemCopiesOfSamples();
    testing_support::RemovePackages();
  }

  // The command's full exit code, as the agent reads it.
  DWORD Run(const std::wstring& command) {
    const testing_support::ToolRun run = testing_support::RunAsDebuggee(
        _wgetenv(L"ComSpec"), L"/c \"" + (package_ / L"deploy\\" + command) + L"\"", package_.path(), 120000);
    EXPECT_TRUE(run.started && run.finished) << testing::PrintToString(command);
    return run.exitCode;
  }

  // The PC's own architecture, as the registry tells it.
  static bool SetNative(const wchar_t* value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kEnvironment, kArchitecture, REG_SZ, value,
                           static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  static constexpr const wchar_t* kEnvironment = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
  static constexpr const wchar_t* kArchitecture = L"PROCESSOR_ARCHITECTURE";
  wchar_t native_[32] = {};  // saved by a test that changes it

  int Stored() { return CountSystemCopiesOf(UsbInfPath()) + CountSystemCopiesOf(NetworkInfPath()); }

  testing_support::TempDir package_;
  const std::wstring installed_ = std::wstring(_wgetenv(L"ProgramW6432")) + L"\\mdsdriver";
  const std::wstring record_ = std::wstring(_wgetenv(L"ProgramData")) + L"\\mdsdriver\\deploy.log";
};

TEST_F(DeployE2ETest, InstallThenUninstallLeaveNothingBehind) {
  std::string before, after;
  testing_support::ReadBytes(record_, before);
  ASSERT_EQ(Run(L"install.cmd"), 0u);
  EXPECT_EQ(FileVersion(installed_ + L"\\mdsdriver.exe"), MDS_VERSION_DOTTED);
  EXPECT_EQ(ListFolder(installed_ + L"\\log").size(), 1u) << "the marker came along: one log file for /i";
  EXPECT_EQ(Stored(), 2);
  // Again, with the installed exe held open by another program: nothing is copied over it.
  const HANDLE held = CreateFileW((installed_ + L"\\mdsdriver.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(Run(L"install.cmd"), 0u) << "again: /i answers 2, already installed";
  CloseHandle(held);

  EXPECT_EQ(Run(L"uninstall.cmd"), 0u);
  EXPECT_FALSE(Exists(installed_));
  EXPECT_EQ(Stored(), 0);
  EXPECT_EQ(Run(L"uninstall.cmd"), 0u) << "nothing installed or stored";
  EXPECT_EQ(Stored(), 0);
  // A line for each command, which outlasts the uninstall.
  ASSERT_TRUE(testing_support::ReadBytes(record_, after));
  EXPECT_EQ(std::count(after.begin(), after.end(), '\n') - std::count(before.begin(), before.end(), '\n'), 4);
  EXPECT_NE(after.find(" install 0 installed"), std::string::npos);
}

// Only the network package stored: one uninstall takes it out and stores nothing.
TEST_F(DeployE2ETest, UninstallLeavesTheStoreEmpty) {
  ASSERT_EQ(Run(L"install.cmd"), 0u);
  testing_support::RemoveSystemCopiesOf(UsbInfPath());
  EXPECT_EQ(Run(L"uninstall.cmd"), 0u);
  EXPECT_EQ(Stored(), 0);
  EXPECT_FALSE(Exists(installed_));
  // A removal that fails: the copy held open by another program.
  ASSERT_EQ(Run(L"install.cmd"), 0u);
  std::vector<HANDLE> held;
  for (const std::wstring& path : testing_support::SystemCopiesOf(UsbInfPath())) {
    held.push_back(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  ASSERT_FALSE(held.empty());
  EXPECT_EQ(Run(L"uninstall.cmd"), 1603u);
  for (HANDLE handle : held) CloseHandle(handle);
  EXPECT_TRUE(Exists(installed_ + L"\\mdsdriver.exe"));
}

TEST_F(DeployE2ETest, AFailedInstallAnswers1603AndLeavesOnlyItsLog) {
  struct Row {
    const char* name;
    std::wstring remove;             // a file taken away first
    const wchar_t* architecture;     // what a 32-bit process is told
    const wchar_t* registry;         // the system's own
    bool brokenLibrary;              // so that /status cannot tell
    bool noCatalog;                  // so that /i fails
    std::vector<std::wstring> left;  // in the installed folder
  };
  const std::wstring catalog = UsbInfPath().substr(0, UsbInfPath().size() - 3) + L"cat";
  const Row rows[] = {{"USB INF missing", UsbInfPath(), nullptr, nullptr, false, false, {}},
                      {"network INF missing", NetworkInfPath(), nullptr, nullptr, false, false, {}},
                      {"ARM64", L"", L"ARM64", nullptr, false, false, {}},
                      {"ARM64, an x64 process", L"", nullptr, L"ARM64", false, false, {}},
                      {"library unusable", L"", nullptr, nullptr, true, false, {}},
                      {"/i fails", L"", nullptr, nullptr, false, true, {L"log"}},
                      {"/i fails, no marker", package_ / L"vezazez.cfg", nullptr, nullptr, false, true, {}}};
  DWORD size = sizeof(native_);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kEnvironment, kArchitecture, RRF_RT_REG_SZ, nullptr, native_, &size),
            ERROR_SUCCESS);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    ASSERT_TRUE(row.remove.empty() || DeleteFileW(row.remove.c_str()));
    ASSERT_TRUE(!row.noCatalog || DeleteFileW(catalog.c_str()));
    SetEnvironmentVariableW(L"PROCESSOR_ARCHITEW6432", row.architecture);
    ASSERT_TRUE(SetNative(row.registry != nullptr ? row.registry : native_));
    ASSERT_TRUE(!row.brokenLibrary || testing_support::WriteBytes(package_ / L"difxapi_x64.dll", "MZ"));
    EXPECT_EQ(Run(L"install.cmd"), 1603u);
    EXPECT_EQ(ListFolder(installed_), row.left);
    EXPECT_EQ(Exists(installed_), !row.left.empty());
    EXPECT_EQ(Stored(), 0);
  }
}

// Two at once end with one whole installation: the second waits for the
// first, which here waits for a third that holds the commands' lock.
TEST_F(DeployE2ETest, TwoInstallsAtOnceBothInstall) {
  const std::wstring state = std::wstring(_wgetenv(L"ProgramData")) + L"\\mdsdriver";
  CreateDirectoryW(state.c_str(), nullptr);
  const HANDLE third =
      CreateFileW((state + L"\\deploy.lock").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  DWORD codes[2] = {1, 1};
  std::thread first([&] { codes[0] = Run(L"install.cmd"); });
  Sleep(3000);
  EXPECT_FALSE(Exists(installed_)) << "no install while another holds the lock";
  CloseHandle(third);
  codes[1] = Run(L"install.cmd");
  first.join();
  EXPECT_EQ(codes[0] + codes[1], 0u);
  EXPECT_EQ(Stored(), 2);
  EXPECT_EQ(ListFolder(installed_).size(), 4u) << "exe, library, marker and log";
}

// Another run keeps the store past the wait: try again later.
TEST_F(DeployE2ETest, AStoreKeptElsewhereAnswers1618) {
  const HANDLE mutex = testing_support::MakeStoreMutex(true);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_EQ(Run(L"install.cmd"), 1618u);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  EXPECT_FALSE(Exists(installed_));
  EXPECT_EQ(Stored(), 0);
}

}  // namespace
