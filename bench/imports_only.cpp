// An exe that does nothing but carries mdsdriver.exe's imports: the part of
// the tool's start-up that is the loader's work on its system DLLs.
#include "platform/calls.h"

int wmain() {
  // Touching the table makes the linker keep every import it names.
  return platform::Sys().GetLastError == nullptr ? 1 : 0;
}
