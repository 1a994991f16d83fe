// Reading hardware IDs from a models section and matching them to devices.
#include "device/hardware_id.h"

#include <cwchar>

#include "diag/text.h"

namespace device {

bool ReadHardwareId(INFCONTEXT& line, HardwareIdBuffer& hardwareId) {
  if (!platform::Sys().SetupGetStringFieldW(&line, 2, hardwareId, MAX_PATH, nullptr)) return false;
  hardwareId[MAX_PATH - 1] = L'\0';
  diag::LowerAsciiInPlace(hardwareId);
  return hardwareId[0] != L'\0';
}

std::wstring LowerInstanceId(const wchar_t* instanceId) {
  std::wstring lower(instanceId);
  for (wchar_t& c : lower) c = diag::LowerAscii(c);
  return lower;
}

bool HoldsHardwareId(const wchar_t* lowerInstanceId, const wchar_t* lowerHardwareId) {
  return std::wcsstr(lowerInstanceId, lowerHardwareId) != nullptr;
}

}  // namespace device
