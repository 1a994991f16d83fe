// The hardware-ID rules both device operations share: how field 2 of a
// models line becomes a hardware ID, and when a device instance ID holds it.
// Only the letters A to Z are folded, whatever the system's language.
#pragma once

#include "device/hardware_id_match.h"
#include "platform/calls.h"

namespace device {

// Field 2 of a models line (the first hardware ID after the install-section
// name), as the system's text buffers hold it: 260 characters.
using HardwareIdBuffer = wchar_t[MAX_PATH];

// Reads field 2 of `line` into `hardwareId`, lower-cased. False when the line
// has no field 2, the field does not fit, or it is empty: an empty ID would
// be contained in every instance ID and so name unrelated devices.
bool ReadHardwareId(INFCONTEXT& line, HardwareIdBuffer& hardwareId);

// Walks a models section from `line`, which sits on its first line: calls
// visit(lowerHardwareId) for each line with a usable field 2, until visit
// returns true or the section ends. Returns true when visit stopped the walk.
template <typename Visit>
bool ForEachHardwareId(INFCONTEXT& line, Visit visit) {
  HardwareIdBuffer hardwareId = {};
  do {
    if (ReadHardwareId(line, hardwareId) && visit(static_cast<const wchar_t*>(hardwareId))) return true;
  } while (platform::Sys().SetupFindNextLine(&line, &line));
  return false;
}

}  // namespace device
