// Where "/i" and "/u" find difxapi_x64.dll, and how they look up its entry
// points once it is loaded.
#pragma once

#include <string>

#include "difx_api.h"

namespace package {

extern const wchar_t kDifxLibraryName[];  // "difxapi_x64.dll"

// The executable's folder with its trailing backslash, then
// "difxapi_x64.dll". With no backslash in the module path, or a module path
// that did not fit its buffer, it is the bare file name: the loader then
// looks in the executable's own folder (and System32) for it, never in a
// folder named by a cut-off path.
std::wstring DifxLibraryPath();

// The three entry points, or nullptr for each that the library lacks.
struct DifxEntries {
  DriverPackagePreinstallWFn preinstall = nullptr;
  DriverPackageUninstallWFn uninstall = nullptr;
  DriverPackageGetPathWFn getPath = nullptr;
};

// Looks up all three, in the order preinstall, uninstall, path query.
DifxEntries LookUpDifxEntries(HMODULE library);

// Looks up only the preinstall entry point.
DriverPackagePreinstallWFn LookUpPreinstall(HMODULE library);

}  // namespace package
