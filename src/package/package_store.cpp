// "/i" and "/u": the two driver packages into and out of the driver store,
// through difxapi_x64.dll loaded from the executable's folder.
#include "package/package_store.h"

#include <algorithm>
#include <string>

#include "device/driver_update.h"
#include "diag/lock_wait.h"
#include "diag/log.h"
#include "package/difx_library.h"
#include "platform/handles.h"
#include "platform/store_lock.h"

namespace package {
namespace {

using platform::Sys;

// "/i" results.
constexpr int kPreinstalled = 1;
constexpr int kAlreadyInStore = 2;
// "/u" results.
constexpr int kRemoved = 1;
constexpr int kInfMissing = 4;
constexpr int kKeptInStore = 0;

constexpr DWORD kNoFlags = 0;
constexpr DWORD kUninstallFlags = DRIVER_PACKAGE_DELETE_FILES | DRIVER_PACKAGE_FORCE;

// The store path buffer and its count, shared by the two packages' path
// queries; the needs-reboot flag is handed to the library and never read.
struct StoreQuery {
  wchar_t storePath[MAX_PATH] = {};
  DWORD count = MAX_PATH;
  BOOL needsReboot = FALSE;

  void Reset() {
    std::fill(storePath, storePath + MAX_PATH, L'\0');
    count = MAX_PATH;
  }
};

// Asks for the package's path in the store. A path that filled the whole
// buffer is cut to fit, so nothing reads past it.
DWORD QueryStorePath(DriverPackageGetPathWFn getPath, const wchar_t* inf, StoreQuery& query) {
  const DWORD status = getPath(inf, query.storePath, &query.count);
  query.storePath[MAX_PATH - 1] = L'\0';
  return status;
}

// One preinstall. A run that could not have the store lock waits for it
// again first, in the library's stead: the library would wait as long, and
// its wait says nothing in the log. Had now, the lock is kept to the end of
// the run's store work, and the library's own take of it is immediate. Held
// elsewhere still, the library is not asked (it would only wait once more):
// the failed wait is the answer. `error` is the thread's last error after
// the call, or that failure.
DWORD Preinstall(DriverPackagePreinstallWFn preinstall, const wchar_t* inf, platform::StoreLock& lock, DWORD& error) {
  error = lock.WaitAgain(platform::kStoreLockWaitMs, &diag::kLoggedLockWait);
  if (error != ERROR_SUCCESS) return error;
  const DWORD status = preinstall(inf, kNoFlags);
  error = Sys().GetLastError();
  return status;
}

// Both preinstalls, with the library loaded only for them. Returns the
// USB package's outcome.
int PreinstallPackages(const wchar_t* networkInf, const wchar_t* usbInf, platform::StoreLock& lock) {
  const std::wstring libraryPath = DifxLibraryPath();
  platform::unique_library difx(Sys().LoadLibraryW(libraryPath.c_str()));
  if (!difx) return 0;
  const DriverPackagePreinstallWFn preinstall = LookUpPreinstall(difx.get());
  if (preinstall == nullptr) return 0;

  DWORD error = ERROR_SUCCESS;
  const DWORD networkStatus = Preinstall(preinstall, networkInf, lock, error);
  if (networkStatus == ERROR_SUCCESS) {
    diag::LogLine(L"DriverPackagePreinstall netaapl successed !");
  } else if (networkStatus == ERROR_ALREADY_EXISTS) {
    diag::LogLine(L"DriverPackagePreinstall netaapl alread exist !");
  } else {
    diag::LogLine(L"DriverPackagePreinstall netaapl FAILED(%d)", error);
  }

  const DWORD usbStatus = Preinstall(preinstall, usbInf, lock, error);
  if (usbStatus == ERROR_SUCCESS) {
    diag::LogLine(L"DriverPackagePreinstall usbaapl successed !");
    return kPreinstalled;
  }
  if (usbStatus == ERROR_ALREADY_EXISTS) {
    diag::LogLine(L"DriverPackagePreinstall usbaapl alread exist !");
    return kAlreadyInStore;
  }
  diag::LogLine(L"DriverPackagePreinstall usbaapl failed(%d)", error);
  return static_cast<int>(usbStatus);
}

// The probe is a preinstall: answering 0, it has just put a package into the
// store that was not there. A removal must not leave behind what it added,
// so that copy goes again at once.
void UndoProbe(const DifxEntries& difx, const wchar_t* inf, const wchar_t* package, StoreQuery& query) {
  query.Reset();
  DWORD error = ERROR_PROC_NOT_FOUND;  // without both entry points, the library can neither find nor remove it
  if (difx.getPath != nullptr && difx.uninstall != nullptr) {
    if (QueryStorePath(difx.getPath, inf, query) == ERROR_SUCCESS &&
        difx.uninstall(query.storePath, kUninstallFlags, nullptr, &query.needsReboot) == ERROR_SUCCESS) {
      diag::LogLine(L"%s was not in store, probe's copy removed", package);
      return;
    }
    error = Sys().GetLastError();  // of whichever call failed
  }
  diag::LogLine(L"%s was not in store, probe's copy NOT removed(%d)", package, error);
}

// The network package: removed when the probe finds it in the store, and
// the probe's own copy removed when it did not. Nothing here changes the result.
void RemoveNetworkPackage(const DifxEntries& difx, const wchar_t* inf, StoreQuery& query) {
  const DWORD probe = difx.preinstall(inf, kNoFlags);
  if (probe == ERROR_SUCCESS) UndoProbe(difx, inf, L"netaapl", query);
  if (probe != ERROR_ALREADY_EXISTS) return;
  diag::LogLine(L"netappl already exist: %ld", probe);
  if (difx.getPath == nullptr) return;

  if (QueryStorePath(difx.getPath, inf, query) != ERROR_SUCCESS) {
    const DWORD error = Sys().GetLastError();
    diag::LogLine(L"DriverPackageGetPath netaapl failed(%d)", error);
    return;
  }
  diag::LogLine(L"inf net path: %s\n", query.storePath);
  if (difx.uninstall == nullptr) return;

  if (difx.uninstall(query.storePath, kUninstallFlags, nullptr, &query.needsReboot) == ERROR_SUCCESS) {
    diag::LogLine(L"DriverPackageUninstall netaapl successed !");
  } else {
    const DWORD error = Sys().GetLastError();
    diag::LogLine(L"DriverPackageUninstall netaapl failed(%d)", error);
  }
}

// The USB package: its outcome is the result of "/u".
int RemoveUsbPackage(const DifxEntries& difx, const wchar_t* inf, StoreQuery& query) {
  const DWORD probe = difx.preinstall(inf, kNoFlags);
  if (probe == ERROR_FILE_NOT_FOUND) {
    const DWORD error = Sys().GetLastError();
    diag::LogLine(L"Driver's inf file not found, failed(%d)", error);
    return kInfMissing;
  }
  // 0 stays the result: the package was not in the store.
  if (probe == ERROR_SUCCESS) UndoProbe(difx, inf, L"usbaapl", query);
  if (probe != ERROR_ALREADY_EXISTS) return static_cast<int>(probe);
  diag::LogLine(L"usbappl already exist: %ld", probe);
  if (difx.getPath == nullptr) return ERROR_ALREADY_EXISTS;

  query.Reset();
  const DWORD pathStatus = QueryStorePath(difx.getPath, inf, query);
  if (pathStatus != ERROR_SUCCESS) {
    const DWORD error = Sys().GetLastError();
    diag::LogLine(L"DriverPackageGetPath usbaapl failed(%d)", error);
    return static_cast<int>(pathStatus);
  }
  diag::LogLine(L"inf usb path: %s\n", query.storePath);
  if (difx.uninstall == nullptr) return kKeptInStore;

  if (difx.uninstall(query.storePath, kUninstallFlags, nullptr, &query.needsReboot) == ERROR_SUCCESS) {
    diag::LogLine(L"DriverPackageUninstall usbaapl successed !\n");
    return kRemoved;
  }
  const DWORD error = Sys().GetLastError();
  diag::LogLine(L"DriverPackageUninstall usbaapl err: %ld \n", error);
  return kKeptInStore;
}

}  // namespace

int InstallDrviver(const wchar_t* networkInf, const wchar_t* usbInf, const wchar_t* modelsSection) {
  diag::LogLine(L"\nEnter InstallDrviver...");
  // One step for every other run of the tool, from the first preinstall to
  // the end of the device update. A run that cannot have the lock waits for
  // it again before each preinstall, and its device update goes ahead with
  // the lock or without it.
  platform::StoreLock lock(platform::kStoreLockWaitMs, &diag::kLoggedLockWait);
  const int result = PreinstallPackages(networkInf, usbInf, lock);
  // The library is given back by now; the device update's outcome is not ours.
  device::UpdateDevice(usbInf, modelsSection);
  return result;
}

int UnloadDriver(const wchar_t* networkInf, const wchar_t* usbInf) {
  diag::LogLine(L"\nEnter UnloadDriver...");
  const std::wstring libraryPath = DifxLibraryPath();
  platform::unique_library difx(Sys().LoadLibraryW(libraryPath.c_str()));
  if (!difx) {
    const DWORD error = Sys().GetLastError();
    diag::LogLine(L"LoadLirary failed(%d)", error);
    return 0;
  }

  const DifxEntries entries = LookUpDifxEntries(difx.get());
  if (entries.preinstall == nullptr) {
    const DWORD error = Sys().GetLastError();
    diag::LogLine(L"GetProcAddress DriverPackagePreinstall failed(%d)\ncan not get inf path\n", error);
    return 0;
  }

  // One step for every other run of the tool, from the first probe to the
  // last removal, so that no run removes a package between another's probe
  // and its removal. Without the lock, each probe would wait for it in turn
  // and answer ERROR_TIMEOUT, the USB probe's answer being the result: that
  // answer comes at once instead of after the same waits again.
  const platform::StoreLock lock(platform::kStoreLockWaitMs, &diag::kLoggedLockWait);
  if (lock.status() != ERROR_SUCCESS) return static_cast<int>(lock.status());
  StoreQuery query;
  RemoveNetworkPackage(entries, networkInf, query);
  return RemoveUsbPackage(entries, usbInf, query);
}

}  // namespace package
