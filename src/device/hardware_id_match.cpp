// The hardware-ID match: containment after folding A to Z.
#include "device/hardware_id_match.h"

#include <cwchar>

#include "diag/text.h"

namespace device {

std::wstring LowerInstanceId(const wchar_t* instanceId) {
  std::wstring lower(instanceId);
  for (wchar_t& c : lower) c = diag::LowerAscii(c);
  return lower;
}

bool HoldsHardwareId(const wchar_t* lowerInstanceId, const wchar_t* lowerHardwareId) {
  return std::wcsstr(lowerInstanceId, lowerHardwareId) != nullptr;
}

}  // namespace device
