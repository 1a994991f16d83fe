// Reads the system directory and derives the driver package locations.
#include "app/driver_paths.h"
#include "platform/calls.h"

namespace app {

void GetDriverPaths(PathBuffer& networkInf, PathBuffer& usbInf, const wchar_t*& modelsSection) {
  wchar_t systemDir[MAX_PATH] = {};
  platform::Sys().GetSystemDirectoryW(systemDir, MAX_PATH);
  DerivePackagePaths(systemDir, MAX_PATH, networkInf, usbInf);
  modelsSection = kModelsSection;
}

}  // namespace app
