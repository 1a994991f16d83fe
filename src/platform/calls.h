// The Windows call table: every Windows call the tool and its
// difxapi_x64.dll make goes through one of these function pointers (each
// binary has its own table), so tests can swap a single call for a fake or a
// failure and leave the rest real.
#pragma once

#include "platform/win.h"

namespace platform {

// Where an entry's function lives. Only KERNEL32 is imported when the exe is
// loaded; the other system libraries are loaded on first use.
enum class SystemLibrary { kKernel32, kSetupApi, kCfgMgr32, kNewDev, kShlwApi, kAdvApi32, kNtDll, kVersion };

// What GetSecurityInfo answers when its library cannot be had (it answers
// an error code, not a value beside the last error).
constexpr DWORD kSecurityInfoFailure = ERROR_ACCESS_DENIED;

// What NtCreateFile answers when ntdll cannot be had: a status, not a value
// beside the last error (STATUS_ACCESS_DENIED).
constexpr NTSTATUS kNtCreateFileFailure = static_cast<NTSTATUS>(0xC0000022L);
constexpr NTSTATUS kNtQueryDirectoryFileFailure = kNtCreateFileFailure;

// What the registry calls answer when advapi32 cannot be had: an error code,
// as they answer every failure.
constexpr LSTATUS kRegistryFailure = ERROR_ACCESS_DENIED;

// What RtlNtStatusToDosError answers for a status it does not know, and so
// when ntdll cannot be had: ERROR_MR_MID_NOT_FOUND.
constexpr ULONG kUnknownStatusError = 317;

// X(name, library, failure): one entry per Windows call, under the platform's
// own name, with the library it lives in and what it answers when it fails
// (void() for a call that answers nothing; calls that cannot fail name what
// they would answer).
#define MDS_PLATFORM_CALLS(X)  \
  MDS_PLATFORM_CALLS_LOADED(X) \
  MDS_PLATFORM_CALLS_LINKED(X) \
  MDS_PLATFORM_CALLS_LOOKED_UP(X)

// Loaded on first use: the library by its full path in the system folder, and
// the entry looked up in it once. The exe imports none of them, so a copy of
// one planted beside the exe never loads in its place. A library or entry
// that cannot be had makes that call answer its failure value, with last
// error ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND.
#define MDS_PLATFORM_CALLS_LOADED(X)                                        \
  /* SetupAPI: INF files */                                                 \
  X(SetupOpenInfFileW, kSetupApi, INVALID_HANDLE_VALUE)                     \
  X(SetupFindFirstLineW, kSetupApi, FALSE)                                  \
  X(SetupFindNextLine, kSetupApi, FALSE)                                    \
  X(SetupGetStringFieldW, kSetupApi, FALSE)                                 \
  X(SetupCloseInfFile, kSetupApi, void())                                   \
  X(SetupCopyOEMInfW, kSetupApi, FALSE)                                     \
  X(SetupSetNonInteractiveMode, kSetupApi, FALSE)                           \
  /* SetupAPI: what the system recorded of a published INF */               \
  X(SetupGetInfInformationW, kSetupApi, FALSE)                              \
  X(SetupQueryInfOriginalFileInformationW, kSetupApi, FALSE)                \
  /* SetupAPI: devices */                                                   \
  X(SetupDiGetClassDevsW, kSetupApi, INVALID_HANDLE_VALUE)                  \
  X(SetupDiGetClassDevsExW, kSetupApi, INVALID_HANDLE_VALUE)                \
  X(SetupDiEnumDeviceInfo, kSetupApi, FALSE)                                \
  X(SetupDiGetDeviceInstanceIdW, kSetupApi, FALSE)                          \
  X(SetupDiGetDeviceRegistryPropertyW, kSetupApi, FALSE)                    \
  X(SetupDiSetDeviceRegistryPropertyW, kSetupApi, FALSE)                    \
  X(SetupDiDestroyDeviceInfoList, kSetupApi, FALSE)                         \
  X(SetupDiOpenDevRegKey, kSetupApi, INVALID_HANDLE_VALUE)                  \
  X(RegQueryValueExW, kAdvApi32, kRegistryFailure)                          \
  X(RegCloseKey, kAdvApi32, kRegistryFailure)                               \
  /* advapi32: the deployments' ownership records */                        \
  X(RegCreateKeyExW, kAdvApi32, kRegistryFailure)                           \
  X(RegOpenKeyExW, kAdvApi32, kRegistryFailure)                             \
  X(RegSetValueExW, kAdvApi32, kRegistryFailure)                            \
  X(RegEnumKeyExW, kAdvApi32, kRegistryFailure)                             \
  X(RegDeleteKeyExW, kAdvApi32, kRegistryFailure)                           \
  X(RegQueryInfoKeyW, kAdvApi32, kRegistryFailure)                          \
  /* advapi32: the deployments' record folder */                            \
  X(ConvertStringSecurityDescriptorToSecurityDescriptorW, kAdvApi32, FALSE) \
  X(GetAce, kAdvApi32, FALSE)                                               \
  X(CM_Get_DevNode_Status, kCfgMgr32, CR_FAILURE)                           \
  /* newdev */                                                              \
  X(UpdateDriverForPlugAndPlayDevicesW, kNewDev, FALSE)                     \
  /* shlwapi */                                                             \
  X(PathFileExistsW, kShlwApi, FALSE)                                       \
  /* version: another exe's file version ("/compare") */                    \
  X(GetFileVersionInfoSizeW, kVersion, 0UL)                                 \
  X(GetFileVersionInfoW, kVersion, FALSE)                                   \
  X(VerQueryValueW, kVersion, FALSE)                                        \
  /* difxapi_x64.dll: the driver store and its lock */                      \
  X(SetupUninstallOEMInfW, kSetupApi, FALSE)                                \
  X(SetupGetInfDriverStoreLocationW, kSetupApi, FALSE)                      \
  X(DiUninstallDriverW, kNewDev, FALSE)                                     \
  X(OpenProcessToken, kAdvApi32, FALSE)                                     \
  X(GetTokenInformation, kAdvApi32, FALSE)                                  \
  X(GetSecurityInfo, kAdvApi32, kSecurityInfoFailure)                       \
  X(IsWellKnownSid, kAdvApi32, FALSE)                                       \
  X(EqualSid, kAdvApi32, FALSE)                                             \
  /* advapi32: the store lock's private namespace */                        \
  X(CreateWellKnownSid, kAdvApi32, FALSE)                                   \
  X(CheckTokenMembership, kAdvApi32, FALSE)                                 \
  /* ntdll (in every process already): the log file */                      \
  X(NtCreateFile, kNtDll, kNtCreateFileFailure)                             \
  X(NtQueryDirectoryFile, kNtDll, kNtQueryDirectoryFileFailure)             \
  X(RtlNtStatusToDosError, kNtDll, kUnknownStatusError)

// Looked up in kernel32 when the table is made, and null where the system
// lacks them (SetDefaultDllDirectories: Windows 7 without KB2533623;
// IsWow64Process2: Windows 10 before version 1511; the private namespace
// calls: Wine), so their absence never stops the exe from loading.
#define MDS_PLATFORM_CALLS_LOOKED_UP(X)            \
  X(SetDefaultDllDirectories, kKernel32, FALSE)    \
  X(IsWow64Process2, kKernel32, FALSE)             \
  /* the store lock's private namespace */         \
  X(CreateBoundaryDescriptorW, kKernel32, nullptr) \
  X(AddSIDToBoundaryDescriptor, kKernel32, FALSE)  \
  X(CreatePrivateNamespaceW, kKernel32, nullptr)   \
  X(OpenPrivateNamespaceW, kKernel32, nullptr)     \
  X(ClosePrivateNamespace, kKernel32, FALSE)       \
  X(DeleteBoundaryDescriptor, kKernel32, void())

#define MDS_PLATFORM_CALLS_LINKED(X)                        \
  /* kernel32: system and modules */                        \
  X(GetSystemDirectoryW, kKernel32, 0u)                     \
  X(GetModuleFileNameW, kKernel32, 0UL)                     \
  X(SetDllDirectoryW, kKernel32, FALSE)                     \
  X(LoadLibraryW, kKernel32, nullptr)                       \
  X(LoadLibraryExW, kKernel32, nullptr)                     \
  X(GetProcAddress, kKernel32, nullptr)                     \
  X(FreeLibrary, kKernel32, FALSE)                          \
  X(GetFullPathNameW, kKernel32, 0UL)                       \
  /* kernel32: files, output and time */                    \
  X(CreateDirectoryW, kKernel32, FALSE)                     \
  X(CreateFileW, kKernel32, INVALID_HANDLE_VALUE)           \
  X(LockFileEx, kKernel32, FALSE)                           \
  X(UnlockFileEx, kKernel32, FALSE)                         \
  X(SetFilePointerEx, kKernel32, FALSE)                     \
  X(WriteFile, kKernel32, FALSE)                            \
  /* kernel32: the log file, in place and whole */          \
  X(GetFileInformationByHandle, kKernel32, FALSE)           \
  X(GetFinalPathNameByHandleW, kKernel32, 0UL)              \
  X(SetEndOfFile, kKernel32, FALSE)                         \
  X(CloseHandle, kKernel32, FALSE)                          \
  X(GetStdHandle, kKernel32, INVALID_HANDLE_VALUE)          \
  X(OutputDebugStringW, kKernel32, void())                  \
  X(GetCurrentThreadId, kKernel32, 0UL)                     \
  X(GetCurrentProcessId, kKernel32, 0UL)                    \
  X(GetLocalTime, kKernel32, void())                        \
  X(GetSystemTime, kKernel32, void())                       \
  X(GetSystemTimeAsFileTime, kKernel32, void())             \
  X(GetNativeSystemInfo, kKernel32, void())                 \
  X(GetEnvironmentVariableW, kKernel32, 0UL)                \
  X(Sleep, kKernel32, void())                               \
  X(GetTickCount64, kKernel32, 0ULL)                        \
  X(GetLastError, kKernel32, 0UL)                           \
  /* kernel32: difxapi_x64.dll's store and lock */          \
  X(GetSystemWindowsDirectoryW, kKernel32, 0u)              \
  X(GetFileAttributesW, kKernel32, INVALID_FILE_ATTRIBUTES) \
  X(GetFileAttributesExW, kKernel32, FALSE)                 \
  X(GetFileSizeEx, kKernel32, FALSE)                        \
  X(ReadFile, kKernel32, FALSE)                             \
  X(FindFirstFileW, kKernel32, INVALID_HANDLE_VALUE)        \
  X(FindNextFileW, kKernel32, FALSE)                        \
  X(FindClose, kKernel32, FALSE)                            \
  X(DeleteFileW, kKernel32, FALSE)                          \
  X(CompareStringOrdinal, kKernel32, 0)                     \
  X(CreateMutexExW, kKernel32, nullptr)                     \
  X(WaitForSingleObject, kKernel32, WAIT_FAILED)            \
  X(ReleaseMutex, kKernel32, FALSE)                         \
  X(GetCurrentProcess, kKernel32, nullptr)                  \
  X(LocalFree, kKernel32, nullptr)                          \
  /* kernel32: the log folder's place */                    \
  X(GetFileInformationByHandleEx, kKernel32, FALSE)

struct Calls {
// NOLINTNEXTLINE(bugprone-macro-parentheses): `name` is the member's name, which cannot be parenthesised
#define MDS_DECLARE_CALL(name, library, failure) decltype(&::name) name;
  MDS_PLATFORM_CALLS(MDS_DECLARE_CALL)
#undef MDS_DECLARE_CALL
};

// What the table says of each entry: its library, its name, and the value
// it answers when it fails. The table's stand-ins for a library that cannot
// be had answer it, and so does the fault sweep:
//   CallTraits<&Calls::SetupOpenInfFileW>::Failure()  // INVALID_HANDLE_VALUE
template <auto Entry>
struct CallTraits;

#define MDS_DESCRIBE_CALL(name, library, failure)                     \
  template <>                                                         \
  struct CallTraits<&Calls::name> {                                   \
    static constexpr SystemLibrary kLibrary = SystemLibrary::library; \
    static constexpr const char* kName = #name;                       \
    static auto Failure() { return failure; }                         \
  };
MDS_PLATFORM_CALLS(MDS_DESCRIBE_CALL)
#undef MDS_DESCRIBE_CALL

// The table in force. Production code calls through it: Sys().LoadLibraryW(...)
Calls& Sys();

// The table filled with the real functions.
const Calls& RealCalls();

// Puts every entry back to the real function.
void ResetCalls();

// Forgets the libraries loaded on first use and the entries found in them,
// so that the next use of each goes through the loading again (which a test
// can then fail). The libraries themselves stay loaded: a system library,
// once loaded, stays for the life of the process.
void ForgetLoadedCalls();

// Whether a system library exports a function: the library loads from the
// system folder and has the entry, asked through the table's own loader
// entries (LoadLibraryExW, GetProcAddress) as a first use asks. Leaves the
// last error as it found it.
bool Exports(SystemLibrary library, const char* name);

// Whether the function behind a loaded-on-first-use entry can be had, asked
// before the call rather than read from its failure, which a real function
// may answer with the same codes:
//   if (Exported<&Calls::DiUninstallDriverW>()) ...
template <auto Entry>
bool Exported() {
  return Exports(CallTraits<Entry>::kLibrary, CallTraits<Entry>::kName);
}

// Swaps one entry for the lifetime of the object, then restores what was
// there before. Nest freely; restore order follows scope.
//   ScopedCall<decltype(&::GetSystemDirectoryW)> o(&Calls::GetSystemDirectoryW, fake);
template <typename Fn>
class ScopedCall {
 public:
  ScopedCall(Fn Calls::*entry, Fn replacement) : entry_(entry), saved_(Sys().*entry) { Sys().*entry_ = replacement; }
  ~ScopedCall() { Sys().*entry_ = saved_; }
  ScopedCall(const ScopedCall&) = delete;
  ScopedCall& operator=(const ScopedCall&) = delete;

 private:
  Fn Calls::*entry_;
  Fn saved_;
};

// Deduces the function type from the entry: auto o = Override(&Calls::X, fake);
template <typename Fn>
ScopedCall<Fn> Override(Fn Calls::*entry, Fn replacement) {
  return ScopedCall<Fn>(entry, replacement);
}

}  // namespace platform
