// Which published INF each device's installed driver came from, as the
// device's driver key records it (InfPath).
#pragma once

#include <string>
#include <vector>

#include "platform/win.h"

namespace device {

struct DriverBinding {
  std::wstring instanceId;
  std::wstring infName;  // the INF's name in the system INF folder, e.g. oem12.inf
  bool restartPending;   // the device waits for a restart (DN_NEED_RESTART, CM_PROB_NEED_RESTART)
};

// Every device the system records, attached or not, that has a driver
// installed from an INF. ERROR_SUCCESS, or why the devices could not be
// listed; a device whose driver key cannot be read is left out.
DWORD ReadDriverBindings(std::vector<DriverBinding>& bindings);

}  // namespace device
