// Placeholder until the driver store operations land.
#include "package/package_store.h"

namespace package {

int InstallDrviver(const wchar_t*, const wchar_t*, const wchar_t*) { return 0; }

int UnloadDriver(const wchar_t*, const wchar_t*) { return 0; }

}  // namespace package
