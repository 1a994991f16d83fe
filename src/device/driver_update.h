// "/re": installs the USB INF into the system and updates matching devices.
#pragma once

namespace device {

int UpdateDevice(const wchar_t* infPath, const wchar_t* modelsSection);

}  // namespace device
