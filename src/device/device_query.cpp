// Placeholder until the device query lands.
#include "device/device_query.h"

namespace device {

int CQoDriverComImp::DealDeviceOpt(const wchar_t*, const wchar_t*) { return 0; }

}  // namespace device
