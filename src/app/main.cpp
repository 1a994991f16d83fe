// Entry point of mdsdriver.exe.
#include "app/commands.h"
#include "app/dll_search.h"

int wmain(int argc, wchar_t** argv) {
  app::RestrictDllSearch();
  return app::RunTool(argc, argv);
}
