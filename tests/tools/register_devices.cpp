// register_devices: adds, shows and removes sample USB devices in a Wine
// prefix, for tests and demonstrations of "/re" and "/qu".
//   register_devices add <instance-id> [description] [friendly-name] [manufacturer]
//                        [--rev=RRRR] [--class=CC/SS/PP]
//   register_devices remove <instance-id>
//   register_devices clear
//   register_devices list
//   register_devices show          (each device's Class, Driver and DeviceDesc)
//   register_devices fill <count> [device-id...]
//       filler devices, for benchmarks: <device-id>\FILLERnnnnnn, the IDs
//       taken in turn (default USB\VID_F00D&PID_0001, which no sample INF names)
// Every device gets the hardware and compatible IDs a driverless USB device
// of its ID, revision and class has (see device_registry.h).
// Exit code 0 on success, 1 on failure, 2 on a wrong command line.
#include <windows.h>
// windows.h first: setupapi.h needs its types.
#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tools/device_registry.h"

namespace {

int Usage() {
  std::fputws(
      L"usage: register_devices add <instance-id> [description] [friendly-name] [manufacturer]\n"
      L"                            [--rev=RRRR] [--class=CC/SS/PP]\n"
      L"       register_devices remove <instance-id>\n"
      L"       register_devices clear\n"
      L"       register_devices list\n"
      L"       register_devices show\n"
      L"       register_devices fill <count> [device-id...]\n",
      stderr);
  return 2;
}

void Say(FILE* stream, const std::wstring& line) { std::fputws((line + L"\n").c_str(), stream); }

bool StartsWith(const std::wstring& text, const wchar_t* head) { return text.compare(0, std::wcslen(head), head) == 0; }

// "--class=CC/SS/PP", each part hexadecimal.
bool ParseClass(const std::wstring& text, device_registry::UsbClass& usbClass) {
  unsigned code = 0, subClass = 0, protocol = 0;
  if (std::swscanf(text.c_str(), L"%x/%x/%x", &code, &subClass, &protocol) != 3) return false;
  usbClass = {static_cast<int>(code), static_cast<int>(subClass), static_cast<int>(protocol)};
  return true;
}

int Add(const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> texts;
  device_registry::SampleDevice device;
  for (const std::wstring& argument : arguments) {
    if (StartsWith(argument, L"--rev=")) {
      device.revision = argument.substr(6);
    } else if (StartsWith(argument, L"--class=")) {
      if (!ParseClass(argument.substr(8), device.usbClass)) return Usage();
    } else {
      texts.push_back(argument);
    }
  }
  if (texts.empty() || texts.size() > 4) return Usage();
  texts.resize(4);
  device.instanceId = texts[0];
  device.description = texts[1];
  device.friendlyName = texts[2];
  device.manufacturer = texts[3];
  if (device_registry::Register(device)) return 0;
  Say(stderr, L"cannot register " + device.instanceId);
  return 1;
}

int Fill(int count, std::vector<std::wstring> deviceIds) {
  if (deviceIds.empty()) deviceIds.push_back(L"USB\\VID_F00D&PID_0001");
  int added = 0;
  for (int i = 0; i < count; ++i) {
    device_registry::SampleDevice filler;
    filler.instanceId =
        deviceIds[static_cast<size_t>(i) % deviceIds.size()] + L"\\FILLER" + std::to_wstring(100000 + i);
    filler.description = L"Filler device";
    added += device_registry::Register(filler) ? 1 : 0;
  }
  Say(stdout, std::to_wstring(added) + L" added");
  return added == count ? 0 : 1;
}

// One line per device: what a driver install changes, "-" where nothing can be read.
void Show() {
  const wchar_t* const names[] = {L"Class", L"Driver", L"DeviceDesc"};
  for (const device_registry::DeviceProperties& device :
       device_registry::UsbDevices({SPDRP_CLASS, SPDRP_DRIVER, SPDRP_DEVICEDESC})) {
    std::wstring line = device.instanceId;
    for (size_t i = 0; i < device.values.size(); ++i) {
      line += std::wstring(L"  ") + names[i] + L"=" + device.values[i].value_or(L"-");
    }
    Say(stdout, line);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  const std::vector<std::wstring> rest(argv + 2, argv + argc);
  if (command == L"add") return Add(rest);
  if (command == L"remove" && argc == 3) {
    if (device_registry::Remove(argv[2])) return 0;
    Say(stderr, L"no device " + std::wstring(argv[2]));
    return 1;
  }
  if (command == L"clear" && argc == 2) {
    Say(stdout, std::to_wstring(device_registry::RemoveAll()) + L" removed");
    return 0;
  }
  if (command == L"fill" && argc >= 3) {
    return Fill(static_cast<int>(std::wcstol(argv[2], nullptr, 10)), std::vector<std::wstring>(argv + 3, argv + argc));
  }
  if (command == L"list" && argc == 2) {
    for (const std::wstring& id : device_registry::UsbInstanceIds()) Say(stdout, id);
    return 0;
  }
  if (command == L"show" && argc == 2) {
    Show();
    return 0;
  }
  return Usage();
}
