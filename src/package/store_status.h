// "/status" and "/inventory": what the driver store holds of the two driver
// packages. Both change nothing: no preinstall, no copy, no device update,
// no log.
#pragma once

#include <string>
#include <vector>

#include "store_copies.h"

namespace package {

// Exit codes. None is 0, which an older exe gives for a switch it does not
// know, nor 1 to 5, which the other switches give.
// Both packages' INFs on the disk: which of the packages as they are there
// today the store holds.
constexpr int kStatusNeither = 10;
constexpr int kStatusNetworkOnly = 11;
constexpr int kStatusUsbOnly = 12;
constexpr int kStatusBoth = 13;
// A package's INF missing (the maker's software removed, say): which
// packages the store holds copies of, any version, known by their identity.
constexpr int kStatusNoCopies = 30;
constexpr int kStatusNetworkCopiesOnly = 31;
constexpr int kStatusUsbCopiesOnly = 32;
constexpr int kStatusBothCopies = 33;
// It cannot tell:
constexpr int kStatusNoLibrary = 20;  // difxapi_x64.dll cannot be loaded or has no path query
// (21 is not given: a missing INF answers 30 to 33.)
constexpr int kStatusBusy = 22;        // another run kept the store lock past the wait: ask again later
constexpr int kStatusUnreadable = 23;  // the store could not be read

// How long it waits for another run's store work to end: long enough for a
// run's whole store work, short enough for a detection script.
constexpr unsigned long kStatusLockWaitMs = 10000;

// Whether something is so: yes, no, or nobody can say.
enum class Known { kNo, kYes, kUnknown };

struct CopyReport {
  difx::StoreCopy copy;
  Known current = Known::kUnknown;    // equal to the package's INF on the disk; unknown without it
  std::vector<std::wstring> devices;  // instance IDs of the devices whose driver came from it
  bool owned = false;                 // a deployment added it, as its record and bytes tell
};

struct PackageReport {
  const wchar_t* package = L"";  // "network" or "usb"
  const wchar_t* tag = L"";      // its name in trace lines: "netaapl" or "usbaapl"
  std::wstring inf;              // the package's INF on the disk
  bool infPresent = false;
  std::vector<CopyReport> copies;
};

struct StoreReport {
  int status = kStatusUnreadable;  // the exit code
  bool storeRead = false;          // the copies below are the store's (else the run stopped before)
  bool devicesRead = false;        // the devices below are the system's
  bool restartPending = false;     // a device of a copy waits for a restart
  PackageReport packages[2];       // network, then USB
  std::vector<difx::StoreContents::Unreadable> unreadable;
};

// Whether a deployment owns a copy of `package` ("network" or "usb"): the
// fleet's records answer it. Null: nobody owns any.
using OwnedTest = bool (*)(const difx::StoreCopy& copy, const wchar_t* package);

// Everything both switches tell, read under the store lock; traces a line
// for each package and each copy.
StoreReport ReadStoreReport(const wchar_t* networkInf, const wchar_t* usbInf, OwnedTest owned = nullptr);

// The same, for a run that holds the store lock already and has no need of
// the library.
StoreReport ReadStore(const wchar_t* networkInf, const wchar_t* usbInf, OwnedTest owned = nullptr);

// "/status": the report's exit code.
int StoreStatus(const wchar_t* networkInf, const wchar_t* usbInf, OwnedTest owned = nullptr);

// "/inventory": the report as one JSON document on standard output, which
// then carries nothing else (the trace goes to the debugger channel alone).
int StoreInventory(const wchar_t* networkInf, const wchar_t* usbInf, OwnedTest owned = nullptr);

}  // namespace package
