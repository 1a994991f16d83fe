// Start-up hardening of the process's library search.
#include "app/dll_search.h"

#include "platform/calls.h"

namespace app {

void RestrictDllSearch() { platform::Sys().SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS); }

}  // namespace app
