// Locating difxapi_x64.dll beside the executable and looking up its exports.
#include "package/difx_library.h"

#include "platform/calls.h"

namespace package {
namespace {

// GetProcAddress hands back a generic function pointer; going through
// void(*)() first keeps the cast to the real prototype free of warnings.
template <typename Fn>
Fn LookUp(HMODULE library, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(platform::Sys().GetProcAddress(library, name)));
}

}  // namespace

const wchar_t kDifxLibraryName[] = L"difxapi_x64.dll";

std::wstring DifxLibraryPath() {
  wchar_t modulePath[MAX_PATH] = {};
  const DWORD length = platform::Sys().GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  modulePath[MAX_PATH - 1] = L'\0';

  // A path that filled the whole buffer was cut off: its last backslash may
  // belong to a folder above the executable's, so it names no folder at all.
  std::wstring libraryPath = length < MAX_PATH ? modulePath : L"";
  const std::size_t slash = libraryPath.find_last_of(L'\\');
  libraryPath.erase(slash == std::wstring::npos ? 0 : slash + 1);
  libraryPath += kDifxLibraryName;
  return libraryPath;
}

DifxEntries LookUpDifxEntries(HMODULE library) {
  DifxEntries entries;
  entries.preinstall = LookUp<DriverPackagePreinstallWFn>(library, "DriverPackagePreinstallW");
  entries.uninstall = LookUp<DriverPackageUninstallWFn>(library, "DriverPackageUninstallW");
  entries.getPath = LookUp<DriverPackageGetPathWFn>(library, "DriverPackageGetPathW");
  return entries;
}

DriverPackagePreinstallWFn LookUpPreinstall(HMODULE library) {
  return LookUp<DriverPackagePreinstallWFn>(library, "DriverPackagePreinstallW");
}

}  // namespace package
