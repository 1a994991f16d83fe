// The fault sweep's hooks: one trampoline per table entry, a failure mode
// per Windows call, and wrappers for the DIFx exports the tool looks up.
#include "fakes/fault_sweep.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

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

// How each call fails on Windows: its failure return value and a plausible
// last error. Every table entry must have one, or the build fails.
template <CallId Id>
struct Failure;

#define MDS_FAILS(name, mode, value, error) \
  template <>                               \
  struct Failure<k##name> {                 \
    static constexpr Mode kMode = mode;     \
    static constexpr DWORD kError = error;  \
    static auto Value() { return value; }   \
  }
#define MDS_NEVER_FAILS(name)                   \
  template <>                                   \
  struct Failure<k##name> {                     \
    static constexpr Mode kMode = Mode::kNever; \
    static constexpr DWORD kError = 0;          \
    static int Value() { return 0; }            \
  }

HANDLE Invalid() { return INVALID_HANDLE_VALUE; }

MDS_FAILS(SetupOpenInfFileW, Mode::kReturn, Invalid(), ERROR_FILE_NOT_FOUND);
MDS_FAILS(SetupFindFirstLineW, Mode::kReturn, FALSE, ERROR_LINE_NOT_FOUND);
MDS_FAILS(SetupFindNextLine, Mode::kReturn, FALSE, ERROR_LINE_NOT_FOUND);
MDS_FAILS(SetupGetStringFieldW, Mode::kReturn, FALSE, ERROR_INSUFFICIENT_BUFFER);
MDS_NEVER_FAILS(SetupCloseInfFile);
MDS_FAILS(SetupCopyOEMInfW, Mode::kReturn, FALSE, ERROR_ACCESS_DENIED);
MDS_FAILS(SetupDiGetClassDevsW, Mode::kReturn, Invalid(), ERROR_INVALID_PARAMETER);
MDS_FAILS(SetupDiGetClassDevsExW, Mode::kReturn, Invalid(), ERROR_INVALID_PARAMETER);
MDS_FAILS(SetupDiEnumDeviceInfo, Mode::kReturn, FALSE, ERROR_NO_MORE_ITEMS);
MDS_FAILS(SetupDiGetDeviceInstanceIdW, Mode::kReturn, FALSE, ERROR_INSUFFICIENT_BUFFER);
MDS_FAILS(SetupDiGetDeviceRegistryPropertyW, Mode::kReturn, FALSE, ERROR_INVALID_DATA);
MDS_FAILS(SetupDiSetDeviceRegistryPropertyW, Mode::kReturn, FALSE, ERROR_ACCESS_DENIED);
MDS_FAILS(SetupDiDestroyDeviceInfoList, Mode::kAfter, FALSE, ERROR_INVALID_HANDLE);
MDS_FAILS(CM_Get_DevNode_Status, Mode::kReturn, static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE), 0);
MDS_FAILS(UpdateDriverForPlugAndPlayDevicesW, Mode::kReturn, FALSE, ERROR_NO_SUCH_DEVINST);
MDS_FAILS(PathFileExistsW, Mode::kReturn, FALSE, ERROR_ACCESS_DENIED);
MDS_FAILS(GetSystemDirectoryW, Mode::kReturn, 0u, ERROR_INSUFFICIENT_BUFFER);
MDS_FAILS(GetModuleFileNameW, Mode::kReturn, 0ul, ERROR_INSUFFICIENT_BUFFER);
MDS_FAILS(SetDefaultDllDirectories, Mode::kReturn, FALSE, ERROR_INVALID_PARAMETER);
MDS_FAILS(SetDllDirectoryW, Mode::kReturn, FALSE, ERROR_INVALID_PARAMETER);
MDS_FAILS(LoadLibraryW, Mode::kReturn, static_cast<HMODULE>(nullptr), ERROR_MOD_NOT_FOUND);
MDS_FAILS(GetProcAddress, Mode::kReturn, static_cast<FARPROC>(nullptr), ERROR_PROC_NOT_FOUND);
MDS_FAILS(FreeLibrary, Mode::kAfter, FALSE, ERROR_INVALID_HANDLE);
MDS_FAILS(GetFullPathNameW, Mode::kReturn, 0ul, ERROR_FILENAME_EXCED_RANGE);
MDS_FAILS(CreateDirectoryW, Mode::kReturn, FALSE, ERROR_ACCESS_DENIED);
MDS_FAILS(CreateFileW, Mode::kReturn, Invalid(), ERROR_ACCESS_DENIED);
MDS_FAILS(LockFileEx, Mode::kReturn, FALSE, ERROR_LOCK_VIOLATION);
MDS_FAILS(UnlockFileEx, Mode::kAfter, FALSE, ERROR_NOT_LOCKED);
MDS_FAILS(SetFilePointerEx, Mode::kReturn, FALSE, ERROR_NEGATIVE_SEEK);
MDS_FAILS(WriteFile, Mode::kReturn, FALSE, ERROR_DISK_FULL);
MDS_FAILS(CloseHandle, Mode::kAfter, FALSE, ERROR_INVALID_HANDLE);
MDS_FAILS(GetStdHandle, Mode::kReturn, Invalid(), ERROR_INVALID_HANDLE);
MDS_NEVER_FAILS(OutputDebugStringW);
MDS_NEVER_FAILS(GetCurrentThreadId);
MDS_NEVER_FAILS(GetLocalTime);
MDS_NEVER_FAILS(Sleep);
MDS_NEVER_FAILS(GetLastError);

// Which handle kind a call acquires (through its result) or releases (its first argument).
constexpr const char* AcquiresKind(CallId id) {
  return id == kLoadLibraryW                                              ? "library"
         : id == kSetupOpenInfFileW                                       ? "inf"
         : (id == kSetupDiGetClassDevsW || id == kSetupDiGetClassDevsExW) ? "device set"
         : id == kCreateFileW                                             ? "file"
                                                                          : nullptr;
}
constexpr const char* ReleasesKind(CallId id) {
  return id == kFreeLibrary                    ? "library"
         : id == kSetupCloseInfFile            ? "inf"
         : id == kSetupDiDestroyDeviceInfoList ? "device set"
         : id == kCloseHandle                  ? "file"
                                               : nullptr;
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

template <typename Fn>
struct Hook;

template <typename R, typename... A>
struct Hook<R(WINAPI*)(A...)> {
  using Fn = R(WINAPI*)(A...);

  template <CallId Id, Fn platform::Calls::*Entry>
  static R WINAPI Call(A... args) {
    using F = Failure<Id>;
    FaultSweep& sweep = *g_sweep;
    const Fn below = sweep.below().*Entry;
    if constexpr (ReleasesKind(Id) != nullptr) {
      sweep.Released(ReleasesKind(Id), AsHandle(std::get<0>(std::tuple<A...>(args...))));
    }
    if constexpr (F::kMode == Mode::kNever) {
      return below(args...);
    } else {
      const bool fail = sweep.Tick(Id, MDS_CALLER());
      if (fail && F::kMode == Mode::kReturn) {
        ::SetLastError(F::kError);
        return static_cast<R>(F::Value());
      }
      R result = below(args...);
      if constexpr (AcquiresKind(Id) != nullptr) {
        if (IsAcquired(result)) sweep.Acquired(AcquiresKind(Id), AsHandle(result));
      }
      if (fail) {  // a release that did its work but reports failure
        ::SetLastError(F::kError);
        return static_cast<R>(F::Value());
      }
      return result;
    }
  }
};

// The DIFx exports, looked up by the tool through GetProcAddress.
using PreinstallFn = DWORD(WINAPI*)(PCWSTR, DWORD);
using UninstallFn = DWORD(WINAPI*)(PCWSTR, DWORD, const void*, BOOL*);
using GetPathFn = DWORD(WINAPI*)(PCWSTR, PWSTR, DWORD*);

// Function pointers of other types pass through void(*)() on their way to and from FARPROC.
template <typename To, typename From>
To FunctionCast(From from) {
  return reinterpret_cast<To>(reinterpret_cast<void (*)()>(from));
}

PreinstallFn g_preinstall = nullptr;
UninstallFn g_uninstall = nullptr;
GetPathFn g_getPath = nullptr;
const DWORD kDifxFailure = ERROR_ACCESS_DENIED;

DWORD WINAPI SweptPreinstall(PCWSTR inf, DWORD flags) {
  if (g_sweep->Tick(kDriverPackagePreinstallW, MDS_CALLER())) {
    ::SetLastError(kDifxFailure);
    return kDifxFailure;
  }
  return g_preinstall(inf, flags);
}

DWORD WINAPI SweptUninstall(PCWSTR inf, DWORD flags, const void* installer, BOOL* reboot) {
  if (g_sweep->Tick(kDriverPackageUninstallW, MDS_CALLER())) {
    ::SetLastError(kDifxFailure);
    return kDifxFailure;
  }
  return g_uninstall(inf, flags, installer, reboot);
}

DWORD WINAPI SweptGetPath(PCWSTR inf, PWSTR path, DWORD* count) {
  if (g_sweep->Tick(kDriverPackageGetPathW, MDS_CALLER())) {
    ::SetLastError(kDifxFailure);
    return kDifxFailure;
  }
  return g_getPath(inf, path, count);
}

FARPROC WINAPI SweptGetProcAddress(HMODULE module, LPCSTR name) {
  if (g_sweep->Tick(kGetProcAddress, MDS_CALLER())) {
    ::SetLastError(Failure<kGetProcAddress>::kError);
    return nullptr;
  }
  FARPROC found = g_sweep->below().GetProcAddress(module, name);
  if (found == nullptr || reinterpret_cast<ULONG_PTR>(name) <= 0xFFFF) return found;
  if (std::strcmp(name, "DriverPackagePreinstallW") == 0) {
    g_preinstall = FunctionCast<PreinstallFn>(found);
    return FunctionCast<FARPROC>(&SweptPreinstall);
  }
  if (std::strcmp(name, "DriverPackageUninstallW") == 0) {
    g_uninstall = FunctionCast<UninstallFn>(found);
    return FunctionCast<FARPROC>(&SweptUninstall);
  }
  if (std::strcmp(name, "DriverPackageGetPathW") == 0) {
    g_getPath = FunctionCast<GetPathFn>(found);
    return FunctionCast<FARPROC>(&SweptGetPath);
  }
  return found;
}

const char* const kCallNames[] = {
#define MDS_CALL_NAME(name) #name,
    MDS_PLATFORM_CALLS(MDS_CALL_NAME)
#undef MDS_CALL_NAME
        "DriverPackagePreinstallW",
    "DriverPackageUninstallW", "DriverPackageGetPathW"};
static_assert(sizeof(kCallNames) / sizeof(kCallNames[0]) == kCallIdCount, "one name per call");

}  // namespace

const char* CallName(CallId id) { return id < kCallIdCount ? kCallNames[id] : "none"; }

FaultSweep::FaultSweep(long failAt) : FaultSweep(failAt > 0 ? std::vector<long>{failAt} : std::vector<long>{}) {}

FaultSweep::FaultSweep(std::vector<long> failAt) : below_(platform::Sys()), failAt_(std::move(failAt)) {
  g_sweep = this;
  platform::Calls& table = platform::Sys();
// An entry the system lacks stays null, as the tool expects to find it.
#define MDS_HOOK(name) \
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
  ++failableCalls_;
  callsMade_.push_back(id);
  sites_.push_back({id, caller});
  if (std::find(failAt_.begin(), failAt_.end(), failableCalls_) == failAt_.end()) return false;
  injectedCalls_.push_back(id);
  return true;
}

void FaultSweep::Acquired(const char* kind, void* handle) {
  ++acquired_;
  live_[handle] = kind;
}

void FaultSweep::Released(const char* kind, void* handle) {
  auto found = live_.find(handle);
  if (found == live_.end() || found->second != kind) {
    badReleases_.push_back(kind);
    return;
  }
  live_.erase(found);
}

std::map<std::string, int> FaultSweep::Outstanding() const {
  std::map<std::string, int> outstanding;
  for (const auto& entry : live_) ++outstanding[entry.second];
  return outstanding;
}

}  // namespace fakes
