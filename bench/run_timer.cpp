// Times whole program runs from inside Windows (or Wine), the way an
// installer starts the tool: CreateProcess, wait, exit code.
//   run_timer <runs> <command line A> [<command line B> ...]
// Runs A, B, ... in turn, <runs> rounds, and prints for each command its
// median, minimum and maximum wall time in milliseconds and its peak working
// set in KiB: "median_ms=.. min_ms=.. max_ms=.. peak_kib=.. exit=.. cmd=..".
#include <windows.h>
// windows.h first: psapi.h needs its types.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Sample {
  double ms;
  SIZE_T peakWorkingSet;
  DWORD exitCode;
};

bool RunOnce(const std::wstring& commandLine, Sample& sample) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process = {};
  std::wstring mutableLine = commandLine;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const BOOL started =
      CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  if (!started) {
    CloseHandle(nul);
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof(memory);
  K32GetProcessMemoryInfo(process.hProcess, &memory, sizeof(memory));
  GetExitCodeProcess(process.hProcess, &sample.exitCode);
  sample.ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  sample.peakWorkingSet = memory.PeakWorkingSetSize;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(nul);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fwprintf(stderr, L"usage: run_timer <runs> <command line>...\n");
    return 2;
  }
  const int runs = _wtoi(argv[1]);
  const int commands = argc - 2;
  std::vector<std::vector<Sample>> samples(commands);
  for (int round = 0; round < runs; ++round) {
    for (int c = 0; c < commands; ++c) {
      Sample sample = {};
      if (!RunOnce(argv[2 + c], sample)) {
        std::fwprintf(stderr, L"cannot start: %ls\n", argv[2 + c]);
        return 1;
      }
      samples[c].push_back(sample);
    }
  }
  for (int c = 0; c < commands; ++c) {
    std::vector<double> times;
    SIZE_T peak = 0;
    for (const Sample& s : samples[c]) {
      times.push_back(s.ms);
      peak = std::max(peak, s.peakWorkingSet);
    }
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    const double median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    std::wprintf(L"median_ms=%.2f min_ms=%.2f max_ms=%.2f peak_kib=%lu exit=%ld cmd=%ls\n", median, times.front(),
                 times.back(), static_cast<unsigned long>(peak / 1024), static_cast<long>(samples[c].back().exitCode),
                 argv[2 + c]);
  }
  return 0;
}
