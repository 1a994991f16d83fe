// The reliability sweep: each switch, run in-process over the fixture
// packages with sample devices attached or detached and the log on or off,
// first to count its failable Windows calls (N), then N more times with the
// k-th call failing the way it fails on Windows. Every run must end without a
// crash or an exception, give back every handle exactly once, answer with a
// result its switch can give, write only whole lines and records, lose no
// record but the one whose own write was failed, and write nothing outside
// the log folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/commands.h"
#include "diag/log.h"
#include "diag/narrow.h"
#include "fakes/fake_devices.h"
#include "fakes/fault_sweep.h"
#include "fakes/output_capture.h"
#include "support/fixture_packages.h"
#include "support/tool_runner.h"
#include "sweep/sweep_scenarios.h"

namespace {

using fakes::CallId;
using fakes::FaultSweep;
using testing_support::TempDir;

// The exe seems to live in the scenario's folder.
std::wstring g_modulePath;
DWORD WINAPI ScenarioModuleFileName(HMODULE module, LPWSTR buffer, DWORD size) {
  if (module != nullptr) return platform::RealCalls().GetModuleFileNameW(module, buffer, size);
  const DWORD length = static_cast<DWORD>(g_modulePath.size());
  if (size == 0) return 0;
  const DWORD copied = length < size ? length : size - 1;
  g_modulePath.copy(buffer, copied);
  buffer[copied] = L'\0';
  return copied;
}

struct RunRecord {
  int exitCode = 0;
  bool threw = false;
  long failableCalls = 0;
  std::vector<CallId> injected;
  std::vector<FaultSweep::Site> sites;
  std::map<std::string, int> outstanding;
  std::vector<std::string> badReleases;
  int fakeSetsObtained = 0, fakeSetsDestroyed = 0, fakeInfsOpened = 0, fakeInfsClosed = 0;
  std::vector<std::wstring> debugStrings;
  std::string stdoutBytes;
  std::vector<std::wstring> logFiles;  // names in the log folder
  std::string logBytes;                // of the one log file, if any
  std::vector<std::wstring> folderEntries;
  std::vector<std::string> falseSuccesses;
};

class SweepTest : public testing::TestWithParam<sweep::Scenario> {
 protected:
  static void SetUpTestSuite() {
    testing_support::RemoveSystemCopiesOfSamples();
    ASSERT_TRUE(testing_support::PlacePackages());
  }
  static void TearDownTestSuite() {
    sweep::PrepareStore({L"/qu", false, false, false, false, 0});  // nothing stored, recorded or owned
    testing_support::RemoveSystemCopiesOfSamples();
    testing_support::RemovePackages();
  }

  RunRecord RunOnce(const sweep::Scenario& scenario, const std::vector<long>& failAt) {
    TempDir folder;
    if (scenario.logOn) testing_support::WriteBytes(folder / L"vezazez.cfg", "");
    if (scenario.needsLibrary) {
      testing_support::CopyInto(testing_support::ModuleDir() + L"\\difxapi_x64.dll", folder.path());
    }
    sweep::PrepareStore(scenario);
    g_modulePath = folder / L"mdsdriver.exe";
    diag::ResetLogFileForTesting();
    // The store lock is there already, as another run would have made it, so
    // that the lock's look at its owner is swept too: owned by the
    // Administrators group (an elevated run's), which is waited for, or by
    // this user, whose own check of its token follows.
    const HANDLE storeMutex = testing_support::MakeStoreMutex(scenario.attached);
    EXPECT_NE(storeMutex, nullptr);

    RunRecord record;
    {
      fakes::OutputCapture output;
      auto module = platform::Override(&platform::Calls::GetModuleFileNameW, &ScenarioModuleFileName);
      fakes::FakeDevices devices;
      devices.devices = sweep::SampleDevices(scenario.attached);
      {
        FaultSweep faults(failAt, FaultSweep::Library::kInProcess);
        faults.waitsTimeOut = scenario.logOn;  // the other half see the wait itself fail
        std::wstring exe = L"mdsdriver.exe", flag = scenario.switchText;
        wchar_t* argv[] = {&exe[0], &flag[0]};
        try {
          record.exitCode = app::RunTool(2, argv);
        } catch (...) {
          record.threw = true;
        }
        diag::ResetLogFileForTesting();  // the process ends: the log object gives back its folder
        record.failableCalls = faults.failableCalls();
        record.injected = faults.injectedCalls();
        record.sites = faults.sites();
        record.outstanding = faults.Outstanding();
        record.badReleases = faults.badReleases();
        record.falseSuccesses = faults.falseSuccesses;
      }
      record.fakeSetsObtained = devices.setsObtained;
      record.fakeSetsDestroyed = devices.setsDestroyed;
      record.fakeInfsOpened = devices.infsOpened;
      record.fakeInfsClosed = devices.infsClosed;
      record.debugStrings = output.debugStrings;
      record.stdoutBytes = output.stdoutBytes;
    }
    diag::ResetLogFileForTesting();
    CloseHandle(storeMutex);
    record.folderEntries = testing_support::ListFolder(folder.path());
    record.logFiles = testing_support::ListFolder(folder / L"log");
    if (record.logFiles.size() == 1)
      testing_support::ReadBytes(folder / L"log\\" + record.logFiles[0], record.logBytes);
    return record;
  }
};

bool IsTraceLine(const std::wstring& line) { return line.compare(0, 6, L"[app](") == 0; }

// True when `whole` is the concatenation of `parts` in order, with at most
// `mayMiss` of them left out.
bool IsConcatenationMissingAtMost(const std::string& whole, const std::vector<std::string>& parts, int mayMiss) {
  size_t at = 0;
  int missed = 0;
  for (const std::string& part : parts) {
    if (whole.compare(at, part.size(), part) == 0) {
      at += part.size();
    } else if (++missed > mayMiss) {
      return false;
    }
  }
  return at == whole.size();
}

// How many of the injected failures hit one of `calls`.
int CountInjected(const std::vector<CallId>& injected, std::initializer_list<CallId> calls) {
  int count = 0;
  for (CallId hit : injected) {
    for (CallId call : calls) count += hit == call ? 1 : 0;
  }
  return count;
}

std::string Describe(const std::vector<long>& failAt, const std::vector<CallId>& injected) {
  std::string text;
  for (size_t i = 0; i < failAt.size(); ++i) {
    text += (i ? ", call " : "call ") + std::to_string(failAt[i]) + " (" +
            (i < injected.size() ? fakes::CallName(injected[i]) : "not reached") + ")";
  }
  return text.empty() ? "no call" : text;
}

void CheckRun(const sweep::Scenario& scenario, const std::vector<long>& failAt, const RunRecord& run) {
  SCOPED_TRACE(testing::Message() << testing::PrintToString(scenario.Name()) << " with "
                                  << Describe(failAt, run.injected) << " failing");
  EXPECT_FALSE(run.threw);
  EXPECT_TRUE(run.outstanding.empty()) << "handles left behind: " << testing::PrintToString(run.outstanding);
  EXPECT_TRUE(run.badReleases.empty()) << "released twice or never held: " << testing::PrintToString(run.badReleases);
  EXPECT_EQ(run.fakeSetsObtained, run.fakeSetsDestroyed);
  EXPECT_EQ(run.fakeInfsOpened, run.fakeInfsClosed);
  EXPECT_TRUE(sweep::IsListedResult(scenario, run.exitCode, run.injected)) << "exit code " << run.exitCode;
  EXPECT_TRUE(run.falseSuccesses.empty())
      << "the library answered success for: " << testing::PrintToString(run.falseSuccesses);

  // Whole lines on the debugger channel, and the same lines on standard output and in the file.
  std::vector<std::string> traceBytes, logRecords;
  for (const std::wstring& line : run.debugStrings) {
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), L'\n') << testing::PrintToString(line);
    if (IsTraceLine(line)) {
      traceBytes.push_back(diag::Narrow(line.data(), line.size(), diag::Newline::kCrLf));
    } else {
      EXPECT_EQ(line[19], L'\t') << "a log line starts with its timestamp: " << testing::PrintToString(line);
      logRecords.push_back(diag::Narrow(line.data(), line.size(), diag::Newline::kAsIs) + "\r\n");
    }
  }
  const int stdoutMayMiss = CountInjected(run.injected, {fakes::kGetStdHandle, fakes::kWriteFile});
  if (std::wstring(scenario.switchText) == L"/inventory") {
    // Its document alone: no trace line, and nothing at all only where its write failed.
    EXPECT_EQ(run.stdoutBytes.find("[app]("), std::string::npos);
    EXPECT_TRUE(run.stdoutBytes.empty() ? stdoutMayMiss > 0 : run.stdoutBytes.front() == '{');
  } else {
    EXPECT_TRUE(IsConcatenationMissingAtMost(run.stdoutBytes, traceBytes, stdoutMayMiss))
        << testing::PrintToString(run.stdoutBytes);
  }

  const bool logFolderRefused = CountInjected(run.injected, {fakes::kCreateDirectoryW}) > 0;
  if (!scenario.logOn || logRecords.empty() || logFolderRefused) {
    EXPECT_TRUE(run.logBytes.empty());
  } else {
    const int logMayMiss =
        CountInjected(run.injected, {fakes::kCreateFileW, fakes::kNtCreateFile, fakes::kNtQueryDirectoryFile,
                                     fakes::kGetSystemDirectoryW, fakes::kLoadLibraryExW, fakes::kGetProcAddress,
                                     fakes::kSetFilePointerEx, fakes::kWriteFile, fakes::kGetFileInformationByHandle,
                                     fakes::kGetFileInformationByHandleEx, fakes::kGetFinalPathNameByHandleW});
    ASSERT_EQ(run.logFiles.size(), 1u);
    EXPECT_TRUE(IsConcatenationMissingAtMost(run.logBytes, logRecords, logMayMiss)) << run.logBytes;
  }

  // Nothing beyond what the test put there and the log folder with its one file.
  for (const std::wstring& name : run.folderEntries) {
    EXPECT_TRUE(name == L"vezazez.cfg" || name == L"difxapi_x64.dll" || name == L"log")
        << "written outside the log folder: " << testing::PrintToString(name);
  }
  EXPECT_LE(run.logFiles.size(), 1u);
}

TEST_P(SweepTest, EveryFailureIsRiddenOut) {
  const sweep::Scenario& scenario = GetParam();
  const RunRecord baseline = RunOnce(scenario, {});
  CheckRun(scenario, {}, baseline);
  EXPECT_EQ(baseline.exitCode, scenario.expectedExitCode) << "the scenario itself runs as intended";
  ASSERT_GT(baseline.failableCalls, 0);

  // First order: every call of the plain run fails once.
  std::set<FaultSweep::Site> failed;
  std::map<FaultSweep::Site, std::vector<long>> firstReachedBy;  // the failures that lead to a site, and its number
  long runs = 1;
  auto sweepOne = [&](const std::vector<long>& failAt) {
    const RunRecord run = RunOnce(scenario, failAt);
    ++runs;
    CheckRun(scenario, failAt, run);
    for (long k : failAt) {
      if (k <= static_cast<long>(run.sites.size())) failed.insert(run.sites[static_cast<size_t>(k - 1)]);
    }
    for (size_t i = 0; i < run.sites.size(); ++i) {
      if (firstReachedBy.count(run.sites[i])) continue;
      std::vector<long> path = failAt;
      path.push_back(static_cast<long>(i + 1));
      firstReachedBy[run.sites[i]] = path;
    }
  };
  for (long k = 1; k <= baseline.failableCalls && !HasFatalFailure(); ++k) sweepOne({k});
  const std::set<FaultSweep::Site> plainSites(baseline.sites.begin(), baseline.sites.end());

  // Then the sites that only lie behind a failure (error paths' own calls):
  // each is failed in a run that first takes the failures leading to it.
  for (int round = 0; round < 3 && !HasFatalFailure(); ++round) {
    std::vector<std::vector<long>> pending;
    for (const auto& entry : firstReachedBy) {
      if (!failed.count(entry.first)) pending.push_back(entry.second);
    }
    if (pending.empty()) break;
    for (const std::vector<long>& failAt : pending) sweepOne(failAt);
  }

  for (const FaultSweep::Site& site : plainSites) {
    EXPECT_TRUE(failed.count(site)) << "never failed: " << fakes::CallName(site.id);
  }
  size_t unfailed = 0;
  for (const auto& entry : firstReachedBy) unfailed += failed.count(entry.first) ? 0 : 1;
  EXPECT_EQ(unfailed, 0u) << "call sites reached but never failed";
  size_t libraryReached = 0, libraryFailed = 0;
  for (const auto& entry : firstReachedBy) {
    libraryReached += entry.first.inLibrary ? 1 : 0;
    libraryFailed += entry.first.inLibrary && failed.count(entry.first) ? 1 : 0;
  }
  std::printf("sweep %ls: N=%ld, %ld runs, %zu call sites reached, %zu failed (library: %zu, %zu)\n",
              scenario.Name().c_str(), baseline.failableCalls, runs, firstReachedBy.size(), failed.size(),
              libraryReached, libraryFailed);
  sweep::Tally(runs, firstReachedBy.size(), failed.size(), libraryReached, libraryFailed);
}

std::string ScenarioName(const testing::TestParamInfo<sweep::Scenario>& info) {
  std::string name;
  for (wchar_t c : info.param.Name()) {
    if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')) name += static_cast<char>(c);
    if (c == L' ' || c == L'-') name += '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Switches, SweepTest, testing::ValuesIn(sweep::AllScenarios()), ScenarioName);

}  // namespace
