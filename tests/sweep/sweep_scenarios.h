// The sweep's scenarios: a switch, sample devices attached or detached, the
// log on or off, and what each switch may answer.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "fakes/fake_devices.h"
#include "fakes/fault_sweep.h"

namespace sweep {

struct Scenario {
  const wchar_t* switchText;
  bool attached;      // the sample devices are attached (else recorded but detached)
  bool logOn;         // vezazez.cfg stands beside the exe
  bool needsLibrary;  // difxapi_x64.dll stands beside the exe
  bool storeHolds;    // the driver store holds both packages before the run
  int expectedExitCode;

  std::wstring Name() const;
};

// Prints a scenario by its name in test output.
void PrintTo(const Scenario& scenario, std::ostream* os);

std::vector<Scenario> AllScenarios();

// Two devices the fixture INF names and one it doesn't, in set order.
std::vector<fakes::FakeDevice> SampleDevices(bool attached);

// Puts the driver store in the state the scenario starts from.
void PrepareStore(const Scenario& scenario);

// The exit codes the switch's table lists, with the statuses the sweep's
// injected failures can pass through.
bool IsListedResult(const Scenario& scenario, int exitCode, const std::vector<fakes::CallId>& injected);

// Figures for the whole sweep, printed when the program ends; the library's
// share counted apart too.
void Tally(long runs, size_t sitesReached, size_t sitesFailed, size_t librarySitesReached, size_t librarySitesFailed);

}  // namespace sweep
