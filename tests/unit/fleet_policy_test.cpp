// "/deploy" and "/undeploy" in process, against a driver store that answers as
// Windows documents it, with our library's code in process too, so that the
// store's fakes answer it as well.
#include "fleet/fleet_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver_store.h"
#include "fakes/fake_devices.h"
#include "fakes/fake_driver_store.h"
#include "fakes/output_capture.h"
#include "fleet/deploy_record.h"
#include "fleet/ownership.h"
#include "platform/store_lock.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"

namespace {

using fleet::kFleetBusy;
using fleet::kFleetFailed;
using fleet::kFleetRestart;

decltype(&::GetProcAddress) g_findBelow = nullptr;
FARPROC WINAPI InProcessLibrary(HMODULE module, LPCSTR name) {
  const auto as = [](auto function) { return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function)); };
  if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::strcmp(name, "DriverPackagePreinstallW") == 0) {
    return as(&difx::Preinstall);
  }
  if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::strcmp(name, "DriverPackageUninstallW") == 0) {
    return as(&difx::Uninstall);
  }
  return g_findBelow(module, name);
}
DWORD WINAPI LockHeldPastTheWait(HANDLE, DWORD) { return WAIT_TIMEOUT; }
BOOL WINAPI OnArm64(HANDLE, USHORT* process, USHORT* native) {
  *process = IMAGE_FILE_MACHINE_UNKNOWN;
  *native = IMAGE_FILE_MACHINE_ARM64;
  return TRUE;
}

void DropRecords() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver"); }

// %ProgramData% and the security of what the tool opens in it (and of the
// store lock's mutex), as set.
std::wstring g_programData, g_folderSecurity;
const wchar_t kAdministrators[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";
DWORD WINAPI ProgramData(LPCWSTR, LPWSTR buffer, DWORD size) {
  g_programData.copy(buffer, size);
  buffer[g_programData.size()] = L'\0';
  return static_cast<DWORD>(g_programData.size());
}
DWORD WINAPI FolderSecurity(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL* dacl, PACL*,
                            PSECURITY_DESCRIPTOR* descriptor) {
  ConvertStringSecurityDescriptorToSecurityDescriptorW(g_folderSecurity.c_str(), SDDL_REVISION_1, descriptor, nullptr);
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
  if (dacl != nullptr) GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
  return ERROR_SUCCESS;
}
// 0.2.x's commands' record, with `lines`.
bool RecordEarlier(const char* lines) {
  CreateDirectoryW((g_programData + L"\\mdsdriver").c_str(), nullptr);
  return testing_support::WriteBytes(g_programData + L"\\mdsdriver\\deploy.log", lines);
}
const char kEarlierInstall[] = "08.12.2026 14:03:27,51 install 0 installed \r\n";

enum class Act {
  kMakerStores,
  kMakerUpdates,
  kMakerRemoves,
  kUsbCatalogGone,
  kNameGivenAgain,
  kEarlierInstallRecorded,
  kDeploy,
  kAdopt,
  kUndeploy
};
struct Step {
  Act act;
  int answer = 0;
};

TEST(FleetPolicyTest, AddsAndTakesOutExactlyWhatItOwns) {
  struct Row {
    const char* what;
    std::vector<Step> steps;
    std::vector<std::wstring> after;  // the INF folder afterwards
    bool restart = false;             // newdev moves the copies' devices, and that asks for a restart
    bool busy = false, arm64 = false;
    bool strangersLock = false;  // the store lock's mutex, made first by the users (an event's is end to end)
  } const rows[] = {
      {"the maker's own copies stay as they were",
       {{Act::kMakerStores}, {Act::kDeploy}, {Act::kUndeploy}},
       {L"oem0.inf", L"oem1.inf"}},
      {"a maker's update between two deployments, then removal: nothing left",
       {{Act::kDeploy}, {Act::kMakerUpdates}, {Act::kDeploy}, {Act::kUndeploy}},
       {}},
      {"the maker's folder gone: the removal still answers 0",
       {{Act::kDeploy}, {Act::kMakerRemoves}, {Act::kUndeploy}},
       {}},
      {"an earlier deployment's copies, adopted, go with the removal",
       {{Act::kMakerStores}, {Act::kAdopt}, {Act::kUndeploy}},
       {}},
      {"so do those of 0.2.x's recorded install",
       {{Act::kMakerStores}, {Act::kEarlierInstallRecorded}, {Act::kDeploy}, {Act::kUndeploy}},
       {}},
      {"but not once a deployment has kept records",
       {{Act::kDeploy},
        {Act::kUndeploy},
        {Act::kMakerStores},
        {Act::kEarlierInstallRecorded},
        {Act::kDeploy},
        {Act::kUndeploy}},
       {L"oem0.inf", L"oem1.inf"}},
      {"a name given again to another copy is left",
       {{Act::kDeploy}, {Act::kNameGivenAgain}, {Act::kUndeploy}},
       {L"oem0.inf"}},
      {"a failed install takes out what it added, and only that",
       {{Act::kUsbCatalogGone}, {Act::kDeploy, kFleetFailed}},
       {}},
      {"a restart asked for", {{Act::kDeploy}, {Act::kUndeploy, kFleetRestart}}, {}, true},
      {"busy", {{Act::kDeploy, kFleetBusy}}, {}, false, true},
      {"ARM64", {{Act::kDeploy, kFleetFailed}}, {}, false, false, true},
      {"a stranger's lock", {{Act::kDeploy, kFleetBusy}, {Act::kUndeploy, kFleetBusy}}, {}, false, false, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DropRecords();
    testing_support::TempDir folder;
    const std::wstring packages = testing_support::FixtureDir() + L"\\packages\\";
    const std::wstring net = folder / L"netaapl64.inf", usb = folder / L"usbaapl64.inf";
    for (const wchar_t* name : {L"NetDrivers\\netaapl64.", L"Drivers\\usbaapl64."}) {
      for (const wchar_t* extension : {L"inf", L"cat"}) {
        const std::wstring file = std::wstring(name) + extension;
        ASSERT_TRUE(CopyFileW((packages + file).c_str(), (folder / file.substr(file.find(L'\\') + 1)).c_str(), 0));
      }
    }
    fakes::OutputCapture output;
    fakes::FakeDevices devices;
    CreateDirectoryW((folder / L"windows").c_str(), nullptr);
    fakes::FakeDriverStore store(folder / L"windows");
    store.newDev = {true, row.restart, 0, 0};
    g_findBelow = platform::Sys().GetProcAddress;
    auto library = platform::Override(&platform::Calls::GetProcAddress, &InProcessLibrary);
    auto wait = platform::Override(&platform::Calls::WaitForSingleObject,
                                   row.busy ? &LockHeldPastTheWait : platform::Sys().WaitForSingleObject);
    g_programData = folder.path();
    g_folderSecurity = row.strangersLock ? L"O:BUD:P(A;;GA;;;BU)" : kAdministrators;
    const HANDLE strangers = row.strangersLock ? CreateMutexW(nullptr, FALSE, platform::kStoreLockName) : nullptr;
    auto place = platform::Override(&platform::Calls::GetEnvironmentVariableW, &ProgramData);
    auto security = platform::Override(&platform::Calls::GetSecurityInfo, &FolderSecurity);
    auto machine =
        platform::Override(&platform::Calls::IsWow64Process2, row.arm64 ? &OnArm64 : platform::Sys().IsWow64Process2);
    for (const Step& step : row.steps) {
      int answer = 0;
      switch (step.act) {
        case Act::kMakerStores:
          difx::Preinstall(net.c_str(), 0);
          difx::Preinstall(usb.c_str(), 0);
          break;
        case Act::kMakerUpdates:
          for (const std::wstring& inf : {net, usb}) {
            std::string bytes;
            ASSERT_TRUE(testing_support::ReadBytes(inf, bytes));
            ASSERT_TRUE(testing_support::WriteBytes(inf, bytes + "; updated\n"));
          }
          break;
        case Act::kMakerRemoves:
          DeleteFileW(net.c_str());
          DeleteFileW(usb.c_str());
          break;
        case Act::kUsbCatalogGone:
          DeleteFileW((folder / L"usbaapl64.cat").c_str());
          break;
        case Act::kNameGivenAgain: {  // the network package's copy, once gone, and another made under its name
          std::string bytes;
          ASSERT_TRUE(testing_support::ReadBytes(net, bytes));
          ASSERT_TRUE(testing_support::WriteBytes(store.InfFolder() + L"\\oem0.inf", bytes + "; another\n"));
          break;
        }
        case Act::kEarlierInstallRecorded:
          ASSERT_TRUE(RecordEarlier(kEarlierInstall));
          break;
        case Act::kDeploy:
        case Act::kAdopt:
          answer = fleet::Deploy(net.c_str(), usb.c_str(), L"Apple.NTamd64", {step.act == Act::kAdopt, L""});
          break;
        case Act::kUndeploy:
          for (auto& copy : store.published) copy.inUse = row.restart;
          answer = fleet::Undeploy(net.c_str(), usb.c_str());
          break;
      }
      EXPECT_EQ(answer, step.answer) << "step " << (&step - row.steps.data()) << ": "
                                     << testing::PrintToString(output.debugStrings.back());
    }
    if (strangers != nullptr) CloseHandle(strangers);
    EXPECT_EQ(std::count_if(output.debugStrings.begin(), output.debugStrings.end(),
                            [](const std::wstring& line) { return line.find(L"lock's name is taken") != line.npos; }),
              row.strangersLock ? 2 : 0);
    std::vector<std::wstring> infs;
    for (const std::wstring& name : testing_support::ListFolder(store.InfFolder())) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, L".inf") == 0) infs.push_back(name);
    }
    EXPECT_EQ(infs, row.after);
    std::vector<fleet::OwnedCopy> owned;
    EXPECT_EQ(fleet::ReadOwnedCopies(owned), 0u);
    EXPECT_TRUE(owned.empty()) << "every record dropped";
  }
  DropRecords();
}

// The record folder as someone made it before, and 0.2.x's record of an
// install in it: written to, and believed, only where nobody but SYSTEM and
// the administrators may change them (the record also while no uninstall
// followed, and when it has no other name).
TEST(FleetPolicyTest, RecordsAndBelievesOnlyWhereNobodyElseMayWrite) {
  const struct {
    const wchar_t* security;
    const char* lines;
    bool otherName, believed, written;
  } rows[] = {{kAdministrators, kEarlierInstall, false, true, true},
              {kAdministrators, "1 install 0 installed \r\n2 uninstall 0 uninstalled", false, false, true},
              {kAdministrators, kEarlierInstall, true, false, true},
              {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;FA;;;BU)", kEarlierInstall, false, false, false},
              {L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", kEarlierInstall, false, false, false},
              {L"O:BAD:P(A;;FA;;;BA)(A;;FRFW;;;BU)", kEarlierInstall, false, false, false}};
  auto place = platform::Override(&platform::Calls::GetEnvironmentVariableW, &ProgramData);
  auto security = platform::Override(&platform::Calls::GetSecurityInfo, &FolderSecurity);
  fakes::OutputCapture output;
  for (const auto& row : rows) {
    testing_support::TempDir folder;
    g_programData = folder.path();
    g_folderSecurity = row.security;
    ASSERT_TRUE(RecordEarlier(row.lines));
    const std::wstring other = folder / L"other.log", record = folder / L"mdsdriver\\deploy.log";
    ASSERT_TRUE(!row.otherName || CreateHardLinkW(other.c_str(), record.c_str(), nullptr));
    EXPECT_EQ(fleet::EarlierInstallRecorded(), row.believed) << testing::PrintToString(row.security);
    EXPECT_EQ(fleet::AppendDeployRecord(L"one"), row.written);
    std::string bytes;
    testing_support::ReadBytes(record, bytes);
    EXPECT_EQ(bytes, row.lines + std::string(row.written ? "one\r\n" : ""));
    DeleteFileW(other.c_str());
  }
  g_programData.clear();  // %ProgramData% not set: nothing is written anywhere
  g_folderSecurity = kAdministrators;
  EXPECT_FALSE(fleet::AppendDeployRecord(L"one"));
}

}  // namespace
