// Reading hardware IDs from a models section and matching them to devices.
#include "device/hardware_id.h"

#include "diag/text.h"

namespace device {

bool ReadHardwareId(INFCONTEXT& line, HardwareIdBuffer& hardwareId) {
  if (!platform::Sys().SetupGetStringFieldW(&line, 2, hardwareId, MAX_PATH, nullptr)) return false;
  hardwareId[MAX_PATH - 1] = L'\0';
  diag::LowerAsciiInPlace(hardwareId);
  return hardwareId[0] != L'\0';
}

}  // namespace device
