// "/re": installs the USB INF into the system and updates matching devices.
#pragma once

namespace device {

// Results of UpdateDevice, which "/re" passes on as its exit code.
enum UpdateResult : int {
  kUpdateFailed = 0,       // the copy failed and no device was flagged, or no device set
  kUpdateSucceeded = 1,    // the INF was copied, or a detached device was flagged
  kInfPathUnresolved = 3,  // the INF path cannot be made absolute
  kInfNotOpened = 4,       // the INF file is missing or not an INF
  kNoModelsLines = 5,      // the models section is missing or has no lines
};

// Copies the INF at `infPath` into the system's INF store, asks the driver
// update service to install it on the attached devices of every hardware ID
// in `modelsSection`, and flags the first recorded device of each ID that is
// not attached for reinstallation. Reports through LogLine only.
int UpdateDevice(const wchar_t* infPath, const wchar_t* modelsSection);

}  // namespace device
