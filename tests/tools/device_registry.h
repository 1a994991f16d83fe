// Sample USB devices in the Wine prefix: registered with an instance ID and a
// few text properties, listed in the order the system enumerates them, and
// removed again. For the end-to-end tests and the register_devices program.
#pragma once

#include <string>
#include <vector>

namespace device_registry {

struct SampleDevice {
  std::wstring instanceId;  // full ID, e.g. USB\VID_05AC&PID_12A8\0000111122223333
  std::wstring description;
  std::wstring friendlyName;  // empty: not set
  std::wstring manufacturer;  // empty: not set
};

// Registers the device under the USB class (instance ID taken as given) and
// sets its properties. Fails when a device with that ID is registered already.
bool Register(const SampleDevice& device);

// Removes the device with this instance ID (compared without regard to case).
// False when no such device was registered or it could not be removed.
bool Remove(const std::wstring& instanceId);

// Instance IDs of every device the USB enumerator has recorded, in set order.
std::vector<std::wstring> UsbInstanceIds();

// Removes every device the USB enumerator has recorded; returns how many.
int RemoveAll();

}  // namespace device_registry
