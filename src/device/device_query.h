// "/qu": reports the first attached USB device that the USB INF names.
#pragma once

namespace device {

class CQoDriverComImp {
 public:
  static int DealDeviceOpt(const wchar_t* infPath, const wchar_t* modelsSection);
};

}  // namespace device
