// "/status": the library's path query for each package, under the store
// lock, so that the answer is a settled store and not another run's half-way.
#include "package/store_status.h"

#include <string>
#include <vector>

#include "diag/lock_wait.h"
#include "diag/trace.h"
#include "package/difx_library.h"
#include "platform/handles.h"
#include "platform/store_lock.h"

namespace package {
namespace {

using platform::Sys;

enum class Stored { kYes, kNo, kInfMissing, kUnknown };

// A store path longer than the buffer is asked for again with the room the
// library names, up to the longest path Windows has.
constexpr DWORD kLongestPath = 32768;

Stored AskStore(DriverPackageGetPathWFn getPath, const wchar_t* inf, const wchar_t* package) {
  std::vector<wchar_t> storePath(MAX_PATH, L'\0');
  DWORD count = MAX_PATH;
  DWORD status = getPath(inf, storePath.data(), &count);
  if (status == ERROR_INSUFFICIENT_BUFFER && count > storePath.size() && count <= kLongestPath) {
    storePath.assign(count, L'\0');
    status = getPath(inf, storePath.data(), &count);
  }
  storePath.back() = L'\0';
  switch (status) {
    case ERROR_SUCCESS:
      diag::TraceLine(L"status %s: stored, %s", package, storePath.data());
      return Stored::kYes;
    case ERROR_DRIVER_PACKAGE_NOT_IN_STORE:
      diag::TraceLine(L"status %s: not stored", package);
      return Stored::kNo;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      diag::TraceLine(L"status %s: inf file not found(%d), %s", package, status, inf);
      return Stored::kInfMissing;
    default:
      diag::TraceLine(L"status %s: cannot tell(%d)", package, status);
      return Stored::kUnknown;
  }
}

int Verdict(Stored network, Stored usb) {
  if (network == Stored::kInfMissing || usb == Stored::kInfMissing) return kStatusInfMissing;
  if (network == Stored::kUnknown || usb == Stored::kUnknown) return kStatusUnreadable;
  if (network == Stored::kYes) return usb == Stored::kYes ? kStatusBoth : kStatusNetworkOnly;
  return usb == Stored::kYes ? kStatusUsbOnly : kStatusNeither;
}

}  // namespace

int StoreStatus(const wchar_t* networkInf, const wchar_t* usbInf) {
  const std::wstring libraryPath = DifxLibraryPath();
  platform::unique_library difx(Sys().LoadLibraryW(libraryPath.c_str()));
  if (!difx) {
    const DWORD error = Sys().GetLastError();
    diag::TraceLine(L"status: LoadLirary failed(%d), %s", error, libraryPath);
    return kStatusNoLibrary;
  }
  const DifxEntries entries = LookUpDifxEntries(difx.get());
  if (entries.getPath == nullptr) {
    const DWORD error = Sys().GetLastError();
    diag::TraceLine(L"status: GetProcAddress DriverPackageGetPath failed(%d)", error);
    return kStatusNoLibrary;
  }

  const platform::StoreLock lock(kStatusLockWaitMs, &diag::kTracedLockWait);
  if (lock.status() != ERROR_SUCCESS) {
    diag::TraceLine(L"status: the store is busy(%d)", lock.status());
    return kStatusBusy;
  }
  const Stored network = AskStore(entries.getPath, networkInf, L"netaapl");
  const Stored usb = AskStore(entries.getPath, usbInf, L"usbaapl");
  return Verdict(network, usb);
}

}  // namespace package
