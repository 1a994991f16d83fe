// The fleet policy: a run owns exactly the copies that its own calls to our
// difxapi_x64.dll published, announces each change of the store in the
// journal before it makes it, settles what a killed run left before anything
// else, and keeps its ownership records and its one record line.
#include "fleet/fleet_policy.h"

#include <algorithm>
#include <string>
#include <vector>

#include "device/driver_update.h"
#include "diag/json.h"
#include "diag/lock_wait.h"
#include "diag/trace.h"
#include "fleet/deploy_record.h"
#include "fleet/journal.h"
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
using package::Known;
using package::PackageReport;
using package::StoreReport;
using platform::Sys;

const wchar_t* const kPackageNames[] = {L"network", L"usb"};

bool SameText(const std::wstring& a, const std::wstring& b) {
  return Sys().CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The first cause of the running run's failure, for its record line.
thread_local std::wstring* t_reason = nullptr;

// Traces why the run fails, and keeps the first such line as its reason,
// without the area's name in front ("deploy: "): the record line names the
// switch already.
template <typename... Args>
void Fail(const wchar_t* format, const Args&... args) {
  std::wstring text;
  diag::AppendFormat(text, format, args...);
  diag::TraceLine(L"%s", text);
  if (t_reason == nullptr || !t_reason->empty()) return;
  const std::size_t colon = text.find(L": ");
  *t_reason = colon != std::wstring::npos && text.find(L' ') == colon + 1 ? text.substr(colon + 2) : text;
}

// One run's record: what it added, removed, adopted and left, its answer and
// on a failure its first cause, as the record line and the trace's last
// line. While it lives, the trace goes to the tool's own log too, where
// fleets collect it.
class FleetRun {
 public:
  FleetRun(const wchar_t* name, std::wstring id) : name_(name), id_(std::move(id)) {
    t_reason = &reason_;
    diag::SetTraceToLog(true);
  }
  ~FleetRun() {
    diag::SetTraceToLog(false);
    t_reason = nullptr;
  }
  FleetRun(const FleetRun&) = delete;
  FleetRun& operator=(const FleetRun&) = delete;

  const std::wstring& id() const { return id_; }
  void Added(const std::wstring& copy) { Append(added_, copy); }
  void Removed(const std::wstring& copy) { Append(removed_, copy); }
  void Adopted(const std::wstring& copy) { Append(adopted_, copy); }
  void Left(const std::wstring& copy) { Append(left_, copy); }

  // The fields keep their order, and new ones come after the old, for the
  // scripts that read them; the reason comes last, as it holds spaces.
  int Finish(int answer) {
    SYSTEMTIME now = {};
    Sys().GetSystemTime(&now);
    std::wstring line;
    diag::AppendFormat(
        line, L"%04d-%02d-%02dT%02d:%02d:%02dZ mdsdriver %s %s %d added=%s removed=%s left=%s run=%s adopted=%s",
        now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, L"" MDS_FILE_VERSION, name_, answer,
        added_, removed_, left_, id_, adopted_);
    if (answer == kFleetFailed || answer == kFleetBusy) {
      diag::AppendFormat(line, L" reason=%s", reason_.empty() ? std::wstring(L"unknown") : reason_);
    }
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
  std::wstring id_;
  std::wstring added_, removed_, adopted_, left_, reason_;
};

// A run's own identity when its caller names none: the time and the process,
// unique enough for one PC's records.
std::wstring NewRunId() {
  FILETIME now = {};
  Sys().GetSystemTimeAsFileTime(&now);
  std::wstring id;
  diag::AppendFormat(id, L"%lu-%lu-%lu", static_cast<unsigned long>(now.dwHighDateTime),
                     static_cast<unsigned long>(now.dwLowDateTime),
                     static_cast<unsigned long>(Sys().GetCurrentProcessId()));
  return id;
}

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

bool Listed(const std::vector<std::wstring>& names, const std::wstring& name) {
  return std::any_of(names.begin(), names.end(), [&](const std::wstring& listed) { return SameText(listed, name); });
}

// The library with the entry points a deployment needs: our own two, which
// name what they published and take out exactly one copy.
struct Library {
  platform::unique_library module;
  package::MdsPreinstallWFn publish = nullptr;
  package::MdsRemovePublishedInfWFn removeOne = nullptr;
};

bool LoadDifx(Library& library) {
  const std::wstring path = package::DifxLibraryPath();
  library.module.reset(Sys().LoadLibraryW(path.c_str()));
  if (!library.module) {
    const DWORD error = Sys().GetLastError();
    Fail(L"fleet: LoadLirary failed(%d), %s", error, path);
    return false;
  }
  library.publish = reinterpret_cast<package::MdsPreinstallWFn>(
      reinterpret_cast<void (*)()>(Sys().GetProcAddress(library.module.get(), "MdsPreinstallW")));
  library.removeOne = reinterpret_cast<package::MdsRemovePublishedInfWFn>(
      reinterpret_cast<void (*)()>(Sys().GetProcAddress(library.module.get(), "MdsRemovePublishedInfW")));
  if (library.publish == nullptr || library.removeOne == nullptr) {
    Fail(L"fleet: %s lacks MdsPreinstallW or MdsRemovePublishedInfW: it is not this release's", path);
    return false;
  }
  return true;
}

// A copy's place in the system INF folder.
std::wstring CopyPath(const std::wstring& publishedName) {
  std::wstring folder;
  if (difx::SystemInfFolder(folder) != ERROR_SUCCESS) return std::wstring();
  return folder + L"\\" + publishedName;
}

// The record of a copy at `path`, as the store read tells of it.
OwnedCopy RecordOf(const std::wstring& path, const CopyReport* read, const wchar_t* package, const std::wstring& run,
                   bool adopted) {
  OwnedCopy record;
  record.publishedName = difx::FileName(path);
  record.package = package;
  if (read != nullptr) {
    record.originalName = read->copy.originalName;
    record.catalogName = read->copy.catalogName;
    record.classGuid = read->copy.classGuid;
    record.driverVersion = read->copy.driverVersion;
  }
  record.hash = FileHash(path);
  record.adopted = adopted;
  record.run = run;
  return record;
}

// What one run holds: the library, the copies it published or adopted, and
// a restart asked for.
struct Deployment {
  const Library& library;
  FleetRun& run;
  std::vector<OwnedCopy> claims;
  std::vector<Intent> open;  // journal entries of changes under way
  BOOL reboot = FALSE;
};

// Announces a publish of `inf` in the journal, with the INF folder's names
// before it.
bool Announce(Deployment& deployment, const wchar_t* inf, const wchar_t* package) {
  Intent intent;
  intent.package = package;
  intent.run = deployment.run.id();
  intent.source = inf;
  intent.hash = FileHash(inf);
  DWORD status = ListInfFolder(intent.before);
  if (status == ERROR_SUCCESS) status = WriteIntent(intent);
  if (status != ERROR_SUCCESS) {
    Fail(L"deploy: the journal cannot be written(%d)", status);
    return false;
  }
  deployment.open.push_back(intent);
  return true;
}

// Settles the run's open journal entries: their changes are done, and
// recorded or undone.
bool SettleOpen(Deployment& deployment) {
  for (const Intent& intent : deployment.open) {
    const DWORD status = SettleIntent(intent);
    if (status != ERROR_SUCCESS) {
      Fail(L"deploy: the journal cannot be settled(%d)", status);
      return false;
    }
  }
  deployment.open.clear();
  return true;
}

// Writes the record of a copy that a call of this run published, stamped.
// False, with a trace line, when it cannot be written: the copy is then
// still this run's to take out.
bool Claim(Deployment& deployment, const std::wstring& path, const wchar_t* package, bool adopted,
           const CopyReport* read) {
  OwnedCopy record = RecordOf(path, read, package, deployment.run.id(), adopted);
  DWORD status = StampOf(path, record.stamp);
  if (status == ERROR_SUCCESS)
    status = record.hash.empty() ? static_cast<DWORD>(ERROR_READ_FAULT) : RecordOwnedCopy(record);
  deployment.claims.push_back(record);
  if (!adopted) deployment.run.Added(record.publishedName);
  if (status != ERROR_SUCCESS) {
    Fail(L"deploy: the ownership record of %s cannot be written(%d)", record.publishedName, status);
    return false;
  }
  if (adopted) deployment.run.Adopted(record.publishedName);
  return true;
}

// Takes out one owned copy, announced in the journal, and drops its record
// once it is gone. False, with a trace line, when it stays (with its record).
bool RemoveOwned(const Library& library, const OwnedCopy& record, BOOL& reboot) {
  const std::wstring path = CopyPath(record.publishedName);
  Intent intent;
  intent.kind = Intent::Kind::kRemove;
  intent.publishedName = record.publishedName;
  intent.stamp = record.stamp;
  DWORD status = WriteIntent(intent);
  if (status != ERROR_SUCCESS) {
    Fail(L"fleet: the journal cannot be written(%d): %s is left", status, record.publishedName);
    return false;
  }
  BOOL needsReboot = FALSE;
  status = library.removeOne(path.c_str(), &needsReboot);
  if (needsReboot) reboot = TRUE;
  const bool gone = difx::FilePresence(path) == difx::Presence::kAbsent;
  if (!gone) Fail(L"fleet: %s could not be taken out(%d): its record stays", record.publishedName, status);
  DWORD dropped = gone ? DropOwnedCopy(record.publishedName) : ERROR_SUCCESS;
  if (dropped != ERROR_SUCCESS) {
    Fail(L"fleet: the ownership record of %s cannot be dropped(%d)", record.publishedName, dropped);
    return false;  // the journal entry stays, so that the next run drops it
  }
  dropped = SettleIntent(intent);
  if (dropped != ERROR_SUCCESS) Fail(L"fleet: the journal cannot be settled(%d)", dropped);
  return gone && dropped == ERROR_SUCCESS;
}

// Takes out what this run published and drops what it adopted, after a
// failure: the PC as it was. A copy that stays keeps its record, so that a
// later run takes it out.
void Undo(Deployment& deployment) {
  for (const OwnedCopy& claim : deployment.claims) {
    if (claim.adopted) {
      const DWORD dropped = DropOwnedCopy(claim.publishedName);
      if (dropped != ERROR_SUCCESS) {
        Fail(L"deploy: the ownership record of %s cannot be dropped(%d): it stays owned", claim.publishedName, dropped);
      }
    } else if (RemoveOwned(deployment.library, claim, deployment.reboot)) {
      deployment.run.Removed(claim.publishedName);
    } else {
      deployment.run.Left(claim.publishedName);
    }
  }
  deployment.claims.clear();
  SettleOpen(deployment);
}

// Publishes one package through the library, announced in the journal, and
// claims the copy only when the library says this call made it.
bool Publish(Deployment& deployment, const wchar_t* inf, const wchar_t* package, DWORD& status) {
  if (!Announce(deployment, inf, package)) return false;
  wchar_t copy[MAX_PATH] = {};
  BOOL published = FALSE;
  status = deployment.library.publish(inf, 0, copy, MAX_PATH, &published);
  return (!published || Claim(deployment, copy, package, false, nullptr)) && SettleOpen(deployment);
}

// The device update copies the USB INF too: a copy it made (when the one the
// preinstall made went in between) is claimed as well.
bool UpdateDevices(Deployment& deployment, const wchar_t* usbInf, const wchar_t* modelsSection) {
  if (!Announce(deployment, usbInf, kPackageNames[1])) return false;
  std::wstring published;
  DWORD failure = ERROR_SUCCESS;
  device::UpdateDevice(usbInf, modelsSection,
                       device::UpdateOptions{INSTALLFLAG_NONINTERACTIVE, &deployment.reboot, &published, &failure});
  if (!(published.empty() || Claim(deployment, published, kPackageNames[1], false, nullptr)) ||
      !SettleOpen(deployment)) {
    return false;
  }
  // A refusal, unlike "no such device" or "a better driver is there", can
  // leave a device half updated: the run fails and its undo applies.
  if (failure != ERROR_SUCCESS) Fail(L"deploy: the device update failed(%d)", failure);
  return failure == ERROR_SUCCESS;
}

// Settles what a killed run left in the journal, before anything else.
// A publish it began owns the copy that holds its INF's bytes under a name
// the folder did not have before it, when no record owns it yet; a removal
// it began is finished when the copy is gone (its record goes with the
// check of the records) and dropped when it is still there (it stays owned).
// False when an entry cannot be settled: the store could not be read whole.
bool SettleJournal(const wchar_t* networkInf, const wchar_t* usbInf) {
  std::vector<Intent> intents;
  DWORD status = ReadIntents(intents);
  if (status != ERROR_SUCCESS) {
    Fail(L"fleet: the journal cannot be read(%d)", status);
    return false;
  }
  if (intents.empty()) return true;
  const StoreReport store = package::ReadStore(networkInf, usbInf);
  std::vector<OwnedCopy> records;
  status = ReadOwnedCopies(records);
  for (const Intent& intent : intents) {
    if (intent.kind == Intent::Kind::kPublish && !intent.hash.empty()) {
      if (!store.storeRead || !store.unreadable.empty() || status != ERROR_SUCCESS) {
        Fail(L"fleet: a killed run's %s cannot be settled: the store cannot be read whole", EntryName(intent));
        return false;
      }
      for (const CopyReport* copy : Copies(store)) {
        // A record the killed run left half-written holds no copy.
        const bool recorded = std::any_of(records.begin(), records.end(), [&](const OwnedCopy& record) {
          DWORD why = ERROR_SUCCESS;
          return SameText(record.publishedName, copy->copy.publishedName) &&
                 CheckRecord(record, copy->copy.path, why) == Holds::kRecorded;
        });
        if (recorded || Listed(intent.before, copy->copy.publishedName) ||
            !SameText(kPackageNames[copy->copy.package], intent.package) || FileHash(copy->copy.path) != intent.hash) {
          continue;
        }
        OwnedCopy record = RecordOf(copy->copy.path, copy, kPackageNames[copy->copy.package], intent.run, false);
        DWORD written = StampOf(copy->copy.path, record.stamp);
        if (written == ERROR_SUCCESS) written = RecordOwnedCopy(record);
        if (written != ERROR_SUCCESS) {
          Fail(L"fleet: the ownership record of %s cannot be written(%d)", record.publishedName, written);
          return false;
        }
        diag::TraceLine(L"fleet: %s, published by a run that ended early, is owned", record.publishedName);
      }
    } else if (intent.kind == Intent::Kind::kRemove) {
      diag::TraceLine(L"fleet: a run that ended early was taking out %s", intent.publishedName);
    }
    const DWORD settled = SettleIntent(intent);
    if (settled != ERROR_SUCCESS) {
      Fail(L"fleet: the journal cannot be settled(%d)", settled);
      return false;
    }
  }
  return true;
}

// Checks every record against the file under its name: a copy gone, or a
// name given to another file, loses its record; a record an earlier release
// wrote gets the file's stamp. `records` gets the records that stand, and
// `unknown` the names of those whose file cannot be told (they stay; a run
// that must take them out fails, with `failUnknown`). False when the records
// cannot be read or changed.
bool CheckRecords(std::vector<OwnedCopy>& records, std::vector<std::wstring>& unknown, bool failUnknown) {
  std::vector<OwnedCopy> read;
  DWORD status = ReadOwnedCopies(read);
  if (status != ERROR_SUCCESS) {
    Fail(L"fleet: the ownership records cannot be read(%d)", status);
    return false;
  }
  records.clear();
  unknown.clear();
  for (const OwnedCopy& record : read) {
    DWORD why = ERROR_SUCCESS;
    OwnedCopy upgraded;
    const Holds holds = CheckRecord(record, CopyPath(record.publishedName), why, &upgraded);
    if (holds == Holds::kRecorded || holds == Holds::kUnknown) {
      if (holds == Holds::kUnknown) {
        const wchar_t* const kUnidentified = L"fleet: %s cannot be identified(%d): its record stays";
        if (failUnknown) {
          Fail(kUnidentified, record.publishedName, why);
        } else {
          diag::TraceLine(kUnidentified, record.publishedName, why);
        }
        unknown.push_back(record.publishedName);
      }
      status = upgraded.publishedName.empty() ? ERROR_SUCCESS : RecordOwnedCopy(upgraded);
      if (status != ERROR_SUCCESS) {
        Fail(L"fleet: the ownership record of %s cannot be written(%d)", record.publishedName, status);
        return false;
      }
      records.push_back(upgraded.publishedName.empty() ? record : upgraded);
      continue;
    }
    diag::TraceLine(holds == Holds::kGone
                        ? L"fleet: %s is gone: its record is dropped"
                        : L"fleet: %s is another copy now (its name was given again): not ours, its record is dropped",
                    record.publishedName);
    status = DropOwnedCopy(record.publishedName);
    if (status != ERROR_SUCCESS) {
      Fail(L"fleet: the ownership record of %s cannot be dropped(%d)", record.publishedName, status);
      return false;
    }
  }
  return true;
}

// Adoption takes the current copies already stored as this deployment's. It
// is only for a PC that an earlier release, which kept no records, deployed:
// once a deployment has left its marker or records, it does nothing.
bool Adopt(Deployment& deployment, const StoreReport& after) {
  if (DeployedBefore() || OwnershipKeyExists()) {
    diag::TraceLine(L"deploy: a deployment has run here before: nothing is adopted");
    return true;
  }
  for (const CopyReport* copy : Copies(after)) {
    if (copy->owned || copy->current != Known::kYes) continue;
    if (!Claim(deployment, copy->copy.path, kPackageNames[copy->copy.package], true, copy)) return false;
  }
  return true;
}

// A maker's update leaves the older copies this fleet stored: they go once
// no device uses them, and only when every device's driver could be read.
void Prune(Deployment& deployment, const StoreReport& after) {
  if (!after.devicesRead) {
    diag::TraceLine(L"deploy: the devices cannot be read: older owned copies stay");
    return;
  }
  for (const CopyReport* copy : Copies(after)) {
    if (!copy->owned || copy->current != Known::kNo || !copy->devices.empty()) continue;
    OwnedCopy record = RecordOf(copy->copy.path, copy, kPackageNames[copy->copy.package], std::wstring(), false);
    StampOf(copy->copy.path, record.stamp);
    if (RemoveOwned(deployment.library, record, deployment.reboot)) {
      deployment.run.Removed(copy->copy.publishedName);
    } else {
      deployment.run.Left(copy->copy.publishedName);
    }
  }
}

int DeployLocked(const Library& library, const wchar_t* networkInf, const wchar_t* usbInf, const wchar_t* modelsSection,
                 const DeployOptions& options, FleetRun& run) {
  // No trust prompt may wait at a desktop while the store is held.
  Sys().SetupSetNonInteractiveMode(TRUE);
  std::vector<OwnedCopy> records;
  std::vector<std::wstring> unknown;
  if (!SettleJournal(networkInf, usbInf) || !CheckRecords(records, unknown, false)) return kFleetFailed;
  const StoreReport before = package::ReadStore(networkInf, usbInf, &IsOwned);
  if (!before.storeRead) {
    Fail(L"deploy: the driver store cannot be read");
    return kFleetFailed;
  }

  Deployment deployment{library, run, {}, {}, FALSE};
  const wchar_t* const infs[] = {networkInf, usbInf};
  DWORD answers[2] = {ERROR_GEN_FAILURE, ERROR_GEN_FAILURE};
  bool sound = true;
  for (int i = 0; i < 2 && sound; ++i) sound = Publish(deployment, infs[i], kPackageNames[i], answers[i]);
  sound = sound && UpdateDevices(deployment, usbInf, modelsSection);
  const StoreReport after = package::ReadStore(networkInf, usbInf, &IsOwned);
  const bool stored = sound && (answers[0] == ERROR_SUCCESS || answers[0] == ERROR_ALREADY_EXISTS) &&
                      (answers[1] == ERROR_SUCCESS || answers[1] == ERROR_ALREADY_EXISTS) &&
                      after.status == package::kStatusBoth;
  if (!stored) {
    if (sound) Fail(L"deploy: the packages were not stored(%d, %d, %d)", answers[0], answers[1], after.status);
    Undo(deployment);
    return kFleetFailed;
  }
  // A copy that appeared while this run held the store, and that none of
  // its calls published, is another installer's.
  const std::vector<const CopyReport*> earlier = Copies(before);
  for (const CopyReport* copy : Copies(after)) {
    const bool known = std::any_of(earlier.begin(), earlier.end(), [&](const CopyReport* found) {
      return SameText(found->copy.publishedName, copy->copy.publishedName);
    });
    if (known || copy->owned) continue;
    diag::TraceLine(L"deploy: %s appeared during the run, and none of its calls published it: left",
                    copy->copy.publishedName);
    run.Left(copy->copy.publishedName);
  }
  DWORD marked = ERROR_SUCCESS;
  if ((options.adoptEarlier && !Adopt(deployment, after)) ||
      (marked = MarkDeployed(L"" MDS_FILE_VERSION)) != ERROR_SUCCESS) {
    if (marked != ERROR_SUCCESS) Fail(L"deploy: the deployment marker cannot be written(%d)", marked);
    Undo(deployment);
    return kFleetFailed;
  }
  Prune(deployment, after);
  return deployment.reboot || after.restartPending ? kFleetRestart : kFleetDone;
}

int UndeployLocked(const Library& library, const wchar_t* networkInf, const wchar_t* usbInf,
                   const UndeployOptions& options, FleetRun& run) {
  Sys().SetupSetNonInteractiveMode(TRUE);
  std::vector<OwnedCopy> records;
  std::vector<std::wstring> unknown;
  if (!SettleJournal(networkInf, usbInf) || !CheckRecords(records, unknown, true)) return kFleetFailed;
  const StoreReport store = package::ReadStore(networkInf, usbInf);
  if (!store.storeRead) {
    Fail(L"undeploy: the driver store cannot be read");
    return kFleetFailed;
  }
  // A copy that cannot be told stays with its record, and the run fails, so
  // that a later run takes it out.
  bool failed = false;
  BOOL reboot = FALSE;
  std::vector<std::wstring> kept;
  for (const OwnedCopy& record : records) {
    if (Listed(unknown, record.publishedName)) {
      failed = true;
      run.Left(record.publishedName);
      continue;
    }
    if (!options.runId.empty() && record.run != options.runId) {
      kept.push_back(record.publishedName);
      continue;
    }
    // Undoing one run gives back what it adopted; a removal takes it out.
    if (!options.runId.empty() && record.adopted) {
      const DWORD dropped = DropOwnedCopy(record.publishedName);
      if (dropped != ERROR_SUCCESS) {
        Fail(L"undeploy: the ownership record of %s cannot be dropped(%d)", record.publishedName, dropped);
        failed = true;
      }
      kept.push_back(record.publishedName);
      continue;
    }
    if (RemoveOwned(library, record, reboot)) {
      run.Removed(record.publishedName);
    } else {
      failed = true;
      run.Left(record.publishedName);
    }
  }
  for (const CopyReport* copy : Copies(store)) {
    const bool ours = std::any_of(records.begin(), records.end(), [&](const OwnedCopy& record) {
      return SameText(record.publishedName, copy->copy.publishedName);
    });
    if (ours && (!Listed(kept, copy->copy.publishedName) || Listed(unknown, copy->copy.publishedName))) continue;
    diag::TraceLine(
        ours ? L"undeploy: %s is not this run's, left" : L"undeploy: %s was not added by a deployment, left",
        copy->copy.publishedName);
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
    Fail(L"%s: the store is busy(%d)", name, lock.status());
    return run.Finish(kFleetBusy);
  }
  return run.Finish(work(library));
}

}  // namespace

int Deploy(const wchar_t* networkInf, const wchar_t* usbInf, const wchar_t* modelsSection,
           const DeployOptions& options) {
  FleetRun run(options.adoptEarlier ? L"/deploy /adopt" : L"/deploy",
               options.runId.empty() ? NewRunId() : options.runId);
  if (!NativeX64()) {
    Fail(L"deploy: this PC is not an x64 one; the driver cannot load on it");
    return run.Finish(kFleetFailed);
  }
  for (const wchar_t* inf : {networkInf, usbInf}) {
    if (difx::FilePresence(inf) != difx::Presence::kPresent) {
      Fail(L"deploy: the driver package's INF is not on the disk: %s", inf);
      return run.Finish(kFleetFailed);
    }
  }
  return LockedRun(run, L"deploy", [&](const Library& library) {
    // 0.2.x kept no ownership records: its commands' record of an install
    // counts as a caller's word, until a deployment has run here.
    DeployOptions effective = options;
    if (!effective.adoptEarlier && !DeployedBefore() && !OwnershipKeyExists() && EarlierInstallRecorded()) {
      diag::TraceLine(L"deploy: the earlier commands' record tells of their install: its copies are taken as owned");
      effective.adoptEarlier = true;
    }
    return DeployLocked(library, networkInf, usbInf, modelsSection, effective, run);
  });
}

int Undeploy(const wchar_t* networkInf, const wchar_t* usbInf, const UndeployOptions& options) {
  FleetRun run(L"/undeploy", options.runId);
  return LockedRun(run, L"undeploy",
                   [&](const Library& library) { return UndeployLocked(library, networkInf, usbInf, options, run); });
}

}  // namespace fleet
