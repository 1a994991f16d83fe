// "/u": the store probe, the path query and the removal through a scripted
// difxapi_x64.dll; the result, the log lines and the library given back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_difx.h"
#include "fakes/fake_driver_store.h"
#include "fakes/report_capture.h"
#include "difx_api.h"
#include "package/package_store.h"
#include "package/store_status.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"

namespace {

using fakes::DifxCall;
using fakes::DifxExport;
using fakes::kGetPath;
using fakes::kNetworkPackage;
using fakes::kPreinstall;
using fakes::kUninstall;
using fakes::kUsbPackage;
using fakes::Log;
using fakes::Logs;
using fakes::Report;

const wchar_t kNetworkInf[] =
    L"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\NetDrivers\\netaapl64.inf";
const wchar_t kUsbInf[] = L"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\Drivers\\usbaapl64.inf";
const wchar_t kNetworkStorePath[] = L"C:\\windows\\inf\\oem7.inf";
const wchar_t kUsbStorePath[] = L"C:\\windows\\inf\\oem8.inf";

const wchar_t kEntry[] = L"\nEnter UnloadDriver...";
const wchar_t kNetworkStored[] = L"netappl already exist: 183";
const wchar_t kNetworkPath[] = L"inf net path: C:\\windows\\inf\\oem7.inf\n";
const wchar_t kNetworkRemoved[] = L"DriverPackageUninstall netaapl successed !";
const wchar_t kUsbStored[] = L"usbappl already exist: 183";
const wchar_t kUsbPath[] = L"inf usb path: C:\\windows\\inf\\oem8.inf\n";
const wchar_t kUsbRemoved[] = L"DriverPackageUninstall usbaapl successed !\n";

// The calls as "export:package" pairs, e.g. "preinstall:usb".
std::vector<std::string> Sequence(const fakes::FakeDifx& difx) {
  const char* const exports[] = {"preinstall", "uninstall", "getpath"};
  const char* const packages[] = {"net", "usb"};
  std::vector<std::string> sequence;
  for (const DifxCall& call : difx.Calls()) {
    sequence.push_back(std::string(exports[call.which]) + ":" + (call.package >= 0 ? packages[call.package] : "?"));
  }
  return sequence;
}

// Unscripted, the fake holds both packages and removes them without fault;
// each test changes only what its row needs.
class PackageUninstallTest : public testing::Test {
 protected:
  int Uninstall() { return package::UnloadDriver(kNetworkInf, kUsbInf); }

  void ExpectLines(const std::vector<std::wstring>& messages) { EXPECT_EQ(capture_.Reports(), Logs(messages)); }

  // Loaded once from the exe's folder, all three exports looked up in order,
  // and given back once, after the library's last call.
  void ExpectLibraryLoadedAndFreedOnce() {
    ASSERT_EQ(difx_.loadPaths, std::vector<std::wstring>{difx_.libraryPath()});
    ASSERT_EQ(difx_.loaded.size(), 1u);
    EXPECT_EQ(difx_.freed, difx_.loaded);
    EXPECT_GT(difx_.TickOf(L"FreeLibrary"), difx_.LastLibraryCallTick());
    EXPECT_EQ(difx_.lookups, (std::vector<std::string>{"DriverPackagePreinstallW", "DriverPackageUninstallW",
                                                       "DriverPackageGetPathW"}));
  }

  std::vector<std::string> CallSequence() const { return Sequence(difx_); }

  const DifxCall* FindCall(fakes::DifxExport which, int package) const {
    calls_ = difx_.Calls();
    for (const DifxCall& call : calls_) {
      if (call.which == which && call.package == package) return &call;
    }
    return nullptr;
  }

  fakes::FakeDifx difx_;
  fakes::ReportCapture capture_{true};
  mutable std::vector<DifxCall> calls_;
};

TEST_F(PackageUninstallTest, BothInTheStoreAndBothRemoved) {
  EXPECT_EQ(Uninstall(), 1);
  ExpectLines({kEntry, kNetworkStored, kNetworkPath, kNetworkRemoved, kUsbStored, kUsbPath, kUsbRemoved});
  EXPECT_EQ(CallSequence(), (std::vector<std::string>{"preinstall:net", "getpath:net", "uninstall:net",
                                                      "preinstall:usb", "getpath:usb", "uninstall:usb"}));
  ExpectLibraryLoadedAndFreedOnce();
}

TEST_F(PackageUninstallTest, ArgumentsOfEachCall) {
  Uninstall();
  const std::vector<DifxCall> calls = difx_.Calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_STREQ(calls[0].path, kNetworkInf);
  EXPECT_EQ(calls[0].flags, 0u) << "the probe sets no flag";
  EXPECT_STREQ(calls[1].path, kNetworkInf) << "the path query takes the package's own INF";
  EXPECT_EQ(calls[1].countOnEntry, static_cast<DWORD>(MAX_PATH));
  EXPECT_TRUE(calls[1].bufferZeroed);
  EXPECT_STREQ(calls[2].path, kNetworkStorePath) << "the removal takes the store path";
  EXPECT_EQ(calls[2].flags, static_cast<DWORD>(DRIVER_PACKAGE_DELETE_FILES | DRIVER_PACKAGE_FORCE));
  EXPECT_EQ(calls[2].flags, 0x24u);
  EXPECT_FALSE(calls[2].installerInfoGiven);
  EXPECT_TRUE(calls[2].needsRebootGiven);
  EXPECT_FALSE(calls[2].needsRebootOnEntry);
  EXPECT_STREQ(calls[3].path, kUsbInf);
  EXPECT_EQ(calls[3].flags, 0u);
  EXPECT_STREQ(calls[4].path, kUsbInf);
  EXPECT_EQ(calls[4].countOnEntry, static_cast<DWORD>(MAX_PATH));
  EXPECT_TRUE(calls[4].bufferZeroed) << "zeroed again before the USB package's query";
  EXPECT_STREQ(calls[5].path, kUsbStorePath);
  EXPECT_EQ(calls[5].flags, 0x24u);
  EXPECT_FALSE(calls[5].installerInfoGiven);
  EXPECT_TRUE(calls[5].needsRebootGiven);
}

// --- the USB package's rows

TEST_F(PackageUninstallTest, UsbRemovalFailsGivesZero) {
  difx_.Script(kUsbPackage, kUninstall, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Uninstall(), 0);
  ExpectLines({kEntry, kNetworkStored, kNetworkPath, kNetworkRemoved, kUsbStored, kUsbPath,
               L"DriverPackageUninstall usbaapl err: 32 \n"});
  ExpectLibraryLoadedAndFreedOnce();
}

TEST_F(PackageUninstallTest, NoUninstallExportGivesZero) {
  difx_.Hide(kUninstall);
  EXPECT_EQ(Uninstall(), 0);
  ExpectLines({kEntry, kNetworkStored, kNetworkPath, kUsbStored, kUsbPath});
  EXPECT_EQ(CallSequence(),
            (std::vector<std::string>{"preinstall:net", "getpath:net", "preinstall:usb", "getpath:usb"}));
  ExpectLibraryLoadedAndFreedOnce();
}

TEST_F(PackageUninstallTest, UsbPathQueryFailsGivesItsStatus) {
  difx_.Script(kUsbPackage, kGetPath, ERROR_DRIVER_PACKAGE_NOT_IN_STORE, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Uninstall(), static_cast<int>(ERROR_DRIVER_PACKAGE_NOT_IN_STORE));
  ExpectLines(
      {kEntry, kNetworkStored, kNetworkPath, kNetworkRemoved, kUsbStored, L"DriverPackageGetPath usbaapl failed(122)"});
  EXPECT_EQ(FindCall(kUninstall, kUsbPackage), nullptr);
  ExpectLibraryLoadedAndFreedOnce();
}

DWORD WINAPI WaitTimesOut(HANDLE, DWORD) { return WAIT_TIMEOUT; }

// The store lock kept elsewhere past the wait: the USB probe would answer
// ERROR_TIMEOUT after waiting once more, so that is the result at once, and
// the library is asked nothing.
TEST_F(PackageUninstallTest, StoreLockTimeOutGivesItsStatusAndAsksTheLibraryNothing) {
  auto timeOut = platform::Override(&platform::Calls::WaitForSingleObject, &WaitTimesOut);
  EXPECT_EQ(Uninstall(), static_cast<int>(ERROR_TIMEOUT));
  const std::vector<std::wstring> lines = capture_.Messages(fakes::Channel::kLog);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], L"Waiting for the store lock (another run holds it)...");
  EXPECT_EQ(lines[2].rfind(L"Waiting for the store lock failed after ", 0), 0u);
  EXPECT_EQ(lines[2].substr(lines[2].size() - 9), L" ms(1460)");
  EXPECT_TRUE(difx_.Calls().empty());
  ExpectLibraryLoadedAndFreedOnce();
}

TEST_F(PackageUninstallTest, NoPathQueryExportGives183) {
  difx_.Hide(kGetPath);
  EXPECT_EQ(Uninstall(), ERROR_ALREADY_EXISTS);
  ExpectLines({kEntry, kNetworkStored, kUsbStored});
  EXPECT_EQ(CallSequence(), (std::vector<std::string>{"preinstall:net", "preinstall:usb"}));
  ExpectLibraryLoadedAndFreedOnce();
}

TEST_F(PackageUninstallTest, UsbInfMissingGivesFour) {
  difx_.Script(kUsbPackage, kPreinstall, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Uninstall(), 4);
  ExpectLines({kEntry, kNetworkStored, kNetworkPath, kNetworkRemoved, L"Driver's inf file not found, failed(3)"});
  ExpectLibraryLoadedAndFreedOnce();
}

// A probe that stored a package takes it out again at once; the result stays 0.
TEST(PackageUninstallProbeTest, AProbesOwnCopyIsRemovedAgain) {
  // The network package's copy goes; the USB package's removal fails at each step in turn.
  const std::pair<DifxExport, std::vector<std::string>> rows[] = {
      {kGetPath, {"preinstall:usb", "getpath:usb"}}, {kUninstall, {"preinstall:usb", "getpath:usb", "uninstall:usb"}}};
  for (const auto& row : rows) {
    fakes::FakeDifx difx;
    fakes::ReportCapture capture(true);
    difx.Script(kNetworkPackage, kPreinstall, ERROR_SUCCESS, ERROR_SUCCESS);
    difx.Script(kUsbPackage, kPreinstall, ERROR_SUCCESS, ERROR_SUCCESS);
    difx.Script(kUsbPackage, row.first, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    EXPECT_EQ(package::UnloadDriver(kNetworkInf, kUsbInf), 0);
    EXPECT_EQ(capture.Reports(), Logs({kEntry, L"netaapl was not in store, probe's copy removed",
                                       L"usbaapl was not in store, probe's copy NOT removed(5)"}));
    std::vector<std::string> calls = {"preinstall:net", "getpath:net", "uninstall:net"};
    calls.insert(calls.end(), row.second.begin(), row.second.end());
    EXPECT_EQ(Sequence(difx), calls);
    EXPECT_EQ(difx.Calls().at(4).countOnEntry, static_cast<DWORD>(MAX_PATH)) << "the count set back after the undo";
    EXPECT_TRUE(difx.Calls().at(4).bufferZeroed);
    EXPECT_EQ(difx.freed, difx.loaded);
  }
}

// Any other probe result is the result unchanged, without a line.
TEST_F(PackageUninstallTest, OtherUsbProbeCodesPassThrough) {
  for (const DWORD code : {DWORD{ERROR_ACCESS_DENIED}, DWORD{1}, DWORD{0xE0000247}}) {
    difx_.Script(kUsbPackage, kPreinstall, code, ERROR_GEN_FAILURE);
    EXPECT_EQ(Uninstall(), static_cast<int>(code));
  }
  for (const std::wstring& message : capture_.Messages(fakes::Channel::kLog)) {
    EXPECT_EQ(message.find(L"usb"), std::wstring::npos) << testing::PrintToString(message);
  }
  EXPECT_EQ(difx_.freed, difx_.loaded);
  EXPECT_EQ(difx_.loaded.size(), 3u);
}

// --- the network package never changes the result

TEST(PackageUninstallNetworkTest, NetworkProbeFailureWritesNoLine) {
  for (const DWORD code : {static_cast<DWORD>(ERROR_FILE_NOT_FOUND), static_cast<DWORD>(ERROR_ACCESS_DENIED)}) {
    fakes::FakeDifx difx;
    fakes::ReportCapture capture(true);
    difx.Script(kNetworkPackage, kPreinstall, code, code);
    EXPECT_EQ(package::UnloadDriver(kNetworkInf, kUsbInf), 1);
    EXPECT_EQ(capture.Reports(), Logs({kEntry, kUsbStored, kUsbPath, kUsbRemoved}));
  }
}

TEST_F(PackageUninstallTest, NetworkPathQueryFailureLeavesAFreshBufferForTheUsbPackage) {
  // The failing query scribbles its path into the buffer and shrinks the count.
  difx_.Script(kNetworkPackage, kGetPath, ERROR_DRIVER_PACKAGE_NOT_IN_STORE, ERROR_FILE_NOT_FOUND);
  difx_.state().packages[kNetworkPackage].countOut = 7;
  EXPECT_EQ(Uninstall(), 1);
  ExpectLines({kEntry, kNetworkStored, L"DriverPackageGetPath netaapl failed(2)", kUsbStored, kUsbPath, kUsbRemoved});
  const DifxCall* usbQuery = FindCall(kGetPath, kUsbPackage);
  ASSERT_NE(usbQuery, nullptr);
  EXPECT_EQ(usbQuery->countOnEntry, static_cast<DWORD>(MAX_PATH));
  EXPECT_TRUE(usbQuery->bufferZeroed);
  EXPECT_EQ(FindCall(kUninstall, kNetworkPackage), nullptr);
  ExpectLibraryLoadedAndFreedOnce();
}

TEST_F(PackageUninstallTest, CountChangedByTheNetworkQueryIsSetBackForTheUsbQuery) {
  difx_.state().packages[kNetworkPackage].countOut = 3;
  EXPECT_EQ(Uninstall(), 1);
  const DifxCall* usbQuery = FindCall(kGetPath, kUsbPackage);
  ASSERT_NE(usbQuery, nullptr);
  EXPECT_EQ(usbQuery->countOnEntry, static_cast<DWORD>(MAX_PATH));
  EXPECT_TRUE(usbQuery->bufferZeroed);
}

TEST_F(PackageUninstallTest, NetworkRemovalFailureIsReportedAndTheUsbPackageStillRemoved) {
  difx_.Script(kNetworkPackage, kUninstall, ERROR_INVALID_PARAMETER, ERROR_BAD_FORMAT);
  EXPECT_EQ(Uninstall(), 1);
  ExpectLines({kEntry, kNetworkStored, kNetworkPath, L"DriverPackageUninstall netaapl failed(11)", kUsbStored, kUsbPath,
               kUsbRemoved});
}

// --- the library itself

TEST_F(PackageUninstallTest, MissingLibrary) {
  difx_.MakeLibraryMissing();
  EXPECT_EQ(Uninstall(), 0);
  ExpectLines({kEntry, L"LoadLirary failed(126)"});
  EXPECT_EQ(difx_.loadPaths.size(), 1u);
  EXPECT_TRUE(difx_.freed.empty()) << "nothing loaded, nothing to give back";
  EXPECT_TRUE(difx_.lookups.empty());
  EXPECT_TRUE(difx_.Calls().empty());
}

TEST_F(PackageUninstallTest, MissingPreinstallExportWritesTheTwoLineMessage) {
  difx_.Hide(kPreinstall);
  EXPECT_EQ(Uninstall(), 0);
  ExpectLines({kEntry, L"GetProcAddress DriverPackagePreinstall failed(127)\ncan not get inf path\n"});
  EXPECT_TRUE(difx_.Calls().empty());
  ExpectLibraryLoadedAndFreedOnce();
}

TEST_F(PackageUninstallTest, ModulePathWithoutBackslashLoadsByTheBareName) {
  difx_.SetModulePath(L"mdsdriver.exe");
  difx_.redirectBareName = true;
  EXPECT_EQ(Uninstall(), 1);
  EXPECT_EQ(difx_.loadPaths, std::vector<std::wstring>{L"difxapi_x64.dll"});
  EXPECT_EQ(difx_.freed, difx_.loaded);
}

// A library that fills the whole buffer without a terminator: the path is
// read no further than the buffer, and the removal gets that same text.
TEST_F(PackageUninstallTest, StorePathWithoutTerminatorIsCutToTheBuffer) {
  const std::wstring longPath = L"C:\\windows\\inf\\" + std::wstring(300, L'x') + L".inf";
  difx_.SetStorePath(kUsbPackage, longPath);
  EXPECT_EQ(Uninstall(), 0) << "the cut path names no stored package";
  const std::wstring kept = longPath.substr(0, MAX_PATH - 1);
  ExpectLines({kEntry, kNetworkStored, kNetworkPath, kNetworkRemoved, kUsbStored, L"inf usb path: " + kept + L"\n",
               L"DriverPackageUninstall usbaapl err: 87 \n"});
  const DifxCall* usbRemoval = FindCall(kUninstall, fakes::kNoPackage);
  ASSERT_NE(usbRemoval, nullptr);
  EXPECT_EQ(std::wstring(usbRemoval->path), kept);
}

// --- "/status": the store read by identity under the store lock; the library
// only loaded, never asked

HANDLE WINAPI ListingRefused(LPCWSTR, LPWIN32_FIND_DATAW) {
  return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
}
std::wstring g_unknownPath;  // the system cannot tell of this one
DWORD WINAPI UnknownAttributes(LPCWSTR path) {
  if (g_unknownPath == path) return SetLastError(ERROR_ACCESS_DENIED), INVALID_FILE_ATTRIBUTES;
  return platform::RealCalls().GetFileAttributesW(path);
}
BOOL WINAPI UnknownAttributesEx(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
  if (g_unknownPath == path) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  return platform::RealCalls().GetFileAttributesExW(path, level, data);
}

TEST(PackageStatusTest, EachStateHasItsOwnCodeAndNothingIsChanged) {
  struct Row {
    const char* what;
    bool networkInfGone, listingRefused;
    const wchar_t* unknown;  // the file the system cannot tell of, in the test's folder
    int code;
    const wchar_t* trace;  // a line that starts so
  } const rows[] = {
      {"both stored as they are on the disk", false, false, L"", package::kStatusBoth, L"status usbaapl: stored, "},
      {"the INF folder cannot be listed", false, true, L"", package::kStatusUnreadable,
       L"status: the driver store cannot be read(5)"},
      {"an INF gone is told before one that cannot be read: copies of both", true, false, L"usbaapl64.inf",
       package::kStatusBothCopies, L"status netaapl: inf file not found(2), "},
      {"a copy that cannot be compared with its INF", false, false, L"inf\\oem0.inf", package::kStatusUnreadable,
       L"status netaapl: cannot tell(1920)"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testing_support::TempDir folder;
    const std::wstring networkInf = folder / L"netaapl64.inf", usbInf = folder / L"usbaapl64.inf";
    ASSERT_TRUE(CopyFileW((testing_support::FixtureDir() + L"\\packages\\NetDrivers\\netaapl64.inf").c_str(),
                          networkInf.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((testing_support::FixtureDir() + L"\\packages\\Drivers\\usbaapl64.inf").c_str(),
                          usbInf.c_str(), FALSE));
    ASSERT_TRUE(testing_support::WriteBytes(folder / L"netaapl64.cat", "n"));
    ASSERT_TRUE(testing_support::WriteBytes(folder / L"usbaapl64.cat", "u"));
    fakes::FakeDifx difx;
    fakes::FakeDriverStore store(folder.path());
    for (const std::wstring& inf : {networkInf, usbInf}) {
      ASSERT_TRUE(platform::Sys().SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    }
    if (row.networkInfGone) DeleteFileW(networkInf.c_str());
    g_unknownPath = *row.unknown != L'\0' ? folder / row.unknown : L"";
    auto attributes = platform::Override(&platform::Calls::GetFileAttributesW, &UnknownAttributes);
    auto attributesEx = platform::Override(&platform::Calls::GetFileAttributesExW, &UnknownAttributesEx);
    auto listing = platform::Override(&platform::Calls::FindFirstFileW,
                                      row.listingRefused ? &ListingRefused : platform::Sys().FindFirstFileW);
    fakes::ReportCapture capture(true);
    EXPECT_EQ(package::StoreStatus(networkInf.c_str(), usbInf.c_str()), row.code);
    EXPECT_TRUE(difx.Calls().empty()) << "the library is not asked";
    EXPECT_EQ(difx.freed, difx.loaded);
    EXPECT_EQ(testing_support::ListFolder(store.InfFolder()), (std::vector<std::wstring>{L"oem0.inf", L"oem1.inf"}));
    const std::vector<std::wstring> lines = capture.Messages(fakes::Channel::kTrace);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.find(row.trace) == 0; }))
        << testing::PrintToString(lines);
    EXPECT_TRUE(capture.Messages(fakes::Channel::kLog).empty());
  }
}

}  // namespace
