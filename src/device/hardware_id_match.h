// When a device's instance ID holds a hardware ID: the match both device
// operations share. Only the letters A to Z are folded, whatever the
// system's language. Plain text code, with no Windows calls.
#pragma once

#include <string>

namespace device {

// The instance ID with A to Z lower-cased, as the match compares it.
std::wstring LowerInstanceId(const wchar_t* instanceId);

// True when `lowerHardwareId` occurs anywhere within `lowerInstanceId`; both
// already lower-cased. The hardware IDs read from the INF are never empty.
bool HoldsHardwareId(const wchar_t* lowerInstanceId, const wchar_t* lowerHardwareId);

}  // namespace device
