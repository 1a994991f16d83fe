// Registering, reading back and removing sample USB devices through SetupAPI.
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

// A REG_MULTI_SZ list: each entry ends in NUL, and one more NUL ends the list.
bool SetList(HDEVINFO set, SP_DEVINFO_DATA& record, DWORD property, const std::vector<std::wstring>& entries) {
  std::wstring list;
  for (const std::wstring& entry : entries) list += entry + L'\0';
  list += L'\0';
  const DWORD bytes = static_cast<DWORD>(list.size() * sizeof(wchar_t));
  return SetupDiSetDeviceRegistryPropertyW(set, &record, property, reinterpret_cast<const BYTE*>(list.data()), bytes) !=
         FALSE;
}

std::wstring WithCase(std::wstring text, bool upper) {
  for (wchar_t& c : text) {
    if (upper && c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (!upper && c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

std::wstring TwoHexDigits(int value) {
  const wchar_t digits[] = L"0123456789abcdef";
  return {digits[(value >> 4) & 0xF], digits[value & 0xF]};
}

std::wstring InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA& record) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (!SetupDiGetDeviceInstanceIdW(set, &record, id, MAX_DEVICE_ID_LEN + 1, nullptr)) return std::wstring();
  return id;
}

// Read into the tool's own 260 characters, so a value it cannot read counts
// as unreadable here too.
std::optional<std::wstring> TextOf(HDEVINFO set, SP_DEVINFO_DATA& record, DWORD property) {
  wchar_t value[MAX_PATH + 1] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, &record, property, nullptr, reinterpret_cast<BYTE*>(value),
                                         MAX_PATH * sizeof(wchar_t), nullptr)) {
    return std::nullopt;
  }
  return std::wstring(value);
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

std::vector<std::wstring> HardwareIds(const SampleDevice& device) {
  const size_t lastSlash = device.instanceId.find_last_of(L'\\');
  const std::wstring deviceId =
      WithCase(lastSlash == std::wstring::npos ? device.instanceId : device.instanceId.substr(0, lastSlash), true);
  // The revision goes right behind the four digits of the product ID, ahead
  // of any interface part (&MI_xx).
  std::wstring withRevision = deviceId;
  const size_t pid = deviceId.find(L"&PID_");
  const size_t at = (pid == std::wstring::npos || pid + 9 > deviceId.size()) ? deviceId.size() : pid + 9;
  withRevision.insert(at, L"&REV_" + WithCase(device.revision, true));

  std::vector<std::wstring> ids = {withRevision, deviceId};
  const std::wstring lower = WithCase(deviceId, false);
  if (device.lowerCaseIdForWine && lower != deviceId) ids.push_back(lower);
  return ids;
}

std::vector<std::wstring> CompatibleIds(const SampleDevice& device) {
  const std::wstring base = L"USB\\Class_" + TwoHexDigits(device.usbClass.code);
  const std::wstring withSubClass = base + L"&SubClass_" + TwoHexDigits(device.usbClass.subClass);
  return {withSubClass + L"&Prot_" + TwoHexDigits(device.usbClass.protocol), withSubClass, base};
}

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
  return SetList(set.get(), record, SPDRP_HARDWAREID, HardwareIds(device)) &&
         SetList(set.get(), record, SPDRP_COMPATIBLEIDS, CompatibleIds(device)) &&
         SetText(set.get(), record, SPDRP_DEVICEDESC, device.description) &&
         SetText(set.get(), record, SPDRP_FRIENDLYNAME, device.friendlyName) &&
         SetText(set.get(), record, SPDRP_MFG, device.manufacturer);
}

bool Remove(const std::wstring& instanceId) {
  return RemoveWhere([&](const std::wstring& id) { return _wcsicmp(id.c_str(), instanceId.c_str()) == 0; }) > 0;
}

std::optional<std::wstring> Property(const std::wstring& instanceId, unsigned long property) {
  DeviceSet set(AllUsbDevices());
  SP_DEVINFO_DATA record = {};
  record.cbSize = sizeof(record);
  if (!set.valid() || !SetupDiOpenDeviceInfoW(set.get(), instanceId.c_str(), nullptr, 0, &record)) return std::nullopt;
  return TextOf(set.get(), record, property);
}

std::vector<std::wstring> UsbInstanceIds() {
  std::vector<std::wstring> ids;
  for (const DeviceProperties& device : UsbDevices({})) ids.push_back(device.instanceId);
  return ids;
}

std::vector<DeviceProperties> UsbDevices(const std::vector<unsigned long>& properties) {
  std::vector<DeviceProperties> devices;
  DeviceSet set(AllUsbDevices());
  if (!set.valid()) return devices;
  SP_DEVINFO_DATA record = {};
  record.cbSize = sizeof(record);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &record); ++index) {
    DeviceProperties device = {InstanceIdOf(set.get(), record), {}};
    for (unsigned long property : properties) device.values.push_back(TextOf(set.get(), record, property));
    devices.push_back(device);
  }
  return devices;
}

int RemoveAll() {
  return RemoveWhere([](const std::wstring&) { return true; });
}

}  // namespace device_registry
