// difxapi_x64.dll's three entry points, run in process against a driver
// store that answers as Windows documents it (fakes/fake_driver_store.h).
// With the end-to-end tests, since the store lock's name is machine-wide.
#include "driver_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_driver_store.h"
#include "fakes/output_capture.h"
#include "platform/store_lock.h"
#include "store_copies.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"

namespace {

// What a file in the INF folder holds: the package's INF (published with its
// catalog, or with another one), or some other INF.
enum class Holds { kPackage, kPackageOtherCatalog, kPackageButItsLastByte, kOther };

struct InfFile {
  const wchar_t* name;
  Holds holds;
  bool published;
  bool inUse;
  bool locked = false;    // held open by another program that shares nothing
  bool unknown = false;   // its attributes cannot be read (access denied)
  bool vanishes = false;  // listed, then gone when its size is read (another run removed it)
};

// clang-format off
// kPreinstallFileNotFound: the system's copy fails with "file not found"
// though the catalog is there.
// kGetPathThenUninstall: uninstall by the path GetPath answered, as the tool
// does, but in capitals: paths compare without case.
enum class Call { kPreinstall, kPreinstallFileNotFound, kGetPath, kUninstall, kForcedUninstall, kUninstallByStorePath,
                  kGetPathThenUninstall };

// newdev.dll: without DiUninstallDriverW (before Windows 10 version 1703,
// and Wine), not loadable at all, or with it, taking a published copy's path,
// only a driver store path ("file not found" for the other), neither
// ("invalid parameter"), or failing inside (a class installer's 126).
using NewDev = fakes::FakeDriverStore::NewDev;
const NewDev kWithout{true, false, 0, 0}, kUnloadable{false, false, 0, 0}, kWith{true, true, 0, 0},
    kStorePathOnly{true, true, ERROR_FILE_NOT_FOUND, 0}, kFailsInside{true, true, ERROR_MOD_NOT_FOUND, 0},
    kNoPath{true, true, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER};

// The store lock: free, its wait timing out, or held for 1.5 s by another
// thread, owned by the Administrators group (waited for) or by this user
// while the run is elevated (not waited for); or held in a private namespace
// where Windows offers one, or that namespace refused (not waited for).
enum class Lock { kFree, kTimesOut, kAdministrators, kOwnUserElevated, kNamespace, kNamespaceRefused };

struct StoreCase {
  const char* what;
  std::vector<InfFile> before;
  Call call;
  DWORD status;
  std::vector<std::wstring> after;  // the INF folder's names afterwards, sorted as the folder lists them
  const wchar_t* path;              // GetPath's answer (a name in the INF folder), or null
  NewDev newDev = kWithout;
  int strandedDevices = 0;  // left bound to a package that is gone
  BOOL needsReboot = FALSE;
  Lock lock = Lock::kFree;
  bool largePackage = false;           // past any size cap: the files compare in chunks
  const char* catalogLines = nullptr;  // in place of the INF's "CatalogFile=sample.cat" line
  bool longStorePath = false;          // the copies' driver store paths are longer than MAX_PATH
};

const char kPackageInf[] = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
const char kCatalogLine[] = "CatalogFile=sample.cat\r\n";
const char kCatalog[] = "catalog signed today";

const StoreCase kStoreCases[] = {
    {"a new package gets the next oem name", {{L"oem0.inf", Holds::kOther, true, false}},
     Call::kPreinstall, 0, {L"oem0.inf", L"oem1.inf"}, nullptr},
    {"the same INF and catalog is there already, by the name the system gives back",
     {{L"oem3.inf", Holds::kPackage, true, false}},
     Call::kPreinstall, ERROR_ALREADY_EXISTS, {L"oem3.inf"}, nullptr},
    {"a package signed anew is stored anew", {{L"oem3.inf", Holds::kPackageOtherCatalog, true, false}},
     Call::kPreinstall, 0, {L"oem0.inf", L"oem3.inf"}, nullptr},
    {"a copy dropped by hand under another name is not the package", {{L"backup.inf", Holds::kPackage, false, false}},
     Call::kPreinstall, 0, {L"backup.inf", L"oem0.inf"}, nullptr},
    {"the path is a published copy's, whatever the case of its name",
     {{L"backup.inf", Holds::kPackage, false, false}, {L"OEM7.INF", Holds::kPackage, true, false}},
     Call::kGetPath, 0, {L"OEM7.INF", L"backup.inf"}, L"OEM7.INF"},
    {"a copy under another name has no path", {{L"backup.inf", Holds::kPackage, false, false}},
     Call::kGetPath, ERROR_DRIVER_PACKAGE_NOT_IN_STORE, {L"backup.inf"}, nullptr},
    {"uninstall by a store path takes every published copy and leaves the stray one",
     {{L"oem1.inf", Holds::kPackage, true, false}, {L"OEM2.INF", Holds::kPackageOtherCatalog, true, false},
      {L"oemold.inf", Holds::kPackage, false, false}, {L"oem4.inf", Holds::kOther, true, false}},
     Call::kUninstallByStorePath, 0, {L"oem4.inf", L"oemold.inf"}, nullptr},
    {"a copy the system refuses is reported, and the others still go",
     {{L"oem0.inf", Holds::kPackage, false, false}, {L"oem1.inf", Holds::kPackage, true, false}},
     Call::kForcedUninstall, ERROR_NOT_AN_INSTALLED_OEM_INF, {L"oem0.inf"}, nullptr},
    {"a copy that cannot be read is not taken for gone",
     {{L"oem1.inf", Holds::kPackage, true, false}, {L"oem2.inf", Holds::kPackage, true, false, true}},
     Call::kForcedUninstall, ERROR_SHARING_VIOLATION, {L"oem2.inf"}, nullptr},
    {"a copy in use stays without force", {{L"oem1.inf", Holds::kPackage, true, true}},
     Call::kUninstall, ERROR_INF_IN_USE_BY_DEVICES, {L"oem1.inf"}, nullptr},
    {"a copy in use goes with force, and leaves its device on a package that is gone",
     {{L"oem1.inf", Holds::kPackage, true, true}}, Call::kForcedUninstall, 0, {}, nullptr, kWithout, 1},
    {"where newdev can, a copy in use goes once its device is moved, and that asks for a restart",
     {{L"oem1.inf", Holds::kPackage, true, true}, {L"oem2.inf", Holds::kPackage, true, false}},
     Call::kForcedUninstall, 0, {}, nullptr, kWith, 0, TRUE},
    {"an unforced uninstall never moves a device", {{L"oem1.inf", Holds::kPackage, true, true}},
     Call::kUninstall, ERROR_INF_IN_USE_BY_DEVICES, {L"oem1.inf"}, nullptr, kWith},
    {"where newdev takes only the driver store path, the copy goes by that, its device moved",
     {{L"oem1.inf", Holds::kPackage, true, true}}, Call::kForcedUninstall, 0, {}, nullptr, kStorePathOnly, 0, TRUE},
    {"where newdev takes neither path, the copy is forced out as before",
     {{L"oem1.inf", Holds::kPackage, true, true}}, Call::kForcedUninstall, 0, {}, nullptr, kNoPath, 1},
    {"newdev failing inside with 126 is the answer, and nothing is forced out",
     {{L"oem1.inf", Holds::kPackage, true, true}}, Call::kForcedUninstall, ERROR_MOD_NOT_FOUND, {L"oem1.inf"}, nullptr,
     kFailsInside},
    {"a newdev.dll that cannot be loaded leaves the forced removal",
     {{L"oem1.inf", Holds::kPackage, true, true}}, Call::kForcedUninstall, 0, {}, nullptr, kUnloadable, 1},
    {"uninstall by the path GetPath gave, in capitals, also takes the copy under the package's own name",
     {{L"oem77.inf", Holds::kPackage, true, false}, {L"sample.inf", Holds::kPackage, true, false}},
     Call::kGetPathThenUninstall, 0, {}, L"oem77.inf"},
    {"a copy gone between the listing and its read is no copy",
     {{L"oem1.inf", Holds::kPackage, true, false}, {L"oem2.inf", Holds::kPackage, false, false, false, false, true}},
     Call::kForcedUninstall, 0, {L"oem2.inf"}, nullptr},
    {"a package whose catalog is not beside its INF is refused before any copy", {}, Call::kPreinstall,
     ERROR_NO_CATALOG_FOR_OEM_INF, {}, nullptr, kWithout, 0, FALSE, Lock::kFree, false, "CatalogFile=gone.cat\r\n"},
    {"the catalog for x64 comes before the plain one", {}, Call::kPreinstall, 0, {L"oem0.inf"}, nullptr,
     kWithout, 0, FALSE, Lock::kFree, false, "CatalogFile=gone.cat\r\nCatalogFile.NTamd64=sample.cat\r\n"},
    {"a file held open that cannot be the package is not in the way",
     {{L"oem1.inf", Holds::kPackage, true, false}, {L"oem42.inf", Holds::kOther, false, false, true}},
     Call::kForcedUninstall, 0, {L"oem42.inf"}, nullptr},
    {"a copy that fails for a missing file with its catalog there is the system's own answer", {},
     Call::kPreinstallFileNotFound, ERROR_FILE_NOT_FOUND, {}, nullptr},
    {"nothing published, nothing removed", {{L"backup.inf", Holds::kPackage, false, false}},
     Call::kForcedUninstall, ERROR_DRIVER_PACKAGE_NOT_IN_STORE, {L"backup.inf"}, nullptr},
    {"the path is the first published copy's",
     {{L"oem1.inf", Holds::kPackageOtherCatalog, true, false}, {L"oem2.inf", Holds::kPackage, true, false}},
     Call::kGetPath, 0, {L"oem1.inf", L"oem2.inf"}, L"oem1.inf"},
    {"the first refusal is the answer",
     {{L"oem0.inf", Holds::kPackage, false, false}, {L"oem1.inf", Holds::kPackage, true, true}},
     Call::kUninstall, ERROR_NOT_AN_INSTALLED_OEM_INF, {L"oem0.inf", L"oem1.inf"}, nullptr},
    {"a refused copy nobody can say is gone is not taken for gone",
     {{L"oem1.inf", Holds::kPackage, true, true, false, true}, {L"oem1.pnf", Holds::kOther, false, false}},
     Call::kUninstall, ERROR_INF_IN_USE_BY_DEVICES, {L"oem1.inf", L"oem1.pnf"}, nullptr},
    {"oem.inf, without a number, is no published name",
     {{L"oem.inf", Holds::kPackage, false, false}, {L"oem4.inf", Holds::kPackage, true, false}},
     Call::kForcedUninstall, 0, {L"oem.inf"}, nullptr},
    {"a lock held past the wait stops the work", {{L"oem0.inf", Holds::kOther, true, false}},
     Call::kPreinstall, ERROR_TIMEOUT, {L"oem0.inf"}, nullptr, kWithout, 0, FALSE, Lock::kTimesOut},
    {"an elevated administrator's lock is waited for", {{L"oem0.inf", Holds::kOther, true, false}},
     Call::kPreinstall, 0, {L"oem0.inf", L"oem1.inf"}, nullptr, kWithout, 0, FALSE, Lock::kAdministrators},
    {"an elevated run does not wait for a lock any program of its user could hold",
     {{L"oem0.inf", Holds::kOther, true, false}}, Call::kPreinstall, 0, {L"oem0.inf", L"oem1.inf"}, nullptr, kWithout,
     0, FALSE, Lock::kOwnUserElevated},
    {"a lock held in the private namespace is waited for", {{L"oem0.inf", Holds::kOther, true, false}},
     Call::kPreinstall, 0, {L"oem0.inf", L"oem1.inf"}, nullptr, kWithout, 0, FALSE, Lock::kNamespace},
    {"a namespace that cannot be opened is no lock to wait for", {{L"oem0.inf", Holds::kOther, true, false}},
     Call::kPreinstall, 0, {L"oem0.inf", L"oem1.inf"}, nullptr, kWithout, 0, FALSE, Lock::kNamespaceRefused},
    {"a copy whose presence cannot be told is not tried by its store path: newdev's answer stands, the copy stays",
     {{L"oem1.inf", Holds::kPackage, true, true, false, true}}, Call::kForcedUninstall, ERROR_FILE_NOT_FOUND,
     {L"oem1.inf"}, nullptr, kStorePathOnly},
    {"a driver store path longer than MAX_PATH is asked for again, and the copy goes by it, its device moved",
     {{L"oem1.inf", Holds::kPackage, true, true}}, Call::kForcedUninstall, 0, {}, nullptr, kStorePathOnly, 0, TRUE,
     Lock::kFree, false, nullptr, true},
    {"a package of any size that was stored goes, and a file differing in its last byte alone stays",
     {{L"oem0.inf", Holds::kPackage, true, false}, {L"oem7.inf", Holds::kPackageButItsLastByte, false, false}},
     Call::kForcedUninstall, 0, {L"oem7.inf"}, nullptr, kWithout, 0, FALSE, Lock::kFree, true},
};
// clang-format on

BOOL WINAPI CopyFindsNoFile(PCWSTR, PCWSTR, DWORD, DWORD, PWSTR, DWORD, PDWORD, PWSTR*) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

// The row being run, as the library's calls below see it.
const StoreCase* g_row = nullptr;
std::wstring g_infFolder;

DWORD WINAPI RowWait(HANDLE object, DWORD ms) {
  return g_row->lock == Lock::kTimesOut ? WAIT_TIMEOUT : platform::RealCalls().WaitForSingleObject(object, ms);
}

BOOL WINAPI RowToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID info, DWORD size, PDWORD needed) {
  const BOOL read = platform::RealCalls().GetTokenInformation(token, kind, info, size, needed);
  if (read && kind == TokenElevation && g_row->lock == Lock::kOwnUserElevated) {
    static_cast<TOKEN_ELEVATION*>(info)->TokenIsElevated = 1;
  }
  return read;
}

// A private namespace as Windows offers it (Wine has none), which another
// run has open: its mutex is a real one under a global name of the test's.
const wchar_t kNamespacedMutex[] = L"Global\\mdsdriver.test.namespaced";
int g_namespace = 0;  // its handle, and its boundary's
HANDLE WINAPI FakeBoundary(LPCWSTR, ULONG) { return &g_namespace; }
BOOL WINAPI FakeAddSid(HANDLE*, PSID) { return TRUE; }
VOID WINAPI FakeDeleteBoundary(HANDLE) {}
HANDLE WINAPI FakeMake(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR) {
  return SetLastError(g_row->lock == Lock::kNamespace ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED), nullptr;
}
HANDLE WINAPI FakeOpen(LPVOID, LPCWSTR) { return &g_namespace; }
BOOLEAN WINAPI FakeClose(HANDLE, ULONG) { return TRUE; }
HANDLE WINAPI NamespacedMutex(LPSECURITY_ATTRIBUTES security, LPCWSTR name, DWORD flags, DWORD access) {
  const bool inside = std::wstring(name) == platform::kStoreLockNamespacedName;
  return platform::RealCalls().CreateMutexExW(security, inside ? kNamespacedMutex : name, flags, access);
}

// The tool's log is on (its marker stands beside the exe), so the library
// tells which way each removal went.
// The row's file at `path` with the given trait (InfFile::unknown, ::vanishes).
bool RowFileIs(LPCWSTR path, bool InfFile::*trait) {
  return std::any_of(g_row->before.begin(), g_row->before.end(),
                     [&](const InfFile& file) { return file.*trait && g_infFolder + L"\\" + file.name == path; });
}
DWORD WINAPI RowAttributes(LPCWSTR path) {
  if (std::wstring(path).find(L"\\vezazez.cfg") != std::wstring::npos) return FILE_ATTRIBUTE_ARCHIVE;
  if (RowFileIs(path, &InfFile::unknown)) return SetLastError(ERROR_ACCESS_DENIED), INVALID_FILE_ATTRIBUTES;
  return platform::RealCalls().GetFileAttributesW(path);
}
BOOL WINAPI RowAttributesEx(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
  if (RowFileIs(path, &InfFile::vanishes)) return SetLastError(ERROR_FILE_NOT_FOUND), FALSE;
  return platform::RealCalls().GetFileAttributesExW(path, level, data);
}

std::vector<std::wstring> SortedNames(const std::wstring& folder) {
  std::vector<std::wstring> names = testing_support::ListFolder(folder);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(DriverStoreTest, AnswersAsWindowsDocumentsIt) {
  for (const StoreCase& row : kStoreCases) {
    SCOPED_TRACE(row.what);
    const bool refused = row.lock == Lock::kNamespaceRefused, inNamespace = refused || row.lock == Lock::kNamespace;
    const bool nameTaken = refused || row.lock == Lock::kOwnUserElevated;
    const bool lockHeld = row.lock == Lock::kAdministrators || row.lock == Lock::kOwnUserElevated || inNamespace;
    const HANDLE lock = inNamespace ? CreateMutexW(nullptr, FALSE, kNamespacedMutex)
                        : lockHeld  ? testing_support::MakeStoreMutex(row.lock == Lock::kAdministrators)
                                    : CreateMutexW(nullptr, FALSE, platform::kStoreLockName);
    ASSERT_NE(lock, nullptr);
    testing_support::TempDir folder;
    CreateDirectoryW((folder / L"package").c_str(), nullptr);
    const std::wstring inf = folder / L"package\\sample.inf";
    std::string package = std::string(kPackageInf) + (row.catalogLines != nullptr ? row.catalogLines : kCatalogLine);
    if (row.largePackage) package.resize(65 * 1024 * 1024 + 1, ';');
    ASSERT_TRUE(testing_support::WriteBytes(inf, package));
    ASSERT_TRUE(testing_support::WriteBytes(folder / L"package\\sample.cat", kCatalog));

    fakes::FakeDriverStore store(folder.path());
    store.newDev = row.newDev;
    store.storeFolderPadding = row.longStorePath ? MAX_PATH : 0;
    fakes::OutputCapture told;
    g_row = &row;
    g_infFolder = store.InfFolder();
    auto wait = platform::Override(&platform::Calls::WaitForSingleObject, &RowWait);
    auto token = platform::Override(&platform::Calls::GetTokenInformation, &RowToken);
    auto attributes = platform::Override(&platform::Calls::GetFileAttributesW, &RowAttributes);
    auto attributesEx = platform::Override(&platform::Calls::GetFileAttributesExW, &RowAttributesEx);
    const auto offer = [&](auto entry, auto fake) {
      return platform::Override(entry, inNamespace ? fake : platform::Sys().*entry);
    };
    auto boundary = offer(&platform::Calls::CreateBoundaryDescriptorW, &FakeBoundary);
    auto sid = offer(&platform::Calls::AddSIDToBoundaryDescriptor, &FakeAddSid);
    auto make = offer(&platform::Calls::CreatePrivateNamespaceW, &FakeMake);
    auto open = offer(&platform::Calls::OpenPrivateNamespaceW, &FakeOpen);
    auto close = offer(&platform::Calls::ClosePrivateNamespace, &FakeClose);
    auto drop = offer(&platform::Calls::DeleteBoundaryDescriptor, &FakeDeleteBoundary);
    auto mutex = platform::Override(&platform::Calls::CreateMutexExW, &NamespacedMutex);
    EXPECT_EQ(platform::StoreLockPlace() == platform::LockPlace::kPrivateNamespace, inNamespace);
    EXPECT_EQ(platform::StoreLockNameState(),
              nameTaken ? platform::LockNameState::kTaken : platform::LockNameState::kTrustedMutex);
    std::vector<HANDLE> held;
    for (const InfFile& file : row.before) {
      std::string bytes = file.holds == Holds::kOther ? "[Version]\r\n; another\r\n" : package;
      if (file.holds == Holds::kPackageButItsLastByte) bytes.back() = '#';
      ASSERT_TRUE(testing_support::WriteBytes(store.InfFolder() + L"\\" + file.name, bytes));
      const std::string catalog = file.holds == Holds::kPackage ? kCatalog : "catalog signed yesterday";
      if (file.published) store.published.push_back({file.name, catalog, file.inUse});
      if (file.locked) {
        held.push_back(CreateFileW((store.InfFolder() + L"\\" + file.name).c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
      }
    }

    wchar_t path[MAX_PATH] = {};
    DWORD count = MAX_PATH;
    BOOL reboot = TRUE;
    DWORD status = 0;
    std::atomic<bool> taken{false};
    std::thread holder([&] {
      if (!lockHeld) return;
      WaitForSingleObject(lock, INFINITE);
      taken = true;
      Sleep(1500);
      ReleaseMutex(lock);
    });
    while (lockHeld && !taken) Sleep(1);
    const ULONGLONG start = GetTickCount64();
    switch (row.call) {
      case Call::kPreinstall:
        status = difx::Preinstall(inf.c_str(), 0);
        break;
      case Call::kPreinstallFileNotFound: {
        const auto copy = platform::Override(&platform::Calls::SetupCopyOEMInfW, &CopyFindsNoFile);
        status = difx::Preinstall(inf.c_str(), 0);
        break;
      }
      case Call::kGetPath:
        status = difx::GetPath(inf.c_str(), path, &count);
        break;
      case Call::kUninstall:
      case Call::kForcedUninstall:
        status =
            difx::Uninstall(inf.c_str(), row.call == Call::kUninstall ? 0 : DRIVER_PACKAGE_FORCE, nullptr, &reboot);
        break;
      case Call::kUninstallByStorePath:
        status = difx::Uninstall((store.InfFolder() + L"\\oem1.inf").c_str(), DRIVER_PACKAGE_FORCE, nullptr, &reboot);
        break;
      case Call::kGetPathThenUninstall: {
        status = difx::GetPath(inf.c_str(), path, &count);
        std::wstring capitals = path;
        CharUpperBuffW(&capitals[0], static_cast<DWORD>(capitals.size()));
        if (status == ERROR_SUCCESS) status = difx::Uninstall(capitals.c_str(), DRIVER_PACKAGE_FORCE, nullptr, &reboot);
        break;
      }
    }
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(GetLastError(), row.status) << "the status is the last error too";
    holder.join();
    EXPECT_EQ(took >= 1000, row.lock == Lock::kAdministrators || row.lock == Lock::kNamespace)
        << "waited " << took << " ms for the lock";
    for (HANDLE file : held) CloseHandle(file);
    EXPECT_EQ(SortedNames(store.InfFolder()), row.after);
    EXPECT_EQ(store.strandedDevices, row.strandedDevices);
    EXPECT_EQ(store.copyCalls > 0, row.call == Call::kPreinstall && row.status != ERROR_NO_CATALOG_FOR_OEM_INF &&
                                       row.status != ERROR_TIMEOUT)
        << "the copy is asked for only with the catalog there";
    const auto forcedOut = std::count_if(told.debugStrings.begin(), told.debugStrings.end(), [](const std::wstring& l) {
      return l.find(L"with SUOI_FORCEDELETE answered 0\n") != std::wstring::npos;
    });
    EXPECT_TRUE((row.newDev.loads && !row.newDev.exports) || forcedOut == row.strandedDevices)
        << "where newdev could move devices, each copy forced out from under them is told on the debugger channel";
    if (row.call != Call::kPreinstall && row.call != Call::kPreinstallFileNotFound && row.call != Call::kGetPath) {
      EXPECT_EQ(reboot, row.needsReboot);
    }
    if (row.path != nullptr) {
      EXPECT_EQ(std::wstring(path), store.InfFolder() + L"\\" + row.path);
    }
    EXPECT_EQ(std::any_of(told.debugStrings.begin(), told.debugStrings.end(),
                          [](const std::wstring& l) { return l.find(L"the store lock's name is taken") != l.npos; }),
              nameTaken);
    // `lock` keeps the mutex alive, so a lock kept by a closed handle shows too.
    EXPECT_TRUE(testing_support::StoreLockIsFree()) << "the store lock was kept";
    CloseHandle(lock);
    EXPECT_EQ(platform::StoreLockNameState(),
              refused ? platform::LockNameState::kTaken : platform::LockNameState::kFree);
  }
}

// The store read by identity. The package is sample.inf, with catalog
// sample.cat, of the USB class, from "Fixture"; a copy is a published INF the
// system records as made from it, whatever its version.
enum class Variant { kCurrent, kOlder, kOtherClass, kOtherProvider };
struct StoreFile {
  const wchar_t* name;
  Variant variant;
  const wchar_t* original;  // what the system records it was published from
  bool locked = false;      // held open by another program that shares nothing
};

std::string IdentityInf(Variant variant) {
  return std::string("[Version]\r\nSignature=\"$Windows NT$\"\r\nCatalogFile=sample.cat\r\n") +
         (variant == Variant::kOtherClass ? "ClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\r\n"
                                          : "ClassGuid={36FC9E60-C465-11CF-8056-444553540000}\r\n") +
         (variant == Variant::kOtherProvider ? "Provider=Someone Else\r\n" : "Provider=Fixture\r\n") +
         (variant == Variant::kOlder ? "DriverVer=6/21/2024,1.0.0.7\r\n" : "DriverVer=12/01/2026,1.0.0.42\r\n");
}

TEST(DriverStoreTest, FindsEveryCopyByWhatTheSystemRecords) {
  struct Row {
    const char* what;
    std::vector<StoreFile> files;
    bool infOnDisk;
    std::wstring copies;  // each: name, "=" current, "<" not current, "?" no INF to compare, date, version
    std::vector<std::wstring> unreadable;
  } const rows[] = {
      {"a maker's update: both versions are copies, one of them current",
       {{L"oem10.inf", Variant::kCurrent, L"sample.inf"}, {L"oem9.inf", Variant::kOlder, L"sample.inf"}},
       true,
       L"oem9.inf<2024-06-21,1.0.0.7 oem10.inf=2026-12-01,1.0.0.42 ",
       {}},
      {"the maker's INF gone: found by name, or by catalog where the name is not given (Wine)",
       {{L"oem1.inf", Variant::kOlder, L"sample.inf"}, {L"oem2.inf", Variant::kOtherProvider, L"oem2.inf"}},
       false,
       L"oem1.inf?2024-06-21,1.0.0.7 oem2.inf?2026-12-01,1.0.0.42 ",
       {}},
      {"the same original name of another class or, with the INF on the disk, another provider is no copy",
       {{L"oem4.inf", Variant::kOtherClass, L"sample.inf"}, {L"oem5.inf", Variant::kOtherProvider, L"sample.inf"}},
       true,
       L"",
       {}},
      {"an unreadable published INF is set aside and the walk goes on",
       {{L"oem6.inf", Variant::kCurrent, L"sample.inf", true}, {L"oem7.inf", Variant::kCurrent, L"sample.inf"}},
       true,
       L"oem7.inf=2026-12-01,1.0.0.42 ",
       {L"oem6.inf"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testing_support::TempDir folder;
    const std::wstring inf = folder / L"sample.inf";
    if (row.infOnDisk) {
      ASSERT_TRUE(testing_support::WriteBytes(inf, IdentityInf(Variant::kCurrent)));
    }
    fakes::FakeDriverStore store(folder.path());
    std::vector<HANDLE> held;
    for (const StoreFile& file : row.files) {
      const std::wstring path = store.InfFolder() + L"\\" + file.name;
      ASSERT_TRUE(testing_support::WriteBytes(path, IdentityInf(file.variant)));
      store.published.push_back({file.name, "", false, file.original, L"sample.cat"});
      if (file.locked) held.push_back(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    difx::PackageIdentity identity{L"sample.inf", L"sample.cat", L"{36fc9e60-c465-11cf-8056-444553540000}", L""};
    if (row.infOnDisk) {
      ASSERT_EQ(difx::ReadPackageIdentity(inf, identity), 0u);
    }
    difx::StoreContents contents;
    ASSERT_EQ(difx::ReadStoreCopies({identity}, contents), 0u);
    for (HANDLE file : held) CloseHandle(file);
    std::wstring copies;
    for (const difx::StoreCopy& copy : contents.copies) {
      bool same = false;
      const DWORD compared = row.infOnDisk ? difx::SameBytesAs(copy.path, inf, same) : ERROR_FILE_NOT_FOUND;
      copies += copy.publishedName +
                (compared != 0 ? L"?"
                 : same        ? L"="
                               : L"<") +
                copy.driverDate + L"," + copy.driverVersion + L" ";
      EXPECT_EQ(copy.storePath,
                store.DriverStoreFolder() + L"\\" + copy.publishedName + L"_amd64\\" + copy.publishedName);
    }
    EXPECT_EQ(copies, row.copies);
    std::vector<std::wstring> unreadable;
    for (const auto& file : contents.unreadable) unreadable.push_back(file.name);
    EXPECT_EQ(unreadable, row.unreadable);
  }
}

}  // namespace
