// A driver store that answers as Windows documents it, not as Wine does, for
// one scope: the system INF folder is a folder the test names, every copy the
// store makes is named oem<N>.inf, a package counts as there already when its
// INF bytes and its catalog's bytes match a copy the store published (or a
// file of the package's own name), and an uninstall is refused for a name it
// never published, or for a copy in use unless forced. The system records
// where each copy came from: SetupQueryInfOriginalFileInformationW answers the
// INF and catalog names it was published from. A forced uninstall
// leaves the copy's devices bound to a package that is gone; where newdev
// has DiUninstallDriverW (as the loader tells through the table's
// LoadLibraryExW and GetProcAddress), that moves them to another driver
// first. The INF folder lists in reverse name order. Tests set the public
// fields and look at the folder afterwards.
#pragma once

#include <string>
#include <vector>

#include "platform/calls.h"

namespace fakes {

struct FakeDriverStore {
  struct Published {
    std::wstring name;    // e.g. oem3.inf, in the INF folder
    std::string catalog;  // the bytes of the catalog it was published with
    bool inUse = false;   // a device was installed from it
    std::wstring original = L"sample.inf", catalogName = L"sample.cat";  // what it was published from
  };

  // `windowsFolder` answers GetSystemWindowsDirectoryW; its "inf" folder is
  // the system INF folder, made here if missing.
  explicit FakeDriverStore(std::wstring windowsFolder);
  ~FakeDriverStore();
  FakeDriverStore(const FakeDriverStore&) = delete;
  FakeDriverStore& operator=(const FakeDriverStore&) = delete;

  std::wstring InfFolder() const { return windowsFolder + L"\\inf"; }
  // Where SetupGetInfDriverStoreLocationW places each published copy:
  // <this>\<name>_amd64\<name>.
  std::wstring DriverStoreFolder() const { return windowsFolder + L"\\System32\\DriverStore\\FileRepository"; }

  std::wstring windowsFolder;
  std::vector<Published> published;
  // newdev.dll: it loads, it exports DiUninstallDriverW (Windows 10 version
  // 1703 on), and that answers for a published copy's path and for a driver
  // store path: 0 moves the devices and takes the copy out, else that failure.
  struct NewDev {
    bool loads, exports;
    DWORD publishedPathAnswer, storePathAnswer;
  } newDev = {true, false, 0, 0};
  int strandedDevices = 0;  // devices left bound to a package that is gone
  int copyCalls = 0;        // SetupCopyOEMInfW calls
  // Zeros added to each copy's driver store folder name, for paths past MAX_PATH.
  std::size_t storeFolderPadding = 0;

 private:
  platform::Calls saved_;
};

}  // namespace fakes
