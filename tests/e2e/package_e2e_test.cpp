// mdsdriver.exe "/i" and "/u" for real: our difxapi_x64.dll beside a copy of
// the exe, the fixture packages at their fixed place, the system INF folder
// as the store, and the log switched on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "mds_version.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"
#include "tools/device_registry.h"

namespace {

using testing_support::CountSystemCopiesOf;
using testing_support::NetworkInfPath;
using testing_support::RunAsDebuggee;
using testing_support::TempDir;
using testing_support::ToolRun;
using testing_support::UsbInfPath;

const std::wstring kTimestampAndTab = L"YYYY-MM-DD hh:mm:ss\t";

std::vector<std::wstring> Prefix(const std::vector<std::wstring>& lines, size_t count) {
  return std::vector<std::wstring>(lines.begin(), lines.begin() + std::min(count, lines.size()));
}

bool StartsWith(const std::wstring& text, const std::wstring& head) { return text.compare(0, head.size(), head) == 0; }

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  return text;
}

class PackageE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    const std::wstring bin = testing_support::ModuleDir();
    ASSERT_TRUE(testing_support::CopyInto(bin + L"\\mdsdriver.exe", folder_.path()));
    ASSERT_TRUE(testing_support::CopyInto(bin + L"\\difxapi_x64.dll", folder_.path()));
    ASSERT_TRUE(testing_support::WriteBytes(folder_ / L"vezazez.cfg", ""));
    CleanStore();
    ASSERT_TRUE(testing_support::PlacePackages());
    ASSERT_EQ(CountSystemCopiesOf(UsbInfPath()), 0);
    ASSERT_EQ(CountSystemCopiesOf(NetworkInfPath()), 0);
  }

  void TearDown() override {
    CleanStore();
    testing_support::RemovePackages();
  }

  // By the fixture's bytes, so a copy is found even after the placed INF is gone.
  static void CleanStore() { testing_support::RemoveSystemCopiesOfSamples(); }

  // Runs the exe; returns its log messages, without timestamp and closing "\n".
  std::vector<std::wstring> Run(const std::wstring& arguments, DWORD expectedExitCode) {
    const ToolRun run = RunAsDebuggee(folder_ / L"mdsdriver.exe", arguments, folder_.path());
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, expectedExitCode) << "mdsdriver.exe " << testing::PrintToString(arguments);
    std::vector<std::wstring> messages;
    libraryLines_.clear();
    for (const std::wstring& line : run.debugStrings) {
      if (StartsWith(line, L"[app](")) continue;  // a trace line
      if (StartsWith(line, L"difxapi_x64: ")) {
        libraryLines_.push_back(line);
        continue;
      }
      EXPECT_GT(line.size(), kTimestampAndTab.size());
      EXPECT_TRUE(EndsWith(line, L"\n"));
      if (line.size() > kTimestampAndTab.size()) {
        messages.push_back(line.substr(kTimestampAndTab.size(), line.size() - kTimestampAndTab.size() - 1));
      }
    }
    return messages;
  }

  // "inf net path: C:\windows\inf\<name>.inf\n": the copy's name is the system's choice.
  static void ExpectStorePathLine(const std::wstring& message, const std::wstring& head) {
    const std::wstring folder = head + testing_support::SystemInfDir() + L"\\";
    EXPECT_TRUE(StartsWith(Lower(message), Lower(folder))) << testing::PrintToString(message);
    EXPECT_TRUE(EndsWith(Lower(message), L".inf\n")) << testing::PrintToString(message);
  }

  TempDir folder_;
  std::vector<std::wstring> libraryLines_;  // difxapi_x64.dll's own lines in the last run
};

const std::wstring kInstallEntry = L"\nEnter InstallDrviver...";
const std::wstring kUninstallEntry = L"\nEnter UnloadDriver...";

TEST_F(PackageE2ETest, InstallPutsBothPackagesIntoTheStore) {
  const std::vector<std::wstring> log = Run(L"/i", 1);
  EXPECT_EQ(Prefix(log, 3), (std::vector<std::wstring>{kInstallEntry, L"DriverPackagePreinstall netaapl successed !",
                                                       L"DriverPackagePreinstall usbaapl successed !"}));
  EXPECT_EQ(CountSystemCopiesOf(NetworkInfPath()), 1);
  EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()), 1);

  // The same lines in this run's file in the log folder.
  const std::vector<std::wstring> files = testing_support::ListFolder(folder_ / L"log");
  ASSERT_EQ(files.size(), 1u);
  std::string bytes;
  ASSERT_TRUE(testing_support::ReadBytes(folder_ / L"log\\" + files[0], bytes));
  EXPECT_NE(bytes.find("\t\nEnter InstallDrviver...\n\r\n"), std::string::npos);
  EXPECT_NE(bytes.find("\tDriverPackagePreinstall usbaapl successed !\n\r\n"), std::string::npos);
}

TEST_F(PackageE2ETest, InstallAgainFindsBothAlreadyStored) {
  Run(L"/i", 1);
  const std::vector<std::wstring> log = Run(L"/i", 2);
  EXPECT_EQ(Prefix(log, 3), (std::vector<std::wstring>{kInstallEntry, L"DriverPackagePreinstall netaapl alread exist !",
                                                       L"DriverPackagePreinstall usbaapl alread exist !"}));
  EXPECT_EQ(CountSystemCopiesOf(NetworkInfPath()), 1);
  EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()), 1);
}

TEST_F(PackageE2ETest, UninstallRemovesBothPackages) {
  Run(L"/i", 1);
  const std::vector<std::wstring> log = Run(L"/u", 1);
  ASSERT_EQ(log.size(), 7u) << testing::PrintToString(log);
  EXPECT_EQ(log[0], kUninstallEntry);
  EXPECT_EQ(log[1], L"netappl already exist: 183");
  ExpectStorePathLine(log[2], L"inf net path: ");
  EXPECT_EQ(log[3], L"DriverPackageUninstall netaapl successed !");
  EXPECT_EQ(log[4], L"usbappl already exist: 183");
  ExpectStorePathLine(log[5], L"inf usb path: ");
  EXPECT_EQ(log[6], L"DriverPackageUninstall usbaapl successed !\n");
  EXPECT_EQ(CountSystemCopiesOf(NetworkInfPath()), 0);
  EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()), 0);
  // Wine's newdev.dll has no DiUninstallDriverW: the library says so, and
  // that each copy went by the forced SetupUninstallOEMInfW.
  ASSERT_EQ(libraryLines_.size(), 4u) << testing::PrintToString(libraryLines_);
  for (size_t i : {0u, 2u})
    EXPECT_NE(libraryLines_[i].find(L"newdev.dll has no DiUninstallDriverW"), std::wstring::npos);
  for (size_t i : {1u, 3u}) EXPECT_TRUE(EndsWith(libraryLines_[i], L"SUOI_FORCEDELETE answered 0\n"));
}

// A byte-identical INF that someone dropped into the INF folder under a name
// the system never gives is no copy of the package: "/u" removes the copy the
// system made, answers 1, and leaves the stray file where it is.
TEST_F(PackageE2ETest, UninstallLeavesAStrayCopyUnderAnotherNameAlone) {
  Run(L"/i", 1);
  const std::wstring stray = testing_support::SystemInfDir() + L"\\usb-backup.inf";
  ASSERT_TRUE(CopyFileW(UsbInfPath().c_str(), stray.c_str(), FALSE));
  const std::vector<std::wstring> log = Run(L"/u", 1);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), L"DriverPackageUninstall usbaapl successed !\n");
  EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()), 1);
  EXPECT_TRUE(testing_support::Exists(stray));
}

// A crowd of runs at once, each answering with its exit code. A race shows
// in some rounds only, so the crowd tests run several.
const int kRuns = 12;

// One run for each switch given, all started at once.
std::vector<DWORD> Crowd(const std::wstring& exe, const std::vector<const wchar_t*>& switches,
                         const std::wstring& workDir) {
  std::vector<ToolRun> runs(switches.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < runs.size(); ++i) {
    threads.emplace_back([&, i] { runs[i] = RunAsDebuggee(exe, switches[i], workDir, 120000); });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<DWORD> codes;
  for (const ToolRun& run : runs) {
    // A run the test could not start is no answer of the tool's: the round
    // says nothing, and its caller ends.
    if (!run.started) {
      ADD_FAILURE() << "the test could not start a run (CreateProcessW failed with " << run.startError
                    << "): the harness's failure, not the tool's";
      return {};
    }
    EXPECT_TRUE(run.finished) << "a run still going after 120 s";
    codes.push_back(run.exitCode);
  }
  return codes;
}

// A crowd of installs at once on an empty store: one stores each package,
// the rest find it there. Then one removal leaves no copy behind.
TEST_F(PackageE2ETest, ACrowdOfInstallsStoresEachPackageOnce) {
  for (int round = 1; round <= 4; ++round) {
    const std::vector<DWORD> codes =
        Crowd(folder_ / L"mdsdriver.exe", std::vector<const wchar_t*>(kRuns, L"/i"), folder_.path());
    if (codes.empty()) break;
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 1u), 1) << "round " << round << testing::PrintToString(codes);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 2u), kRuns - 1) << testing::PrintToString(codes);
    EXPECT_EQ(CountSystemCopiesOf(NetworkInfPath()), 1) << "round " << round;
    EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()), 1) << "round " << round;

    Run(L"/u", 1);
    EXPECT_EQ(CountSystemCopiesOf(NetworkInfPath()), 0) << "round " << round;
    EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()), 0) << "round " << round;
    if (HasFailure()) break;
  }
}

// A crowd of "/re" at once, the USB INF not yet in the INF folder: each run
// copies the identical INF or finds it copied, so each answers 1, and one
// copy stays.
TEST_F(PackageE2ETest, ACrowdOfRefreshesCopiesTheInfOnce) {
  for (int round = 1; round <= 8; ++round) {
    const std::vector<DWORD> codes =
        Crowd(folder_ / L"mdsdriver.exe", std::vector<const wchar_t*>(kRuns, L"/re"), folder_.path());
    if (codes.empty()) break;
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 1u), kRuns) << "round " << round << testing::PrintToString(codes);
    EXPECT_EQ(CountSystemCopiesOf(UsbInfPath()), 1) << "round " << round;
    CleanStore();
    if (HasFailure()) break;
  }
}

// Crowds of mixed switches leave the store, and every exit code, as some
// order of single runs would: "/re" copies the INF or finds it (1), "/u"
// removes a stored package (1) or its probe stores it (0), "/i" stores a
// package (1) or finds it (2); and no package is ever stored twice.
TEST_F(PackageE2ETest, MixedCrowdsAnswerAsSingleRunsWould) {
  const std::vector<DWORD> kAnswers[] = {{0, 1}, {1}, {1, 2}};  // "/u", "/re", "/i"
  for (int round = 1; round <= 6; ++round) {
    const bool refreshes = round % 2 == 1;
    if (!refreshes) Run(L"/i", 1);
    std::vector<const wchar_t*> switches(refreshes ? 4 : 8, L"/u");
    switches.insert(switches.end(), 4, refreshes ? L"/re" : L"/i");
    const std::vector<DWORD> codes = Crowd(folder_ / L"mdsdriver.exe", switches, folder_.path());
    if (codes.empty()) break;
    for (size_t i = 0; i < codes.size(); ++i) {
      const std::vector<DWORD>& answers = kAnswers[i < switches.size() - 4 ? 0 : refreshes ? 1 : 2];
      EXPECT_TRUE(std::find(answers.begin(), answers.end(), codes[i]) != answers.end())
          << "round " << round << ": mdsdriver.exe " << testing::PrintToString(std::wstring(switches[i]))
          << " answered " << codes[i];
    }
    EXPECT_LE(CountSystemCopiesOf(NetworkInfPath()), 1) << "round " << round;
    EXPECT_LE(CountSystemCopiesOf(UsbInfPath()), 1) << "round " << round;
    CleanStore();
    if (HasFailure()) break;
  }
}

// A removal never leaves what its probe stored: each probe's copy goes again,
// and "/status" (which changes nothing) then finds neither package.
TEST_F(PackageE2ETest, UninstallAgainLeavesTheStoreEmpty) {
  Run(L"/i", 1);
  Run(L"/u", 1);
  const std::vector<std::wstring> log = Run(L"/u", 0);
  EXPECT_EQ(log, (std::vector<std::wstring>{kUninstallEntry, L"netaapl was not in store, probe's copy removed",
                                            L"usbaapl was not in store, probe's copy removed"}));
  EXPECT_EQ(CountSystemCopiesOf(NetworkInfPath()) + CountSystemCopiesOf(UsbInfPath()), 0);
}

TEST_F(PackageE2ETest, UninstallWithTheUsbInfMissingExitsFour) {
  ASSERT_TRUE(DeleteFileW(UsbInfPath().c_str()));
  const std::vector<std::wstring> log = Run(L"/u", 4);
  EXPECT_EQ(log, (std::vector<std::wstring>{kUninstallEntry, L"netaapl was not in store, probe's copy removed",
                                            L"Driver's inf file not found, failed(2)"}));
  EXPECT_EQ(CountSystemCopiesOf(NetworkInfPath()), 0);
}

// "/status" for each state of the store, which it leaves as it found it.
TEST_F(PackageE2ETest, StatusTellsEachStateAndChangesNothing) {
  struct Row {
    const char* name;
    const wchar_t* setUp;  // a switch run first, or nullptr
    std::wstring remove;   // a package copy taken out, or an INF deleted
    bool infGone;
    DWORD code;
  } const rows[] = {{"neither", nullptr, L"", false, 10},
                    {"both", L"/i", L"", false, 13},
                    {"network only", L"/i", UsbInfPath(), false, 11},
                    {"USB only", L"/i", NetworkInfPath(), false, 12},
                    {"USB INF missing, the network copy found by identity", L"/i", UsbInfPath(), true, 31}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CleanStore();
    ASSERT_TRUE(testing_support::PlacePackages());
    if (row.setUp != nullptr) Run(row.setUp, 1);
    if (!row.remove.empty()) testing_support::RemoveSystemCopiesOf(row.remove);
    ASSERT_TRUE(!row.infGone || DeleteFileW(row.remove.c_str()));
    const std::vector<std::wstring> before = testing_support::ListFolder(testing_support::SystemInfDir());
    const ToolRun run = RunAsDebuggee(folder_ / L"mdsdriver.exe", L"/sTaTuS", folder_.path());
    EXPECT_EQ(run.exitCode, row.code);
    EXPECT_EQ(testing_support::ListFolder(testing_support::SystemInfDir()), before);
    EXPECT_EQ(std::count_if(run.debugStrings.begin(), run.debugStrings.end(),
                            [](const std::wstring& line) { return line.find(L"): status ") != std::wstring::npos; }),
              2 + (row.code == 13   ? 2
                   : row.code == 10 ? 0
                                    : 1))
        << "a line for each package, and for each copy";
  }
}

// Every file of a folder (not its subfolders), by name, with its bytes.
std::map<std::wstring, std::string> Snapshot(const std::wstring& folder) {
  std::map<std::wstring, std::string> files;
  for (const std::wstring& name : testing_support::ListFolder(folder)) {
    testing_support::ReadBytes(folder + L"\\" + name, files[name]);
  }
  return files;
}

// The maker's packages rewritten in place: one line's value changed (an
// INF carrying text beyond ASCII is written as UTF-16); the copies the test
// stored of them go at the end.
class MakersPackages {
 public:
  ~MakersPackages() {
    for (const std::string& bytes : stored_) {
      for (const std::wstring& copy : testing_support::SystemCopiesOfBytes(bytes)) {
        DeleteFileW(copy.c_str());
        DeleteFileW((copy.substr(0, copy.size() - 4) + L".pnf").c_str());
      }
    }
  }
  void Rewrite(const std::wstring& inf, const std::string& key, const std::wstring& value, bool utf16 = false) {
    std::string bytes;
    ASSERT_TRUE(testing_support::ReadBytes(inf, bytes));
    std::wstring text(bytes.begin(), bytes.end());
    const size_t at = bytes.find(key) + key.size();
    text.replace(at, bytes.find_first_of("\r\n", at) - at, value);
    bytes = utf16 ? "\xFF\xFE" + std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t))
                  : std::string(text.begin(), text.end());
    ASSERT_TRUE(testing_support::WriteBytes(inf, bytes));
    stored_.push_back(bytes);
  }

 private:
  std::vector<std::string> stored_;
};

class InventoryE2ETest : public PackageE2ETest {
 protected:
  // "/inventory" and "/status" agree, and leave the store and the log folder
  // byte for byte as they were; the document parses as JSON.
  nlohmann::json Inventory(DWORD expectedCode) {
    const auto store = Snapshot(testing_support::SystemInfDir()), log = Snapshot(folder_ / L"log");
    const ToolRun status = RunAsDebuggee(folder_ / L"mdsdriver.exe", L"/status", folder_.path());
    const ToolRun run = RunAsDebuggee(folder_ / L"mdsdriver.exe", L"/inventory", folder_.path());
    EXPECT_EQ(status.exitCode, expectedCode);
    EXPECT_EQ(run.exitCode, expectedCode);
    EXPECT_EQ(Snapshot(testing_support::SystemInfDir()), store);
    EXPECT_EQ(Snapshot(folder_ / L"log"), log);
    EXPECT_EQ(run.output.find("[app]("), std::string::npos) << "no trace line in the document";
    const nlohmann::json doc = nlohmann::json::parse(run.output);  // throws, failing the test, on anything else
    EXPECT_EQ(doc["status"], expectedCode);
    EXPECT_EQ(doc["version"], MDS_VERSION_DOTTED);
    return doc;
  }

  // Each copy of a package, by its "current": t, f or n (null), sorted.
  static std::string Currents(const nlohmann::json& package) {
    std::string marks;
    for (const auto& copy : package["copies"]) marks += copy["current"].is_null() ? 'n' : copy["current"] ? 't' : 'f';
    std::sort(marks.begin(), marks.end());
    return marks;
  }
};

// The maker updates its packages in place, "/i" stores the new pair beside the
// old one, and the maker's software goes: every copy is found by what the
// system records of it, and the device stays with the copy it was installed from.
TEST_F(InventoryE2ETest, FollowsTheMakersUpdateAndRemoval) {
  const device_registry::SampleDevice phone = {L"USB\\VID_05AC&PID_12A8\\0000111122223333", L"Phone", L"", L""};
  device_registry::Remove(phone.instanceId);
  ASSERT_TRUE(device_registry::Register(phone));
  MakersPackages makers;
  Run(L"/i", 1);
  makers.Rewrite(NetworkInfPath(), "DriverVer=", L"12/02/2026,1.0.0.43");
  makers.Rewrite(UsbInfPath(), "DriverVer=", L"12/02/2026,1.0.0.43");
  nlohmann::json doc = Inventory(10);
  EXPECT_EQ(Currents(doc["packages"][0]), "f");
  EXPECT_EQ(Currents(doc["packages"][1]), "f");
  EXPECT_EQ(doc["packages"][1]["copies"][0]["devices"],
            nlohmann::json::array({"USB\\VID_05AC&PID_12A8\\0000111122223333"}));
  EXPECT_EQ(doc["packages"][1]["copies"][0]["driverDate"], "2026-12-01");

  Run(L"/i", 1);
  doc = Inventory(13);
  EXPECT_EQ(Currents(doc["packages"][0]), "ft");
  EXPECT_EQ(Currents(doc["packages"][1]), "ft");
  for (const auto& copy : doc["packages"][1]["copies"]) {
    EXPECT_EQ(copy["devices"].size(), copy["current"] ? 1u : 0u) << "the device moved to the current copy";
    EXPECT_EQ(copy["driverVersion"], copy["current"] ? "1.0.0.43" : "1.0.0.0");
  }

  testing_support::RemovePackages();
  doc = Inventory(33);
  EXPECT_EQ(Currents(doc["packages"][0]), "nn");
  EXPECT_EQ(Currents(doc["packages"][1]), "nn");
  EXPECT_FALSE(doc["packages"][0]["infPresent"]);
  device_registry::Remove(phone.instanceId);
}

// "/deploy" and "/undeploy" for real under Wine: what a deployment adds is
// owned, a maker's update leaves no older owned copy behind, and the removal
// takes out what the deployments own, and nothing else.
TEST_F(InventoryE2ETest, DeploymentsOwnWhatTheyAdd) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver");
  MakersPackages makers;
  EXPECT_EQ(RunAsDebuggee(folder_ / L"mdsdriver.exe", L"/deploy", folder_.path()).exitCode, 0u);
  makers.Rewrite(NetworkInfPath(), "DriverVer=", L"12/02/2026,1.0.0.43");
  makers.Rewrite(UsbInfPath(), "DriverVer=", L"12/02/2026,1.0.0.43");
  const ToolRun update = RunAsDebuggee(folder_ / L"mdsdriver.exe", L"/DEPLOY", folder_.path());
  EXPECT_EQ(update.exitCode, 0u);
  EXPECT_NE(update.output.find(" removed=netaapl64.inf,usbaapl64.inf left= run="), std::string::npos)
      << "the older copies it owned went: " << update.output;
  nlohmann::json doc = Inventory(13);
  for (const auto& package : doc["packages"]) {
    EXPECT_EQ(Currents(package), "t");
    EXPECT_TRUE(package["copies"][0]["owned"]);
  }
  EXPECT_EQ(RunAsDebuggee(folder_ / L"mdsdriver.exe", L"/undeploy", folder_.path()).exitCode, 0u);
  doc = Inventory(10);
  EXPECT_TRUE(doc["packages"][0]["copies"].empty() && doc["packages"][1]["copies"].empty());
}

// Under Wine's own store: a deployment owns what its calls published, and
// nothing else the INF folder holds or held (the maker's copies are /i's).
TEST_F(InventoryE2ETest, OwnsOnlyWhatItsCallsPublished) {
  enum Act { kMaker, kMakerAgain, kHoldFirst, kLetGo, kTwin, kDeploy, kUndeploy, kUndeployFails };
  const struct {
    const char* what;
    std::vector<Act> acts;
    std::vector<std::wstring> after;  // the copies of either package left
    const char* said;                 // by the last run's record line
  } rows[] = {
      {"a maker's copy held open through /deploy",
       {kMaker, kHoldFirst, kDeploy, kLetGo, kUndeploy},
       {L"netaapl64.inf", L"usbaapl64.inf"},
       " /undeploy 0 added= removed=oem"},
      {"a twin under another name",
       {kDeploy, kTwin, kUndeploy},
       {L"oem90.inf"},
       " /undeploy 0 added= removed=netaapl64.inf,usbaapl64.inf left=oem90.inf run="},
      {"the maker's removal and reinstall in between",
       {kDeploy, kMakerAgain, kUndeploy},
       {L"netaapl64.inf", L"usbaapl64.inf"},
       " /undeploy 0 added= removed= left=netaapl64.inf,usbaapl64.inf run="},
      {"an owned copy held at the removal",
       {kDeploy, kHoldFirst, kUndeployFails, kLetGo, kUndeploy},
       {},
       " /undeploy 0 added= removed=netaapl64.inf left= run="},
  };
  const std::wstring first = testing_support::SystemInfDir() + L"\\netaapl64.inf";
  std::string bytes[2];
  ASSERT_TRUE(testing_support::ReadBytes(NetworkInfPath(), bytes[0]) &&
              testing_support::ReadBytes(UsbInfPath(), bytes[1]));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver");
    CleanStore();
    HANDLE held = INVALID_HANDLE_VALUE;
    std::string said;
    for (const Act act : row.acts) {
      const wchar_t* const fleet[] = {L"/deploy", L"/undeploy", L"/undeploy"};
      switch (act) {
        case kMakerAgain:  // its uninstaller takes every copy; its installer writes the package anew
          Run(L"/u", 1);
          ASSERT_TRUE(testing_support::WriteBytes(NetworkInfPath(), bytes[0]) &&
                      testing_support::WriteBytes(UsbInfPath(), bytes[1]));
          // fall through
        case kMaker:
          Run(L"/i", 1);
          break;
        case kHoldFirst:  // another program's open, sharing nothing
          held = CreateFileW(first.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
          ASSERT_NE(held, INVALID_HANDLE_VALUE);
          break;
        case kLetGo:
          CloseHandle(held);
          break;
        case kTwin:
          ASSERT_TRUE(CopyFileW(first.c_str(), (testing_support::SystemInfDir() + L"\\oem90.inf").c_str(), TRUE));
          break;
        default:
          const ToolRun run = RunAsDebuggee(folder_ / L"mdsdriver.exe", fleet[act - kDeploy], folder_.path());
          EXPECT_EQ(run.exitCode, act == kUndeployFails ? 1603u : 0u);
          said = run.output;
      }
    }
    std::vector<std::wstring> left;
    for (const std::string& package : bytes) {
      for (const std::wstring& copy : testing_support::SystemCopiesOfBytes(package))
        left.push_back(copy.substr(copy.rfind(L'\\') + 1));
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, row.after);
    EXPECT_NE(said.find(row.said), std::string::npos) << said;
  }
  CleanStore();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver");
}

// Where fleets collect a run's outcome: the tool's own log gets the fleet
// switches' trace and record line, and the record file gets the line, its
// reason and all. Wine makes every file the Wine user's, which an elevated
// run rightly does not trust; run with that user's limited token, the tool
// trusts its own user, as an unelevated run does on Windows, and writes.
TEST_F(InventoryE2ETest, TheLogAndTheRecordFileSayWhy) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver");
  const std::wstring record = std::wstring(_wgetenv(L"ProgramData")) + L"\\mdsdriver\\deploy.log";
  DeleteFileW(record.c_str());
  HANDLE own = nullptr;
  TOKEN_LINKED_TOKEN limited = {};
  DWORD size = 0;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own));
  ASSERT_TRUE(GetTokenInformation(own, TokenLinkedToken, &limited, sizeof(limited), &size));
  CloseHandle(own);
  const std::wstring catalog = UsbInfPath().substr(0, UsbInfPath().size() - 3) + L"cat";
  std::string bytes, records, log;
  ASSERT_TRUE(testing_support::ReadBytes(catalog, bytes) && DeleteFileW(catalog.c_str()));
  const auto run = [&](const wchar_t* arguments, DWORD answer) {
    const ToolRun done =
        RunAsDebuggee(folder_ / L"mdsdriver.exe", arguments, folder_.path(), 60000, limited.LinkedToken);
    EXPECT_EQ(done.exitCode, answer) << done.output;
  };
  run(L"/deploy", 1603);
  ASSERT_TRUE(testing_support::WriteBytes(catalog, bytes));
  run(L"/deploy", 0);
  run(L"/undeploy", 0);
  CloseHandle(limited.LinkedToken);
  EXPECT_TRUE(testing_support::ReadBytes(record, records));
  for (const std::wstring& file : testing_support::ListFolder(folder_ / L"log")) {
    EXPECT_TRUE(testing_support::ReadBytes(folder_ / L"log\\" + file, bytes));
    log += bytes;
  }
  for (const char* text : {" /deploy 1603 added=netaapl64.inf removed=netaapl64.inf left= run=",
                           " adopted= reason=the packages were not stored(0, -536870353, ",
                           " /deploy 0 added=netaapl64.inf,usbaapl64.inf removed= left= run=",
                           " /undeploy 0 added= removed=netaapl64.inf,usbaapl64.inf left= run= adopted="}) {
    EXPECT_NE(records.find(text), std::string::npos) << text << "\n" << records;
    EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
  }
  EXPECT_NE(log.find("\tdeploy: the packages were not stored("), std::string::npos) << "the trace too";
  EXPECT_TRUE(records.find("run= adopted=\r\n") != records.npos && log.find("run= adopted=\n\r\n") != log.npos)
      << "no reason where none failed";
}

// Without the library nothing is read: the document says so, and still
// names both packages.
TEST_F(InventoryE2ETest, SaysWhenItReadNothing) {
  ASSERT_TRUE(DeleteFileW((folder_ / L"difxapi_x64.dll").c_str()));
  const nlohmann::json doc = Inventory(20);
  EXPECT_FALSE(doc["storeRead"] || doc["devicesRead"]);
  EXPECT_EQ(doc["packages"][1]["package"], "usb");
}

// Text from an INF arrives in the document as it was: quotes, backslashes,
// control and non-ASCII characters escaped, and the document in plain ASCII.
TEST_F(InventoryE2ETest, CarriesHostileTextWhole) {
  MakersPackages makers;
  makers.Rewrite(UsbInfPath(), "ProviderName=", L"\"Fix\"\"ture\\ \t\x00E9\x6F22 \xD83D\xDE00\"", true);
  Run(L"/i", 1);
  const std::wstring held = testing_support::SystemInfDir() + L"\\oem999.inf";  // another program's, shared with none
  ASSERT_TRUE(testing_support::WriteBytes(held, "[Version]\n"));
  const HANDLE file = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  const nlohmann::json doc = Inventory(13);
  CloseHandle(file);
  DeleteFileW(held.c_str());
  EXPECT_EQ(doc["unreadable"], nlohmann::json::parse(R"([{"name": "oem999.inf", "error": 32}])"));
  ASSERT_EQ(doc["packages"][1]["copies"].size(), 1u);
  EXPECT_EQ(doc["packages"][1]["copies"][0]["provider"], "Fix\"ture\\ \t\xC3\xA9\xE6\xBC\xA2 \xF0\x9F\x98\x80");
  const std::wstring inf = UsbInfPath();
  EXPECT_EQ(doc["packages"][1]["inf"], std::string(inf.begin(), inf.end())) << "a path with its backslashes";
}

// A difxapi_x64.dll that is only in the current folder or on PATH must never
// be loaded. The planted one is the scripted fake: unscripted, it reports
// both packages stored and removed, so "/u" ends with 1 if it ran.
class DllPlantingE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    const std::wstring bin = testing_support::ModuleDir();
    ASSERT_TRUE(testing_support::CopyInto(bin + L"\\mdsdriver.exe", exeFolder_.path()));
    ASSERT_TRUE(testing_support::CopyInto(bin + L"\\mds_bare_name_probe.exe", exeFolder_.path()));
    ASSERT_TRUE(CopyFileW((bin + L"\\fake_difx.dll").c_str(), (planted_ / L"difxapi_x64.dll").c_str(), FALSE));
  }

  DWORD ExitCode(const std::wstring& exe, const std::wstring& arguments, const std::wstring& workDir) {
    const ToolRun run = RunAsDebuggee(exeFolder_ / exe, arguments, workDir);
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.finished);
    return run.exitCode;
  }

  TempDir exeFolder_;
  TempDir planted_;
  TempDir elsewhere_;
};

TEST_F(DllPlantingE2ETest, ExeNeverLoadsALibraryFromTheCurrentFolder) {
  EXPECT_EQ(ExitCode(L"mdsdriver.exe", L"/u", planted_.path()), 0u);
}

// The probe sees its module path as a bare name, as the tool would when
// GetModuleFileNameW gives no folder; without the start-up restriction the
// planted library runs.
TEST_F(DllPlantingE2ETest, BareNameLoadSkipsTheCurrentFolder) {
  EXPECT_EQ(ExitCode(L"mds_bare_name_probe.exe", L"/u", planted_.path()), 0u);
  EXPECT_EQ(ExitCode(L"mds_bare_name_probe.exe", L"/u --unrestricted", planted_.path()), 1u)
      << "the planted library is found when nothing restricts the search";
}

TEST_F(DllPlantingE2ETest, BareNameLoadSkipsPath) {
  std::wstring saved(32767, L'\0');
  saved.resize(GetEnvironmentVariableW(L"PATH", &saved[0], static_cast<DWORD>(saved.size())));
  ASSERT_FALSE(saved.empty());
  ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", (planted_.path() + L";" + saved).c_str()));
  const DWORD restricted = ExitCode(L"mds_bare_name_probe.exe", L"/u", elsewhere_.path());
  const DWORD unrestricted = ExitCode(L"mds_bare_name_probe.exe", L"/u --unrestricted", elsewhere_.path());
  SetEnvironmentVariableW(L"PATH", saved.c_str());
  EXPECT_EQ(restricted, 0u);
  EXPECT_EQ(unrestricted, 1u) << "the planted library is found when nothing restricts the search";
}

// The system libraries the tool calls into, planted beside the exe and in the
// current folder, with Wine told (for mdsdriver.exe only) to prefer a copy it
// finds over its own, and so to search the exe's folder first, as Windows
// does for a library that is not a known one: WINEDLLOVERRIDES
// "cfgmgr32,newdev,setupapi,shlwapi=n,b", kept in the prefix's registry
// because a child process takes that variable from Wine's own environment,
// not from its parent's. None may be loaded, whatever the switch, by the exe
// or by our difxapi_x64.dll beside it: the fixture package and a device it
// names make the switches reach every library.
class SystemLibraryPlantingE2ETest : public DllPlantingE2ETest {
 protected:
  void SetUp() override {
    DllPlantingE2ETest::SetUp();
    ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\difxapi_x64.dll", exeFolder_.path()));
    const std::wstring planted = testing_support::ModuleDir() + L"\\mds_planted_library.dll";
    for (const TempDir* folder : {&exeFolder_, &planted_}) {
      for (const wchar_t* name : kLibraries) ASSERT_TRUE(CopyFileW(planted.c_str(), (*folder / name).c_str(), FALSE));
    }
    HKEY overrides = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kAppDefaults) + L"\\DllOverrides").c_str(), 0, nullptr,
                              0, KEY_SET_VALUE, nullptr, &overrides, nullptr),
              ERROR_SUCCESS);
    for (const wchar_t* name : kLibraries) {
      const std::wstring library(name, std::wcslen(name) - 4);  // without ".dll"
      RegSetValueExW(overrides, library.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(L"native,builtin"),
                     sizeof(L"native,builtin"));
    }
    RegCloseKey(overrides);
    ASSERT_TRUE(testing_support::PlacePackages());
    device_registry::Remove(kDevice.instanceId);
    ASSERT_TRUE(device_registry::Register(kDevice));
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kAppDefaults);
    device_registry::Remove(kDevice.instanceId);
    testing_support::RemoveSystemCopiesOfSamples();
    testing_support::RemovePackages();
  }

  static constexpr const wchar_t* kAppDefaults = L"Software\\Wine\\AppDefaults\\mdsdriver.exe";
  static constexpr const wchar_t* kLibraries[] = {L"cfgmgr32.dll", L"newdev.dll", L"setupapi.dll", L"shlwapi.dll"};
  const device_registry::SampleDevice kDevice = {L"USB\\VID_05AC&PID_12A8\\0000111122223333", L"Fixture Device", L"",
                                                 L""};
};

TEST_F(SystemLibraryPlantingE2ETest, NoneIsLoadedForAnySwitch) {
  for (const wchar_t* arguments : {L"", L"/x", L"/qu", L"/re", L"/i", L"/u"}) {
    const ToolRun run = RunAsDebuggee(exeFolder_ / L"mdsdriver.exe", arguments, planted_.path());
    EXPECT_TRUE(run.started && run.finished) << testing::PrintToString(arguments);
    for (const TempDir* folder : {&exeFolder_, &planted_}) {
      for (const wchar_t* name : kLibraries) {
        const std::wstring marker = *folder / name + L".loaded";
        EXPECT_FALSE(testing_support::Exists(marker))
            << testing::PrintToString(*folder / name) << " loaded by " << testing::PrintToString(arguments);
        DeleteFileW(marker.c_str());  // each run is judged by itself
      }
    }
  }
}

}  // namespace
