// The Driver Install Frameworks interface as the tool and our own
// difxapi_x64.dll share it: the three entry points, their flags and the one
// status code of their own. mingw-w64 ships no difxapi.h, so they are
// declared here, with the platform's names and values.
#pragma once

#include "platform/win.h"

#define DRIVER_PACKAGE_REPAIR 0x00000001
#define DRIVER_PACKAGE_SILENT 0x00000002
#define DRIVER_PACKAGE_FORCE 0x00000004
#define DRIVER_PACKAGE_ONLY_IF_DEVICE_PRESENT 0x00000008
#define DRIVER_PACKAGE_LEGACY_MODE 0x00000010
#define DRIVER_PACKAGE_DELETE_FILES 0x00000020

#ifndef ERROR_DRIVER_PACKAGE_NOT_IN_STORE
#define ERROR_DRIVER_PACKAGE_NOT_IN_STORE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x302)
#endif

// Who installs the package, for the system's list of installed programs. The
// tool always passes none.
typedef struct INSTALLERINFO_W {
  PWSTR pApplicationId;
  PWSTR pDisplayName;
  PWSTR pProductName;
  PWSTR pMfgName;
} INSTALLERINFO_W, *PINSTALLERINFO_W;
typedef const INSTALLERINFO_W* PCINSTALLERINFO_W;

namespace package {

// DriverPackagePreinstallW(INF path, flags): 0 when the package has been put
// into the store, ERROR_ALREADY_EXISTS when the store holds it already.
typedef DWORD(WINAPI* DriverPackagePreinstallWFn)(PCWSTR infPath, DWORD flags);

// DriverPackageUninstallW(INF path in the store or of the package, flags,
// installer info, needs-reboot out): 0 when the package has been removed.
typedef DWORD(WINAPI* DriverPackageUninstallWFn)(PCWSTR infPath, DWORD flags, PCINSTALLERINFO_W installerInfo,
                                                 BOOL* needsReboot);

// DriverPackageGetPathW(INF path of the package, buffer, count in and out):
// 0 with the full path of the package's copy in the store in the buffer.
typedef DWORD(WINAPI* DriverPackageGetPathWFn)(PCWSTR infPath, PWSTR storePath, DWORD* count);

// Our library's own two entry points, beside the three above, for the fleet
// switches, which must know exactly which published INF their own calls
// made and take out exactly one.

// MdsPreinstallW(INF path, flags, buffer, its size in characters, published
// out): as DriverPackagePreinstallW, and the buffer names the published INF
// in the system INF folder (the one this call made, or the identical one the
// store held already); *published is TRUE only when this call made it.
typedef DWORD(WINAPI* MdsPreinstallWFn)(PCWSTR infPath, DWORD flags, PWSTR publishedInf, DWORD chars, BOOL* published);

// MdsRemovePublishedInfW(published INF path, needs-reboot out): takes out
// that one published INF and no other, whatever bytes the others share with
// it; 0 when it is gone.
typedef DWORD(WINAPI* MdsRemovePublishedInfWFn)(PCWSTR publishedInf, BOOL* needsReboot);

}  // namespace package
