// Entry point of mdsdriver.exe.
#include <cstdlib>

#include "app/commands.h"
#include "app/dll_search.h"

int wmain(int argc, wchar_t** argv) {
  app::RestrictDllSearch();
  return app::RunTool(argc, argv);
}

#if defined(__GLIBCXX__)
// libstdc++'s default handler for an uncaught exception prints the
// exception's demangled type name, and so links the whole C++ demangler
// (about 75 KiB) into this statically linked exe. The only exception the tool
// can leave uncaught is running out of memory, which ends the process either
// way: end it at once, as the runtime's abort does.
namespace __gnu_cxx {
// NOLINTNEXTLINE(bugprone-reserved-identifier): the library's name, which this replaces
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif
