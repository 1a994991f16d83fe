// deploy\*.cmd run by cmd from a package folder, as a management agent runs them. Wine sets ProgramFiles
// afresh in every process and has no 32-bit cmd here, so a 32-bit agent's view cannot be made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "mds_version.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"

// winver.h after the windows.h that tool_runner.h brings in.
#include <winver.h>

namespace {

using testing_support::CopyWithVersion;
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

// The release archive as it unzips, in a folder whose path has a space: the
// binaries and the marker at the top, the commands in deploy\.
class DeployE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    for (const std::wstring& folder : {root_, root_ + L"\\deploy"}) {
      ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    }
    for (const wchar_t* file :
         {L"mdsdriver.exe", L"difxapi_x64.dll", L"deploy\\install.cmd", L"deploy\\uninstall.cmd"}) {
      ASSERT_TRUE(
          CopyFileW((testing_support::ModuleDir() + L"\\" + file).c_str(), (root_ + L"\\" + file).c_str(), FALSE));
    }
    ASSERT_TRUE(testing_support::WriteBytes(root_ + L"\\vezazez.cfg", ""));
    TearDown();
    ASSERT_TRUE(testing_support::PlacePackages());
  }

  void TearDown() override {
    testing_support::RemoveTree(installed_);
    testing_support::RemoveSystemCopiesOfSamples();
    testing_support::RemovePackages();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver");  // the ownership records
    DeleteFileW(record_.c_str());
  }

  // The command's full exit code, as the agent reads it; what it and the
  // tool printed in output_.
  DWORD Run(const std::wstring& command) {
    const testing_support::ToolRun run = testing_support::RunAsDebuggee(
        _wgetenv(L"ComSpec"), L"/c \"" + (root_ + L"\\deploy\\" + command) + L"\"", root_, 120000);
    EXPECT_TRUE(run.started && run.finished) << testing::PrintToString(command);
    output_ = run.output;
    return run.exitCode;
  }
  bool Said(const char* text) const { return output_.find(text) != std::string::npos; }

  // An earlier installation: an exe of that version (high field) and the library.
  void InstallEarlier(DWORD high) {
    ASSERT_TRUE(CreateDirectoryW(installed_.c_str(), nullptr));
    ASSERT_TRUE(CopyWithVersion(root_ + L"\\mdsdriver.exe", installed_ + L"\\mdsdriver.exe", high, 0));
    ASSERT_TRUE(CopyFileW((root_ + L"\\difxapi_x64.dll").c_str(), (installed_ + L"\\difxapi_x64.dll").c_str(), FALSE));
  }

  int Stored() { return CountSystemCopiesOf(UsbInfPath()) + CountSystemCopiesOf(NetworkInfPath()); }

  testing_support::TempDir package_;
  const std::wstring root_ = package_ / L"mds package";
  std::string output_;
  const std::wstring installed_ = std::wstring(_wgetenv(L"ProgramW6432")) + L"\\mdsdriver";
  const std::wstring record_ = std::wstring(_wgetenv(L"ProgramData")) + L"\\mdsdriver\\deploy.log";
};

TEST_F(DeployE2ETest, InstallThenUninstallLeaveNothingBehind) {
  ASSERT_EQ(Run(L"install.cmd"), 0u);
  EXPECT_EQ(FileVersion(installed_ + L"\\mdsdriver.exe"), MDS_VERSION_DOTTED);
  EXPECT_EQ(ListFolder(installed_ + L"\\log").size(), 1u) << "the marker came along: one log file for /deploy";
  EXPECT_EQ(Stored(), 2);
  // The record line, which the tool also traces: under Wine the state folder
  // is the Wine user's, so the tool refuses to write it there.
  EXPECT_TRUE(Said(" /deploy 0 added=") && Said("The deployment record is not written: ")) << output_;
  // Again, with the installed exe held open by another program: nothing is copied over it.
  const HANDLE held = CreateFileW((installed_ + L"\\mdsdriver.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(Run(L"install.cmd"), 0u) << "again: both already stored";
  CloseHandle(held);

  EXPECT_EQ(Run(L"uninstall.cmd"), 0u);
  EXPECT_TRUE(Said(" /undeploy 0 added= removed=")) << output_;
  EXPECT_FALSE(Exists(installed_));
  EXPECT_EQ(Stored(), 0);
  EXPECT_EQ(Run(L"uninstall.cmd"), 0u) << "nothing installed or stored";
  EXPECT_EQ(Stored(), 0);
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
  // A folder that cannot go: the packages are out, and the answer says that it failed.
  held.assign(1, CreateFileW((installed_ + L"\\vezazez.cfg").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(Run(L"uninstall.cmd"), 1603u);
  CloseHandle(held[0]);
  EXPECT_TRUE(Said("could not be removed") && Stored() == 0) << output_;
  // A folder that the Windows Installer package owns is left to it.
  ASSERT_EQ(Run(L"install.cmd"), 0u);
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver", L"MsiProductCode", REG_SZ, L"{C0DE}", 14), 0);
  EXPECT_EQ(Run(L"uninstall.cmd"), 1603u);
  EXPECT_TRUE(Said("belongs to the Windows Installer package {C0DE}") && Stored() == 2) << output_;
}

// Each leaves the store empty and the folder as it was (a log that /deploy
// wrote stays): an older exe comes back, and a newer one is never replaced.
TEST_F(DeployE2ETest, AFailedInstallAnswers1603AndLeavesOnlyItsLog) {
  struct Row {
    const char* name;
    std::wstring remove;             // a file taken away first
    bool brokenLibrary;              // so that /deploy cannot load it
    bool noCatalog;                  // so that /deploy fails
    DWORD earlier;                   // an earlier installation's version, high field (0: none)
    std::vector<std::wstring> left;  // in the installed folder
  };
  const std::wstring catalog = UsbInfPath().substr(0, UsbInfPath().size() - 3) + L"cat";
  // The log that says why stays, with the marker beside the exe.
  const Row rows[] = {{"USB INF missing", UsbInfPath(), false, false, 0, {L"log"}},
                      {"network INF missing", NetworkInfPath(), false, false, 0, {L"log"}},
                      {"library unusable", L"", true, false, 0, {L"log"}},
                      {"/deploy fails", L"", false, true, 0, {L"log"}},
                      {"/deploy fails, no marker", root_ + L"\\vezazez.cfg", false, true, 0, {}},
                      {"/deploy fails over 0.1", L"", false, true, 1, {L"difxapi_x64.dll", L"log", L"mdsdriver.exe"}},
                      {"a newer one installed", L"", false, false, 0x10000, {L"difxapi_x64.dll", L"mdsdriver.exe"}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    ASSERT_TRUE(row.remove.empty() || DeleteFileW(row.remove.c_str()));
    ASSERT_TRUE(!row.noCatalog || DeleteFileW(catalog.c_str()));
    ASSERT_TRUE(!row.brokenLibrary || testing_support::WriteBytes(root_ + L"\\difxapi_x64.dll", "MZ"));
    std::string earlier, after;
    if (row.earlier != 0) InstallEarlier(row.earlier);
    testing_support::ReadBytes(installed_ + L"\\mdsdriver.exe", earlier);
    EXPECT_EQ(Run(L"install.cmd"), 1603u);
    std::vector<std::wstring> left = ListFolder(installed_);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, row.left);
    EXPECT_EQ(Exists(installed_), !row.left.empty());
    testing_support::ReadBytes(installed_ + L"\\mdsdriver.exe", after);
    EXPECT_TRUE(after == earlier) << "the earlier exe as it was";
    EXPECT_EQ(Stored(), 0);
  }
  EXPECT_TRUE(Said("is newer than this one")) << output_;
}

// "/compare": the other exe's file version against this build's, or against
// the version given, field by field.
TEST_F(DeployE2ETest, CompareTellsAnOlderExeFromANewerOne) {
  const DWORD own[] = {MDS_VERSION_NUMBERS};
  const DWORD high = own[0] << 16 | own[1], low = own[2] << 16 | own[3];
  const struct {
    DWORD high, low, answer;
    const wchar_t* version = nullptr;  // null: this build's
  } rows[] = {{high, low, 41},
              {high, low + 1, 42},
              {high + 1, 0, 42},
              {high - 1, 0xFFFFFFFF, 40},
              {high + 0x10000, 0, 42},
              {0, 0, 40},
              {2, 0xFFFFFFFF, 40, L"0.3"},
              {3, 0, 41, L"0.3"},
              {3, 1, 42, L"0.3.0"},
              {0x10002, 3, 41, L"1.2.0.3"},
              {0x10002, 3 << 16, 40, L"1.2.4"}};
  const auto compare = [&](const std::wstring& other, const wchar_t* version = nullptr) {
    const testing_support::ToolRun run = testing_support::RunAsDebuggee(
        root_ + L"\\mdsdriver.exe",
        L"/compare \"" + other + L"\"" + (version ? L" \"" + std::wstring(version) + L"\"" : L""), root_);
    output_ = run.output;
    return run.exitCode;
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(CopyWithVersion(root_ + L"\\mdsdriver.exe", package_ / L"other.exe", row.high, row.low));
    EXPECT_EQ(compare(package_ / L"other.exe", row.version), row.answer) << row.high << "." << row.low;
    char version[96];
    std::snprintf(version, sizeof(version), "is version %lu.%lu.%lu.%lu, this one %lu.%lu.%lu.%lu (", row.high >> 16,
                  row.high & 0xFFFF, row.low >> 16, row.low & 0xFFFF, own[0], own[1], own[2], own[3]);
    EXPECT_TRUE(row.version || Said(version)) << output_;
  }
  EXPECT_EQ(compare(root_ + L"\\vezazez.cfg"), 43u) << "no version";
  EXPECT_EQ(compare(root_ + L"\\none.exe"), 43u) << "no file";
  EXPECT_EQ(compare(root_ + L"\\none.exe", L"0.3"), 43u) << "no file";
  for (const wchar_t* text :
       {L"", L"0.3.", L".3", L"0..3", L"1.2.3.4.5", L"65536", L"0.3a", L"-1", L" 1", L"0.3\" \"0"}) {
    EXPECT_EQ(compare(package_ / L"other.exe", text), 43u) << testing::PrintToString(text);
  }
}

// Copies stored before by someone else (the maker's installer; here /i) stay
// exactly as they were through an install and an uninstall; those of an
// earlier mdsdriver deployment (an older exe in the folder) are taken as
// ours, and go. 0.2.x's record of an install counts only in a file that the
// administrators own: under Wine the user owns every file, so it is one that
// a user wrote.
TEST_F(DeployE2ETest, UninstallTakesOutOnlyWhatADeploymentAdded) {
  const struct {
    const char* name;
    DWORD earlier;
    const char* record;
    bool stay;
  } rows[] = {{"the maker's copies", 0, "", true},
              {"0.2.x's exe installed (an archive install)", 2, "", false},
              {"0.2.x's record, written by a user", 0, "08.12.2026 14:03:27,51 install 0 installed \r\n", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    const std::vector<std::wstring> none = testing_support::SystemInfNames();
    ASSERT_EQ(testing_support::RunAsDebuggee(root_ + L"\\mdsdriver.exe", L"/i", root_).exitCode, 1u);
    const std::vector<std::wstring> makers = testing_support::SystemInfNames();
    if (row.earlier != 0) InstallEarlier(row.earlier);
    CreateDirectoryW((std::wstring(_wgetenv(L"ProgramData")) + L"\\mdsdriver").c_str(), nullptr);
    ASSERT_TRUE(*row.record == '\0' || testing_support::WriteBytes(record_, row.record));
    EXPECT_EQ(Run(L"install.cmd"), 0u);
    EXPECT_EQ(Run(L"uninstall.cmd"), 0u);
    EXPECT_EQ(testing_support::SystemInfNames(), row.stay ? makers : none) << output_;
  }
}

// Another kind of object under the store lock's name (Wine offers no private
// namespace): "/deploy", which needs the lock, answers 1618 and changes
// nothing; "/i" goes on without it. Both say why, and so does the library.
TEST_F(DeployE2ETest, ALockNameTakenStopsDeployButNotInstall) {
  const HANDLE squatter = CreateEventW(nullptr, FALSE, FALSE, L"Global\\mdsdriver.difxapi_x64.store");
  const char kTaken[] =
      "The store lock's name is taken by another object or an untrusted owner, or cannot be opened(6)";
  EXPECT_EQ(Run(L"install.cmd"), 1618u);
  EXPECT_TRUE(Said(kTaken) && Said("deploy: the store is busy(6)") && Stored() == 0) << output_;
  const testing_support::ToolRun install = testing_support::RunAsDebuggee(root_ + L"\\mdsdriver.exe", L"/i", root_);
  output_ = install.output;
  EXPECT_TRUE(Said(kTaken) && Stored() == 2) << output_;
  EXPECT_TRUE(std::any_of(install.debugStrings.begin(), install.debugStrings.end(), [](const std::wstring& line) {
    return line.rfind(L"difxapi_x64: the store lock's name is taken", 0) == 0;
  })) << "the library says so too, with the marker";
  CloseHandle(squatter);
}

// The tool's answers that Wine never gives, or only after minutes, from a
// stand-in: a restart asked for counts as done, a busy store as nothing done.
// Over an older exe, /adopt follows only when /compare finds it below 0.3.0
// too: from 0.3.0 on a deployment keeps its own records.
TEST_F(DeployE2ETest, RestartAndBusyAnswersArePassedOn) {
  const std::wstring standin = testing_support::ModuleDir() + L"\\mds_standin.exe";
  const struct {
    const wchar_t* command;
    const char* answer;
    bool installed;              // the folder afterwards
    const char* said = nullptr;  // over an earlier exe: the command's line
  } rows[] = {{L"install.cmd", "3010", true},
              {L"install.cmd", "1618", false},
              {L"uninstall.cmd", "3010", false},
              {L"uninstall.cmd", "1618", true},
              {L"install.cmd", "40 41 0", true, "/deploy answered 0: installed"},
              {L"install.cmd", "40 40 0", true, "/deploy /adopt answered 0: installed"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.command) + row.answer);
    SetUp();
    const bool uninstall = row.command[0] == L'u';
    ASSERT_TRUE(!uninstall || Run(L"install.cmd") == 0u);
    if (row.said != nullptr) InstallEarlier(2);
    ASSERT_TRUE(testing_support::WriteBytes(root_ + L"\\answers.txt", row.answer));
    ASSERT_TRUE(CopyFileW(standin.c_str(), ((uninstall ? installed_ : root_) + L"\\mdsdriver.exe").c_str(), FALSE));
    const char* last = std::strrchr(row.answer, ' ');  // the tool's answer, after /compare's
    EXPECT_EQ(Run(row.command), static_cast<DWORD>(std::atoi(last != nullptr ? last : row.answer)));
    EXPECT_EQ(Exists(installed_), row.installed);
    EXPECT_TRUE(row.said == nullptr || Said(row.said)) << output_;
  }
}

}  // namespace
