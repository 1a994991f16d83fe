// A scripted difxapi_x64.dll for one test. The fake library (fake_difx.dll,
// built beside the test programs) is copied as difxapi_x64.dll into a fresh
// folder, and the tool is made to believe that its exe runs from there. The
// call table's library calls are watched: every load and free is counted,
// exports can be reported missing, and GetFullPathNameW (the device update's
// first call) is failed and noted, so the update ends at once.
#pragma once

#include <string>
#include <vector>

#include "fakes/fake_difx_state.h"
#include "platform/calls.h"
#include "support/tool_runner.h"

namespace fakes {

class FakeDifx {
 public:
  FakeDifx();
  ~FakeDifx();
  FakeDifx(const FakeDifx&) = delete;
  FakeDifx& operator=(const FakeDifx&) = delete;

  // --- the script
  DifxState& state() { return *state_; }
  void Script(DifxPackage package, DifxExport which, DWORD returned, DWORD lastError);
  void SetStorePath(DifxPackage package, const std::wstring& storePath);
  void Hide(DifxExport which) { state_->hidden[which] = true; }

  // --- where the tool believes its exe is
  const std::wstring& folder() const { return folder_.path(); }  // holds difxapi_x64.dll
  std::wstring libraryPath() const { return folder_ / L"difxapi_x64.dll"; }
  const std::wstring& modulePath() const { return modulePath_; }
  void SetModulePath(const std::wstring& modulePath) { modulePath_ = modulePath; }
  void MakeLibraryMissing() { modulePath_ = empty_ / L"mdsdriver.exe"; }
  // A load by the bare name goes to this folder's library, not to any other.
  bool redirectBareName = false;

  // --- what happened, in order
  struct Event {
    int tick;
    std::wstring what;  // "LoadLibraryW", "FreeLibrary" or "GetFullPathNameW"
  };
  std::vector<Event> events;
  std::vector<std::wstring> loadPaths;                             // every LoadLibraryW argument
  std::vector<std::string> lookups;                                // every GetProcAddress name
  std::vector<HMODULE> loaded;                                     // handles the loads returned
  std::vector<HMODULE> freed;                                      // handles given back
  std::vector<DifxCall> Calls() const;                             // the library's calls, in order
  int TickOf(const std::wstring& what, int occurrence = 0) const;  // -1 when it never happened
  int Count(const std::wstring& what) const;
  int LastLibraryCallTick() const;  // -1 when the library was never called

  // For the fakes in the call table.
  static FakeDifx* Active();
  void Note(const wchar_t* what);

 private:
  testing_support::TempDir folder_;
  testing_support::TempDir empty_;
  HMODULE own_ = nullptr;  // the test's own hold on the library, so the script outlives the tool's free
  DifxState* state_ = nullptr;
  std::wstring modulePath_;
  platform::Calls saved_;
};

}  // namespace fakes
