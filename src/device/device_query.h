// "/qu": reports the first attached USB device that the USB INF names.
#pragma once

#include "platform/win.h"

namespace device {

class CQoDriverComImp {
 public:
  // Finds the first attached USB device whose instance ID holds a hardware
  // ID of `modelsSection` in the INF at `infPath`, and reports its instance
  // ID and six properties. 1 when the device set was obtained, match or not;
  // 0 when it was not.
  static int DealDeviceOpt(const wchar_t* infPath, const wchar_t* modelsSection);
};

// TRUE when field 2 of some line of `modelsSection` in the INF at `infPath`,
// lower-cased, occurs within the lower-cased `instanceId`. FALSE when none
// does, or the INF cannot be opened or the section has no lines; those two
// failures are traced. Opens and closes the INF on every call.
BOOL MatchInfHardwareId(const wchar_t* infPath, const wchar_t* modelsSection, const wchar_t* instanceId);

}  // namespace device
