// A driver store that answers as Windows documents it, not as Wine does, for
// one scope: the system INF folder is a folder the test names, every copy the
// store makes is named oem<N>.inf, a package counts as there already when its
// INF bytes and its catalog's bytes match a copy the store published (or a
// file of the package's own name), and an uninstall is refused for a name it
// never published, or for a copy in use unless forced. A forced uninstall
// leaves the copy's devices bound to a package that is gone; where newdev
// has DiUninstallDriverW, that moves them to another driver first. The INF
// folder lists in reverse name order. Tests set the public fields and look at
// the folder afterwards.
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
  };

  // `windowsFolder` answers GetSystemWindowsDirectoryW; its "inf" folder is
  // the system INF folder, made here if missing.
  explicit FakeDriverStore(std::wstring windowsFolder);
  ~FakeDriverStore();
  FakeDriverStore(const FakeDriverStore&) = delete;
  FakeDriverStore& operator=(const FakeDriverStore&) = delete;

  std::wstring InfFolder() const { return windowsFolder + L"\\inf"; }

  std::wstring windowsFolder;
  std::vector<Published> published;
  bool hasDiUninstallDriver = false;  // newdev.dll exports it (Windows 10 version 1703 on)
  int strandedDevices = 0;            // devices left bound to a package that is gone

 private:
  platform::Calls saved_;
};

}  // namespace fakes
