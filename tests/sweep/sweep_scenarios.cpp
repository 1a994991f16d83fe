// Scenario data and the tally of the reliability sweep.
#include "sweep/sweep_scenarios.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "fleet/fleet_policy.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"

namespace sweep {
namespace {

long g_runs = 0;
size_t g_scenarios = 0;
size_t g_sitesReached = 0;
size_t g_sitesFailed = 0;
size_t g_librarySitesReached = 0;
size_t g_librarySitesFailed = 0;

class TallyPrinter : public testing::Environment {
 public:
  void TearDown() override {
    if (g_scenarios == 0) return;
    std::printf(
        "sweep: %ld (scenario, k) runs over %zu scenarios; %zu call sites reached, %zu failed at least once"
        " (difxapi_x64.dll's: %zu reached, %zu failed)\n",
        g_runs, g_scenarios, g_sitesReached, g_sitesFailed, g_librarySitesReached, g_librarySitesFailed);
  }
};

testing::Environment* const kTally = testing::AddGlobalTestEnvironment(new TallyPrinter);

}  // namespace

std::wstring Scenario::Name() const {
  return std::wstring(switchText) + (attached ? L" attached" : L" detached") + (logOn ? L" log-on" : L" log-off");
}

void PrintTo(const Scenario& scenario, std::ostream* os) { *os << testing::PrintToString(scenario.Name()); }

std::vector<Scenario> AllScenarios() {
  std::vector<Scenario> scenarios;
  for (bool attached : {true, false}) {
    for (bool logOn : {true, false}) {
      scenarios.push_back({L"/i", attached, logOn, true, false, 1});
      scenarios.push_back({L"/u", attached, logOn, true, true, 1});
      scenarios.push_back({L"/re", attached, logOn, false, false, 1});
      scenarios.push_back({L"/qu", attached, logOn, false, false, 0});
    }
  }
  scenarios.push_back({L"/status", true, true, true, true, 13});     // reads the store alone
  scenarios.push_back({L"/inventory", true, true, true, true, 13});  // and prints it, with the devices
  scenarios.push_back({L"/deploy", true, false, true, false, 0});
  scenarios.push_back({L"/undeploy", true, false, true, true, 0});  // what a deployment stored
  return scenarios;
}

std::vector<fakes::FakeDevice> SampleDevices(bool attached) {
  std::vector<fakes::FakeDevice> devices = {
      {L"USB\\VID_046D&PID_C31C\\5&2B1E2A9&0&1", true},
      {L"USB\\VID_05AC&PID_12A8\\0000111122223333", attached},
      {L"USB\\VID_05AC&PID_12AB\\00004444", attached},
  };
  for (fakes::FakeDevice& device : devices) {
    device.properties[SPDRP_DEVICEDESC] = L"Sample device";
    device.properties[SPDRP_FRIENDLYNAME] = L"Sample 100% \x00E9\x4E2D";
    device.properties[SPDRP_MFG] = L"Sample maker";
    device.properties[SPDRP_CLASS] = L"USB";
  }
  devices[1].infPath = L"usbaapl64.inf";  // Wine's first copy keeps the package's own name
  return devices;
}

void PrepareStore(const Scenario& scenario) {
  testing_support::RemoveSystemCopiesOfSamples();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver");  // no ownership records
  // 0.2.x's record of an install, for "/deploy" to weigh (under Wine the user's, so never believed).
  const std::wstring record = std::wstring(_wgetenv(L"ProgramData")) + L"\\mdsdriver\\deploy.log";
  DeleteFileW(record.c_str());
  if (std::wstring(scenario.switchText) == L"/deploy") {
    CreateDirectoryW(record.substr(0, record.rfind(L'\\')).c_str(), nullptr);
    EXPECT_TRUE(testing_support::WriteBytes(record, "1 install 0 installed \r\n"));
  }
  if (!scenario.storeHolds) return;
  if (std::wstring(scenario.switchText) == L"/undeploy") {
    EXPECT_EQ(fleet::Deploy(testing_support::NetworkInfPath().c_str(), testing_support::UsbInfPath().c_str(),
                              L"Apple.NTamd64", {}),
              0);
    return;
  }
  // Into the store through our own library, as "/i" would put them there.
  HMODULE difx = LoadLibraryW((testing_support::ModuleDir() + L"\\difxapi_x64.dll").c_str());
  ASSERT_NE(difx, nullptr);
  using PreinstallFn = DWORD(WINAPI*)(PCWSTR, DWORD);
  const auto preinstall =
      reinterpret_cast<PreinstallFn>(reinterpret_cast<void (*)()>(GetProcAddress(difx, "DriverPackagePreinstallW")));
  ASSERT_NE(preinstall, nullptr);
  EXPECT_EQ(preinstall(testing_support::NetworkInfPath().c_str(), 0), 0u);
  EXPECT_EQ(preinstall(testing_support::UsbInfPath().c_str(), 0), 0u);
  FreeLibrary(difx);
}

bool IsListedResult(const Scenario& scenario, int exitCode, const std::vector<fakes::CallId>& injected) {
  const std::wstring name = scenario.switchText;
  if (name == L"/re") return exitCode == 0 || exitCode == 1 || exitCode == 3 || exitCode == 4 || exitCode == 5;
  if (name == L"/qu") return exitCode == 0;
  if (name == L"/deploy" || name == L"/undeploy") {
    return exitCode == 0 || exitCode == 3010 || exitCode == 1618 || exitCode == 1603;
  }
  if (name == L"/status" || name == L"/inventory") {
    return (exitCode >= 10 && exitCode <= 13) || (exitCode >= 20 && exitCode <= 23) ||
           (exitCode >= 30 && exitCode <= 33);
  }
  // "/i" and "/u" pass a failed library's status through: one of the
  // injected errors, or the store lock's time-out.
  for (fakes::CallId call : injected) {
    if (exitCode == static_cast<int>(fakes::InjectedError(call)) && exitCode != 0) return true;
    if (call == fakes::kWaitForSingleObject && exitCode == ERROR_TIMEOUT) return true;
  }
  if (name == L"/i") return exitCode == 0 || exitCode == 1 || exitCode == 2;
  if (name == L"/u") return exitCode == 0 || exitCode == 1 || exitCode == 4 || exitCode == 183;
  return false;
}

void Tally(long runs, size_t sitesReached, size_t sitesFailed, size_t librarySitesReached, size_t librarySitesFailed) {
  g_runs += runs;
  ++g_scenarios;
  g_sitesReached += sitesReached;
  g_sitesFailed += sitesFailed;
  g_librarySitesReached += librarySitesReached;
  g_librarySitesFailed += librarySitesFailed;
}

}  // namespace sweep
