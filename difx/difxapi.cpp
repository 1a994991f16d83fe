// difxapi_x64.dll: the three Driver Install Frameworks entry points that
// mdsdriver uses, and our own two for its fleet switches (driver_store.cpp
// holds what they do).
#include <cstdlib>

#include "driver_store.h"

extern "C" __declspec(dllexport) DWORD WINAPI DriverPackagePreinstallW(PCWSTR DriverPackageInfPath, DWORD Flags) {
  return difx::Preinstall(DriverPackageInfPath, Flags);
}

extern "C" __declspec(dllexport) DWORD WINAPI
    DriverPackageGetPathW(PCWSTR DriverPackageInfPath, PWSTR pDestInfPath, DWORD* pNumOfChars) {
  return difx::GetPath(DriverPackageInfPath, pDestInfPath, pNumOfChars);
}

extern "C" __declspec(dllexport) DWORD WINAPI
    DriverPackageUninstallW(PCWSTR DriverPackageInfPath, DWORD Flags, PCINSTALLERINFO_W pInstallerInfo,
                            BOOL* pNeedReboot) {
  return difx::Uninstall(DriverPackageInfPath, Flags, pInstallerInfo, pNeedReboot);
}

extern "C" __declspec(dllexport) DWORD WINAPI
    MdsPreinstallW(PCWSTR DriverPackageInfPath, DWORD Flags, PWSTR pPublishedInfPath, DWORD NumOfChars,
                   BOOL* pPublished) {
  return difx::PreinstallNamed(DriverPackageInfPath, Flags, pPublishedInfPath, NumOfChars, pPublished);
}

extern "C" __declspec(dllexport) DWORD WINAPI MdsRemovePublishedInfW(PCWSTR PublishedInfPath, BOOL* pNeedReboot) {
  return difx::RemovePublishedInf(PublishedInfPath, pNeedReboot);
}

#if defined(__GLIBCXX__)
// As in mdsdriver.exe: libstdc++'s default handler for an uncaught exception
// would link the whole C++ demangler into this statically linked library.
// Nothing leaves the entry points as an exception, so nothing uses it.
namespace __gnu_cxx {
// NOLINTNEXTLINE(bugprone-reserved-identifier): the library's name, which this replaces
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif
