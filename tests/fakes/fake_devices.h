// A fake device list behind the call table, for one scope: the USB devices
// the system has recorded, each attached or not, with its properties. INF
// reading stays real; opens and closes are counted on the way through, and
// the copy into the system is recorded instead of made. Tests set the public
// fields, run an operation and look at the records.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/calls.h"

namespace fakes {

struct FakeDevice {
  FakeDevice(std::wstring id, bool attached = true) : instanceId(std::move(id)), present(attached) {}

  std::wstring instanceId;
  bool present = true;                       // attached: it has a device node
  std::map<DWORD, std::wstring> properties;  // text properties by SPDRP_ code; a missing one fails to read
  DWORD configFlags = 0;                     // SPDRP_CONFIGFLAGS
  std::wstring infPath;                      // its driver key's InfPath; empty: no driver, no driver key
  ULONG nodeStatus = 0;                      // what CM_Get_DevNode_Status tells of an attached one

  // Failures of the calls about this device.
  bool failInstanceId = false;
  bool failConfigFlagsRead = false;
  bool failConfigFlagsWrite = false;
};

struct ClassDevsRequest {
  bool ex;        // SetupDiGetClassDevsExW rather than SetupDiGetClassDevsW
  bool anyClass;  // no class GUID given
  std::wstring enumerator;
  DWORD flags;
  bool plain;  // no parent window, and for Ex no existing set, machine name or reserved value
};

struct CopyRequest {
  std::wstring infPath;
  DWORD mediaType;
  DWORD copyStyle;
  bool anyNameOutput;  // a destination buffer, size or name-part output was passed
};

struct DriverUpdateRequest {
  std::wstring hardwareId;
  std::wstring infPath;
  DWORD flags;
  BOOL rebootBefore;  // the reboot indicator as it came in
};

struct PropertyRead {
  std::wstring instanceId;
  DWORD property;
  DWORD bufferBytes;
};

struct FlagWrite {
  std::wstring instanceId;
  DWORD value;
};

struct FakeDevices {
  std::vector<FakeDevice> devices;  // in set order

  // Per-call failure injection.
  DWORD classDevsError = 0;  // non-zero: no device set, with this last error
  DWORD copyError = 0;       // non-zero: SetupCopyOEMInfW fails with this last error
  BOOL driverUpdateResult = TRUE;
  DWORD driverUpdateError = 0;  // the last error of an update that answers FALSE

  // What the code under test asked for, in call order.
  std::vector<ClassDevsRequest> classDevsRequests;
  std::vector<CopyRequest> copies;
  std::vector<DriverUpdateRequest> driverUpdates;
  std::vector<std::wstring> openedInfs;      // paths handed to SetupOpenInfFileW
  std::vector<DWORD> instanceIdBufferSizes;  // per SetupDiGetDeviceInstanceIdW call
  std::vector<PropertyRead> propertyReads;
  std::vector<std::wstring> nodeStatusAsked;  // instance IDs
  std::vector<FlagWrite> flagWrites;
  bool nodeStatusOutputsZeroed = true;  // every CM_Get_DevNode_Status call came with zeroed outputs

  // Handle balance.
  int setsObtained = 0;
  int setsDestroyed = 0;
  int infsOpened = 0;  // successful opens only
  int infsClosed = 0;
  int enumerations = 0;  // SetupDiEnumDeviceInfo calls
  std::string releases;  // one letter per handle given back, in order: 'i' an INF, 's' a device set

  FakeDevices();  // installs itself into the call table
  ~FakeDevices();
  FakeDevices(const FakeDevices&) = delete;
  FakeDevices& operator=(const FakeDevices&) = delete;

 private:
  platform::Calls saved_;
};

}  // namespace fakes
