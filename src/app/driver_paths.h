// Where the two driver packages lie: fixed folders under "Program Files" on
// the system drive, the drive taken from the system directory.
#pragma once

#include <cstddef>
#include <memory>

namespace app {

// A path in a buffer of exactly its length plus one characters, owned by
// whoever holds this.
struct PathBuffer {
  std::unique_ptr<wchar_t[]> chars;
  std::size_t capacity = 0;

  const wchar_t* get() const { return chars.get(); }
};

extern const wchar_t kNetworkInfSuffix[];
extern const wchar_t kUsbInfSuffix[];
extern const wchar_t kModelsSection[];

// Fills the network INF path, the USB INF path and the models-section name
// (the program's constant "Apple.NTamd64", never a copy), in that order.
void GetDriverPaths(PathBuffer& networkInf, PathBuffer& usbInf, const wchar_t*& modelsSection);

// The two INF paths for a system directory read into a buffer of `capacity`
// characters (its text ends at the first null, or at the capacity). Plain
// text code, with no Windows calls.
void DerivePackagePaths(const wchar_t* systemDir, std::size_t capacity, PathBuffer& networkInf, PathBuffer& usbInf);

}  // namespace app
