// The Windows call table: every Windows call the tool makes goes through one
// of these function pointers, so tests can swap a single call for a fake or a
// failure and leave the rest real.
#pragma once

#include "platform/win.h"

namespace platform {

// X(name): one entry per Windows call, under the platform's own name.
#define MDS_PLATFORM_CALLS(X)  \
  MDS_PLATFORM_CALLS_LINKED(X) \
  MDS_PLATFORM_CALLS_LOOKED_UP(X)

// Looked up in kernel32 when the table is made, and null where the system
// lacks them (SetDefaultDllDirectories: Windows 7 without KB2533623), so
// their absence never stops the exe from loading.
#define MDS_PLATFORM_CALLS_LOOKED_UP(X) X(SetDefaultDllDirectories)

#define MDS_PLATFORM_CALLS_LINKED(X)     \
  /* SetupAPI: INF files */              \
  X(SetupOpenInfFileW)                   \
  X(SetupFindFirstLineW)                 \
  X(SetupFindNextLine)                   \
  X(SetupGetStringFieldW)                \
  X(SetupCloseInfFile)                   \
  X(SetupCopyOEMInfW)                    \
  /* SetupAPI: devices */                \
  X(SetupDiGetClassDevsW)                \
  X(SetupDiGetClassDevsExW)              \
  X(SetupDiEnumDeviceInfo)               \
  X(SetupDiGetDeviceInstanceIdW)         \
  X(SetupDiGetDeviceRegistryPropertyW)   \
  X(SetupDiSetDeviceRegistryPropertyW)   \
  X(SetupDiDestroyDeviceInfoList)        \
  X(CM_Get_DevNode_Status)               \
  /* newdev */                           \
  X(UpdateDriverForPlugAndPlayDevicesW)  \
  /* shlwapi */                          \
  X(PathFileExistsW)                     \
  /* kernel32: system and modules */     \
  X(GetSystemDirectoryW)                 \
  X(GetModuleFileNameW)                  \
  X(SetDllDirectoryW)                    \
  X(LoadLibraryW)                        \
  X(GetProcAddress)                      \
  X(FreeLibrary)                         \
  X(GetFullPathNameW)                    \
  /* kernel32: files, output and time */ \
  X(CreateDirectoryW)                    \
  X(CreateFileW)                         \
  X(LockFileEx)                          \
  X(UnlockFileEx)                        \
  X(SetFilePointerEx)                    \
  X(WriteFile)                           \
  X(CloseHandle)                         \
  X(GetStdHandle)                        \
  X(OutputDebugStringW)                  \
  X(GetCurrentThreadId)                  \
  X(GetLocalTime)                        \
  X(Sleep)                               \
  X(GetLastError)

struct Calls {
#define MDS_DECLARE_CALL(name) decltype(&::name) name;
  MDS_PLATFORM_CALLS(MDS_DECLARE_CALL)
#undef MDS_DECLARE_CALL
};

// The table in force. Production code calls through it: Sys().LoadLibraryW(...)
Calls& Sys();

// The table filled with the real functions.
const Calls& RealCalls();

// Puts every entry back to the real function.
void ResetCalls();

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
