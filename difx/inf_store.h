// The system INF folder as difxapi_x64.dll sees it: which files there are a
// package's copies, the ones the system published for it.
#pragma once

#include <string>
#include <vector>

#include "platform/win.h"

namespace difx {

// A failed system call's reason, never 0, so a failure is never mistaken for success.
DWORD LastFailure();

// The full form of `path`, or empty when it cannot be made absolute.
std::wstring FullPath(const wchar_t* path);

// Whether a file is there: the system may fail to say, and then it is neither.
enum class Presence { kPresent, kAbsent, kUnknown };
Presence FilePresence(const std::wstring& path);

// The system INF folder, e.g. C:\Windows\inf; ERROR_SUCCESS, or why it
// cannot be had.
DWORD SystemInfFolder(std::wstring& folder);

// The name part of a path.
std::wstring FileName(const std::wstring& path);

// The precompiled INF the system keeps beside a copy (x.inf: x.pnf), or
// empty for a name that does not end in ".inf".
std::wstring PrecompiledInf(const std::wstring& copy);

// True for a name the system gives the copies it publishes: oem<N>.inf, case ignored.
bool IsPublishedName(const std::wstring& name);

// The published copy's INF in the driver store
// (...\DriverStore\FileRepository\<package>_<hash>\<name>.inf); ERROR_SUCCESS,
// or why the system could not say.
DWORD DriverStorePath(const std::wstring& copy, std::wstring& path);

// The package's copies in the system INF folder: files named oem<N>.inf, or
// the same name as `inf` or `ownName` (the package's own INF name when `inf`
// is a published copy, else empty; Wine keeps a package's own name when it
// is free), whose bytes equal those of `inf`, in a fixed order: oem<N>.inf by
// name, then the other names. A file under any other name is not one,
// whatever it holds. Gives ERROR_SUCCESS, or why the folder or `inf` could
// not be read; `unreadable` is set to the reason one candidate could not be
// read (0 when every one could), since that one may be a copy too.
DWORD FindPackageCopies(const std::wstring& inf, const std::wstring& ownName, std::vector<std::wstring>& copies,
                        DWORD& unreadable);

}  // namespace difx
