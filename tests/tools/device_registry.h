// Sample USB devices in the Wine prefix: registered the way a freshly plugged,
// driverless USB device stands in the system (instance ID, hardware and
// compatible IDs, the bus's description), listed in the order the system
// enumerates them, read back, and removed again. For the end-to-end tests and
// the register_devices program.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace device_registry {

// The USB class triple an interface of the device reports (bInterfaceClass,
// bInterfaceSubClass, bInterfaceProtocol): the source of its compatible IDs.
struct UsbClass {
  int code = 0xFF;  // vendor-specific
  int subClass = 0x00;
  int protocol = 0x00;
};

struct SampleDevice {
  std::wstring instanceId;          // full ID, e.g. USB\VID_05AC&PID_12A8\0000111122223333
  std::wstring description;         // as the bus reports it before any driver is installed
  std::wstring friendlyName;        // empty: not set
  std::wstring manufacturer;        // empty: not set
  std::wstring revision = L"0100";  // bcdDevice, four hex digits
  UsbClass usbClass = {};
  // Wine accommodation: also list the device ID in lower case (see HardwareIds).
  bool lowerCaseIdForWine = true;
};

// What Windows lists for such a device, most specific first:
//   USB\VID_xxxx&PID_yyyy&REV_zzzz, USB\VID_xxxx&PID_yyyy
// (the instance ID without its last segment, A to Z in capitals), then, unless
// turned off, that ID in lower case. The last one is not Windows behaviour:
// Wine's UpdateDriverForPlugAndPlayDevicesW compares the hardware ID it is
// given with each device's list case-sensitively, and the tool passes it
// lower-cased, so under Wine only that entry lets the driver be installed.
std::vector<std::wstring> HardwareIds(const SampleDevice& device);

// USB\Class_cc&SubClass_ss&Prot_pp, USB\Class_cc&SubClass_ss, USB\Class_cc
// (two lower-case hex digits each), as Windows lists them.
std::vector<std::wstring> CompatibleIds(const SampleDevice& device);

// Registers the device under the USB class (instance ID taken as given) and
// sets its IDs and text properties; Class, Driver and Service stay unset, as
// on a device that has no driver yet. Fails when a device with that ID is
// registered already.
bool Register(const SampleDevice& device);

// Removes the device with this instance ID (compared without regard to case),
// and with it the driver key an installed driver gave it. False when no such
// device was registered or it could not be removed.
bool Remove(const std::wstring& instanceId);

// A text property (an SPDRP_ code) of the device with this instance ID, read
// back as the tool reads it; nothing when it cannot be read, as Class and
// Driver cannot before a driver is installed.
std::optional<std::wstring> Property(const std::wstring& instanceId, unsigned long property);

// Instance IDs of every device the USB enumerator has recorded, in set order.
std::vector<std::wstring> UsbInstanceIds();

// The same devices, each with the text properties asked for, read as
// Property reads them: one pass over one device set.
struct DeviceProperties {
  std::wstring instanceId;
  std::vector<std::optional<std::wstring>> values;  // in the order asked for
};
std::vector<DeviceProperties> UsbDevices(const std::vector<unsigned long>& properties);

// Removes every device the USB enumerator has recorded; returns how many.
int RemoveAll();

}  // namespace device_registry
