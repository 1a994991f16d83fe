// "/deploy" and "/undeploy": the fleet's install and removal, written once.
// They answer only as Windows Installer and the management consoles read an
// answer: done, done but a restart finishes it, busy, or failed with the PC
// as it was.
#pragma once

#include <string>

namespace fleet {

constexpr int kFleetDone = 0;        // ERROR_SUCCESS
constexpr int kFleetRestart = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED
constexpr int kFleetBusy = 1618;     // ERROR_INSTALL_ALREADY_RUNNING: another run holds the store; try later
constexpr int kFleetFailed = 1603;   // ERROR_INSTALL_FAILURE

// What a caller knows of the PC before the run.
struct DeployOptions {
  // An earlier mdsdriver deployment, which kept no records, stored the
  // packages: the current copies already stored are taken as this one's.
  // Without it, so does the record of 0.2.x's commands, believed as
  // EarlierInstallRecorded says, while no deployment has kept records here.
  bool adoptEarlier = false;
  // The caller's name for this run, kept in each record it writes, so that
  // the caller can undo exactly this run; empty: the run makes its own.
  std::wstring runId;
};

struct UndeployOptions {
  std::wstring runId;  // only the copies of this run go; empty: every owned copy
};

// x64 only; both INFs on the disk; under the store lock for the whole run:
// stores both packages, updates the devices without forcing an older driver
// on them, checks that both are stored, records what it added as owned, and
// takes out older owned copies that no device uses. On failure it takes out
// exactly what it added.
int Deploy(const wchar_t* networkInf, const wchar_t* usbInf, const wchar_t* modelsSection,
           const DeployOptions& options);

// Takes out every owned copy still in the store, whatever its version and
// whether the INFs are on the disk, after checking that the copy is the one
// recorded; leaves every other copy.
int Undeploy(const wchar_t* networkInf, const wchar_t* usbInf, const UndeployOptions& options = {});

}  // namespace fleet
