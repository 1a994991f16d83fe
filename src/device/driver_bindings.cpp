// The devices' driver keys, read once for all of them.
#include "device/driver_bindings.h"

#include <vector>

#include "platform/handles.h"

namespace device {
namespace {

using platform::Sys;

// The driver key's InfPath, or empty when it has none that reads.
std::wstring InstalledInf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  const HKEY opened = Sys().SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
  if (opened == INVALID_HANDLE_VALUE || opened == nullptr) return std::wstring();
  const platform::unique_hkey key(opened);
  wchar_t name[MAX_PATH] = {};
  DWORD type = 0;
  DWORD size = sizeof(name) - sizeof(wchar_t);  // room for a terminator the value may lack
  if (Sys().RegQueryValueExW(key.get(), L"InfPath", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::wstring();
  }
  return name;
}

}  // namespace

DWORD ReadDriverBindings(std::vector<DriverBinding>& bindings) {
  bindings.clear();
  const platform::unique_hdevinfo devices(Sys().SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  if (!devices) {
    const DWORD error = Sys().GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
  }
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof(device);
  for (DWORD index = 0; Sys().SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
    std::wstring inf = InstalledInf(devices.get(), device);
    if (inf.empty()) continue;
    wchar_t instanceId[MAX_DEVICE_ID_LEN] = {};
    if (!Sys().SetupDiGetDeviceInstanceIdW(devices.get(), &device, instanceId, MAX_DEVICE_ID_LEN, nullptr)) continue;
    ULONG status = 0, problem = 0;
    const bool restart = Sys().CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
                         ((status & DN_NEED_RESTART) != 0 || problem == CM_PROB_NEED_RESTART);
    bindings.push_back({instanceId, std::move(inf), restart});
  }
  const DWORD end = Sys().GetLastError();
  return end == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : (end != ERROR_SUCCESS ? end : ERROR_GEN_FAILURE);
}

}  // namespace device
