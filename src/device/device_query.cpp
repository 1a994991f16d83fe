// "/qu": the first attached USB device that the USB INF names, reported on
// the trace and, for its properties, in the log.
#include "device/device_query.h"

#include <string>

#include "device/hardware_id.h"
#include "diag/log.h"
#include "diag/text.h"
#include "diag/trace.h"
#include "platform/handles.h"

namespace device {
namespace {

using platform::Sys;

struct PropertyLine {
  DWORD property;
  const wchar_t* traceFormat;
  const wchar_t* logFormat;  // the driver line has one tab less in the log
};

const PropertyLine kReportedProperties[] = {
    {SPDRP_CLASS, L"%d appdev Class \t\t = %s", L"%d appdev Class \t\t = %s"},
    {SPDRP_CLASSGUID, L"%d appdev ClassGuid \t = %s", L"%d appdev ClassGuid \t = %s"},
    {SPDRP_DRIVER, L"%d appdev Driver \t\t = %s", L"%d appdev Driver \t = %s"},
    {SPDRP_DEVICEDESC, L"%d appdev DeviceDesc \t = %s", L"%d appdev DeviceDesc \t = %s"},
    {SPDRP_FRIENDLYNAME, L"%d appdev FriendlyName \t = %s", L"%d appdev FriendlyName \t = %s"},
    {SPDRP_MFG, L"%d appdev Mfg \t\t = %s", L"%d appdev Mfg \t\t = %s"},
};
constexpr size_t kPropertyCount = sizeof(kReportedProperties) / sizeof(kReportedProperties[0]);

// 260 characters for the system to fill, plus one that always stays zero:
// a stored value that fills the buffer without a terminator still ends there.
using PropertyBuffer = wchar_t[MAX_PATH + 1];

// Reports the matching device: its instance ID as read and lower-cased (trace
// only), then each property that can be read (trace), then all six again in
// the log, an unreadable one as empty text.
void ReportDevice(HDEVINFO devices, SP_DEVINFO_DATA& record, DWORD index, wchar_t* instanceId) {
  diag::TraceLine(L"%d appdev HarewareID \t = %s", index, instanceId);
  diag::LowerAsciiInPlace(instanceId);
  diag::TraceLine(L"%d murvex HarewareID \t = %s", index, instanceId);

  PropertyBuffer values[kPropertyCount] = {};
  for (size_t i = 0; i < kPropertyCount; ++i) {
    const PropertyLine& line = kReportedProperties[i];
    if (Sys().SetupDiGetDeviceRegistryPropertyW(devices, &record, line.property, nullptr,
                                                reinterpret_cast<PBYTE>(values[i]), MAX_PATH * sizeof(wchar_t),
                                                nullptr)) {
      diag::TraceLine(line.traceFormat, index, values[i]);
    } else {
      values[i][0] = L'\0';  // whatever a failed read left behind is not the property
    }
  }
  for (size_t i = 0; i < kPropertyCount; ++i) diag::LogLine(kReportedProperties[i].logFormat, index, values[i]);
}

// Walks the attached USB devices and reports the first one that the INF
// names. 1 when the device set was obtained, 0 when it was not.
int ReportFirstMatchingDevice(const wchar_t* infPath, const wchar_t* modelsSection) {
  platform::unique_hdevinfo devices(Sys().SetupDiGetClassDevsExW(
      nullptr, L"USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, nullptr, nullptr, nullptr));
  if (!devices) {
    const DWORD error = Sys().GetLastError();
    diag::LogLine(L"SetupDiGetClassDevsEx FAILED(%d)", error);
    return 0;
  }
  SP_DEVINFO_DATA record = {};
  record.cbSize = sizeof(record);
  wchar_t instanceId[MAX_PATH] = {};
  for (DWORD index = 0; Sys().SetupDiEnumDeviceInfo(devices.get(), index, &record); ++index) {
    if (!Sys().SetupDiGetDeviceInstanceIdW(devices.get(), &record, instanceId, MAX_PATH, nullptr)) continue;
    instanceId[MAX_PATH - 1] = L'\0';
    if (!MatchInfHardwareId(infPath, modelsSection, instanceId)) continue;
    ReportDevice(devices.get(), record, index, instanceId);
    break;
  }
  return 1;
}

}  // namespace

int CQoDriverComImp::DealDeviceOpt(const wchar_t* infPath, const wchar_t* modelsSection) {
  diag::LogLine(L"\nEnter CQoDriverComImp::DealDeviceOpt(%s)...", L"query");
  const int result = ReportFirstMatchingDevice(infPath, modelsSection);
  diag::LogLine(L"Leave CQoDriverComImp::DealDeviceOpt(%s)...", L"query");
  return result;
}

BOOL MatchInfHardwareId(const wchar_t* infPath, const wchar_t* modelsSection, const wchar_t* instanceId) {
  const std::wstring lowerInstanceId = LowerInstanceId(instanceId);
  platform::unique_hinf inf(Sys().SetupOpenInfFileW(infPath, nullptr, INF_STYLE_WIN4, nullptr));
  if (!inf) {
    const DWORD error = Sys().GetLastError();
    diag::TraceLine(L"SetupOpenInfFile failed(%d)", error);
    return FALSE;
  }
  INFCONTEXT line = {};
  if (!Sys().SetupFindFirstLineW(inf.get(), modelsSection, nullptr, &line)) {
    const DWORD error = Sys().GetLastError();
    diag::TraceLine(L"SetupFindFirstLine failed(%d)", error);
    return FALSE;
  }
  const bool found = ForEachHardwareId(
      line, [&](const wchar_t* hardwareId) { return HoldsHardwareId(lowerInstanceId.c_str(), hardwareId); });
  return found ? TRUE : FALSE;
}

}  // namespace device
