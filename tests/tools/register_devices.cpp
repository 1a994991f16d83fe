// register_devices: adds and removes sample USB devices in a Wine prefix, for
// tests and demonstrations of "/re" and "/qu".
//   register_devices add <instance-id> [description] [friendly-name] [manufacturer]
//   register_devices remove <instance-id>
//   register_devices clear
//   register_devices list
//   register_devices fill <count>   (filler devices no sample INF names, for benchmarks)
// Exit code 0 on success, 1 on failure, 2 on a wrong command line.
#include <cstdio>
#include <cwchar>
#include <string>

#include "tools/device_registry.h"

namespace {

int Usage() {
  std::fputws(
      L"usage: register_devices add <instance-id> [description] [friendly-name] [manufacturer]\n"
      L"       register_devices remove <instance-id>\n"
      L"       register_devices clear\n"
      L"       register_devices list\n"
      L"       register_devices fill <count>\n",
      stderr);
  return 2;
}

void Say(FILE* stream, const std::wstring& line) { std::fputws((line + L"\n").c_str(), stream); }

std::wstring ArgOrEmpty(int argc, wchar_t** argv, int index) { return index < argc ? argv[index] : L""; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  if (command == L"add" && argc >= 3 && argc <= 6) {
    const device_registry::SampleDevice device = {argv[2], ArgOrEmpty(argc, argv, 3), ArgOrEmpty(argc, argv, 4),
                                                  ArgOrEmpty(argc, argv, 5)};
    if (device_registry::Register(device)) return 0;
    Say(stderr, L"cannot register " + device.instanceId);
    return 1;
  }
  if (command == L"remove" && argc == 3) {
    if (device_registry::Remove(argv[2])) return 0;
    Say(stderr, L"no device " + std::wstring(argv[2]));
    return 1;
  }
  if (command == L"clear" && argc == 2) {
    Say(stdout, std::to_wstring(device_registry::RemoveAll()) + L" removed");
    return 0;
  }
  if (command == L"fill" && argc == 3) {
    const int count = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
    int added = 0;
    for (int i = 0; i < count; ++i) {
      const std::wstring serial = std::to_wstring(100000 + i);
      const device_registry::SampleDevice filler = {L"USB\\VID_F00D&PID_0001\\FILLER" + serial, L"Filler device", L"",
                                                    L"Benchmark"};
      added += device_registry::Register(filler) ? 1 : 0;
    }
    Say(stdout, std::to_wstring(added) + L" added");
    return added == count ? 0 : 1;
  }
  if (command == L"list" && argc == 2) {
    for (const std::wstring& id : device_registry::UsbInstanceIds()) Say(stdout, id);
    return 0;
  }
  return Usage();
}
