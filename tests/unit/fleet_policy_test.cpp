// "/deploy" and "/undeploy" in process, against a driver store that answers as
// Windows documents it, with our library's code in process too, so that the
// store's fakes answer it as well.
#include "fleet/fleet_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver_store.h"
#include "fleet/deploy_record.h"
#include "fleet/ownership.h"
#include "platform/store_lock.h"
#include "support/fleet_fixture.h"

namespace {

using fleet::kFleetBusy;
using fleet::kFleetFailed;
using fleet::kFleetRestart;
using testing_support::DropRecords;
using testing_support::kAdministrators;
using testing_support::kEarlierInstall;

DWORD WINAPI LockHeldPastTheWait(HANDLE, DWORD) { return WAIT_TIMEOUT; }
bool g_dropsRefused = false;
LSTATUS WINAPI DeleteUnlessRefused(HKEY key, LPCWSTR path, REGSAM view, DWORD reserved) {
  return g_dropsRefused ? ERROR_ACCESS_DENIED : RegDeleteKeyExW(key, path, view, reserved);
}
BOOL WINAPI OnArm64(HANDLE, USHORT* process, USHORT* native) {
  *process = IMAGE_FILE_MACHINE_UNKNOWN;
  *native = IMAGE_FILE_MACHINE_ARM64;
  return TRUE;
}

enum class Act {
  kMakerStores,
  kMakerUpdates,
  kMakerRemoves,
  kUsbCatalogGone,
  kNameGivenAgain,
  kMakerResigns,     // the network package's catalog signed anew, and stored: a twin of the same INF bytes
  kMakerReinstalls,  // the maker's uninstaller takes every copy, and its installer stores them again
  kHoldFirst,        // another program holds oem0.inf open, sharing nothing, until kLetGo
  kLetGo,
  kDeviceOnFirst,  // a device installed from oem0.inf, waiting for a restart
  kDevicesUnreadable,
  kDropsRefused,  // the registry refuses every key's deletion until kDropsAllowed
  kDropsAllowed,
  kRecordsOfOldRelease,  // the records as 0.3.0 wrote them: no file identity, creation time or run
  kRepublishedLater,     // oem0.inf taken out, and the same bytes published under its name an hour on
  kEarlierInstallRecorded,
  kUpdateRefused,     // newdev refuses every device update: access denied
  kNoDeviceToUpdate,  // newdev finds no device with the IDs
  kBetterDriver,      // newdev finds a better driver on the device
  kDeploy,
  kAdopt,  // as run "A"
  kUndeploy,
  kUndeployRunA
};
struct Step {
  Act act;
  int answer = 0;
  int records = -1;               // the ownership records afterwards; -1: not counted
  const wchar_t* line = nullptr;  // the run's record line holds this, where '*' stands for any text
};

bool Holds(const std::wstring& text, const std::wstring& pattern) {
  std::size_t at = 0, from = 0;
  for (std::size_t star; (star = pattern.find(L'*', from)) != pattern.npos && at != text.npos; from = star + 1) {
    at = text.find(pattern.substr(from, star - from), at);
  }
  return at != text.npos && text.find(pattern.substr(from), at) != text.npos;
}

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
       {{Act::kDeploy}, {Act::kMakerUpdates}, {Act::kDeploy, 0, 2}, {Act::kUndeploy}},
       {}},
      {"an older copy a device uses is not pruned, and its restart is told",
       {{Act::kDeploy},
        {Act::kDeviceOnFirst},
        {Act::kMakerUpdates},
        {Act::kDeploy, kFleetRestart, 3},
        {Act::kUndeploy, kFleetRestart}},
       {}},
      {"nor any while the devices cannot be read",
       {{Act::kDeploy}, {Act::kMakerUpdates}, {Act::kDevicesUnreadable}, {Act::kDeploy, 0, 4}, {Act::kUndeploy}},
       {}},
      {"an upgrade's /adopt after a deployment adopts nothing",
       {{Act::kMakerStores}, {Act::kDeploy, 0, 0}, {Act::kAdopt, 0, 0}, {Act::kUndeploy}},
       {L"oem0.inf", L"oem1.inf"}},
      {"/adopt takes only current copies",
       {{Act::kMakerStores}, {Act::kMakerUpdates}, {Act::kAdopt, 0, 2}, {Act::kUndeploy}},
       {L"oem0.inf", L"oem1.inf"}},
      {"undoing the adopting run gives the copies back",
       {{Act::kMakerStores}, {Act::kAdopt, 0, 2}, {Act::kUndeployRunA, 0, 0}},
       {L"oem0.inf", L"oem1.inf"}},
      {"a twin the maker signed anew stays", {{Act::kDeploy}, {Act::kMakerResigns}, {Act::kUndeploy}}, {L"oem2.inf"}},
      {"the maker's copies stored again under our freed names stay",
       {{Act::kDeploy}, {Act::kMakerReinstalls}, {Act::kUndeploy}},
       {L"oem0.inf", L"oem1.inf"}},
      {"a record that cannot be dropped fails the removal, and the next run drops it",
       {{Act::kDeploy},
        {Act::kDropsRefused},
        {Act::kUndeploy, kFleetFailed, 2,
         L"/undeploy 1603 added= removed= left=oem0.inf,oem1.inf run= adopted= reason=the ownership record of oem0.inf "
         L"cannot be dropped(5)"},
        {Act::kDropsAllowed},
        {Act::kUndeploy, 0, 0}},
       {}},
      {"0.3.0's records: their copies go", {{Act::kDeploy}, {Act::kRecordsOfOldRelease}, {Act::kUndeploy}}, {}},
      {"but not a copy published again under the name after the record",
       {{Act::kDeploy}, {Act::kRecordsOfOldRelease}, {Act::kRepublishedLater}, {Act::kUndeploy}},
       {L"oem0.inf"}},
      {"a copy held open stays owned, and a later run takes it out",
       {{Act::kDeploy},
        {Act::kHoldFirst},
        {Act::kUndeploy, kFleetFailed, 1, L"left=oem0.inf run= adopted= reason=oem0.inf could not be taken out(32)"},
        {Act::kLetGo},
        {Act::kUndeploy}},
       {}},
      {"the maker's folder gone: the removal still answers 0",
       {{Act::kDeploy}, {Act::kMakerRemoves}, {Act::kUndeploy}},
       {}},
      {"an earlier deployment's copies, adopted, go with the removal",
       {{Act::kMakerStores},
        {Act::kAdopt, 0, 2, L"/deploy /adopt 0 added= removed= left= run=A adopted=oem0.inf,oem1.inf"},
        {Act::kUndeploy, 0, 0, L"/undeploy 0 added= removed=oem0.inf,oem1.inf left= run= adopted="}},
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
       {{Act::kUsbCatalogGone},
        {Act::kDeploy, kFleetFailed, 0,
         L"/deploy 1603 added=oem0.inf removed=oem0.inf left= run=* adopted= reason=the packages were not stored(0, "}},
       {}},
      {"and so does one whose device update newdev refused",
       {{Act::kUpdateRefused},
        {Act::kDeploy, kFleetFailed, 0,
         L"added=oem0.inf,oem1.inf removed=oem0.inf,oem1.inf left= run=* adopted= reason=the device update failed(5)"}},
       {}},
      {"nor is no device to update, or a better driver there",
       {{Act::kNoDeviceToUpdate}, {Act::kDeploy, 0, 2}, {Act::kBetterDriver}, {Act::kDeploy, 0, 2}, {Act::kUndeploy}},
       {}},
      {"a restart asked for", {{Act::kDeploy}, {Act::kUndeploy, kFleetRestart}}, {}, true},
      {"busy", {{Act::kDeploy, kFleetBusy, 0, L" reason=the store is busy(1460)"}}, {}, false, true},
      {"ARM64", {{Act::kDeploy, kFleetFailed}}, {}, false, false, true},
      {"a stranger's lock", {{Act::kDeploy, kFleetBusy}, {Act::kUndeploy, kFleetBusy}}, {}, false, false, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testing_support::FleetFixture fleet;
    const testing_support::TempDir& folder = fleet.folder;
    const std::wstring &net = fleet.net, &usb = fleet.usb;
    fakes::OutputCapture& output = fleet.output;
    fakes::FakeDriverStore& store = fleet.store;
    fakes::FakeDevices& devices = fleet.devices;
    HANDLE held = INVALID_HANDLE_VALUE;
    store.newDev = {true, row.restart, 0, 0};
    auto drops = platform::Override(&platform::Calls::RegDeleteKeyExW, &DeleteUnlessRefused);
    auto wait = platform::Override(&platform::Calls::WaitForSingleObject,
                                   row.busy ? &LockHeldPastTheWait : platform::Sys().WaitForSingleObject);
    auto machine =
        platform::Override(&platform::Calls::IsWow64Process2, row.arm64 ? &OnArm64 : platform::Sys().IsWow64Process2);
    fleet.programData.security = row.strangersLock ? L"O:BUD:P(A;;GA;;;BU)" : kAdministrators;
    const HANDLE strangers = row.strangersLock ? CreateMutexW(nullptr, FALSE, platform::kStoreLockName) : nullptr;
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
        case Act::kMakerResigns: {
          std::string catalog;
          ASSERT_TRUE(testing_support::ReadBytes(folder / L"netaapl64.cat", catalog));
          ASSERT_TRUE(testing_support::WriteBytes(folder / L"netaapl64.cat", catalog + "again"));
          difx::Preinstall(net.c_str(), 0);
          break;
        }
        case Act::kMakerReinstalls:
          for (const std::wstring& inf : {net, usb}) {
            BOOL reboot = FALSE;
            difx::Uninstall(inf.c_str(), DRIVER_PACKAGE_FORCE, nullptr, &reboot);
            difx::Preinstall(inf.c_str(), 0);
          }
          break;
        case Act::kHoldFirst:
          held = CreateFileW((store.InfFolder() + L"\\oem0.inf").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
          ASSERT_NE(held, INVALID_HANDLE_VALUE);
          break;
        case Act::kLetGo:
          CloseHandle(held);
          break;
        case Act::kDeviceOnFirst:
          devices.devices.emplace_back(L"USB\\VID_05AC&PID_12A8\\1");
          devices.devices.back().infPath = L"oem0.inf";
          devices.devices.back().nodeStatus = DN_NEED_RESTART;
          break;
        case Act::kDevicesUnreadable:
          devices.classDevsError = ERROR_ACCESS_DENIED;
          break;
        case Act::kDropsRefused:
        case Act::kDropsAllowed:
          g_dropsRefused = step.act == Act::kDropsRefused;
          break;
        case Act::kRecordsOfOldRelease:
          for (const wchar_t* name : {L"oem0.inf", L"oem1.inf"}) {
            for (const wchar_t* value : {L"FileId", L"Created", L"Run"}) {
              ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE,
                                           (std::wstring(L"SOFTWARE\\mdsdriver\\Copies\\") + name).c_str(), value),
                        ERROR_SUCCESS);
            }
          }
          break;
        case Act::kRepublishedLater: {
          const std::wstring copy = store.InfFolder() + L"\\oem0.inf";
          std::string bytes;
          ASSERT_TRUE(testing_support::ReadBytes(copy, bytes) && DeleteFileW(copy.c_str()));
          ASSERT_TRUE(testing_support::WriteBytes(copy, bytes));
          FILETIME now = {};
          GetSystemTimeAsFileTime(&now);
          const ULONGLONG hourOn = ((ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime) + 36000000000ULL;
          FILETIME later = {static_cast<DWORD>(hourOn), static_cast<DWORD>(hourOn >> 32)};
          const HANDLE file = CreateFileW(copy.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
          ASSERT_TRUE(SetFileTime(file, &later, nullptr, &later));
          CloseHandle(file);
          break;
        }
        case Act::kEarlierInstallRecorded:
          ASSERT_TRUE(fleet.programData.RecordEarlier(kEarlierInstall));
          break;
        case Act::kUpdateRefused:
        case Act::kNoDeviceToUpdate:
        case Act::kBetterDriver:
          devices.driverUpdateResult = FALSE;
          devices.driverUpdateError = step.act == Act::kUpdateRefused      ? ERROR_ACCESS_DENIED
                                      : step.act == Act::kNoDeviceToUpdate ? ERROR_NO_SUCH_DEVINST
                                                                           : ERROR_NO_MORE_ITEMS;
          break;
        case Act::kDeploy:
        case Act::kAdopt:
          answer = fleet::Deploy(net.c_str(), usb.c_str(), L"Apple.NTamd64",
                                 {step.act == Act::kAdopt, step.act == Act::kAdopt ? L"A" : L""});
          break;
        case Act::kUndeploy:
        case Act::kUndeployRunA:
          // Only the first copy taken out asks for a restart: a later one must not cancel it.
          if (!store.published.empty()) store.published.front().inUse = row.restart;
          answer = fleet::Undeploy(net.c_str(), usb.c_str(), {step.act == Act::kUndeployRunA ? L"A" : L""});
          break;
      }
      EXPECT_EQ(answer, step.answer) << "step " << (&step - row.steps.data()) << ": "
                                     << testing::PrintToString(output.debugStrings.back());
      const auto line = std::find_if(output.debugStrings.rbegin(), output.debugStrings.rend(),
                                     [](const std::wstring& text) { return text.find(L"Z mdsdriver ") != text.npos; });
      EXPECT_TRUE(step.line == nullptr || (line != output.debugStrings.rend() && Holds(*line, step.line)))
          << testing::PrintToString(line != output.debugStrings.rend() ? *line : L"no record line");
      std::vector<fleet::OwnedCopy> records;
      EXPECT_TRUE(step.records < 0 || (fleet::ReadOwnedCopies(records) == 0 && records.size() == size_t(step.records)))
          << "step " << (&step - row.steps.data()) << ": " << records.size() << " records";
    }
    if (strangers != nullptr) CloseHandle(strangers);
    EXPECT_EQ(std::count_if(output.debugStrings.begin(), output.debugStrings.end(),
                            [](const std::wstring& line) { return line.find(L"lock's name is taken") != line.npos; }),
              row.strangersLock ? 2 : 0);
    const std::vector<std::wstring> infs = fleet.Infs();
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
              {L"O:BAD:P(A;;FA;;;BA)(A;;FRFW;;;BU)", kEarlierInstall, false, false, false},
              // users may add files, or folders
              {L"O:BAD:P(A;;FA;;;BA)(A;;0x2;;;BU)", kEarlierInstall, false, false, false},
              {L"O:BAD:P(A;;FA;;;BA)(A;;0x4;;;BU)", kEarlierInstall, false, false, false}};
  testing_support::FakeProgramData programData;
  fakes::OutputCapture output;
  for (const auto& row : rows) {
    testing_support::TempDir folder;
    programData.folder = folder.path();
    programData.security = row.security;
    ASSERT_TRUE(programData.RecordEarlier(row.lines));
    const std::wstring other = folder / L"other.log", record = folder / L"mdsdriver\\deploy.log";
    ASSERT_TRUE(!row.otherName || CreateHardLinkW(other.c_str(), record.c_str(), nullptr));
    EXPECT_EQ(fleet::EarlierInstallRecorded(), row.believed) << testing::PrintToString(row.security);
    EXPECT_EQ(fleet::AppendDeployRecord(L"one"), row.written);
    std::string bytes;
    testing_support::ReadBytes(record, bytes);
    EXPECT_EQ(bytes, row.lines + std::string(row.written ? "one\r\n" : ""));
    DeleteFileW(other.c_str());
  }
  programData.folder.clear();  // %ProgramData% not set: nothing is written anywhere
  programData.security = kAdministrators;
  EXPECT_FALSE(fleet::AppendDeployRecord(L"one"));
  // A hash as 0.3.0 wrote it in its records: size, then FNV-1a in 16 hex digits.
  testing_support::TempDir folder;
  ASSERT_TRUE(testing_support::WriteBytes(folder / L"a.inf", "a"));
  EXPECT_EQ(fleet::FileHash(folder / L"a.inf"), L"1:af63dc4c8601ec8c");
}

}  // namespace
