// The fleet policy: each run reads the store by identity before and after,
// changes it through our difxapi_x64.dll, and keeps its ownership records and
// its one record line.
#include "fleet/fleet_policy.h"

#include <algorithm>
#include <string>
#include <vector>

#include "device/driver_update.h"
#include "diag/json.h"
#include "diag/lock_wait.h"
#include "diag/trace.h"
#include "fleet/deploy_record.h"
#include "fleet/ownership.h"
#include "inf_store.h"
#include "package/difx_library.h"
#include "package/store_status.h"
#include "platform/handles.h"
#include "platform/store_lock.h"

#ifndef MDS_FILE_VERSION
#error "MDS_FILE_VERSION: the build names the file version"
#endif

namespace fleet {
namespace {

using package::CopyReport;
using package::DifxEntries;
using package::Known;
using package::PackageReport;
using package::StoreReport;
using platform::Sys;

bool SameText(const std::wstring& a, const std::wstring& b) {
  return Sys().CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// One run's record: what it added, removed and left, then its answer, as the
// record line and the trace's last line.
class FleetRun {
 public:
  explicit FleetRun(const wchar_t* name) : name_(name) {}

  void Added(const std::wstring& copy) { Append(added_, copy); }
  void Removed(const std::wstring& copy) { Append(removed_, copy); }
  void Left(const std::wstring& copy) { Append(left_, copy); }
  void Note(const wchar_t* note) { note_ = note; }

  int Finish(int answer) {
    SYSTEMTIME now = {};
    Sys().GetSystemTime(&now);
    std::wstring line;
    diag::AppendFormat(line, L"%04d-%02d-%02dT%02d:%02d:%02dZ mdsdriver %s %s %d added=%s removed=%s left=%s",
                       now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, L"" MDS_FILE_VERSION,
                       name_, answer, added_, removed_, left_);
    if (note_ != nullptr) diag::AppendFormat(line, L" %s", note_);
    diag::TraceLine(L"%s", line);
    AppendDeployRecord(line);
    return answer;
  }

 private:
  static void Append(std::wstring& list, const std::wstring& copy) {
    if (!list.empty()) list += L',';
    list += copy;
  }
  const wchar_t* name_;
  std::wstring added_, removed_, left_;
  const wchar_t* note_ = nullptr;
};

// The x64 code of Windows runs on x64 machines only: an x64 exe on ARM64
// runs emulated, and the driver it stores could not load there.
bool NativeX64() {
  USHORT process = 0, native = 0;
  if (Sys().IsWow64Process2 != nullptr && Sys().IsWow64Process2(Sys().GetCurrentProcess(), &process, &native)) {
    return native == IMAGE_FILE_MACHINE_AMD64;
  }
  SYSTEM_INFO system = {};
  Sys().GetNativeSystemInfo(&system);
  return system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

std::vector<const CopyReport*> Copies(const StoreReport& report) {
  std::vector<const CopyReport*> copies;
  for (const PackageReport& package : report.packages) {
    for (const CopyReport& copy : package.copies) copies.push_back(&copy);
  }
  return copies;
}

const CopyReport* Find(const StoreReport& report, const std::wstring& publishedName) {
  for (const CopyReport* copy : Copies(report)) {
    if (SameText(copy->copy.publishedName, publishedName)) return copy;
  }
  return nullptr;
}

// Takes one copy out through the library, its devices moved off first where
// the system can; true when it is gone.
bool RemoveCopy(const DifxEntries& entries, const CopyReport& copy, BOOL& reboot) {
  BOOL needsReboot = FALSE;
  const DWORD status = entries.uninstall(copy.copy.path.c_str(), DRIVER_PACKAGE_FORCE, nullptr, &needsReboot);
  if (needsReboot) reboot = TRUE;
  const bool gone = difx::FilePresence(copy.copy.path) == difx::Presence::kAbsent;
  if (!gone) diag::TraceLine(L"fleet: %s could not be taken out(%d)", copy.copy.publishedName, status);
  return gone;
}

OwnedCopy RecordOf(const CopyReport& copy, const PackageReport& package, bool adopted) {
  OwnedCopy record;
  record.publishedName = copy.copy.publishedName;
  record.package = package.package;
  record.originalName = copy.copy.originalName;
  record.catalogName = copy.copy.catalogName;
  record.classGuid = copy.copy.classGuid;
  record.driverVersion = copy.copy.driverVersion;
  record.hash = FileHash(copy.copy.path);
  record.adopted = adopted;
  return record;
}

// The copy is the one recorded: its name was not reused for another.
bool IsRecorded(const OwnedCopy& record, const CopyReport& copy, const PackageReport& package) {
  return SameText(record.package, package.package) && SameText(record.originalName, copy.copy.originalName) &&
         SameText(record.catalogName, copy.copy.catalogName) && SameText(record.classGuid, copy.copy.classGuid) &&
         !record.hash.empty() && record.hash == FileHash(copy.copy.path);
}

const PackageReport& PackageOf(const StoreReport& report, const CopyReport& copy) {
  return report.packages[copy.copy.package];
}

// The library with the two entry points a deployment needs.
struct Library {
  platform::unique_library module;
  DifxEntries entries;
};

bool LoadDifx(Library& library) {
  const std::wstring path = package::DifxLibraryPath();
  library.module.reset(Sys().LoadLibraryW(path.c_str()));
  if (!library.module) {
    const DWORD error = Sys().GetLastError();
    diag::TraceLine(L"fleet: LoadLirary failed(%d), %s", error, path);
    return false;
  }
  library.entries = package::LookUpDifxEntries(library.module.get());
  if (library.entries.preinstall == nullptr || library.entries.uninstall == nullptr) {
    diag::TraceLine(L"fleet: %s lacks DriverPackagePreinstallW or DriverPackageUninstallW", path);
    return false;
  }
  return true;
}

// Takes out exactly the copies `after` holds that `before` did not.
void UndoAdded(const Library& library, const StoreReport& before, const StoreReport& after, FleetRun& run,
               BOOL& reboot) {
  for (const CopyReport* copy : Copies(after)) {
    if (Find(before, copy->copy.publishedName) != nullptr) continue;
    if (RemoveCopy(library.entries, *copy, reboot)) {
      run.Removed(copy->copy.publishedName);
    } else {
      run.Left(copy->copy.publishedName);
    }
  }
}

int DeployLocked(const Library& library, const wchar_t* networkInf, const wchar_t* usbInf, const wchar_t* modelsSection,
                 const DeployOptions& options, FleetRun& run) {
  // No trust prompt may wait at a desktop while the store is held.
  Sys().SetupSetNonInteractiveMode(TRUE);
  const StoreReport before = package::ReadStore(networkInf, usbInf, &IsOwned);
  if (!before.storeRead) return kFleetFailed;

  const DWORD network = library.entries.preinstall(networkInf, 0);
  const DWORD usb = library.entries.preinstall(usbInf, 0);
  BOOL reboot = FALSE;
  device::UpdateDevice(usbInf, modelsSection, device::UpdateOptions{INSTALLFLAG_NONINTERACTIVE, &reboot});
  const StoreReport after = package::ReadStore(networkInf, usbInf, &IsOwned);
  const bool stored = (network == ERROR_SUCCESS || network == ERROR_ALREADY_EXISTS) &&
                      (usb == ERROR_SUCCESS || usb == ERROR_ALREADY_EXISTS) && after.status == package::kStatusBoth;
  if (!stored) {
    diag::TraceLine(L"deploy: the packages were not stored(%d, %d, %d)", network, usb, after.status);
    UndoAdded(library, before, after, run, reboot);
    return kFleetFailed;
  }

  for (const CopyReport* copy : Copies(after)) {
    const bool added = Find(before, copy->copy.publishedName) == nullptr;
    const bool adopted = !added && options.adoptEarlier && copy->current == Known::kYes && !copy->owned;
    if (!added && !adopted) continue;
    const DWORD recorded = RecordOwnedCopy(RecordOf(*copy, PackageOf(after, *copy), adopted));
    if (recorded != ERROR_SUCCESS) {
      diag::TraceLine(L"deploy: the ownership record of %s cannot be written(%d)", copy->copy.publishedName, recorded);
      UndoAdded(library, before, after, run, reboot);
      return kFleetFailed;
    }
    if (added) run.Added(copy->copy.publishedName);
    if (adopted) run.Note(L"adopted the copies of an earlier deployment");
  }
  // A maker's update leaves the older copies this fleet stored: they go once
  // no device uses them.
  for (const CopyReport* copy : Copies(after)) {
    if (!copy->owned || copy->current != Known::kNo || !copy->devices.empty()) {
      if (Find(before, copy->copy.publishedName) != nullptr) run.Left(copy->copy.publishedName);
      continue;
    }
    if (RemoveCopy(library.entries, *copy, reboot)) {
      DropOwnedCopy(copy->copy.publishedName);
      run.Removed(copy->copy.publishedName);
    } else {
      run.Left(copy->copy.publishedName);
    }
  }
  return reboot || after.restartPending ? kFleetRestart : kFleetDone;
}

int UndeployLocked(const Library& library, const wchar_t* networkInf, const wchar_t* usbInf, FleetRun& run) {
  std::vector<OwnedCopy> records;
  const DWORD read = ReadOwnedCopies(records);
  if (read != ERROR_SUCCESS) {
    diag::TraceLine(L"undeploy: the ownership records cannot be read(%d)", read);
    return kFleetFailed;
  }
  const StoreReport store = package::ReadStore(networkInf, usbInf, &IsOwned);
  if (!store.storeRead) return kFleetFailed;
  bool failed = false;
  BOOL reboot = FALSE;
  for (const OwnedCopy& record : records) {
    const CopyReport* copy = Find(store, record.publishedName);
    if (copy != nullptr && !IsRecorded(record, *copy, PackageOf(store, *copy))) {
      diag::TraceLine(L"undeploy: %s is not the copy recorded (its name was given again), left", record.publishedName);
      copy = nullptr;
    }
    if (copy != nullptr && !RemoveCopy(library.entries, *copy, reboot)) {
      failed = true;  // its record stays, so that a later run takes it out
      run.Left(record.publishedName);
      continue;
    }
    if (copy != nullptr) run.Removed(record.publishedName);
    DropOwnedCopy(record.publishedName);
  }
  for (const CopyReport* copy : Copies(store)) {
    const bool ours = std::any_of(records.begin(), records.end(), [&](const OwnedCopy& record) {
      return SameText(record.publishedName, copy->copy.publishedName);
    });
    if (ours) continue;
    diag::TraceLine(L"undeploy: %s was not added by a deployment, left", copy->copy.publishedName);
    run.Left(copy->copy.publishedName);
  }
  if (failed) return kFleetFailed;
  return reboot || store.restartPending ? kFleetRestart : kFleetDone;
}

// Runs `work` with the library loaded and the store lock held for the whole
// of it, and finishes the run with its answer.
template <typename Work>
int LockedRun(FleetRun& run, const wchar_t* name, Work work) {
  Library library;
  if (!LoadDifx(library)) return run.Finish(kFleetFailed);
  const platform::StoreLock lock(platform::kStoreLockWaitMs, &diag::kTracedLockWait, platform::LockUse::kRequired);
  if (lock.status() != ERROR_SUCCESS) {
    diag::TraceLine(L"%s: the store is busy(%d)", name, lock.status());
    return run.Finish(kFleetBusy);
  }
  return run.Finish(work(library));
}

}  // namespace

int Deploy(const wchar_t* networkInf, const wchar_t* usbInf, const wchar_t* modelsSection,
           const DeployOptions& options) {
  FleetRun run(options.adoptEarlier ? L"/deploy /adopt" : L"/deploy");
  if (!NativeX64()) {
    diag::TraceLine(L"deploy: this PC is not an x64 one; the driver cannot load on it");
    return run.Finish(kFleetFailed);
  }
  for (const wchar_t* inf : {networkInf, usbInf}) {
    if (difx::FilePresence(inf) != difx::Presence::kPresent) {
      diag::TraceLine(L"deploy: the driver package's INF is not on the disk: %s", inf);
      return run.Finish(kFleetFailed);
    }
  }
  return LockedRun(run, L"deploy", [&](const Library& library) {
    // 0.2.x kept no ownership records: its commands' record of an install
    // counts as a caller's word, until a deployment has kept records here.
    DeployOptions effective = options;
    if (!effective.adoptEarlier && !OwnershipKeyExists() && EarlierInstallRecorded()) {
      diag::TraceLine(L"deploy: the earlier commands' record tells of their install: its copies are taken as owned");
      effective.adoptEarlier = true;
    }
    return DeployLocked(library, networkInf, usbInf, modelsSection, effective, run);
  });
}

int Undeploy(const wchar_t* networkInf, const wchar_t* usbInf, const UndeployOptions& options) {
  (void)options;
  FleetRun run(L"/undeploy");
  return LockedRun(run, L"undeploy",
                   [&](const Library& library) { return UndeployLocked(library, networkInf, usbInf, run); });
}

}  // namespace fleet
