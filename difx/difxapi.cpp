// difxapi_x64.dll: the three Driver Install Frameworks entry points that
// mdsdriver uses, built on SetupAPI. The driver store here is the system INF
// folder: SetupCopyOEMInfW puts a package's INF there, SetupUninstallOEMInfW
// takes it out again, and a package counts as stored while an INF there
// holds the same bytes as the package's INF. Each entry point also leaves
// its status code as the thread's last error.
#include <cstdlib>
#include <cwchar>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "inf_store.h"
#include "package/difx_api.h"
#include "store_lock.h"

namespace {

DWORD Finish(DWORD status) {
  SetLastError(status);
  return status;
}

// A failed system call's reason, never 0, so a failure is never mistaken for success.
DWORD LastFailure() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// Preinstall and uninstall each look at the system INF folder and then change
// it. Two processes doing that at once would both find no copy and both make
// one, so each takes the store lock first. Its holder keeps it for
// milliseconds: the wait is long enough for a crowd of runs and still ends,
// so a run never hangs on a stuck one.
constexpr DWORD kStoreWaitMs = 120000;

// Runs `work` while holding the store lock.
template <typename Work>
DWORD WithStoreLocked(Work work) {
  const difx::StoreLock lock(kStoreWaitMs);
  return lock.status() == ERROR_SUCCESS ? work() : lock.status();
}

// Runs one entry point's work; nothing may leave the library as an exception.
template <typename Work>
DWORD Guarded(Work work) {
  try {
    return Finish(work());
  } catch (const std::bad_alloc&) {
    return Finish(ERROR_NOT_ENOUGH_MEMORY);
  }
}

DWORD Preinstall(const wchar_t* infPath) {
  if (infPath == nullptr) return ERROR_INVALID_PARAMETER;
  const std::wstring inf = difx::FullPath(infPath);
  if (inf.empty() || !difx::IsFile(inf)) return ERROR_FILE_NOT_FOUND;
  if (!difx::FindStoreCopy(inf).empty()) return ERROR_ALREADY_EXISTS;

  wchar_t copy[MAX_PATH] = {};
  if (SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, copy, MAX_PATH, nullptr, nullptr)) {
    return ERROR_SUCCESS;
  }
  const DWORD error = LastFailure();
  // The system found an identical INF that our own look missed.
  if (error == ERROR_FILE_EXISTS) return ERROR_ALREADY_EXISTS;
  // The INF is there, so a file the copy could not find is its catalog.
  // Answering "file not found" would read as a missing INF to the caller.
  if (error == ERROR_FILE_NOT_FOUND) return ERROR_NO_CATALOG_FOR_OEM_INF;
  return error;
}

DWORD GetPath(const wchar_t* infPath, wchar_t* storePath, DWORD* count) {
  if (infPath == nullptr || count == nullptr) return ERROR_INVALID_PARAMETER;
  const std::wstring inf = difx::FullPath(infPath);
  if (inf.empty() || !difx::IsFile(inf)) return ERROR_FILE_NOT_FOUND;
  const std::wstring copy = difx::FindStoreCopy(inf);
  if (copy.empty()) return ERROR_DRIVER_PACKAGE_NOT_IN_STORE;

  const DWORD room = *count;
  const DWORD needed = static_cast<DWORD>(copy.size() + 1);
  *count = needed;
  if (storePath == nullptr || room < needed) return ERROR_INSUFFICIENT_BUFFER;
  std::wmemcpy(storePath, copy.c_str(), copy.size());
  storePath[copy.size()] = L'\0';
  return ERROR_SUCCESS;
}

// Takes one copy out of the system INF folder, with the precompiled INF
// beside it, which not every system removes with it.
DWORD RemoveCopy(const std::wstring& copy, DWORD flags) {
  const std::wstring name = copy.substr(copy.find_last_of(L'\\') + 1);
  const DWORD uninstallFlags = (flags & DRIVER_PACKAGE_FORCE) != 0 ? SUOI_FORCEDELETE : 0;
  if (!SetupUninstallOEMInfW(name.c_str(), uninstallFlags, nullptr)) return LastFailure();
  // The system may report success and still keep the copy (Wine does so
  // without SUOI_FORCEDELETE): that is no removal.
  if (difx::IsFile(copy)) return ERROR_INF_IN_USE_BY_DEVICES;
  DeleteFileW((copy.substr(0, copy.size() - 4) + L".pnf").c_str());
  return ERROR_SUCCESS;
}

// `infPath` is either a copy in the system INF folder or the package's own
// INF. Every copy with the same bytes goes, so that success means none is left.
DWORD Uninstall(const wchar_t* infPath, DWORD flags) {
  if (infPath == nullptr) return ERROR_INVALID_PARAMETER;
  const std::wstring inf = difx::FullPath(infPath);
  if (inf.empty() || !difx::IsFile(inf)) return ERROR_DRIVER_PACKAGE_NOT_IN_STORE;
  std::vector<std::wstring> copies = difx::FindStoreCopies(inf);
  // A copy named by its path goes whatever its name ends in; the list may
  // then hold it twice.
  if (difx::IsDirectlyInside(inf, difx::SystemInfFolder())) copies.insert(copies.begin(), inf);
  if (copies.empty()) return ERROR_DRIVER_PACKAGE_NOT_IN_STORE;

  for (const std::wstring& copy : copies) {
    if (!difx::IsFile(copy)) continue;  // gone already: the named copy, met again
    const DWORD status = RemoveCopy(copy, flags);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI DriverPackagePreinstallW(PCWSTR DriverPackageInfPath, DWORD Flags) {
  // No flag changes what this library does: it neither repairs, forces nor
  // waits for a device, and it never shows a window.
  (void)Flags;
  return Guarded([&] { return WithStoreLocked([&] { return Preinstall(DriverPackageInfPath); }); });
}

extern "C" __declspec(dllexport) DWORD WINAPI
    DriverPackageGetPathW(PCWSTR DriverPackageInfPath, PWSTR pDestInfPath, DWORD* pNumOfChars) {
  return Guarded([&] { return GetPath(DriverPackageInfPath, pDestInfPath, pNumOfChars); });
}

extern "C" __declspec(dllexport) DWORD WINAPI
    DriverPackageUninstallW(PCWSTR DriverPackageInfPath, DWORD Flags, PCINSTALLERINFO_W pInstallerInfo,
                            BOOL* pNeedReboot) {
  // No programs list entry is kept, so the installer info has nothing to match;
  // and nothing this library does needs a restart.
  (void)pInstallerInfo;
  if (pNeedReboot != nullptr) *pNeedReboot = FALSE;
  return Guarded([&] { return WithStoreLocked([&] { return Uninstall(DriverPackageInfPath, Flags); }); });
}

// The tool calls these through its own prototypes; both must stay in step.
static_assert(std::is_same<decltype(&DriverPackagePreinstallW), package::DriverPackagePreinstallWFn>::value,
              "DriverPackagePreinstallW prototype");
static_assert(std::is_same<decltype(&DriverPackageGetPathW), package::DriverPackageGetPathWFn>::value,
              "DriverPackageGetPathW prototype");
static_assert(std::is_same<decltype(&DriverPackageUninstallW), package::DriverPackageUninstallWFn>::value,
              "DriverPackageUninstallW prototype");

#if defined(__GLIBCXX__)
// As in mdsdriver.exe: libstdc++'s default handler for an uncaught exception
// would link the whole C++ demangler into this statically linked library.
// Nothing leaves the entry points as an exception, so nothing uses it.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif
