// "/status": which of the two driver packages the driver store holds. It
// changes nothing: no preinstall, no copy, no device update.
#pragma once

namespace package {

// Exit codes. None is 0, which an older exe gives for a switch it does not
// know, nor 1 to 5, which the other switches give.
constexpr int kStatusNeither = 10;
constexpr int kStatusNetworkOnly = 11;
constexpr int kStatusUsbOnly = 12;
constexpr int kStatusBoth = 13;
// It cannot tell:
constexpr int kStatusNoLibrary = 20;   // difxapi_x64.dll cannot be loaded or has no path query
constexpr int kStatusInfMissing = 21;  // a driver package's INF is not on the disk
constexpr int kStatusBusy = 22;        // another run kept the store lock past the wait: ask again later
constexpr int kStatusUnreadable = 23;  // the store could not be read

// How long it waits for another run's store work to end: long enough for a
// run's whole store work, short enough for a detection script.
constexpr unsigned long kStatusLockWaitMs = 10000;

// Asks the library's path query for each package and traces one line for
// each: its state and, when stored, its path in the store.
int StoreStatus(const wchar_t* networkInf, const wchar_t* usbInf);

}  // namespace package
