// Fills the Windows call table with the real functions: KERNEL32's directly,
// and the other system libraries' through stand-ins that load the library from
// the system folder and look the entry up on its first use.
#include "platform/calls.h"

#include <cwchar>

namespace platform {
namespace {

// Function pointers of other types pass through void(*)() on their way from FARPROC.
template <typename To, typename From>
To FunctionCast(From from) {
  return reinterpret_cast<To>(reinterpret_cast<void (*)()>(from));
}

template <typename Fn>
Fn LookUpKernel32(const char* name) {
  const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return FunctionCast<Fn>(::GetProcAddress(kernel32, name));
}

// By SystemLibrary.
const wchar_t* const kLibraryFileNames[] = {L"kernel32.dll", L"setupapi.dll", L"cfgmgr32.dll", L"newdev.dll",
                                            L"shlwapi.dll",  L"advapi32.dll", L"ntdll.dll",    L"version.dll"};
constexpr size_t kLibraryCount = sizeof(kLibraryFileNames) / sizeof(kLibraryFileNames[0]);

// What has been loaded and found so far. The tool is single-threaded, and it
// calls difxapi_x64.dll (which has its own copy of all this) from that one
// thread, so a plain check-then-set is enough: nothing here takes a lock.
struct Loaded {
  HMODULE libraries[kLibraryCount] = {};
  Calls entries = {};  // null until found
};
Loaded g_loaded;

// The library from the system folder, by its full path; a load that failed is
// tried again on the next use. Its own imports must come from the system
// folder too, never from the exe's folder, where the standard search and the
// process's default directories start. Where the system knows the
// LOAD_LIBRARY_SEARCH flags (it has SetDefaultDllDirectories),
// LOAD_LIBRARY_SEARCH_SYSTEM32 searches nothing else; elsewhere (Windows 7
// without KB2533623, where no default directories were set either)
// LOAD_WITH_ALTERED_SEARCH_PATH starts the search in the library's own folder.
// Never freed: it stays loaded for the life of the process.
HMODULE SystemModule(SystemLibrary library) {
  HMODULE& module = g_loaded.libraries[static_cast<size_t>(library)];
  if (module != nullptr) return module;
  const wchar_t* const fileName = kLibraryFileNames[static_cast<size_t>(library)];
  const size_t nameLength = std::wcslen(fileName);
  wchar_t path[MAX_PATH] = {};
  const UINT length = Sys().GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  std::wmemcpy(path + length + 1, fileName, nameLength + 1);
  const DWORD search =
      Sys().SetDefaultDllDirectories != nullptr ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH;
  module = Sys().LoadLibraryExW(path, nullptr, search);
  return module;
}

template <typename Fn>
struct FirstUse;

template <typename R, typename... A>
struct FirstUse<R(WINAPI*)(A...)> {
  using Fn = R(WINAPI*)(A...);

  // Stands in for the entry until the real function is found, then calls it
  // with the last error as the caller left it. It reports through the last
  // error as a system call does (SetLastError is the table's own means, not a
  // call the tool makes).
  template <Fn Calls::*Entry>
  static R WINAPI Call(A... args) {
    using Traits = CallTraits<Entry>;
    Fn& found = g_loaded.entries.*Entry;
    if (found == nullptr) {
      const DWORD callersError = Sys().GetLastError();
      const HMODULE module = SystemModule(Traits::kLibrary);
      if (module == nullptr) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return static_cast<R>(Traits::Failure());
      }
      found = FunctionCast<Fn>(Sys().GetProcAddress(module, Traits::kName));
      if (found == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return static_cast<R>(Traits::Failure());
      }
      ::SetLastError(callersError);
    }
    return found(args...);
  }
};

// Nothing in it throws: kRealCalls is made before main, where nothing could catch.
Calls MakeRealCalls() noexcept {
  Calls calls{};
#define MDS_LOAD_ON_FIRST_USE(name, library, failure) calls.name = &FirstUse<decltype(&::name)>::Call<&Calls::name>;
  MDS_PLATFORM_CALLS_LOADED(MDS_LOAD_ON_FIRST_USE)
#undef MDS_LOAD_ON_FIRST_USE
#define MDS_LINK_CALL(name, library, failure) calls.name = &::name;
  MDS_PLATFORM_CALLS_LINKED(MDS_LINK_CALL)
#undef MDS_LINK_CALL
#define MDS_LOOK_UP_CALL(name, library, failure) calls.name = LookUpKernel32<decltype(&::name)>(#name);
  MDS_PLATFORM_CALLS_LOOKED_UP(MDS_LOOK_UP_CALL)
#undef MDS_LOOK_UP_CALL
  return calls;
}

const Calls kRealCalls = MakeRealCalls();
Calls g_calls = kRealCalls;

}  // namespace

Calls& Sys() { return g_calls; }

const Calls& RealCalls() { return kRealCalls; }

void ResetCalls() { g_calls = kRealCalls; }

void ForgetLoadedCalls() { g_loaded = Loaded{}; }

bool Exports(SystemLibrary library, const char* name) {
  const DWORD callersError = Sys().GetLastError();
  const HMODULE module = SystemModule(library);
  const bool found = module != nullptr && Sys().GetProcAddress(module, name) != nullptr;
  ::SetLastError(callersError);
  return found;
}

}  // namespace platform
