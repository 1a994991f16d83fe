// The kill sweep, after SQLite's crash tests: "/deploy" and "/undeploy" run in
// process over the fleet fixture, first to count their failable calls (N),
// then once killed at each k-th call in turn, as if the process died there.
// Whatever the kill left, the same switch run again must leave the records
// naming exactly the copies that deployments published, each the file that
// is there; and "/undeploy" then must leave the maker's copies alone and no
// record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "driver_store.h"
#include "fakes/fault_sweep.h"
#include "fleet/fleet_policy.h"
#include "fleet/ownership.h"
#include "support/fleet_fixture.h"

namespace {

using Names = std::vector<std::wstring>;

struct Scenario {
  const char* name;
  bool makerFirst;  // the maker's copies are stored before any deployment
  bool undeploy;    // the killed switch: "/undeploy" after a "/deploy", else "/deploy"
};
void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

int RunSwitch(const testing_support::FleetFixture& fleet, bool undeploy) {
  return undeploy ? fleet::Undeploy(fleet.net.c_str(), fleet.usb.c_str())
                  : fleet::Deploy(fleet.net.c_str(), fleet.usb.c_str(), L"Apple.NTamd64", {});
}

Names Sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

// What the store and the records disagree on, or "": the records name the
// copies in the INF folder beyond the maker's, each by the file that is
// there; after "/undeploy", the maker's copies alone are left.
std::string Disagreement(const testing_support::FleetFixture& fleet, const Names& maker, bool undeployed) {
  std::vector<fleet::OwnedCopy> records;
  if (fleet::ReadOwnedCopies(records) != ERROR_SUCCESS) return "records unreadable";
  Names owned, published;
  for (const fleet::OwnedCopy& record : records) {
    owned.push_back(record.publishedName);
    const std::wstring hash = fleet::FileHash(fleet.store.InfFolder() + L"\\" + record.publishedName);
    if (hash.empty() || hash != record.hash) {
      return "a record not of the file there: " + testing::PrintToString(owned.back());
    }
  }
  const Names infs = Sorted(fleet.Infs());
  std::set_difference(infs.begin(), infs.end(), maker.begin(), maker.end(), std::back_inserter(published));
  if (undeployed && infs != maker) return "INF folder " + testing::PrintToString(infs);
  if (Sorted(owned) == published) return "";
  return "records " + testing::PrintToString(Sorted(owned)) + ", deployments' copies " +
         testing::PrintToString(published);
}

struct Outcome {
  long calls = 0;
  std::string killedCall;  // empty: not killed
  std::string disagreement;
};

// One run of the scenario's switch killed at call `killAt` (0: none), then
// the same switch and "/undeploy" without faults.
Outcome RunKilledAt(const Scenario& scenario, long killAt) {
  testing_support::FleetFixture fleet;
  if (scenario.makerFirst) {
    difx::Preinstall(fleet.net.c_str(), 0);
    difx::Preinstall(fleet.usb.c_str(), 0);
  }
  const Names maker = Sorted(fleet.Infs());
  Outcome outcome;
  if (scenario.undeploy && RunSwitch(fleet, false) != fleet::kFleetDone) {
    outcome.disagreement = "; the /deploy before failed";
  }
  diag::ResetLogFileForTesting();  // a process of its own
  {
    fakes::FaultSweep sweep(killAt);
    sweep.kills = true;
    // On a thread of its own, whose end is the process's: what the run kept
    // per thread (the store lock's nesting) goes with it.
    std::thread([&] {
      try {
        RunSwitch(fleet, scenario.undeploy);
      } catch (const fakes::Killed&) {
      }
    }).join();
    outcome.calls = sweep.failableCalls();
    if (sweep.killed()) {
      outcome.killedCall = std::string(fakes::CallName(sweep.injectedCall())) +
                           (sweep.sites()[static_cast<size_t>(killAt - 1)].inLibrary ? " (library)" : "");
    }
  }
  RunSwitch(fleet, scenario.undeploy);
  const std::string again = Disagreement(fleet, maker, false);
  RunSwitch(fleet, true);
  const std::string removed = Disagreement(fleet, maker, true);
  if (!again.empty()) outcome.disagreement += "; run again: " + again;
  if (!removed.empty()) outcome.disagreement += "; /undeploy: " + removed;
  return outcome;
}

class KillSweepTest : public testing::TestWithParam<Scenario> {};

TEST_P(KillSweepTest, StoreAndRecordsAgreeWhereverTheRunDies) {
  const Outcome clean = RunKilledAt(GetParam(), 0);
  ASSERT_EQ(clean.disagreement, "") << "without a kill";
  ASSERT_GT(clean.calls, 0);
  std::string failures;
  int failing = 0;
  for (long k = 1; k <= clean.calls; ++k) {
    const Outcome run = RunKilledAt(GetParam(), k);
    if (run.killedCall.empty() || !run.disagreement.empty()) {
      ++failing;
      failures += "\n  k=" + std::to_string(k) + " " + (run.killedCall.empty() ? "not reached" : run.killedCall) +
                  run.disagreement;
    }
  }
  std::printf("kill sweep %s: N=%ld, %ld runs, %d kill points disagree\n", GetParam().name, clean.calls,
              clean.calls + 1, failing);
  EXPECT_EQ(failing, 0) << "kill points that leave the store and the records disagreeing:" << failures;
  testing_support::DropRecords();
}

const Scenario kScenarios[] = {
    {"deploy", false, false},
    {"deploy_over_the_makers_copies", true, false},
    {"undeploy", false, true},
    {"undeploy_beside_the_makers_copies", true, true},
};

INSTANTIATE_TEST_SUITE_P(Fleet, KillSweepTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
