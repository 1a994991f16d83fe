// The driver package locations derived from a system directory's text.
#include "app/driver_paths.h"

#include <cstring>
#include <cwchar>

namespace app {

const wchar_t kNetworkInfSuffix[] =
    L"Program Files\\Common Files\\Apple\\Mobile Device Support\\NetDrivers\\netaapl64.inf";
const wchar_t kUsbInfSuffix[] = L"Program Files\\Common Files\\Apple\\Mobile Device Support\\Drivers\\usbaapl64.inf";
const wchar_t kModelsSection[] = L"Apple.NTamd64";

namespace {

PathBuffer Join(const wchar_t* prefix, std::size_t prefixLength, const wchar_t* suffix) {
  const std::size_t suffixLength = std::wcslen(suffix);
  PathBuffer path;
  path.capacity = prefixLength + suffixLength + 1;
  path.chars.reset(new wchar_t[path.capacity]);
  std::memcpy(path.chars.get(), prefix, prefixLength * sizeof(wchar_t));
  std::memcpy(path.chars.get() + prefixLength, suffix, (suffixLength + 1) * sizeof(wchar_t));
  return path;
}

}  // namespace

void DerivePackagePaths(const wchar_t* systemDir, std::size_t capacity, PathBuffer& networkInf, PathBuffer& usbInf) {
  // The drive root is taken by position: the first three characters, or
  // fewer when the text is shorter. Nothing checks that it looks like "C:\".
  std::size_t prefixLength = 0;
  while (prefixLength < 3 && prefixLength < capacity && systemDir[prefixLength] != L'\0') ++prefixLength;
  networkInf = Join(systemDir, prefixLength, kNetworkInfSuffix);
  usbInf = Join(systemDir, prefixLength, kUsbInfSuffix);
}

}  // namespace app
