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

#include "diag/line.h"
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

// `copy` gets the published INF's path: the one made now (ERROR_SUCCESS) or
// the identical one the store held (ERROR_ALREADY_EXISTS).
DWORD PreinstallLocked(const std::wstring& inf, std::wstring& copy) {
  // The system alone says whether the package is there already: it compares
  // the INF and its catalog with the copies it published, and with
  // SP_COPY_NOOVERWRITE names the one that matches instead of copying again.
  wchar_t published[MAX_PATH] = {};
  if (Sys().SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, published, MAX_PATH, nullptr,
                             nullptr)) {
    copy = published;
    return ERROR_SUCCESS;
  }
  const DWORD error = LastFailure();
  copy = published;
  return error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error;
}

// The package INF's own name for each published copy that GetPath named for
// it in this process, newest last. The system keeps no record of it that
// every system gives (Wine's SetupQueryInfOriginalFileInformationW answers
// the copy's own name), and an uninstall by a copy's path must still find
// the copy that Wine keeps under the package's own name. The tool asks
// GetPath for the path it then uninstalls, from its one thread.
struct NamedCopy {
  std::wstring copy, packageName;
};
std::vector<NamedCopy> g_namedCopies;
constexpr std::size_t kNamedCopiesKept = 8;

void RememberName(const std::wstring& copy, const std::wstring& inf) {
  if (g_namedCopies.size() == kNamedCopiesKept) g_namedCopies.erase(g_namedCopies.begin());
  g_namedCopies.push_back({copy, FileName(inf)});
}

// The package's own name for `inf` when it is a copy that GetPath named,
// else empty.
std::wstring PackageNameOf(const std::wstring& inf) {
  for (auto named = g_namedCopies.rbegin(); named != g_namedCopies.rend(); ++named) {
    if (Sys().CompareStringOrdinal(named->copy.c_str(), -1, inf.c_str(), -1, TRUE) == CSTR_EQUAL) {
      return named->packageName;
    }
  }
  return std::wstring();
}

DWORD GetPathOf(PCWSTR infPath, PWSTR storePath, DWORD* count) {
  if (count == nullptr) return ERROR_INVALID_PARAMETER;
  std::wstring inf;
  const DWORD status = PackageInf(infPath, ERROR_FILE_NOT_FOUND, inf);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::wstring> copies;
  DWORD unreadable = ERROR_SUCCESS;
  const DWORD found = FindPackageCopies(inf, std::wstring(), copies, unreadable);
  if (found != ERROR_SUCCESS) return found;
  if (copies.empty()) return unreadable != ERROR_SUCCESS ? unreadable : ERROR_DRIVER_PACKAGE_NOT_IN_STORE;

  const std::wstring& copy = copies.front();
  RememberName(copy, inf);
  const DWORD room = *count;
  const DWORD needed = static_cast<DWORD>(copy.size() + 1);
  *count = needed;
  if (storePath == nullptr || room < needed) return ERROR_INSUFFICIENT_BUFFER;
  std::wmemcpy(storePath, copy.c_str(), copy.size());
  storePath[copy.size()] = L'\0';
  return ERROR_SUCCESS;
}

// Whether the tool's log is on: the marker stands beside the exe, as the
// tool looks for it. Only then does the library tell anything, so that
// without the marker nothing is written anywhere, the debugger channel
// included. Looked at once an uninstall, or a lock that cannot be had; the
// library runs on the tool's one thread.
bool g_telling = false;

bool LogMarkerThere() {
  wchar_t exe[MAX_PATH] = {};
  const DWORD length = Sys().GetModuleFileNameW(nullptr, exe, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::wstring marker(exe, length);
  const std::size_t slash = marker.find_last_of(L'\\');
  if (slash == std::wstring::npos) return false;
  marker.replace(slash + 1, std::wstring::npos, L"vezazez.cfg");
  return Sys().GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// One line to the debugger channel (the channel the tool's log lines also
// go to) for each attempt at a copy, and for a store lock it cannot have: the
// library keeps no log of its own, and the tool logs only the library's
// answers, not which way a removal went.
void Tell(const wchar_t* format, const diag::FormatArg* args, std::size_t count) {
  if (!g_telling) return;
  diag::Line line;
  const diag::FormatArg prefix[] = {L"difxapi_x64"};
  diag::ComposeLine(line, L"%s: ", prefix, 1, format, args, count);
  Sys().OutputDebugStringW(line.text);
}

// What one attempt at `copy` answered, told on the debugger channel and
// passed on.
DWORD Told(const std::wstring& copy, const wchar_t* attempt, DWORD status) {
  const diag::FormatArg args[] = {copy, attempt, status};
  Tell(L"%s: %s answered %lu", args, 3);
  return status;
}

// The lock's name taken: the work goes on without the lock, and says so.
void TellNameTaken(DWORD why) {
  g_telling = LogMarkerThere();
  const diag::FormatArg args[] = {why};
  Tell(
      L"the store lock's name is taken by another object or an untrusted owner, or cannot be opened(%lu): working "
      L"without the lock",
      args, 1);
}
const platform::StoreLockWatch kStoreLockWatch = {nullptr, nullptr, &TellNameTaken};

// Preinstall and uninstall each look at the system INF folder and then change
// it. Two processes doing that at once could both find no copy and both make
// one, so each takes the store lock first.
template <typename Work>
DWORD WithStoreLocked(Work work) {
  const platform::StoreLock lock(platform::kStoreLockWaitMs, &kStoreLockWatch);
  return lock.status() == ERROR_SUCCESS ? work() : lock.status();
}

// DiUninstallDriverW asks for "the fully qualified path of the INF file" and
// does not say of which copy. These two answers for a copy that is still
// there say that it did not take the path given, not that the removal failed.
bool RefusesThePath(DWORD error, const std::wstring& copy) {
  return (error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_PARAMETER) &&
         FilePresence(copy) == Presence::kPresent;
}

DWORD UninstallDriver(const std::wstring& path, BOOL& needsReboot) {
  BOOL reboot = FALSE;
  if (!Sys().DiUninstallDriverW(nullptr, path.c_str(), 0, &reboot)) return LastFailure();
  if (reboot) needsReboot = TRUE;
  return ERROR_SUCCESS;
}

// A forced removal through DiUninstallDriverW, which moves each device
// installed from the copy to another driver, or to none, before it removes
// the copy. Its path is tried as published, then as the driver store names
// it. False when it took neither form while the copy stayed; otherwise
// `status` is the answer, a failure included: the devices may be half moved,
// so the copy must not be pulled from under them.
bool UninstallDriverEitherPath(const std::wstring& copy, BOOL& needsReboot, DWORD& status) {
  status = Told(copy, L"DiUninstallDriverW with the published path", UninstallDriver(copy, needsReboot));
  if (!RefusesThePath(status, copy)) return true;
  std::wstring store;
  if (Told(copy, L"SetupGetInfDriverStoreLocationW", DriverStorePath(copy, store)) != ERROR_SUCCESS) return false;
  status = Told(copy, L"DiUninstallDriverW with the driver store path", UninstallDriver(store, needsReboot));
  return !RefusesThePath(status, copy);
}

// Asks the system to take one copy out; ERROR_SUCCESS when it says it did.
// Forced, the devices installed from it must not be left on a driver that
// is gone: where newdev.dll exports DiUninstallDriverW (Windows 10 version
// 1703 on), that removes the copy. Where it does not, or where it took
// neither form of the copy's path, the forced SetupUninstallOEMInfW takes
// the copy out from under its devices, which is all an older system offers
// and what every removal did before. Unforced, a copy in use is refused, as
// the flag asks.
DWORD RemoveCopy(const std::wstring& copy, DWORD flags, bool diUninstall, BOOL& needsReboot) {
  const bool forced = (flags & DRIVER_PACKAGE_FORCE) != 0;
  DWORD status = ERROR_SUCCESS;
  if (forced && diUninstall && UninstallDriverEitherPath(copy, needsReboot, status)) return status;
  const std::wstring name = FileName(copy);
  const BOOL removed = Sys().SetupUninstallOEMInfW(name.c_str(), forced ? SUOI_FORCEDELETE : 0, nullptr);
  return Told(copy, forced ? L"SetupUninstallOEMInfW with SUOI_FORCEDELETE" : L"SetupUninstallOEMInfW",
              removed ? ERROR_SUCCESS : LastFailure());
}

// `inf` is either a copy in the system INF folder or the package's own INF.
// Every copy is tried, even after the system refused one, so that success
// means none is left; a refusal counts only for a copy still there.
DWORD UninstallLocked(const std::wstring& inf, DWORD flags, BOOL& needsReboot) {
  std::vector<std::wstring> copies;
  DWORD unreadable = ERROR_SUCCESS;
  const DWORD found = FindPackageCopies(inf, PackageNameOf(inf), copies, unreadable);
  if (found != ERROR_SUCCESS) return found;
  if (copies.empty()) return unreadable != ERROR_SUCCESS ? unreadable : ERROR_DRIVER_PACKAGE_NOT_IN_STORE;

  g_telling = LogMarkerThere();
  // Decided once, by the loader: a failure of DiUninstallDriverW itself may
  // end in the same codes as a missing export (it runs class installers).
  const bool diUninstall =
      (flags & DRIVER_PACKAGE_FORCE) != 0 && platform::Exported<&platform::Calls::DiUninstallDriverW>();
  if ((flags & DRIVER_PACKAGE_FORCE) != 0 && !diUninstall) {
    Tell(L"newdev.dll has no DiUninstallDriverW: forced removals go through SetupUninstallOEMInfW", nullptr, 0);
  }
  std::vector<DWORD> answers;
  answers.reserve(copies.size());
  for (const std::wstring& copy : copies) answers.push_back(RemoveCopy(copy, flags, diUninstall, needsReboot));
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

// Takes out `copy` alone, forced: never the other copies with its bytes,
// which another installer may have published. ERROR_SUCCESS when it is gone.
DWORD RemoveExactly(const std::wstring& copy, BOOL& needsReboot) {
  std::wstring folder;
  DWORD status = SystemInfFolder(folder);
  if (status != ERROR_SUCCESS) return status;
  // Only a file straight in the system INF folder is a published INF.
  if (copy.size() <= folder.size() + 1 ||
      Sys().CompareStringOrdinal(copy.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                 static_cast<int>(folder.size()), TRUE) != CSTR_EQUAL ||
      copy[folder.size()] != L'\\' || copy.find(L'\\', folder.size() + 1) != std::wstring::npos) {
    return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  }
  const Presence before = FilePresence(copy);
  if (before == Presence::kAbsent) return static_cast<DWORD>(ERROR_DRIVER_PACKAGE_NOT_IN_STORE);
  if (before == Presence::kUnknown) return LastFailure();
  g_telling = LogMarkerThere();
  const bool diUninstall = platform::Exported<&platform::Calls::DiUninstallDriverW>();
  status = RemoveCopy(copy, DRIVER_PACKAGE_FORCE, diUninstall, needsReboot);
  const Presence after = FilePresence(copy);
  if (after == Presence::kAbsent) {
    const std::wstring precompiled = PrecompiledInf(copy);
    if (!precompiled.empty()) Sys().DeleteFileW(precompiled.c_str());
    return static_cast<DWORD>(ERROR_SUCCESS);
  }
  return status != ERROR_SUCCESS ? status : static_cast<DWORD>(ERROR_INF_IN_USE_BY_DEVICES);
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
    if (status != ERROR_SUCCESS) return status;
    // A package whose catalog is not beside its INF cannot be stored. Told
    // before any copy: on Windows, the copy of a package it cannot verify may
    // first ask an administrator at the desktop whether to trust it, and
    // meanwhile the store lock would be held (Wine answers "file not found").
    if (CatalogMissing(inf)) return static_cast<DWORD>(ERROR_NO_CATALOG_FOR_OEM_INF);
    std::wstring copy;
    return WithStoreLocked([&] { return PreinstallLocked(inf, copy); });
  });
}

DWORD WINAPI PreinstallNamed(PCWSTR infPath, DWORD flags, PWSTR publishedInf, DWORD chars, BOOL* published) {
  (void)flags;  // as for Preinstall
  if (published != nullptr) *published = FALSE;
  if (publishedInf != nullptr && chars > 0) publishedInf[0] = L'\0';
  return Guarded([&] {
    std::wstring inf;
    DWORD status = PackageInf(infPath, ERROR_FILE_NOT_FOUND, inf);
    if (status != ERROR_SUCCESS) return status;
    if (CatalogMissing(inf)) return static_cast<DWORD>(ERROR_NO_CATALOG_FOR_OEM_INF);
    std::wstring copy;
    status = WithStoreLocked([&] { return PreinstallLocked(inf, copy); });
    if (status != ERROR_SUCCESS && status != ERROR_ALREADY_EXISTS) return status;
    // The caller owns what this call made only by its name: a name that
    // does not fit is a failure, never a publish it cannot tell of. (The
    // copy then stays, as an unnamed copy would with any other library.)
    if (publishedInf == nullptr || copy.empty() || copy.size() >= chars)
      return static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    std::wmemcpy(publishedInf, copy.c_str(), copy.size() + 1);
    if (published != nullptr) *published = status == ERROR_SUCCESS ? TRUE : FALSE;
    return status;
  });
}

DWORD WINAPI RemovePublishedInf(PCWSTR publishedInf, BOOL* needsReboot) {
  BOOL reboot = FALSE;
  const DWORD result = Guarded([&] {
    if (publishedInf == nullptr) return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    const std::wstring copy = FullPath(publishedInf);
    if (copy.empty()) return LastFailure();
    return WithStoreLocked([&] { return RemoveExactly(copy, reboot); });
  });
  if (needsReboot != nullptr) *needsReboot = reboot;
  return result;
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
static_assert(std::is_same<decltype(&PreinstallNamed), package::MdsPreinstallWFn>::value, "PreinstallNamed");
static_assert(std::is_same<decltype(&RemovePublishedInf), package::MdsRemovePublishedInfWFn>::value,
              "RemovePublishedInf");

}  // namespace difx
