// The fleet's commands in process, in a world of their own for one scope: the
// fixture packages copied to a temporary folder, a driver store in it that
// answers as Windows documents it, our library's code in process (its
// exports looked up by name), and %ProgramData% there with the security the
// test sets.
#pragma once

#include <string>
#include <vector>

#include "fakes/fake_devices.h"
#include "fakes/fake_driver_store.h"
#include "fakes/output_capture.h"
#include "platform/calls.h"
#include "support/tool_runner.h"

namespace testing_support {

// A folder only SYSTEM and the administrators may change; users may read it.
extern const wchar_t kAdministrators[];
// 0.2.x's commands' record of an install.
extern const char kEarlierInstall[];

// Drops the ownership records, key and all (they live in the prefix's
// registry, not in the test's folder).
void DropRecords();

// %ProgramData% and the security of what the tool opens in it, answered from
// the public fields, for one scope. An empty folder: %ProgramData% not set.
class FakeProgramData {
 public:
  FakeProgramData();
  ~FakeProgramData();
  FakeProgramData(const FakeProgramData&) = delete;
  FakeProgramData& operator=(const FakeProgramData&) = delete;

  // 0.2.x's commands' record, with `lines`.
  bool RecordEarlier(const char* lines) const;

  std::wstring folder;
  std::wstring security = kAdministrators;  // SDDL

 private:
  platform::ScopedCall<decltype(&::GetEnvironmentVariableW)> place_;
  platform::ScopedCall<decltype(&::GetSecurityInfo)> security_;
};

// Everything a "/deploy" or "/undeploy" in process needs. The records are
// dropped when it is made; the folder goes, and every table entry comes
// back, when it ends.
struct FleetFixture {
  FleetFixture();
  FleetFixture(const FleetFixture&) = delete;
  FleetFixture& operator=(const FleetFixture&) = delete;

  // The *.inf names in the store's INF folder.
  std::vector<std::wstring> Infs() const;

  TempDir folder;
  std::wstring net, usb;  // the packages' INFs in `folder`, with their catalogs
  fakes::OutputCapture output;
  fakes::FakeDevices devices;
  fakes::FakeDriverStore store;  // folder\windows
  FakeProgramData programData;   // `folder`, administrators only

 private:
  platform::ScopedCall<decltype(&::GetProcAddress)> library_;  // our library's exports in process
};

}  // namespace testing_support
