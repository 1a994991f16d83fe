// Times single Windows calls the tool makes, to show where a switch's time
// goes: the device-set requests of "/qu" and "/re", the driver update
// service's call per models line, and opening and walking the USB INF.
//   call_costs <usb-inf-path> <rounds>
// Prints "name: median us" per call.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/win.h"

namespace {

template <typename Body>
double MedianMicroseconds(int rounds, Body body) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    body();
    QueryPerformanceCounter(&end);
    samples.push_back(1e6 * static_cast<double>(end.QuadPart - start.QuadPart) /
                      static_cast<double>(frequency.QuadPart));
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const wchar_t* inf = argv[1];
  const int rounds = _wtoi(argv[2]);

  DWORD devices = 0;
  const double present = MedianMicroseconds(rounds, [&] {
    HDEVINFO set =
        SetupDiGetClassDevsExW(nullptr, L"USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA record = {};
    record.cbSize = sizeof(record);
    for (devices = 0; SetupDiEnumDeviceInfo(set, devices, &record); ++devices) {
    }
    SetupDiDestroyDeviceInfoList(set);
  });
  const double all = MedianMicroseconds(rounds, [&] {
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES);
    SetupDiDestroyDeviceInfoList(set);
  });
  const double update = MedianMicroseconds(rounds, [&] {
    BOOL reboot = FALSE;
    UpdateDriverForPlugAndPlayDevicesW(nullptr, L"usb\\vid_beef&pid_ffff", inf, INSTALLFLAG_FORCE, &reboot);
  });
  const double openInf = MedianMicroseconds(rounds, [&] {
    HINF handle = SetupOpenInfFileW(inf, nullptr, INF_STYLE_WIN4, nullptr);
    INFCONTEXT line;
    wchar_t field[MAX_PATH];
    if (SetupFindFirstLineW(handle, L"Apple.NTamd64", nullptr, &line)) {
      do {
        SetupGetStringFieldW(&line, 2, field, MAX_PATH, nullptr);
      } while (SetupFindNextLine(&line, &line));
    }
    SetupCloseInfFile(handle);
  });
  std::printf("USB devices: %lu\n", static_cast<unsigned long>(devices));
  std::printf("SetupDiGetClassDevsExW(PRESENT) and walk: %.0f us\n", present);
  std::printf("SetupDiGetClassDevsW(ALLCLASSES): %.0f us\n", all);
  std::printf("UpdateDriverForPlugAndPlayDevicesW, one ID: %.0f us\n", update);
  std::printf("SetupOpenInfFileW, walk of the models section, close: %.0f us\n", openInf);
  return 0;
}
