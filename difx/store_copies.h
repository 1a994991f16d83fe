// Every copy of a driver package that the system INF folder holds, found by
// what Windows records of each published INF (the INF it was published from,
// its catalog, its class), not by the package's bytes of today. What "/status"
// and "/inventory" tell of the store comes from here.
#pragma once

#include <string>
#include <vector>

#include "platform/win.h"

namespace difx {

// What a package is known by in the store, whatever its version.
struct PackageIdentity {
  std::wstring infName;      // the package's own INF name, e.g. netaapl64.inf
  std::wstring catalogName;  // the catalog its INF names, e.g. netaapl64.cat
  std::wstring classGuid;    // its device setup class, e.g. {4D36E972-E325-11CE-BFC1-08002BE10318}
  std::wstring provider;     // its INF's provider; empty when unknown, and then not compared
};

// Reads the identity from the package's own INF: its catalog (for x64
// systems first), class and provider; the file name is `inf`'s. ERROR_SUCCESS,
// or why the INF could not be read (`identity` then keeps what it held).
DWORD ReadPackageIdentity(const std::wstring& inf, PackageIdentity& identity);

// One published INF, as the system records it.
struct StoreCopy {
  std::size_t package = 0;     // the index of the identity it has
  std::wstring publishedName;  // oem<N>.inf (Wine keeps a first copy under the package's own name)
  std::wstring path;           // in the system INF folder
  std::wstring originalName;   // the INF it was published from, as the system tells
  std::wstring catalogName;
  std::wstring provider, classGuid;
  std::wstring driverDate;     // DriverVer's date as YYYY-MM-DD; empty when it has none that reads
  std::wstring driverVersion;  // DriverVer's version; empty when it has none
  std::wstring storePath;      // its INF in the driver store; empty where the system does not tell
};

struct StoreContents {
  std::vector<StoreCopy> copies;  // in published order: oem<N>.inf by N, then other names
  // Published INFs that could not be read, and so could be a copy too: name and why.
  struct Unreadable {
    std::wstring name;
    DWORD error;
  };
  std::vector<Unreadable> unreadable;
};

// Lists the system INF folder once and reads each published INF (and any
// file of a package's own name) once, keeping those that have one of
// `packages`' identities. A file that cannot be read is set aside, never a
// reason to fail. ERROR_SUCCESS, or why the folder could not be listed.
DWORD ReadStoreCopies(const std::vector<PackageIdentity>& packages, StoreContents& contents);

// Whether the file `candidate` holds the bytes of `inf`: ERROR_SUCCESS, or
// why either could not be read.
DWORD SameBytesAs(const std::wstring& candidate, const std::wstring& inf, bool& same);

}  // namespace difx
