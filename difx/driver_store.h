// The Driver Install Frameworks entry points that mdsdriver uses, and our own
// two beside them, as
// difxapi_x64.dll exports them (difxapi.cpp) and as the tests call them in
// process, through the test program's own call table.
#pragma once

#include "difx_api.h"

namespace difx {

DWORD WINAPI Preinstall(PCWSTR infPath, DWORD flags);
DWORD WINAPI GetPath(PCWSTR infPath, PWSTR storePath, DWORD* count);
DWORD WINAPI Uninstall(PCWSTR infPath, DWORD flags, PCINSTALLERINFO_W installerInfo, BOOL* needsReboot);
DWORD WINAPI PreinstallNamed(PCWSTR infPath, DWORD flags, PWSTR publishedInf, DWORD chars, BOOL* published);
DWORD WINAPI RemovePublishedInf(PCWSTR publishedInf, BOOL* needsReboot);

}  // namespace difx
