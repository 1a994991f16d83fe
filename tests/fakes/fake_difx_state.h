// The shared state of the scripted fake difxapi_x64.dll (tests/fakes/difx):
// what each entry point answers, per package, and a record of every call.
// The library and the test harness both include this header; the test reaches
// the library's one instance through its export "FakeDifxState".
#pragma once

#include <cstddef>
#include <cwchar>

#include "platform/win.h"

namespace fakes {

enum DifxExport : int { kPreinstall = 0, kUninstall = 1, kGetPath = 2, kDifxExportCount = 3 };
enum DifxPackage : int { kNoPackage = -1, kNetworkPackage = 0, kUsbPackage = 1, kDifxPackageCount = 2 };

// What one entry point returns and leaves as the thread's last error.
struct DifxOutcome {
  DWORD returned;
  DWORD lastError;
};

struct DifxPackageScript {
  // A preinstall or path query is for this package when its INF path ends
  // in this name (A to Z folded); an uninstall when its path equals storePath.
  wchar_t infName[32];
  DifxOutcome outcome[kDifxExportCount];
  // The path query writes as much of this as the count allows, with a
  // terminator only when there is room for one, whatever it returns.
  wchar_t storePath[512];
  // When non-zero, the path query leaves this in the count instead of the
  // length it needed.
  DWORD countOut;
};

struct DifxCall {
  int tick;  // shared with the harness's own events, for ordering
  DifxExport which;
  int package;  // a DifxPackage
  wchar_t path[MAX_PATH];
  DWORD flags;              // preinstall and uninstall
  DWORD countOnEntry;       // path query
  bool bufferZeroed;        // path query: every character it may write was zero
  bool installerInfoGiven;  // uninstall
  bool needsRebootGiven;    // uninstall
  BOOL needsRebootOnEntry;  // uninstall
};

constexpr int kMaxRecordedCalls = 16;

struct DifxState {
  DifxPackageScript packages[kDifxPackageCount];
  bool hidden[kDifxExportCount];  // exports the harness's GetProcAddress reports missing
  int tick;
  int callCount;  // every call, also those beyond the record's room
  DifxCall calls[kMaxRecordedCalls];
};

typedef DifxState*(WINAPI* FakeDifxStateFn)();

// Copies `text` into a fixed field, cut to fit, always terminated.
template <std::size_t N>
void CopyField(wchar_t (&field)[N], const wchar_t* text) {
  const std::size_t length = std::wcslen(text);
  const std::size_t kept = length < N ? length : N - 1;
  std::wmemcpy(field, text, kept);
  field[kept] = L'\0';
}

// Unscripted, both packages are in the store under C:\windows\inf\oem7.inf
// and oem8.inf, and the path queries and removals succeed: "/u" then ends
// with 1, "/i" with 2.
inline void ResetDifxState(DifxState& state) {
  state = DifxState();
  const wchar_t* const names[kDifxPackageCount] = {L"netaapl64.inf", L"usbaapl64.inf"};
  const wchar_t* const storePaths[kDifxPackageCount] = {L"C:\\windows\\inf\\oem7.inf", L"C:\\windows\\inf\\oem8.inf"};
  for (int p = 0; p < kDifxPackageCount; ++p) {
    DifxPackageScript& script = state.packages[p];
    CopyField(script.infName, names[p]);
    CopyField(script.storePath, storePaths[p]);
    script.outcome[kPreinstall] = {ERROR_ALREADY_EXISTS, ERROR_ALREADY_EXISTS};
    script.outcome[kUninstall] = {ERROR_SUCCESS, ERROR_SUCCESS};
    script.outcome[kGetPath] = {ERROR_SUCCESS, ERROR_SUCCESS};
  }
}

}  // namespace fakes
