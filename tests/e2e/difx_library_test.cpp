// Our own difxapi_x64.dll, loaded from beside the test program, against the
// real system INF folder: preinstall, path query and removal of a small INF
// that no other test uses.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "difx_api.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"

namespace {

using testing_support::CountSystemCopiesOf;
using testing_support::SystemInfDir;

template <typename Fn>
Fn Export(HMODULE library, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  return text;
}

class DifxLibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    library_ = LoadLibraryW((testing_support::ModuleDir() + L"\\difxapi_x64.dll").c_str());
    ASSERT_NE(library_, nullptr);
    preinstall_ = Export<package::DriverPackagePreinstallWFn>(library_, "DriverPackagePreinstallW");
    getPath_ = Export<package::DriverPackageGetPathWFn>(library_, "DriverPackageGetPathW");
    uninstall_ = Export<package::DriverPackageUninstallWFn>(library_, "DriverPackageUninstallW");
    ASSERT_NE(preinstall_, nullptr);
    ASSERT_NE(getPath_, nullptr);
    ASSERT_NE(uninstall_, nullptr);

    // Its own bytes: the folder's name makes the INF unlike any other.
    inf_ = folder_ / L"difxtest.inf";
    const std::wstring& unique = folder_.path();
    std::string bytes = "; difxapi_x64.dll test package ";
    for (wchar_t c : unique) bytes += static_cast<char>(c < 128 ? c : '_');
    bytes +=
        "\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n"
        "ClassGuid={36FC9E60-C465-11CF-8056-444553540000}\r\nProvider=%P%\r\nDriverVer=12/01/2026,1.0.0.0\r\n"
        "[Manufacturer]\r\n%P%=Test,NTamd64\r\n[Test.NTamd64]\r\n[Strings]\r\nP=\"Test\"\r\n";
    ASSERT_TRUE(testing_support::WriteBytes(inf_, bytes));
  }

  void TearDown() override {
    testing_support::RemoveSystemCopiesOf(inf_);
    if (library_ != nullptr) FreeLibrary(library_);
  }

  // Puts the INF into the store and returns its copy's path.
  std::wstring Stored() {
    EXPECT_EQ(preinstall_(inf_.c_str(), 0), 0u);
    wchar_t path[MAX_PATH] = {};
    DWORD count = MAX_PATH;
    EXPECT_EQ(getPath_(inf_.c_str(), path, &count), 0u);
    return path;
  }

  testing_support::TempDir folder_;
  std::wstring inf_;
  HMODULE library_ = nullptr;
  package::DriverPackagePreinstallWFn preinstall_ = nullptr;
  package::DriverPackageGetPathWFn getPath_ = nullptr;
  package::DriverPackageUninstallWFn uninstall_ = nullptr;
};

// --- DriverPackagePreinstallW

TEST_F(DifxLibraryTest, PreinstallOfAMissingInfIsFileNotFound) {
  for (const std::wstring& missing : {folder_ / L"absent.inf", folder_ / L"no folder\\absent.inf"}) {
    SetLastError(0);
    EXPECT_EQ(preinstall_(missing.c_str(), 0), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
  SetLastError(0);
  EXPECT_EQ(preinstall_(folder_.path().c_str(), 0), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "a folder";
}

TEST_F(DifxLibraryTest, PreinstallOfAnInfWhoseCatalogIsMissingSaysSo) {
  // The copy fails with "file not found" for the catalog; that must not read
  // as a missing INF.
  std::string bytes;
  ASSERT_TRUE(testing_support::ReadBytes(inf_, bytes));
  const size_t versionEnd = bytes.find("[Manufacturer]");
  bytes.insert(versionEnd, "CatalogFile=absent.cat\r\n");
  ASSERT_TRUE(testing_support::WriteBytes(inf_, bytes));
  SetLastError(0);
  EXPECT_EQ(preinstall_(inf_.c_str(), 0), static_cast<DWORD>(ERROR_NO_CATALOG_FOR_OEM_INF));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CATALOG_FOR_OEM_INF));
  EXPECT_EQ(CountSystemCopiesOf(inf_), 0);
}

TEST_F(DifxLibraryTest, PreinstallCopiesTheInfIntoTheSystemInfFolder) {
  ASSERT_EQ(CountSystemCopiesOf(inf_), 0);
  SetLastError(ERROR_GEN_FAILURE);
  EXPECT_EQ(preinstall_(inf_.c_str(), 0), 0u);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(CountSystemCopiesOf(inf_), 1);
}

TEST_F(DifxLibraryTest, PreinstallOfAStoredInfIsAlreadyExists) {
  ASSERT_EQ(preinstall_(inf_.c_str(), 0), 0u);
  SetLastError(0);
  EXPECT_EQ(preinstall_(inf_.c_str(), 0), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(CountSystemCopiesOf(inf_), 1) << "no second copy";
}

// --- DriverPackageGetPathW

TEST_F(DifxLibraryTest, GetPathGivesTheStoredCopy) {
  ASSERT_EQ(preinstall_(inf_.c_str(), 0), 0u);
  wchar_t path[MAX_PATH] = {};
  DWORD count = MAX_PATH;
  SetLastError(ERROR_GEN_FAILURE);
  ASSERT_EQ(getPath_(inf_.c_str(), path, &count), 0u);
  EXPECT_EQ(GetLastError(), 0u);
  const std::wstring stored = path;
  EXPECT_EQ(count, stored.size() + 1);
  EXPECT_EQ(Lower(stored.substr(0, stored.find_last_of(L'\\'))), Lower(SystemInfDir()));
  std::string original, copy;
  ASSERT_TRUE(testing_support::ReadBytes(inf_, original));
  ASSERT_TRUE(testing_support::ReadBytes(stored, copy));
  EXPECT_EQ(copy, original);
}

TEST_F(DifxLibraryTest, GetPathOfAnInfNotInTheStoreCopiesNothing) {
  wchar_t path[MAX_PATH] = {};
  DWORD count = MAX_PATH;
  SetLastError(0);
  EXPECT_EQ(getPath_(inf_.c_str(), path, &count), static_cast<DWORD>(ERROR_DRIVER_PACKAGE_NOT_IN_STORE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DRIVER_PACKAGE_NOT_IN_STORE));
  EXPECT_EQ(CountSystemCopiesOf(inf_), 0);
  EXPECT_EQ(path[0], L'\0');
}

TEST_F(DifxLibraryTest, GetPathWithTooSmallABufferGivesTheNeededCount) {
  const std::wstring stored = Stored();
  const DWORD needed = static_cast<DWORD>(stored.size() + 1);

  wchar_t path[MAX_PATH] = {};
  DWORD count = needed - 1;
  SetLastError(0);
  EXPECT_EQ(getPath_(inf_.c_str(), path, &count), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, needed);
  EXPECT_EQ(path[0], L'\0') << "nothing written";

  count = 0;
  EXPECT_EQ(getPath_(inf_.c_str(), nullptr, &count), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, needed);

  count = needed;  // exactly enough
  EXPECT_EQ(getPath_(inf_.c_str(), path, &count), 0u);
  EXPECT_EQ(std::wstring(path), stored);
}

// --- DriverPackageUninstallW

// Every copy the system published goes, whatever the case of its name; a
// file with the same bytes under a name the system never gives is no copy.
TEST_F(DifxLibraryTest, ForcedUninstallRemovesEveryPublishedCopyAndNothingElse) {
  const std::wstring stored = Stored();
  for (const wchar_t* name : {L"\\oem9001.inf", L"\\OEM9002.INF", L"\\difxtest-backup.inf"}) {
    ASSERT_TRUE(CopyFileW(stored.c_str(), (SystemInfDir() + name).c_str(), FALSE));
  }
  ASSERT_EQ(CountSystemCopiesOf(inf_), 4);
  BOOL needsReboot = TRUE;
  SetLastError(ERROR_GEN_FAILURE);
  EXPECT_EQ(uninstall_(stored.c_str(), DRIVER_PACKAGE_FORCE | DRIVER_PACKAGE_DELETE_FILES, nullptr, &needsReboot), 0u);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_FALSE(needsReboot);
  EXPECT_EQ(CountSystemCopiesOf(inf_), 1);
  EXPECT_TRUE(testing_support::Exists(SystemInfDir() + L"\\difxtest-backup.inf"));
  EXPECT_FALSE(testing_support::Exists(stored.substr(0, stored.size() - 4) + L".pnf")) << "nor its .pnf";
}

TEST_F(DifxLibraryTest, UninstallByThePackagesOwnInfFindsTheCopy) {
  Stored();
  BOOL needsReboot = TRUE;
  EXPECT_EQ(uninstall_(inf_.c_str(), DRIVER_PACKAGE_FORCE, nullptr, &needsReboot), 0u);
  EXPECT_FALSE(needsReboot);
  EXPECT_EQ(CountSystemCopiesOf(inf_), 0);
}

// Without FORCE the system may keep the copy (Wine always does); success is
// reported only when it is really gone.
TEST_F(DifxLibraryTest, UnforcedUninstallReportsWhatReallyHappened) {
  const std::wstring stored = Stored();
  BOOL needsReboot = TRUE;
  SetLastError(0);
  const DWORD status = uninstall_(stored.c_str(), 0, nullptr, &needsReboot);
  EXPECT_EQ(GetLastError(), status);
  EXPECT_FALSE(needsReboot);
  EXPECT_EQ(status == ERROR_SUCCESS, CountSystemCopiesOf(inf_) == 0) << "status " << status;
}

// Preinstall waits while another run holds the store; a run that dies
// holding it leaves it abandoned, and the waiter takes it over.
TEST_F(DifxLibraryTest, PreinstallWaitsForTheStoreAndTakesOverAnAbandonedOne) {
  const wchar_t* kName = L"Global\\mdsdriver.difxapi_x64.store";
  HANDLE keep = CreateMutexW(nullptr, FALSE, kName);  // keeps the object alive past its owner
  ASSERT_NE(keep, nullptr);
  HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE die = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread owner([&] {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kName);
    WaitForSingleObject(mutex, INFINITE);
    SetEvent(taken);
    WaitForSingleObject(die, INFINITE);
    CloseHandle(mutex);  // ends still owning it
  });
  ASSERT_EQ(WaitForSingleObject(taken, 10000), WAIT_OBJECT_0);

  std::atomic<DWORD> status{0xFFFFFFFF};
  std::thread installer([&] { status = preinstall_(inf_.c_str(), 0); });
  Sleep(500);
  EXPECT_EQ(status.load(), 0xFFFFFFFFu) << "did not wait for the owner";
  EXPECT_EQ(CountSystemCopiesOf(inf_), 0);
  SetEvent(die);
  owner.join();
  installer.join();
  EXPECT_EQ(status.load(), 0u);
  EXPECT_EQ(CountSystemCopiesOf(inf_), 1);
  for (HANDLE h : {keep, taken, die}) CloseHandle(h);
}

// Someone who is neither SYSTEM, an administrator nor the run's own user
// takes the lock's name first, to hold every install up: the run goes ahead
// at once without the lock.
TEST_F(DifxLibraryTest, PreinstallIsNotHeldUpByAStrangerHoldingTheStoreName) {
  BYTE guests[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(guests);
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinGuestsSid, nullptr, guests, &size));
  SECURITY_DESCRIPTOR strangers = {};
  InitializeSecurityDescriptor(&strangers, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&strangers, guests, FALSE);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &strangers, FALSE};

  const wchar_t* kName = L"Global\\mdsdriver.difxapi_x64.store";
  for (bool asMutex : {false, true}) {
    const HANDLE squatter =
        asMutex ? CreateMutexW(&attributes, TRUE, kName) : CreateEventW(nullptr, TRUE, FALSE, kName);
    ASSERT_NE(squatter, nullptr);
    std::atomic<DWORD> status{0xFFFFFFFF};
    std::thread installer([&] { status = preinstall_(inf_.c_str(), 0); });
    for (int i = 0; i < 100 && status.load() == 0xFFFFFFFF; ++i) Sleep(50);
    EXPECT_NE(status.load(), 0xFFFFFFFFu) << "held up for 5 s";
    ReleaseMutex(squatter);  // lets a waiting installer go on
    installer.join();
    EXPECT_EQ(status.load(), 0u);
    EXPECT_EQ(CountSystemCopiesOf(inf_), 1);
    testing_support::RemoveSystemCopiesOf(inf_);
    CloseHandle(squatter);
  }
}

TEST_F(DifxLibraryTest, UninstallOfAPackageNotInTheStore) {
  BOOL needsReboot = TRUE;
  SetLastError(0);
  EXPECT_EQ(uninstall_(inf_.c_str(), DRIVER_PACKAGE_FORCE, nullptr, &needsReboot),
            static_cast<DWORD>(ERROR_DRIVER_PACKAGE_NOT_IN_STORE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DRIVER_PACKAGE_NOT_IN_STORE));
  EXPECT_FALSE(needsReboot);

  const std::wstring stored = Stored();
  ASSERT_EQ(uninstall_(stored.c_str(), DRIVER_PACKAGE_FORCE, nullptr, nullptr), 0u);
  EXPECT_EQ(uninstall_(stored.c_str(), DRIVER_PACKAGE_FORCE, nullptr, nullptr),
            static_cast<DWORD>(ERROR_DRIVER_PACKAGE_NOT_IN_STORE))
      << "a store path that is gone";
}

}  // namespace
