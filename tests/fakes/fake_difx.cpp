// The scripted difxapi_x64.dll harness: placement, script and call watching.
#include "fakes/fake_difx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

namespace fakes {
namespace {

FakeDifx* g_active = nullptr;

// Like the real call: cut to fit and terminated; a path that did not fit
// returns the buffer's size with ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI FakeModuleFileName(HMODULE module, LPWSTR buffer, DWORD size) {
  if (module != nullptr) return platform::RealCalls().GetModuleFileNameW(module, buffer, size);
  const std::wstring& path = g_active->modulePath();
  if (size == 0) return 0;
  if (path.size() < size) {
    std::wmemcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  std::wmemcpy(buffer, path.c_str(), size - 1);
  buffer[size - 1] = L'\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

HMODULE WINAPI FakeLoadLibrary(LPCWSTR path) {
  g_active->Note(L"LoadLibraryW");
  g_active->loadPaths.push_back(path);
  std::wstring target = path;
  if (g_active->redirectBareName && target == L"difxapi_x64.dll") target = g_active->libraryPath();
  const HMODULE module = LoadLibraryW(target.c_str());
  const DWORD error = GetLastError();
  if (module != nullptr) g_active->loaded.push_back(module);
  SetLastError(error);
  return module;
}

BOOL WINAPI FakeFreeLibrary(HMODULE module) {
  g_active->Note(L"FreeLibrary");
  g_active->freed.push_back(module);
  return FreeLibrary(module);
}

// A hidden export is missing as the real call reports it; a found one leaves
// the last error as it was.
// Only the library's lookups are noted: the call table looks up system calls
// (the store lock's) through the same entry.
FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  const std::vector<HMODULE>& loaded = g_active->loaded;
  if (std::find(loaded.begin(), loaded.end(), module) == loaded.end()) return GetProcAddress(module, name);
  g_active->lookups.push_back(name);
  const char* const exports[kDifxExportCount] = {"DriverPackagePreinstallW", "DriverPackageUninstallW",
                                                 "DriverPackageGetPathW"};
  for (int e = 0; e < kDifxExportCount; ++e) {
    if (g_active->state().hidden[e] && std::string(name) == exports[e]) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
  }
  const DWORD before = GetLastError();
  const FARPROC proc = GetProcAddress(module, name);
  if (proc != nullptr) SetLastError(before);
  return proc;
}

// The device update's first call: noted, and failed so that it ends there.
DWORD WINAPI FakeFullPathName(LPCWSTR, DWORD, LPWSTR, LPWSTR*) {
  g_active->Note(L"GetFullPathNameW");
  SetLastError(ERROR_INVALID_NAME);
  return 0;
}

}  // namespace

FakeDifx* FakeDifx::Active() { return g_active; }

void FakeDifx::Note(const wchar_t* what) { events.push_back({state_->tick++, what}); }

FakeDifx::FakeDifx() : saved_(platform::Sys()) {
  EXPECT_EQ(g_active, nullptr) << "one FakeDifx at a time";
  const std::wstring built = testing_support::ModuleDir() + L"\\fake_difx.dll";
  EXPECT_TRUE(CopyFileW(built.c_str(), libraryPath().c_str(), FALSE)) << "fake_difx.dll beside the test program";
  own_ = LoadLibraryW(libraryPath().c_str());
  EXPECT_NE(own_, nullptr);
  const auto stateOf =
      reinterpret_cast<FakeDifxStateFn>(reinterpret_cast<void (*)()>(GetProcAddress(own_, "FakeDifxState")));
  EXPECT_NE(stateOf, nullptr);
  static DifxState unusable;  // keeps a broken set-up from crashing the test
  state_ = stateOf != nullptr ? stateOf() : &unusable;
  ResetDifxState(*state_);
  modulePath_ = folder_ / L"mdsdriver.exe";

  g_active = this;
  platform::Calls& calls = platform::Sys();
  calls.GetModuleFileNameW = FakeModuleFileName;
  calls.LoadLibraryW = FakeLoadLibrary;
  calls.FreeLibrary = FakeFreeLibrary;
  calls.GetProcAddress = FakeGetProcAddress;
  calls.GetFullPathNameW = FakeFullPathName;
}

FakeDifx::~FakeDifx() {
  // Fakes nest in scope order, so the table as it stood before this one
  // undoes exactly what it installed.
  platform::Sys() = saved_;
  g_active = nullptr;
  // Let go of the library before its folder is removed.
  if (own_ != nullptr) FreeLibrary(own_);
}

void FakeDifx::Script(DifxPackage package, DifxExport which, DWORD returned, DWORD lastError) {
  state_->packages[package].outcome[which] = {returned, lastError};
}

void FakeDifx::SetStorePath(DifxPackage package, const std::wstring& storePath) {
  CopyField(state_->packages[package].storePath, storePath.c_str());
}

std::vector<DifxCall> FakeDifx::Calls() const {
  const int recorded = std::min(state_->callCount, kMaxRecordedCalls);
  return std::vector<DifxCall>(state_->calls, state_->calls + recorded);
}

int FakeDifx::TickOf(const std::wstring& what, int occurrence) const {
  for (const Event& event : events) {
    if (event.what == what && occurrence-- == 0) return event.tick;
  }
  return -1;
}

int FakeDifx::Count(const std::wstring& what) const {
  return static_cast<int>(
      std::count_if(events.begin(), events.end(), [&](const Event& event) { return event.what == what; }));
}

int FakeDifx::LastLibraryCallTick() const {
  const std::vector<DifxCall> calls = Calls();
  return calls.empty() ? -1 : calls.back().tick;
}

}  // namespace fakes
