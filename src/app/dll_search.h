// Start-up hardening of the process's library search.
#pragma once

namespace app {

// From here on, a library loaded by file name alone is looked for only in
// the executable's folder and System32, never in the current folder or along
// PATH: a difxapi_x64.dll planted there must not run with the tool's rights.
void RestrictDllSearch();

}  // namespace app
