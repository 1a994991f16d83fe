// The fault sweep's hooks: one trampoline per table entry, a failure mode
// per Windows call, and wrappers for the DIFx exports the tool looks up.
#include "fakes/fault_sweep.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "driver_store.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"

#if defined(_MSC_VER)
#include <intrin.h>
#define MDS_CALLER() _ReturnAddress()
#else
#define MDS_CALLER() __builtin_return_address(0)
#endif

namespace fakes {
namespace {

FaultSweep* g_sweep = nullptr;

enum class Mode {
  kNever,   // cannot fail (void calls, GetLastError, thread id)
  kReturn,  // fails instead of doing its work
  kAfter,   // a release: does its work, then reports failure anyway
};

// How each call fails on Windows: whether it can, and a plausible last
// error; the value it answers is the table's own (platform::CallTraits).
// Every table entry must have one, or the build fails.
template <CallId Id>
struct Failure;

#define MDS_FAILS(name, mode, error)       \
  template <>                              \
  struct Failure<k##name> {                \
    static constexpr Mode kMode = mode;    \
    static constexpr DWORD kError = error; \
  }
#define MDS_NEVER_FAILS(name) MDS_FAILS(name, Mode::kNever, 0)

MDS_FAILS(SetupOpenInfFileW, Mode::kReturn, ERROR_FILE_NOT_FOUND);
MDS_FAILS(SetupFindFirstLineW, Mode::kReturn, ERROR_LINE_NOT_FOUND);
MDS_FAILS(SetupFindNextLine, Mode::kReturn, ERROR_LINE_NOT_FOUND);
MDS_FAILS(SetupGetStringFieldW, Mode::kReturn, ERROR_INSUFFICIENT_BUFFER);
MDS_NEVER_FAILS(SetupCloseInfFile);
MDS_FAILS(SetupCopyOEMInfW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(SetupGetInfInformationW, Mode::kReturn, ERROR_INVALID_HANDLE);
MDS_FAILS(SetupQueryInfOriginalFileInformationW, Mode::kReturn, ERROR_INVALID_PARAMETER);
MDS_FAILS(SetupDiGetClassDevsW, Mode::kReturn, ERROR_INVALID_PARAMETER);
MDS_FAILS(SetupDiGetClassDevsExW, Mode::kReturn, ERROR_INVALID_PARAMETER);
MDS_FAILS(SetupDiEnumDeviceInfo, Mode::kReturn, ERROR_NO_MORE_ITEMS);
MDS_FAILS(SetupDiGetDeviceInstanceIdW, Mode::kReturn, ERROR_INSUFFICIENT_BUFFER);
MDS_FAILS(SetupDiGetDeviceRegistryPropertyW, Mode::kReturn, ERROR_INVALID_DATA);
MDS_FAILS(SetupDiSetDeviceRegistryPropertyW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(SetupDiDestroyDeviceInfoList, Mode::kAfter, ERROR_INVALID_HANDLE);
MDS_FAILS(SetupDiOpenDevRegKey, Mode::kReturn, ERROR_KEY_DOES_NOT_EXIST);
MDS_FAILS(RegQueryValueExW, Mode::kReturn, ERROR_MORE_DATA);
MDS_FAILS(RegCloseKey, Mode::kAfter, ERROR_INVALID_HANDLE);
MDS_FAILS(RegCreateKeyExW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(RegOpenKeyExW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(RegSetValueExW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(RegEnumKeyExW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(RegDeleteKeyExW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(RegQueryInfoKeyW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(ConvertStringSecurityDescriptorToSecurityDescriptorW, Mode::kReturn, ERROR_NOT_ENOUGH_MEMORY);
MDS_FAILS(GetAce, Mode::kReturn, ERROR_INVALID_PARAMETER);
MDS_FAILS(SetupSetNonInteractiveMode, Mode::kReturn, ERROR_INVALID_FUNCTION);
MDS_FAILS(IsWow64Process2, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(GetFileVersionInfoSizeW, Mode::kReturn, ERROR_RESOURCE_TYPE_NOT_FOUND);
MDS_FAILS(GetFileVersionInfoW, Mode::kReturn, ERROR_RESOURCE_TYPE_NOT_FOUND);
MDS_FAILS(VerQueryValueW, Mode::kReturn, ERROR_RESOURCE_TYPE_NOT_FOUND);
MDS_NEVER_FAILS(GetSystemTime);
MDS_NEVER_FAILS(GetSystemTimeAsFileTime);
MDS_NEVER_FAILS(GetNativeSystemInfo);
MDS_FAILS(GetEnvironmentVariableW, Mode::kReturn, ERROR_ENVVAR_NOT_FOUND);
MDS_FAILS(CM_Get_DevNode_Status, Mode::kReturn, 0);
MDS_FAILS(UpdateDriverForPlugAndPlayDevicesW, Mode::kReturn, ERROR_NO_SUCH_DEVINST);
MDS_FAILS(PathFileExistsW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(GetSystemDirectoryW, Mode::kReturn, ERROR_INSUFFICIENT_BUFFER);
MDS_FAILS(GetModuleFileNameW, Mode::kReturn, ERROR_INSUFFICIENT_BUFFER);
MDS_FAILS(SetDefaultDllDirectories, Mode::kReturn, ERROR_INVALID_PARAMETER);
MDS_FAILS(SetDllDirectoryW, Mode::kReturn, ERROR_INVALID_PARAMETER);
MDS_FAILS(LoadLibraryW, Mode::kReturn, ERROR_MOD_NOT_FOUND);
MDS_FAILS(LoadLibraryExW, Mode::kReturn, ERROR_MOD_NOT_FOUND);
MDS_FAILS(GetProcAddress, Mode::kReturn, ERROR_PROC_NOT_FOUND);
MDS_FAILS(FreeLibrary, Mode::kAfter, ERROR_INVALID_HANDLE);
MDS_FAILS(GetFullPathNameW, Mode::kReturn, ERROR_FILENAME_EXCED_RANGE);
MDS_FAILS(CreateDirectoryW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(CreateFileW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(LockFileEx, Mode::kReturn, ERROR_LOCK_VIOLATION);
MDS_FAILS(UnlockFileEx, Mode::kAfter, ERROR_NOT_LOCKED);
MDS_FAILS(SetFilePointerEx, Mode::kReturn, ERROR_NEGATIVE_SEEK);
MDS_FAILS(WriteFile, Mode::kReturn, ERROR_DISK_FULL);
MDS_FAILS(GetFileInformationByHandle, Mode::kReturn, ERROR_INVALID_FUNCTION);
MDS_FAILS(GetFinalPathNameByHandleW, Mode::kReturn, ERROR_NOT_ENOUGH_MEMORY);
MDS_FAILS(SetEndOfFile, Mode::kReturn, ERROR_DISK_FULL);
MDS_FAILS(CloseHandle, Mode::kAfter, ERROR_INVALID_HANDLE);
MDS_FAILS(GetStdHandle, Mode::kReturn, ERROR_INVALID_HANDLE);
MDS_NEVER_FAILS(OutputDebugStringW);
MDS_NEVER_FAILS(GetCurrentThreadId);
MDS_NEVER_FAILS(GetCurrentProcessId);
MDS_NEVER_FAILS(GetLocalTime);
MDS_NEVER_FAILS(Sleep);
MDS_NEVER_FAILS(GetTickCount64);
MDS_NEVER_FAILS(GetLastError);
// The driver store and its lock, in difxapi_x64.dll.
MDS_FAILS(SetupUninstallOEMInfW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(SetupGetInfDriverStoreLocationW, Mode::kReturn, ERROR_FILE_NOT_FOUND);
MDS_FAILS(DiUninstallDriverW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(OpenProcessToken, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(GetTokenInformation, Mode::kReturn, ERROR_INSUFFICIENT_BUFFER);
MDS_FAILS(GetSecurityInfo, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_NEVER_FAILS(IsWellKnownSid);  // a "no", not a failure
MDS_NEVER_FAILS(EqualSid);
// The store lock's private namespace (absent under Wine).
MDS_FAILS(CreateWellKnownSid, Mode::kReturn, ERROR_INSUFFICIENT_BUFFER);
MDS_FAILS(CheckTokenMembership, Mode::kReturn, ERROR_NO_IMPERSONATION_TOKEN);
MDS_FAILS(CreateBoundaryDescriptorW, Mode::kReturn, ERROR_NOT_ENOUGH_MEMORY);
MDS_FAILS(AddSIDToBoundaryDescriptor, Mode::kReturn, ERROR_NOT_ENOUGH_MEMORY);
MDS_FAILS(CreatePrivateNamespaceW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(OpenPrivateNamespaceW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(ClosePrivateNamespace, Mode::kAfter, ERROR_INVALID_HANDLE);
MDS_NEVER_FAILS(DeleteBoundaryDescriptor);
MDS_FAILS(GetSystemWindowsDirectoryW, Mode::kReturn, ERROR_INSUFFICIENT_BUFFER);
MDS_FAILS(GetFileAttributesW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(GetFileAttributesExW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(GetFileSizeEx, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(ReadFile, Mode::kReturn, ERROR_LOCK_VIOLATION);
MDS_FAILS(FindFirstFileW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(FindNextFileW, Mode::kReturn, ERROR_NETNAME_DELETED);
MDS_FAILS(FindClose, Mode::kAfter, ERROR_INVALID_HANDLE);
MDS_FAILS(DeleteFileW, Mode::kReturn, ERROR_SHARING_VIOLATION);
MDS_NEVER_FAILS(CompareStringOrdinal);
MDS_FAILS(CreateMutexExW, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(WaitForSingleObject, Mode::kReturn, ERROR_INVALID_HANDLE);
MDS_FAILS(ReleaseMutex, Mode::kAfter, ERROR_NOT_OWNER);
MDS_NEVER_FAILS(GetCurrentProcess);
MDS_NEVER_FAILS(LocalFree);
MDS_FAILS(GetFileInformationByHandleEx, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_FAILS(NtCreateFile, Mode::kReturn, ERROR_ACCESS_DENIED);  // answers a status; the last error is a plausible one
MDS_FAILS(NtQueryDirectoryFile, Mode::kReturn, ERROR_ACCESS_DENIED);
MDS_NEVER_FAILS(RtlNtStatusToDosError);  // a translation; an unknown status gives ERROR_MR_MID_NOT_FOUND

// Which handle kind a call acquires (through its result, or for these
// through an argument: a token, a security descriptor, a held mutex, the file
// NtCreateFile opened, a locked byte range of a file) or releases (its first
// argument). CloseHandle gives back any kernel handle. A system library the
// table loads on first use (LoadLibraryExW) is no handle to give back: it
// stays loaded for the life of the process.
constexpr const char* AcquiresKind(CallId id) {
  return id == kLoadLibraryW                                              ? "library"
         : id == kSetupOpenInfFileW                                       ? "inf"
         : (id == kSetupDiGetClassDevsW || id == kSetupDiGetClassDevsExW) ? "device set"
         : (id == kCreateFileW || id == kNtCreateFile)                    ? "file"
         : (id == kCreateMutexExW || id == kOpenProcessToken)             ? "kernel object"
         : id == kFindFirstFileW                                          ? "search"
         : id == kGetSecurityInfo                                         ? "local memory"
         : id == kSetupDiOpenDevRegKey                                    ? "registry key"
         : (id == kRegCreateKeyExW || id == kRegOpenKeyExW)               ? "registry key"
         : id == kConvertStringSecurityDescriptorToSecurityDescriptorW    ? "local memory"
         : id == kWaitForSingleObject                                     ? "held lock"
         : id == kLockFileEx                                              ? "file lock"
         : id == kCreatePrivateNamespaceW                                 ? "namespace"
         : id == kOpenPrivateNamespaceW                                   ? "namespace"
                                                                          : nullptr;
}
constexpr const char* ReleasesKind(CallId id) {
  return id == kFreeLibrary                    ? "library"
         : id == kSetupCloseInfFile            ? "inf"
         : id == kSetupDiDestroyDeviceInfoList ? "device set"
         : id == kCloseHandle                  ? "kernel handle"
         : id == kFindClose                    ? "search"
         : id == kLocalFree                    ? "local memory"
         : id == kRegCloseKey                  ? "registry key"
         : id == kReleaseMutex                 ? "held lock"
         : id == kUnlockFileEx                 ? "file lock"
         : id == kClosePrivateNamespace        ? "namespace"
                                               : nullptr;
}
bool Matches(const std::string& held, const char* released) {
  return held == released ||
         (std::strcmp(released, "kernel handle") == 0 && (held == "file" || held == "kernel object"));
}

template <typename T>
void* AsHandle(T value) {
  if constexpr (std::is_pointer<T>::value) {
    return reinterpret_cast<void*>(value);
  } else {
    return nullptr;
  }
}

template <typename T>
bool IsAcquired(T result) {
  void* handle = AsHandle(result);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// The handle a call that succeeded acquired, or null.
template <CallId Id, typename R, typename... A>
void* AcquiredHandle(R result, A... args) {
  const auto arguments = std::make_tuple(args...);
  if constexpr (Id == kOpenProcessToken) {
    return result ? AsHandle(*std::get<2>(arguments)) : nullptr;
  } else if constexpr (Id == kRegCreateKeyExW) {
    return result == ERROR_SUCCESS ? AsHandle(*std::get<7>(arguments)) : nullptr;
  } else if constexpr (Id == kRegOpenKeyExW) {
    return result == ERROR_SUCCESS ? AsHandle(*std::get<4>(arguments)) : nullptr;
  } else if constexpr (Id == kConvertStringSecurityDescriptorToSecurityDescriptorW) {
    return result ? AsHandle(*std::get<2>(arguments)) : nullptr;
  } else if constexpr (Id == kGetSecurityInfo) {
    return result == ERROR_SUCCESS ? AsHandle(*std::get<7>(arguments)) : nullptr;
  } else if constexpr (Id == kNtCreateFile) {
    return result >= 0 ? AsHandle(*std::get<0>(arguments)) : nullptr;
  } else if constexpr (Id == kWaitForSingleObject) {
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED ? AsHandle(std::get<0>(arguments)) : nullptr;
  } else if constexpr (Id == kLockFileEx) {
    return result ? AsHandle(std::get<0>(arguments)) : nullptr;
  } else {
    return IsAcquired(result) ? AsHandle(result) : nullptr;
  }
}

// While a release runs, a kill lets it, and every call it makes, through.
struct ReleaseScope {
  ReleaseScope(FaultSweep& sweep, bool releases) : sweep_(sweep), releases_(releases ? 1 : 0) {
    sweep_.releasing_ += releases_;
  }
  ~ReleaseScope() { sweep_.releasing_ -= releases_; }
  ReleaseScope(const ReleaseScope&) = delete;
  ReleaseScope& operator=(const ReleaseScope&) = delete;

 private:
  FaultSweep& sweep_;
  int releases_;
};

template <typename Fn>
struct Hook;

template <typename R, typename... A>
struct Hook<R(WINAPI*)(A...)> {
  using Fn = R(WINAPI*)(A...);

  template <CallId Id, Fn platform::Calls::*Entry>
  static R WINAPI Call(A... args) {
    using F = Failure<Id>;
    using Traits = platform::CallTraits<Entry>;
    FaultSweep& sweep = *g_sweep;
    const Fn below = sweep.below().*Entry;
    if constexpr (ReleasesKind(Id) != nullptr) {
      sweep.Released(ReleasesKind(Id), AsHandle(std::get<0>(std::tuple<A...>(args...))));
    }
    const ReleaseScope release(sweep, ReleasesKind(Id) != nullptr);
    if constexpr (F::kMode == Mode::kNever) {
      sweep.ThrowIfKilled();
      return below(args...);
    } else {
      const bool fail = sweep.Tick(Id, MDS_CALLER());
      if (fail && F::kMode == Mode::kReturn) {
        if constexpr (Id == kWaitForSingleObject) {
          if (sweep.waitsTimeOut) return WAIT_TIMEOUT;
        }
        ::SetLastError(F::kError);
        return static_cast<R>(Traits::Failure());
      }
      R result = below(args...);
      if constexpr (AcquiresKind(Id) != nullptr) {
        if (void* handle = AcquiredHandle<Id>(result, args...)) sweep.Acquired(AcquiresKind(Id), handle);
      }
      if (fail) {  // a release that did its work but reports failure
        ::SetLastError(F::kError);
        return static_cast<R>(Traits::Failure());
      }
      return result;
    }
  }
};

// The DIFx exports, looked up by the tool through GetProcAddress.
using PreinstallFn = package::DriverPackagePreinstallWFn;
using UninstallFn = package::DriverPackageUninstallWFn;
using GetPathFn = package::DriverPackageGetPathWFn;
using PublishFn = package::MdsPreinstallWFn;
using RemoveOneFn = package::MdsRemovePublishedInfWFn;

// Function pointers of other types pass through void(*)() on their way to and from FARPROC.
template <typename To, typename From>
To FunctionCast(From from) {
  return reinterpret_cast<To>(reinterpret_cast<void (*)()>(from));
}

PreinstallFn g_preinstall = nullptr;
UninstallFn g_uninstall = nullptr;
GetPathFn g_getPath = nullptr;
PublishFn g_publish = nullptr;
RemoveOneFn g_removeOne = nullptr;
const DWORD kDifxFailure = ERROR_ACCESS_DENIED;

// Runs a DIFx export, its own calls counted as the library's.
template <typename Export>
DWORD InLibrary(Export call) {
  g_sweep->inLibrary_ = true;
  const DWORD status = call();
  g_sweep->inLibrary_ = false;
  return status;
}

// A library run in process answers success only for what the system INF
// folder then shows: `copies` says whether a copy of `bytes` should be there.
void CheckAnswer(const char* what, DWORD status, const std::string& bytes, bool copies) {
  if (g_sweep->library() != FaultSweep::Library::kInProcess || status != ERROR_SUCCESS) return;
  if ((testing_support::CountSystemCopiesOfBytes(bytes) > 0) != copies) g_sweep->falseSuccesses.push_back(what);
}

std::string BytesOf(PCWSTR path) {
  std::string bytes;
  if (path != nullptr) testing_support::ReadBytes(path, bytes);
  return bytes;
}

DWORD WINAPI SweptPreinstall(PCWSTR inf, DWORD flags) {
  if (g_sweep->Tick(kDriverPackagePreinstallW, MDS_CALLER())) {
    ::SetLastError(kDifxFailure);
    return kDifxFailure;
  }
  const DWORD status = InLibrary([&] { return g_preinstall(inf, flags); });
  const DWORD error = ::GetLastError();
  // Already there counts as stored too.
  CheckAnswer("preinstall", status == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : status, BytesOf(inf), true);
  ::SetLastError(error);
  return status;
}

DWORD WINAPI SweptUninstall(PCWSTR inf, DWORD flags, PCINSTALLERINFO_W installer, BOOL* reboot) {
  if (g_sweep->Tick(kDriverPackageUninstallW, MDS_CALLER())) {
    ::SetLastError(kDifxFailure);
    return kDifxFailure;
  }
  const std::string bytes = BytesOf(inf);
  const DWORD status = InLibrary([&] { return g_uninstall(inf, flags, installer, reboot); });
  const DWORD error = ::GetLastError();
  CheckAnswer("uninstall", status, bytes, false);
  ::SetLastError(error);
  return status;
}

DWORD WINAPI SweptGetPath(PCWSTR inf, PWSTR path, DWORD* count) {
  if (g_sweep->Tick(kDriverPackageGetPathW, MDS_CALLER())) {
    ::SetLastError(kDifxFailure);
    return kDifxFailure;
  }
  return InLibrary([&] { return g_getPath(inf, path, count); });
}

DWORD WINAPI SweptPublish(PCWSTR inf, DWORD flags, PWSTR published, DWORD chars, BOOL* made) {
  if (g_sweep->Tick(kMdsPreinstallW, MDS_CALLER())) {
    ::SetLastError(kDifxFailure);
    return kDifxFailure;
  }
  return InLibrary([&] { return g_publish(inf, flags, published, chars, made); });
}

DWORD WINAPI SweptRemoveOne(PCWSTR inf, BOOL* reboot) {
  if (g_sweep->Tick(kMdsRemovePublishedInfW, MDS_CALLER())) {
    ::SetLastError(kDifxFailure);
    return kDifxFailure;
  }
  return InLibrary([&] { return g_removeOne(inf, reboot); });
}

FARPROC WINAPI SweptGetProcAddress(HMODULE module, LPCSTR name) {
  if (g_sweep->Tick(kGetProcAddress, MDS_CALLER())) {
    ::SetLastError(Failure<kGetProcAddress>::kError);
    return nullptr;
  }
  FARPROC found = g_sweep->below().GetProcAddress(module, name);
  if (found == nullptr || reinterpret_cast<ULONG_PTR>(name) <= 0xFFFF) return found;
  const bool inProcess = g_sweep->library() == FaultSweep::Library::kInProcess;
  if (std::strcmp(name, "DriverPackagePreinstallW") == 0) {
    g_preinstall = inProcess ? &difx::Preinstall : FunctionCast<PreinstallFn>(found);
    return FunctionCast<FARPROC>(&SweptPreinstall);
  }
  if (std::strcmp(name, "DriverPackageUninstallW") == 0) {
    g_uninstall = inProcess ? &difx::Uninstall : FunctionCast<UninstallFn>(found);
    return FunctionCast<FARPROC>(&SweptUninstall);
  }
  if (std::strcmp(name, "DriverPackageGetPathW") == 0) {
    g_getPath = inProcess ? &difx::GetPath : FunctionCast<GetPathFn>(found);
    return FunctionCast<FARPROC>(&SweptGetPath);
  }
  if (std::strcmp(name, "MdsPreinstallW") == 0) {
    g_publish = inProcess ? &difx::PreinstallNamed : FunctionCast<PublishFn>(found);
    return FunctionCast<FARPROC>(&SweptPublish);
  }
  if (std::strcmp(name, "MdsRemovePublishedInfW") == 0) {
    g_removeOne = inProcess ? &difx::RemovePublishedInf : FunctionCast<RemoveOneFn>(found);
    return FunctionCast<FARPROC>(&SweptRemoveOne);
  }
  return found;
}

const char* const kCallNames[] = {
#define MDS_CALL_NAME(name, library, failure) #name,
    MDS_PLATFORM_CALLS(MDS_CALL_NAME)
#undef MDS_CALL_NAME
        "DriverPackagePreinstallW",
    "DriverPackageUninstallW", "DriverPackageGetPathW", "MdsPreinstallW", "MdsRemovePublishedInfW"};
static_assert(sizeof(kCallNames) / sizeof(kCallNames[0]) == kCallIdCount, "one name per call");

const DWORD kInjectedErrors[] = {
#define MDS_CALL_ERROR(name, library, failure) Failure<k##name>::kError,
    MDS_PLATFORM_CALLS(MDS_CALL_ERROR)
#undef MDS_CALL_ERROR
        kDifxFailure,
    kDifxFailure, kDifxFailure, kDifxFailure, kDifxFailure};
static_assert(sizeof(kInjectedErrors) / sizeof(kInjectedErrors[0]) == kCallIdCount, "one error per call");

}  // namespace

const char* CallName(CallId id) { return id < kCallIdCount ? kCallNames[id] : "none"; }

DWORD InjectedError(CallId id) { return id < kCallIdCount ? kInjectedErrors[id] : 0; }

FaultSweep::FaultSweep(long failAt) : FaultSweep(failAt > 0 ? std::vector<long>{failAt} : std::vector<long>{}) {}

FaultSweep::FaultSweep(std::vector<long> failAt, Library library)
    : below_(platform::Sys()), failAt_(std::move(failAt)), library_(library) {
  g_sweep = this;
  // Each run loads the system libraries afresh, so their loading is failed in turn too.
  platform::ForgetLoadedCalls();
  platform::Calls& table = platform::Sys();
// An entry the system lacks stays null, as the tool expects to find it.
#define MDS_HOOK(name, library, failure) \
  table.name = below_.name ? &Hook<decltype(&::name)>::Call<k##name, &platform::Calls::name> : nullptr;
  MDS_PLATFORM_CALLS(MDS_HOOK)
#undef MDS_HOOK
  table.GetProcAddress = &SweptGetProcAddress;
}

FaultSweep::~FaultSweep() {
  platform::Sys() = below_;
  g_sweep = nullptr;
}

bool FaultSweep::Tick(CallId id, const void* caller) {
  ThrowIfKilled();
  if (killed_) return false;  // a release after the kill
  ++failableCalls_;
  callsMade_.push_back(id);
  sites_.push_back({id, caller, inLibrary_});
  if (std::find(failAt_.begin(), failAt_.end(), failableCalls_) == failAt_.end()) return false;
  injectedCalls_.push_back(id);
  if (!kills) return true;
  killed_ = true;
  ThrowIfKilled();
  return false;  // a release: done, and the run ends after it
}

void FaultSweep::ThrowIfKilled() const {
  if (killed_ && releasing_ == 0) throw Killed();
}

void FaultSweep::Acquired(const char* kind, void* handle) {
  ++acquired_;
  live_.emplace(handle, kind);
}

void FaultSweep::Released(const char* kind, void* handle) {
  // A mutex or file handle may also stand for a lock: release the one of this kind.
  const auto range = live_.equal_range(handle);
  for (auto held = range.first; held != range.second; ++held) {
    if (Matches(held->second, kind)) {
      live_.erase(held);
      return;
    }
  }
  badReleases_.push_back(kind);
}

std::map<std::string, int> FaultSweep::Outstanding() const {
  std::map<std::string, int> outstanding;
  for (const auto& entry : live_) ++outstanding[entry.second];
  return outstanding;
}

}  // namespace fakes
