// fake_difx.dll: a scripted stand-in for difxapi_x64.dll. Tests copy it into
// a folder as difxapi_x64.dll, script it through FakeDifxState() and read
// back every call it received.
#include <cwchar>

#include "fakes/fake_difx_state.h"
#include "difx_api.h"

namespace {

fakes::DifxState g_state = [] {
  fakes::DifxState state;
  fakes::ResetDifxState(state);
  return state;
}();

bool EndsWithFolded(const wchar_t* text, const wchar_t* tail) {
  const std::size_t textLength = std::wcslen(text);
  const std::size_t tailLength = std::wcslen(tail);
  if (tailLength > textLength) return false;
  return CompareStringOrdinal(text + textLength - tailLength, static_cast<int>(tailLength), tail,
                              static_cast<int>(tailLength), TRUE) == CSTR_EQUAL;
}

int PackageForInf(const wchar_t* inf) {
  for (int p = 0; p < fakes::kDifxPackageCount; ++p) {
    if (inf != nullptr && EndsWithFolded(inf, g_state.packages[p].infName)) return p;
  }
  return fakes::kNoPackage;
}

int PackageForStorePath(const wchar_t* path) {
  for (int p = 0; p < fakes::kDifxPackageCount; ++p) {
    if (path != nullptr && std::wcscmp(path, g_state.packages[p].storePath) == 0) return p;
  }
  return fakes::kNoPackage;
}

fakes::DifxCall& Record(fakes::DifxExport which, int package, const wchar_t* path) {
  static fakes::DifxCall overflow;
  fakes::DifxCall& call = g_state.callCount < fakes::kMaxRecordedCalls ? g_state.calls[g_state.callCount] : overflow;
  ++g_state.callCount;
  call = fakes::DifxCall();
  call.tick = g_state.tick++;
  call.which = which;
  call.package = package;
  if (path != nullptr) fakes::CopyField(call.path, path);
  return call;
}

DWORD Answer(fakes::DifxExport which, int package) {
  const fakes::DifxOutcome outcome = package == fakes::kNoPackage
                                         ? fakes::DifxOutcome{ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER}
                                         : g_state.packages[package].outcome[which];
  SetLastError(outcome.lastError);
  return outcome.returned;
}

}  // namespace

extern "C" __declspec(dllexport) fakes::DifxState* WINAPI FakeDifxState() { return &g_state; }

extern "C" __declspec(dllexport) DWORD WINAPI DriverPackagePreinstallW(PCWSTR DriverPackageInfPath, DWORD Flags) {
  const int package = PackageForInf(DriverPackageInfPath);
  Record(fakes::kPreinstall, package, DriverPackageInfPath).flags = Flags;
  return Answer(fakes::kPreinstall, package);
}

extern "C" __declspec(dllexport) DWORD WINAPI
    DriverPackageGetPathW(PCWSTR DriverPackageInfPath, PWSTR pDestInfPath, DWORD* pNumOfChars) {
  const int package = PackageForInf(DriverPackageInfPath);
  fakes::DifxCall& call = Record(fakes::kGetPath, package, DriverPackageInfPath);
  const DWORD room = pNumOfChars != nullptr ? *pNumOfChars : 0;
  call.countOnEntry = room;
  call.bufferZeroed = true;
  // Never look beyond what the tool's own buffer can hold.
  for (DWORD i = 0; pDestInfPath != nullptr && i < room && i < MAX_PATH; ++i) {
    if (pDestInfPath[i] != L'\0') call.bufferZeroed = false;
  }
  if (package != fakes::kNoPackage && pDestInfPath != nullptr && pNumOfChars != nullptr) {
    const fakes::DifxPackageScript& script = g_state.packages[package];
    const std::size_t length = std::wcslen(script.storePath);
    const std::size_t written = length < room ? length : room;
    std::wmemcpy(pDestInfPath, script.storePath, written);
    if (written < room) pDestInfPath[written] = L'\0';
    *pNumOfChars = script.countOut != 0 ? script.countOut : static_cast<DWORD>(length + 1);
    // "Insufficient buffer" is scripted as the real query gives it: only while the room is short.
    if (script.outcome[fakes::kGetPath].returned == ERROR_INSUFFICIENT_BUFFER && length < room) {
      SetLastError(ERROR_SUCCESS);
      return ERROR_SUCCESS;
    }
  }
  return Answer(fakes::kGetPath, package);
}

extern "C" __declspec(dllexport) DWORD WINAPI
    DriverPackageUninstallW(PCWSTR DriverPackageInfPath, DWORD Flags, PCINSTALLERINFO_W pInstallerInfo,
                            BOOL* pNeedReboot) {
  const int package = PackageForStorePath(DriverPackageInfPath);
  fakes::DifxCall& call = Record(fakes::kUninstall, package, DriverPackageInfPath);
  call.flags = Flags;
  call.installerInfoGiven = pInstallerInfo != nullptr;
  call.needsRebootGiven = pNeedReboot != nullptr;
  if (pNeedReboot != nullptr) {
    call.needsRebootOnEntry = *pNeedReboot;
    *pNeedReboot = TRUE;  // the tool must not care
  }
  return Answer(fakes::kUninstall, package);
}
