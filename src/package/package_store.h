// Driver store operations through difxapi_x64.dll: "/i" and "/u".
#pragma once

namespace package {

// "/i": preinstalls the network and USB packages, then runs the device driver update.
int InstallDrviver(const wchar_t* networkInf, const wchar_t* usbInf, const wchar_t* modelsSection);

// "/u": removes the network and USB packages from the driver store.
int UnloadDriver(const wchar_t* networkInf, const wchar_t* usbInf);

}  // namespace package
