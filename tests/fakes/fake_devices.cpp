// The fake device list: device sets are sentinel handles over the list,
// device records carry the device's position in DevInst.
#include "fakes/fake_devices.h"

#include <gtest/gtest.h>

#include <cstring>

namespace fakes {
namespace {

FakeDevices* g_active = nullptr;

// Members of each device set handed out and not yet destroyed, by handle.
std::map<HDEVINFO, std::vector<size_t>> g_sets;
INT_PTR g_nextSet = 0x5DE0;

std::wstring Text(const wchar_t* text) { return text ? text : L"(null)"; }

bool KnownSet(HDEVINFO set) { return g_sets.count(set) != 0; }

// The device a record filled in by the fake enumeration stands for.
FakeDevice* DeviceOf(HDEVINFO set, const SP_DEVINFO_DATA* record) {
  if (!KnownSet(set) || record == nullptr || record->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
  if (record->DevInst == 0 || record->DevInst > g_active->devices.size()) return nullptr;
  return &g_active->devices[record->DevInst - 1];
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HDEVINFO NewSet(const ClassDevsRequest& request) {
  g_active->classDevsRequests.push_back(request);
  if (g_active->classDevsError != 0) {
    SetLastError(g_active->classDevsError);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<size_t> members;
  for (size_t i = 0; i < g_active->devices.size(); ++i) {
    // Without DIGCF_PRESENT the set holds every recorded device, attached or not.
    if (g_active->devices[i].present || !(request.flags & DIGCF_PRESENT)) members.push_back(i);
  }
  const HDEVINFO set = reinterpret_cast<HDEVINFO>(g_nextSet++);
  g_sets[set] = members;
  ++g_active->setsObtained;
  return set;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
  return NewSet({false, classGuid == nullptr, Text(enumerator), flags, parent == nullptr});
}

HDEVINFO WINAPI FakeGetClassDevsEx(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags,
                                   HDEVINFO existing, PCWSTR machine, PVOID reserved) {
  const bool plain = parent == nullptr && existing == nullptr && machine == nullptr && reserved == nullptr;
  return NewSet({true, classGuid == nullptr, Text(enumerator), flags, plain});
}

BOOL WINAPI FakeEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA record) {
  ++g_active->enumerations;
  if (!KnownSet(set)) return Fail(ERROR_INVALID_HANDLE);
  if (record == nullptr || record->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  const std::vector<size_t>& members = g_sets[set];
  if (index >= members.size()) return Fail(ERROR_NO_MORE_ITEMS);
  record->ClassGuid = GUID();
  record->DevInst = static_cast<DWORD>(members[index] + 1);
  record->Reserved = 0;
  return TRUE;
}

BOOL WINAPI FakeGetDeviceInstanceId(HDEVINFO set, PSP_DEVINFO_DATA record, PWSTR buffer, DWORD size, PDWORD required) {
  g_active->instanceIdBufferSizes.push_back(size);
  const FakeDevice* device = DeviceOf(set, record);
  if (device == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (device->failInstanceId) return Fail(ERROR_INVALID_DATA);
  const DWORD needed = static_cast<DWORD>(device->instanceId.size() + 1);
  if (required) *required = needed;
  if (size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::wmemcpy(buffer, device->instanceId.c_str(), needed);
  return TRUE;
}

BOOL WINAPI FakeGetDeviceProperty(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD property, PDWORD type, PBYTE buffer,
                                  DWORD size, PDWORD required) {
  const FakeDevice* device = DeviceOf(set, record);
  if (device == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  g_active->propertyReads.push_back({device->instanceId, property, size});
  if (property == SPDRP_CONFIGFLAGS) {
    if (device->failConfigFlagsRead) return Fail(ERROR_INVALID_DATA);
    if (required) *required = sizeof(DWORD);
    if (size < sizeof(DWORD)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (type) *type = REG_DWORD;
    std::memcpy(buffer, &device->configFlags, sizeof(DWORD));
    return TRUE;
  }
  const auto found = device->properties.find(property);
  if (found == device->properties.end()) return Fail(ERROR_INVALID_DATA);
  const DWORD bytes = static_cast<DWORD>((found->second.size() + 1) * sizeof(wchar_t));
  if (required) *required = bytes;
  if (size < bytes) {
    // The buffer is undefined after a failed read: here it holds the value's start.
    if (buffer != nullptr) std::memcpy(buffer, found->second.c_str(), size);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (type) *type = REG_SZ;
  std::memcpy(buffer, found->second.c_str(), bytes);
  return TRUE;
}

BOOL WINAPI FakeSetDeviceProperty(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD property, const BYTE* buffer,
                                  DWORD size) {
  FakeDevice* device = DeviceOf(set, record);
  if (device == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(property, static_cast<DWORD>(SPDRP_CONFIGFLAGS)) << "only the configuration flags are written";
  EXPECT_EQ(size, sizeof(DWORD));
  if (property != SPDRP_CONFIGFLAGS || size != sizeof(DWORD)) return Fail(ERROR_INVALID_DATA);
  if (device->failConfigFlagsWrite) return Fail(ERROR_ACCESS_DENIED);
  std::memcpy(&device->configFlags, buffer, sizeof(DWORD));
  g_active->flagWrites.push_back({device->instanceId, device->configFlags});
  return TRUE;
}

BOOL WINAPI FakeDestroyDeviceInfoList(HDEVINFO set) {
  if (!KnownSet(set)) {
    ADD_FAILURE() << "a device set released that was never handed out, or released twice";
    return Fail(ERROR_INVALID_HANDLE);
  }
  g_sets.erase(set);
  ++g_active->setsDestroyed;
  g_active->releases += 's';
  return TRUE;
}

// Like Wine's: the outputs are left as they came in, so the caller must
// have zeroed them.
CONFIGRET WINAPI FakeGetDevNodeStatus(PULONG status, PULONG problem, DEVINST devInst, ULONG) {
  if (devInst == 0 || devInst > g_active->devices.size()) return CR_INVALID_DEVNODE;
  const FakeDevice& device = g_active->devices[devInst - 1];
  g_active->nodeStatusAsked.push_back(device.instanceId);
  if (status == nullptr || problem == nullptr || *status != 0 || *problem != 0) {
    g_active->nodeStatusOutputsZeroed = false;
  }
  if (!device.present) return CR_NO_SUCH_DEVNODE;
  if (status != nullptr) *status |= device.nodeStatus;
  return CR_SUCCESS;
}

BOOL WINAPI FakeUpdateDriver(HWND, LPCWSTR hardwareId, LPCWSTR infPath, DWORD flags, PBOOL reboot) {
  g_active->driverUpdates.push_back({Text(hardwareId), Text(infPath), flags, reboot ? *reboot : -1});
  if (!g_active->driverUpdateResult) SetLastError(g_active->driverUpdateError);
  return g_active->driverUpdateResult;
}

BOOL WINAPI FakeCopyOEMInf(PCWSTR source, PCWSTR, DWORD mediaType, DWORD style, PWSTR destName, DWORD destSize,
                           PDWORD required, PWSTR* destNamePart) {
  const bool anyOutput = destName != nullptr || destSize != 0 || required != nullptr || destNamePart != nullptr;
  g_active->copies.push_back({Text(source), mediaType, style, anyOutput});
  if (g_active->copyError != 0) return Fail(g_active->copyError);
  return TRUE;
}

// A device's driver key stands for the device: its position, past a base.
constexpr INT_PTR kDriverKeys = 0x7E000;

HKEY WINAPI FakeOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD, DWORD, DWORD keyType, REGSAM) {
  const FakeDevice* device = DeviceOf(set, record);
  if (device == nullptr || keyType != DIREG_DRV || device->infPath.empty()) {
    SetLastError(ERROR_KEY_DOES_NOT_EXIST);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  return reinterpret_cast<HKEY>(kDriverKeys + static_cast<INT_PTR>(record->DevInst));
}

const FakeDevice* DeviceOfKey(HKEY key) {
  const INT_PTR at = reinterpret_cast<INT_PTR>(key) - kDriverKeys;
  return at >= 1 && static_cast<size_t>(at) <= g_active->devices.size() ? &g_active->devices[at - 1] : nullptr;
}

LSTATUS WINAPI FakeQueryValue(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  const FakeDevice* device = DeviceOfKey(key);
  if (device == nullptr) return platform::RealCalls().RegQueryValueExW(key, name, nullptr, type, data, size);
  if (std::wstring(name) != L"InfPath") return ERROR_FILE_NOT_FOUND;
  const DWORD bytes = static_cast<DWORD>((device->infPath.size() + 1) * sizeof(wchar_t));
  const DWORD room = *size;
  *size = bytes;
  if (type != nullptr) *type = REG_SZ;
  if (data == nullptr) return ERROR_SUCCESS;
  if (room < bytes) return ERROR_MORE_DATA;
  std::memcpy(data, device->infPath.c_str(), bytes);
  return ERROR_SUCCESS;
}

// Any other key is a real one.
LSTATUS WINAPI FakeCloseKey(HKEY key) {
  return DeviceOfKey(key) != nullptr ? ERROR_SUCCESS : platform::RealCalls().RegCloseKey(key);
}

HINF WINAPI CountingOpenInf(PCWSTR name, PCWSTR infClass, DWORD style, PUINT errorLine) {
  g_active->openedInfs.push_back(Text(name));
  const HINF inf = platform::RealCalls().SetupOpenInfFileW(name, infClass, style, errorLine);
  if (inf != INVALID_HANDLE_VALUE) ++g_active->infsOpened;
  return inf;
}

void WINAPI CountingCloseInf(HINF inf) {
  ++g_active->infsClosed;
  g_active->releases += 'i';
  platform::RealCalls().SetupCloseInfFile(inf);
}

}  // namespace

FakeDevices::FakeDevices() : saved_(platform::Sys()) {
  g_active = this;
  platform::Calls& calls = platform::Sys();
  calls.SetupDiGetClassDevsW = FakeGetClassDevs;
  calls.SetupDiGetClassDevsExW = FakeGetClassDevsEx;
  calls.SetupDiEnumDeviceInfo = FakeEnumDeviceInfo;
  calls.SetupDiGetDeviceInstanceIdW = FakeGetDeviceInstanceId;
  calls.SetupDiGetDeviceRegistryPropertyW = FakeGetDeviceProperty;
  calls.SetupDiSetDeviceRegistryPropertyW = FakeSetDeviceProperty;
  calls.SetupDiDestroyDeviceInfoList = FakeDestroyDeviceInfoList;
  calls.SetupDiOpenDevRegKey = FakeOpenDevRegKey;
  calls.RegQueryValueExW = FakeQueryValue;
  calls.RegCloseKey = FakeCloseKey;
  calls.CM_Get_DevNode_Status = FakeGetDevNodeStatus;
  calls.UpdateDriverForPlugAndPlayDevicesW = FakeUpdateDriver;
  calls.SetupCopyOEMInfW = FakeCopyOEMInf;
  calls.SetupOpenInfFileW = CountingOpenInf;
  calls.SetupCloseInfFile = CountingCloseInf;
}

FakeDevices::~FakeDevices() {
  // Fakes nest in scope order, so the table as it stood before this one
  // undoes exactly what it installed.
  platform::Sys() = saved_;
  g_sets.clear();
  g_active = nullptr;
}

}  // namespace fakes
