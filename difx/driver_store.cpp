// The driver store as difxapi_x64.dll keeps it, built on SetupAPI: the
// system decides what is stored. SetupCopyOEMInfW publishes a package's INF
// into the system INF folder, or names the identical copy it published
// before; SetupUninstallOEMInfW takes a published copy out again. Each entry
// point also leaves its status code as the thread's last error.
#include "driver_store.h"

#include <cwchar>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "inf_store.h"
#include "platform/handles.h"
#include "platform/store_lock.h"

namespace difx {
namespace {

using platform::Sys;

DWORD Finish(DWORD status) {
  ::SetLastError(status);
  return status;
}

// Preinstall and uninstall each look at the system INF folder and then change
// it. Two processes doing that at once could both find no copy and both make
// one, so each takes the store lock first.
template <typename Work>
DWORD WithStoreLocked(Work work) {
  const platform::StoreLock lock(platform::kStoreLockWaitMs);
  return lock.status() == ERROR_SUCCESS ? work() : lock.status();
}

// Runs one entry point's work; nothing may leave the library as an exception.
template <typename Work>
DWORD Guarded(Work work) {
  try {
    return Finish(work());
  } catch (const std::bad_alloc&) {
    return Finish(ERROR_NOT_ENOUGH_MEMORY);
  } catch (...) {
    return Finish(ERROR_GEN_FAILURE);
  }
}

// The package's INF as a full path, or why there is none to work with:
// `missing` only when the system says there is no such file. Any other
// failure passes its own reason on, since the caller may read "file not
// found" as a verdict on the package.
DWORD PackageInf(PCWSTR infPath, DWORD missing, std::wstring& inf) {
  if (infPath == nullptr) return ERROR_INVALID_PARAMETER;
  inf = FullPath(infPath);
  if (inf.empty()) return LastFailure();
  const Presence presence = FilePresence(inf);
  return presence == Presence::kPresent ? ERROR_SUCCESS : presence == Presence::kAbsent ? missing : LastFailure();
}

// True when the INF names a catalog (the entry for x64 systems, else the
// plain one) and no file of that name stands beside it. An INF that cannot be
// read, or names none, says nothing of its catalog.
bool CatalogMissing(const std::wstring& inf) {
  const platform::unique_hinf file(Sys().SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
  if (!file) return false;
  static const wchar_t* const kCatalogKeys[] = {L"CatalogFile.NTamd64", L"CatalogFile.NT", L"CatalogFile"};
  for (const wchar_t* key : kCatalogKeys) {
    INFCONTEXT line = {};
    if (!Sys().SetupFindFirstLineW(file.get(), L"Version", key, &line)) continue;
    wchar_t name[MAX_PATH] = {};
    if (!Sys().SetupGetStringFieldW(&line, 1, name, MAX_PATH, nullptr) || name[0] == L'\0') return false;
    const std::wstring catalog = inf.substr(0, inf.size() - FileName(inf).size()) + name;
    return FilePresence(catalog) == Presence::kAbsent;
  }
  return false;
}

DWORD PreinstallLocked(const std::wstring& inf) {
  // The system alone says whether the package is there already: it compares
  // the INF and its catalog with the copies it published, and with
  // SP_COPY_NOOVERWRITE names the one that matches instead of copying again.
  wchar_t copy[MAX_PATH] = {};
  if (Sys().SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, copy, MAX_PATH, nullptr, nullptr)) {
    return ERROR_SUCCESS;
  }
  const DWORD error = LastFailure();
  if (error == ERROR_FILE_EXISTS) return ERROR_ALREADY_EXISTS;
  // A package whose catalog is not beside its INF cannot be stored, whatever
  // the copy answered for it (Wine answers "file not found"); any other
  // failure is the system's own, passed on.
  return CatalogMissing(inf) ? ERROR_NO_CATALOG_FOR_OEM_INF : error;
}

DWORD GetPathOf(PCWSTR infPath, PWSTR storePath, DWORD* count) {
  if (count == nullptr) return ERROR_INVALID_PARAMETER;
  std::wstring inf;
  const DWORD status = PackageInf(infPath, ERROR_FILE_NOT_FOUND, inf);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::wstring> copies;
  DWORD unreadable = ERROR_SUCCESS;
  const DWORD found = FindPackageCopies(inf, copies, unreadable);
  if (found != ERROR_SUCCESS) return found;
  if (copies.empty()) return unreadable != ERROR_SUCCESS ? unreadable : ERROR_DRIVER_PACKAGE_NOT_IN_STORE;

  const std::wstring& copy = copies.front();
  const DWORD room = *count;
  const DWORD needed = static_cast<DWORD>(copy.size() + 1);
  *count = needed;
  if (storePath == nullptr || room < needed) return ERROR_INSUFFICIENT_BUFFER;
  std::wmemcpy(storePath, copy.c_str(), copy.size());
  storePath[copy.size()] = L'\0';
  return ERROR_SUCCESS;
}

// Asks the system to take one copy out; ERROR_SUCCESS when it says it did.
// Forced, the devices installed from it must not be left on a driver that
// is gone: where newdev.dll has DiUninstallDriverW (Windows 10 version 1703
// on), it moves each such device to another driver, or to none, and then
// removes the copy. Elsewhere the forced SetupUninstallOEMInfW takes the copy
// out from under its devices, which is all such a system offers. Unforced, a
// copy in use is refused, as the flag asks.
DWORD RemoveCopy(const std::wstring& copy, DWORD flags, BOOL& needsReboot) {
  const bool forced = (flags & DRIVER_PACKAGE_FORCE) != 0;
  if (forced) {
    BOOL reboot = FALSE;
    if (Sys().DiUninstallDriverW(nullptr, copy.c_str(), 0, &reboot)) {
      if (reboot) needsReboot = TRUE;
      return ERROR_SUCCESS;
    }
    const DWORD error = LastFailure();
    if (error != ERROR_PROC_NOT_FOUND && error != ERROR_MOD_NOT_FOUND) return error;
  }
  const std::wstring name = FileName(copy);
  if (!Sys().SetupUninstallOEMInfW(name.c_str(), forced ? SUOI_FORCEDELETE : 0, nullptr)) return LastFailure();
  return ERROR_SUCCESS;
}

// `inf` is either a copy in the system INF folder or the package's own INF.
// Every copy is tried, even after the system refused one, so that success
// means none is left; a refusal counts only for a copy still there.
DWORD UninstallLocked(const std::wstring& inf, DWORD flags, BOOL& needsReboot) {
  std::vector<std::wstring> copies;
  DWORD unreadable = ERROR_SUCCESS;
  const DWORD found = FindPackageCopies(inf, copies, unreadable);
  if (found != ERROR_SUCCESS) return found;
  if (copies.empty()) return unreadable != ERROR_SUCCESS ? unreadable : ERROR_DRIVER_PACKAGE_NOT_IN_STORE;

  std::vector<DWORD> answers;
  answers.reserve(copies.size());
  for (const std::wstring& copy : copies) answers.push_back(RemoveCopy(copy, flags, needsReboot));
  DWORD status = unreadable;
  for (std::size_t i = 0; i < copies.size(); ++i) {
    const Presence presence = FilePresence(copies[i]);
    if (presence == Presence::kAbsent) {
      // Not every system takes the precompiled INF away with its INF; one
      // left behind is harmless, so its removal is not checked.
      const std::wstring precompiled = PrecompiledInf(copies[i]);
      if (!precompiled.empty()) Sys().DeleteFileW(precompiled.c_str());
      continue;
    }
    // Still there (or nobody can say): the system's refusal, or, when it
    // claimed success and kept the copy (Wine does so without
    // SUOI_FORCEDELETE), the copy is in use.
    if (status == ERROR_SUCCESS) status = answers[i] != ERROR_SUCCESS ? answers[i] : ERROR_INF_IN_USE_BY_DEVICES;
  }
  return status;
}

}  // namespace

DWORD WINAPI Preinstall(PCWSTR infPath, DWORD flags) {
  // No flag changes what this library does: it neither repairs, forces nor
  // waits for a device. (Where a desktop is there to show it, the system's
  // copy may still ask whether to trust a package's publisher.)
  (void)flags;
  return Guarded([&] {
    std::wstring inf;
    const DWORD status = PackageInf(infPath, ERROR_FILE_NOT_FOUND, inf);
    return status != ERROR_SUCCESS ? status : WithStoreLocked([&] { return PreinstallLocked(inf); });
  });
}

DWORD WINAPI GetPath(PCWSTR infPath, PWSTR storePath, DWORD* count) {
  return Guarded([&] { return GetPathOf(infPath, storePath, count); });
}

DWORD WINAPI Uninstall(PCWSTR infPath, DWORD flags, PCINSTALLERINFO_W installerInfo, BOOL* needsReboot) {
  // No programs list entry is kept, so the installer info has nothing to match.
  // A restart is needed only when the system says so for a device it moved.
  (void)installerInfo;
  BOOL reboot = FALSE;
  const DWORD result = Guarded([&] {
    std::wstring inf;
    const DWORD status = PackageInf(infPath, ERROR_DRIVER_PACKAGE_NOT_IN_STORE, inf);
    return status != ERROR_SUCCESS ? status : WithStoreLocked([&] { return UninstallLocked(inf, flags, reboot); });
  });
  if (needsReboot != nullptr) *needsReboot = reboot;
  return result;
}

// The tool calls these through its own prototypes; both must stay in step.
static_assert(std::is_same<decltype(&Preinstall), package::DriverPackagePreinstallWFn>::value, "Preinstall");
static_assert(std::is_same<decltype(&GetPath), package::DriverPackageGetPathWFn>::value, "GetPath");
static_assert(std::is_same<decltype(&Uninstall), package::DriverPackageUninstallWFn>::value, "Uninstall");

}  // namespace difx
