// "/status" and "/inventory": the store read by identity, under the store
// lock, so that the answer is a settled store and not another run's half-way.
#include "package/store_status.h"

#include <string>
#include <vector>

#include "device/driver_bindings.h"
#include "diag/lock_wait.h"
#include "diag/trace.h"
#include "inf_store.h"
#include "package/difx_library.h"
#include "platform/handles.h"
#include "platform/store_lock.h"

namespace package {
namespace {

using platform::Sys;

// What a package is known by when its INF is not on the disk to say: its
// own INF name, the catalog of the same name, and its device setup class.
difx::PackageIdentity KnownIdentity(const std::wstring& inf, const wchar_t* classGuid) {
  difx::PackageIdentity identity;
  identity.infName = difx::FileName(inf);
  const std::size_t dot = identity.infName.find_last_of(L'.');
  identity.catalogName = identity.infName.substr(0, dot) + L".cat";
  identity.classGuid = classGuid;
  return identity;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return Sys().CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

constexpr wchar_t kNetClass[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr wchar_t kUsbClass[] = L"{36FC9E60-C465-11CF-8056-444553540000}";

// The copies of both packages, each with whether it is the package on the
// disk today and the devices installed from it. False when the store could
// not be read.
bool ReadCopies(StoreReport& report, const difx::Presence (&infs)[2], OwnedTest owned) {
  std::vector<difx::PackageIdentity> identities;
  for (PackageReport& package : report.packages) {
    difx::PackageIdentity identity = KnownIdentity(package.inf, &package == report.packages ? kNetClass : kUsbClass);
    if (infs[&package - report.packages] == difx::Presence::kPresent) difx::ReadPackageIdentity(package.inf, identity);
    identities.push_back(identity);
  }
  difx::StoreContents contents;
  const DWORD status = difx::ReadStoreCopies(identities, contents);
  if (status != ERROR_SUCCESS) {
    diag::TraceLine(L"status: the driver store cannot be read(%d)", status);
    return false;
  }
  report.storeRead = true;
  report.unreadable = contents.unreadable;
  for (const difx::StoreContents::Unreadable& file : contents.unreadable) {
    diag::TraceLine(L"status: %s cannot be read(%d), left out", file.name, file.error);
  }
  std::vector<device::DriverBinding> bindings;
  const DWORD devicesStatus = contents.copies.empty() ? ERROR_SUCCESS : device::ReadDriverBindings(bindings);
  report.devicesRead = devicesStatus == ERROR_SUCCESS;
  if (!report.devicesRead) diag::TraceLine(L"status: the devices cannot be read(%d)", devicesStatus);

  for (difx::StoreCopy& copy : contents.copies) {
    PackageReport& package = report.packages[copy.package];
    CopyReport entry;
    entry.owned = owned != nullptr && owned(copy, package.package);
    if (infs[copy.package] == difx::Presence::kPresent) {
      bool same = false;
      entry.current = difx::SameBytesAs(copy.path, package.inf, same) != ERROR_SUCCESS ? Known::kUnknown
                      : same                                                           ? Known::kYes
                                                                                       : Known::kNo;
    }
    for (const device::DriverBinding& binding : bindings) {
      if (SameText(difx::FileName(binding.infName), copy.publishedName)) {
        entry.devices.push_back(binding.instanceId);
        report.restartPending = report.restartPending || binding.restartPending;
      }
    }
    const wchar_t* const kCurrent[] = {L"not current", L"current", L"current unknown"};
    diag::TraceLine(L"status %s: copy %s from %s, version %s, %s, %lu devices", package.tag, copy.publishedName,
                    copy.originalName, copy.driverVersion, kCurrent[static_cast<int>(entry.current)],
                    static_cast<unsigned long>(entry.devices.size()));
    entry.copy = std::move(copy);
    package.copies.push_back(std::move(entry));
  }
  return true;
}

// What the store holds of one package: the package as it is on the disk
// today (one line), and, with its INF gone, any copy of it.
enum class Stored { kYes, kNo, kInfMissing, kUnknown };

Stored CurrentStored(const PackageReport& package, difx::Presence inf) {
  if (inf == difx::Presence::kAbsent) {
    diag::TraceLine(L"status %s: inf file not found(%d), %s", package.tag, ERROR_FILE_NOT_FOUND, package.inf);
    return Stored::kInfMissing;
  }
  bool unknown = inf == difx::Presence::kUnknown;
  for (const CopyReport& entry : package.copies) {
    if (entry.current == Known::kYes) {
      diag::TraceLine(L"status %s: stored, %s", package.tag, entry.copy.path);
      return Stored::kYes;
    }
    unknown = unknown || entry.current == Known::kUnknown;
  }
  if (unknown) {
    diag::TraceLine(L"status %s: cannot tell(%d)", package.tag, ERROR_CANT_ACCESS_FILE);
    return Stored::kUnknown;
  }
  diag::TraceLine(L"status %s: not stored", package.tag);
  return Stored::kNo;
}

// With both INFs on the disk, whether the packages as they are there today
// are stored; with one missing, the copies of each, whatever their version.
// A missing INF is told before an unreadable one: the copies answer for it.
int Verdict(const StoreReport& report, const difx::Presence (&infs)[2]) {
  if (!report.storeRead) return kStatusUnreadable;
  const Stored network = CurrentStored(report.packages[0], infs[0]);
  const Stored usb = CurrentStored(report.packages[1], infs[1]);
  if (network == Stored::kInfMissing || usb == Stored::kInfMissing) {
    const bool networkCopies = !report.packages[0].copies.empty(), usbCopies = !report.packages[1].copies.empty();
    if (networkCopies) return usbCopies ? kStatusBothCopies : kStatusNetworkCopiesOnly;
    return usbCopies ? kStatusUsbCopiesOnly : kStatusNoCopies;
  }
  if (network == Stored::kUnknown || usb == Stored::kUnknown) return kStatusUnreadable;
  if (network == Stored::kYes) return usb == Stored::kYes ? kStatusBoth : kStatusNetworkOnly;
  return usb == Stored::kYes ? kStatusUsbOnly : kStatusNeither;
}

// A report that names both packages and their INFs, and has read nothing yet.
StoreReport NewReport(const wchar_t* networkInf, const wchar_t* usbInf, difx::Presence (&infs)[2]) {
  StoreReport report;
  report.packages[0].package = L"network";
  report.packages[0].tag = L"netaapl";
  report.packages[0].inf = networkInf;
  report.packages[1].package = L"usb";
  report.packages[1].tag = L"usbaapl";
  report.packages[1].inf = usbInf;
  for (int i = 0; i < 2; ++i) {
    infs[i] = difx::FilePresence(report.packages[i].inf);
    report.packages[i].infPresent = infs[i] == difx::Presence::kPresent;
  }
  return report;
}

}  // namespace

StoreReport ReadStore(const wchar_t* networkInf, const wchar_t* usbInf, OwnedTest owned) {
  difx::Presence infs[2];
  StoreReport report = NewReport(networkInf, usbInf, infs);
  ReadCopies(report, infs, owned);
  report.status = Verdict(report, infs);
  return report;
}

StoreReport ReadStoreReport(const wchar_t* networkInf, const wchar_t* usbInf, OwnedTest owned) {
  difx::Presence infs[2];
  StoreReport report = NewReport(networkInf, usbInf, infs);

  const std::wstring libraryPath = DifxLibraryPath();
  platform::unique_library difx(Sys().LoadLibraryW(libraryPath.c_str()));
  if (!difx) {
    const DWORD error = Sys().GetLastError();
    diag::TraceLine(L"status: LoadLirary failed(%d), %s", error, libraryPath);
    report.status = kStatusNoLibrary;
    return report;
  }
  // The library is not asked: the store is read here, by the same code that
  // the library uses. A library that could not answer counts all the same,
  // as every other switch would fail with it.
  const DifxEntries entries = LookUpDifxEntries(difx.get());
  if (entries.getPath == nullptr) {
    const DWORD error = Sys().GetLastError();
    diag::TraceLine(L"status: GetProcAddress DriverPackageGetPath failed(%d)", error);
    report.status = kStatusNoLibrary;
    return report;
  }

  const platform::StoreLock lock(kStatusLockWaitMs, &diag::kTracedLockWait);
  if (lock.status() != ERROR_SUCCESS) {
    diag::TraceLine(L"status: the store is busy(%d)", lock.status());
    report.status = kStatusBusy;
    return report;
  }
  return ReadStore(networkInf, usbInf, owned);
}

int StoreStatus(const wchar_t* networkInf, const wchar_t* usbInf, OwnedTest owned) {
  return ReadStoreReport(networkInf, usbInf, owned).status;
}

}  // namespace package
