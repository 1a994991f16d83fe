// The output capture: a fake standard output handle and debugger channel.
#include "fakes/output_capture.h"

namespace fakes {
namespace {

OutputCapture* g_active = nullptr;
HANDLE const kFakeStdout = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5DD0));

void WINAPI FakeOutputDebugStringW(LPCWSTR text) { g_active->debugStrings.push_back(text ? text : L""); }

HANDLE WINAPI FakeGetStdHandle(DWORD which) {
  return which == STD_OUTPUT_HANDLE ? kFakeStdout : platform::RealCalls().GetStdHandle(which);
}

BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  if (file != kFakeStdout) return platform::RealCalls().WriteFile(file, data, size, written, overlapped);
  const DWORD max = g_active->stdoutMaxWrite;
  const DWORD taken = max != 0 && size > max ? max : size;
  g_active->stdoutBytes.append(static_cast<const char*>(data), taken);
  ++g_active->stdoutWrites;
  if (written) *written = taken;
  return TRUE;
}

}  // namespace

OutputCapture::OutputCapture() : saved_(platform::Sys()) {
  g_active = this;
  platform::Sys().OutputDebugStringW = FakeOutputDebugStringW;
  platform::Sys().GetStdHandle = FakeGetStdHandle;
  platform::Sys().WriteFile = FakeWriteFile;
}

OutputCapture::~OutputCapture() {
  // Fakes nest in scope order, so the table as it stood before this one
  // undoes exactly what it installed.
  platform::Sys() = saved_;
  g_active = nullptr;
}

}  // namespace fakes
