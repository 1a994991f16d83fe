// "/deploy" and "/undeploy" in process, against a driver store that answers as
// Windows documents it, with our library's code in process too, so that the
// store's fakes answer it as well.
#include "fleet/fleet_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_store.h"
#include "fleet/deploy_record.h"
#include "fleet/ownership.h"
#include "support/fleet_fixture.h"

namespace {

using fleet::kFleetBusy;
using fleet::kFleetFailed;
using fleet::kFleetRestart;
using testing_support::DropRecords;
using testing_support::kAdministrators;
using testing_support::kEarlierInstall;

DWORD WINAPI LockHeldPastTheWait(HANDLE, DWORD) { return WAIT_TIMEOUT; }
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
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testing_support::FleetFixture fleet;
    const testing_support::TempDir& folder = fleet.folder;
    const std::wstring &net = fleet.net, &usb = fleet.usb;
    fakes::OutputCapture& output = fleet.output;
    fakes::FakeDriverStore& store = fleet.store;
    store.newDev = {true, row.restart, 0, 0};
    auto wait = platform::Override(&platform::Calls::WaitForSingleObject,
                                   row.busy ? &LockHeldPastTheWait : platform::Sys().WaitForSingleObject);
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
          ASSERT_TRUE(fleet.programData.RecordEarlier(kEarlierInstall));
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
              {L"O:BAD:P(A;;FA;;;BA)(A;;FRFW;;;BU)", kEarlierInstall, false, false, false}};
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
}

}  // namespace
