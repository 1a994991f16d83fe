// The sample driver packages at the fixed place the tool reads them from,
// "<system drive>\Program Files\Common Files\Apple\Mobile Device Support",
// and a look at the system INF folder, for the end-to-end tests.
#pragma once

#include <string>
#include <vector>

#include "platform/win.h"

namespace testing_support {

std::wstring FixtureDir();      // bin\fixtures beside the test program
std::wstring PackageRoot();     // ...\Mobile Device Support on the system drive
std::wstring UsbInfPath();      // PackageRoot()\Drivers\usbaapl64.inf
std::wstring NetworkInfPath();  // PackageRoot()\NetDrivers\netaapl64.inf
std::wstring SystemInfDir();    // e.g. C:\windows\inf

// Copies fixtures\packages (or another folder of the same shape) to PackageRoot().
bool PlacePackages(const std::wstring& sourceRoot = FixtureDir() + L"\\packages");
void RemovePackages();

// Names of the *.inf files in the system INF folder.
std::vector<std::wstring> SystemInfNames();

// Removes every *.inf (and its .pnf) in the system INF folder whose bytes
// equal those of `infPath`: undoes what a test's install put there.
void RemoveSystemCopiesOf(const std::wstring& infPath);

// RemoveSystemCopiesOf for both sample packages in fixtures\packages.
void RemoveSystemCopiesOfSamples();

// The full paths of the *.inf files in the system INF folder that hold the
// same bytes as `infPath` (or as `bytes`), and how many there are.
std::vector<std::wstring> SystemCopiesOf(const std::wstring& infPath);
std::vector<std::wstring> SystemCopiesOfBytes(const std::string& bytes);
int CountSystemCopiesOf(const std::wstring& infPath);
int CountSystemCopiesOfBytes(const std::string& bytes);

// The store lock's mutex, made first as another run would make it: owned by
// the Administrators group (an elevated run's) or by this user. Null when it
// cannot be made.
HANDLE MakeStoreMutex(bool byAdministrators);

// Another thread can take the store lock at once: nobody holds it now. A
// mutex nobody has made counts as free, so a lock never taken is not taken
// for a held one.
bool StoreLockIsFree();

}  // namespace testing_support
