// The one door to the Windows headers: every file that needs a Windows type
// or call includes this header, so the macros that shape windows.h are pinned
// in one place.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7 (SetDefaultDllDirectories is looked up at run time)
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE  // NOLINT(bugprone-reserved-identifier): the C runtime's own name for wide text
#endif

#include <windows.h>
// windows.h first: the SetupAPI family needs its types.
#include <aclapi.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <regstr.h>
#include <sddl.h>
#include <setupapi.h>
#include <shlwapi.h>
#include <winver.h>
// NtCreateFile and its types.
#include <winternl.h>

// newdev.dll's driver package removal, from Windows 10 version 1703 on. The
// headers declare it only for Windows 10 targets, and the tool looks it up at
// run time, so it is declared here for its type alone.
#ifndef DIURFLAG_NO_REMOVE_INF
extern "C" BOOL WINAPI DiUninstallDriverW(HWND hwndParent, LPCWSTR InfPath, DWORD Flags, PBOOL NeedReboot);
#endif

// SetupAPI's driver store path of a published INF (Windows Vista on). The
// Windows SDK declares it; the mingw-w64 headers do not, so it is declared
// here for its type alone, as above.
#if !defined(_MSC_VER)
extern "C" BOOL WINAPI SetupGetInfDriverStoreLocationW(PCWSTR FileName, PSP_ALTPLATFORM_INFO AlternatePlatformInfo,
                                                       PCWSTR LocaleName, PWSTR ReturnBuffer, DWORD ReturnBufferSize,
                                                       PDWORD RequiredSize);
#endif

// The machine a process runs on (Windows 10 version 1511 on), looked up at
// run time; declared here for its type alone, as above.
#if _WIN32_WINNT < 0x0A00
extern "C" BOOL WINAPI IsWow64Process2(HANDLE hProcess, USHORT* pProcessMachine, USHORT* pNativeMachine);
#endif

// ntdll's directory query, which neither the mingw-w64 nor the Windows SDK
// user-mode headers declare; declared here for its type alone.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                               ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                                               BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                               BOOLEAN RestartScan);
