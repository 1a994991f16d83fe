// Registering and removing sample USB devices through SetupAPI.
#include "tools/device_registry.h"

#include <windows.h>
// windows.h first: the SetupAPI family needs its types.
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

namespace device_registry {
namespace {

// A device set closed on every path.
class DeviceSet {
 public:
  explicit DeviceSet(HDEVINFO set) : set_(set) {}
  ~DeviceSet() {
    if (valid()) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;
  bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

HDEVINFO AllUsbDevices() { return SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES); }

bool SetText(HDEVINFO set, SP_DEVINFO_DATA& record, DWORD property, const std::wstring& text) {
  if (text.empty()) return true;
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return SetupDiSetDeviceRegistryPropertyW(set, &record, property, reinterpret_cast<const BYTE*>(text.c_str()),
                                           bytes) != FALSE;
}

std::wstring InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA& record) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (!SetupDiGetDeviceInstanceIdW(set, &record, id, MAX_DEVICE_ID_LEN + 1, nullptr)) return std::wstring();
  return id;
}

// Removes each device of the USB enumerator that `wanted` accepts.
template <typename Wanted>
int RemoveWhere(Wanted wanted) {
  DeviceSet set(AllUsbDevices());
  if (!set.valid()) return 0;
  int removed = 0;
  SP_DEVINFO_DATA record = {};
  record.cbSize = sizeof(record);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &record); ++index) {
    if (wanted(InstanceIdOf(set.get(), record)) && SetupDiRemoveDevice(set.get(), &record)) ++removed;
  }
  return removed;
}

}  // namespace

bool Register(const SampleDevice& device) {
  DeviceSet set(SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_USB, nullptr));
  if (!set.valid()) return false;
  SP_DEVINFO_DATA record = {};
  record.cbSize = sizeof(record);
  if (!SetupDiCreateDeviceInfoW(set.get(), device.instanceId.c_str(), &GUID_DEVCLASS_USB, nullptr, nullptr, 0,
                                &record)) {
    return false;
  }
  if (!SetupDiRegisterDeviceInfo(set.get(), &record, 0, nullptr, nullptr, nullptr)) return false;
  return SetText(set.get(), record, SPDRP_DEVICEDESC, device.description) &&
         SetText(set.get(), record, SPDRP_FRIENDLYNAME, device.friendlyName) &&
         SetText(set.get(), record, SPDRP_MFG, device.manufacturer);
}

bool Remove(const std::wstring& instanceId) {
  return RemoveWhere([&](const std::wstring& id) { return _wcsicmp(id.c_str(), instanceId.c_str()) == 0; }) > 0;
}

std::vector<std::wstring> UsbInstanceIds() {
  std::vector<std::wstring> ids;
  DeviceSet set(AllUsbDevices());
  if (!set.valid()) return ids;
  SP_DEVINFO_DATA record = {};
  record.cbSize = sizeof(record);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &record); ++index) {
    ids.push_back(InstanceIdOf(set.get(), record));
  }
  return ids;
}

int RemoveAll() {
  return RemoveWhere([](const std::wstring&) { return true; });
}

}  // namespace device_registry
