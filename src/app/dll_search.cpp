// Start-up hardening of the process's library search.
#include "app/dll_search.h"

#include "platform/calls.h"

namespace app {

void RestrictDllSearch() {
  // The exe's folder and System32 only: never the current folder or PATH.
  const auto restrict = platform::Sys().SetDefaultDllDirectories;
  if (restrict != nullptr&& restrict(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) return;
  // Where that is missing (Windows 7 without KB2533623), at least take the
  // current folder out of the search.
  platform::Sys().SetDllDirectoryW(L"");
}

}  // namespace app
