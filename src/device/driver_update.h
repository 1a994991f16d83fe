// "/re": installs the USB INF into the system and updates matching devices.
#pragma once

#include <string>

#include "platform/win.h"

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

// How the driver update service is asked: "/re" forces the INF's driver on
// every device (INSTALLFLAG_FORCE); a deployment keeps a better driver a
// device already has and lets nothing ask the desktop a question
// (INSTALLFLAG_NONINTERACTIVE), and hears when a restart finishes the update.
struct UpdateOptions {
  unsigned long installFlags;
  BOOL* rebootRequired;  // set to TRUE when any update asks for a restart; may be null
  // When given, the INF is copied only where the store has no identical copy
  // yet, and this gets the path of the copy that this call published (empty
  // when it published none), so that a deployment owns exactly that.
  std::wstring* publishedInf;
  // When given, gets the first error of an update that the service refused,
  // other than "no such device" and "a better driver is there": such a
  // refusal can leave the device half updated.
  unsigned long* updateFailure = nullptr;
};
int UpdateDevice(const wchar_t* infPath, const wchar_t* modelsSection, const UpdateOptions& options);

}  // namespace device
