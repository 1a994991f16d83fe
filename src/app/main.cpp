// Entry point of mdsdriver.exe.
#include "app/commands.h"

int wmain(int argc, wchar_t** argv) { return app::RunTool(argc, argv); }
