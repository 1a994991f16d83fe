// mds_bare_name_probe.exe: what mdsdriver.exe's wmain does, but the process
// sees its own module path as the bare name "mdsdriver.exe", so "/i" and "/u"
// load difxapi_x64.dll by file name alone. A second argument
// "--unrestricted" leaves out the start-up restriction of the library search,
// to show what it guards against.
#include <cwchar>

#include "app/commands.h"
#include "app/dll_search.h"
#include "platform/calls.h"

namespace {

DWORD WINAPI BareModulePath(HMODULE module, LPWSTR buffer, DWORD size) {
  if (module != nullptr) return platform::RealCalls().GetModuleFileNameW(module, buffer, size);
  const wchar_t name[] = L"mdsdriver.exe";
  const DWORD length = static_cast<DWORD>(std::wcslen(name));
  if (size <= length) return 0;
  std::wmemcpy(buffer, name, length + 1);
  return length;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  auto bare = platform::Override(&platform::Calls::GetModuleFileNameW, &BareModulePath);
  const bool unrestricted = argc > 2 && std::wcscmp(argv[2], L"--unrestricted") == 0;
  if (!unrestricted) app::RestrictDllSearch();
  return app::RunTool(argc, argv);
}
