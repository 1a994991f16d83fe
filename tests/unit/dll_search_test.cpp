// The start-up restriction of the library search, with and without
// SetDefaultDllDirectories on the system.
#include "app/dll_search.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/calls.h"

namespace {

using platform::Calls;

std::vector<DWORD> g_restricted;
std::vector<std::wstring> g_dllDirectories;
BOOL g_restrictResult = TRUE;

BOOL WINAPI RecordRestrict(DWORD flags) {
  g_restricted.push_back(flags);
  if (!g_restrictResult) SetLastError(ERROR_INVALID_PARAMETER);
  return g_restrictResult;
}

BOOL WINAPI RecordDllDirectory(LPCWSTR path) {
  g_dllDirectories.push_back(path ? path : L"(null)");
  return TRUE;
}

class DllSearchTest : public testing::Test {
 protected:
  void SetUp() override {
    g_restricted.clear();
    g_dllDirectories.clear();
    g_restrictResult = TRUE;
  }
  platform::ScopedCall<decltype(&::SetDefaultDllDirectories)> restrict_{&Calls::SetDefaultDllDirectories,
                                                                        &RecordRestrict};
  platform::ScopedCall<decltype(&::SetDllDirectoryW)> directory_{&Calls::SetDllDirectoryW, &RecordDllDirectory};
};

TEST_F(DllSearchTest, KeepsTheSearchToTheExesFolderAndSystem32) {
  app::RestrictDllSearch();
  EXPECT_EQ(g_restricted, std::vector<DWORD>{LOAD_LIBRARY_SEARCH_DEFAULT_DIRS});
  EXPECT_TRUE(g_dllDirectories.empty());
}

TEST_F(DllSearchTest, WithoutSetDefaultDllDirectoriesTheCurrentFolderStillGoes) {
  auto missing = platform::Override(&Calls::SetDefaultDllDirectories, decltype(&::SetDefaultDllDirectories){nullptr});
  app::RestrictDllSearch();
  EXPECT_EQ(g_dllDirectories, std::vector<std::wstring>{L""});
}

TEST_F(DllSearchTest, ARefusedRestrictionFallsBackToo) {
  g_restrictResult = FALSE;
  app::RestrictDllSearch();
  EXPECT_EQ(g_restricted.size(), 1u);
  EXPECT_EQ(g_dllDirectories, std::vector<std::wstring>{L""});
}

TEST(RealCallsTest, SetDefaultDllDirectoriesIsFoundAtRunTimeWhereTheSystemHasIt) {
  // Wine and every supported Windows have it; the exe must not import it.
  EXPECT_NE(platform::RealCalls().SetDefaultDllDirectories, nullptr);
}

// The system libraries but KERNEL32 are loaded on first use from the system
// folder by their full path, with their own imports searched only there, each
// once; an entry they lack fails its call alone.
std::vector<std::pair<std::wstring, DWORD>> g_loads;
std::vector<std::string> g_lookups;

HMODULE WINAPI RecordLoad(LPCWSTR path, HANDLE file, DWORD flags) {
  g_loads.push_back({path, flags});
  return platform::RealCalls().LoadLibraryExW(path, file, flags);
}

FARPROC WINAPI NoSuchEntry(HMODULE, LPCSTR name) {
  g_lookups.push_back(name);
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

TEST(SystemLibraryTest, LoadedFromTheSystemFolderOnFirstUse) {
  wchar_t systemDir[MAX_PATH] = {};
  ASSERT_GT(GetSystemDirectoryW(systemDir, MAX_PATH), 0u);
  const std::wstring system = std::wstring(systemDir) + L"\\";
  auto loads = platform::Override(&Calls::LoadLibraryExW, &RecordLoad);
  auto lookups = platform::Override(&Calls::GetProcAddress, &NoSuchEntry);
  const platform::Calls& sys = platform::Sys();
  // Without SetDefaultDllDirectories the system knows no LOAD_LIBRARY_SEARCH flag.
  for (const bool searchFlagsKnown : {true, false}) {
    platform::ForgetLoadedCalls();
    g_loads.clear();
    g_lookups.clear();
    auto restrict =
        platform::Override(&Calls::SetDefaultDllDirectories, searchFlagsKnown ? sys.SetDefaultDllDirectories : nullptr);
    SetLastError(0);
    EXPECT_EQ(sys.PathFileExistsW(L"C:\\"), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(sys.SetupOpenInfFileW(L"a.inf", nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(sys.SetupFindNextLine(nullptr, nullptr), FALSE);
    EXPECT_EQ(sys.CM_Get_DevNode_Status(nullptr, nullptr, 0, 0), static_cast<CONFIGRET>(CR_FAILURE));
    EXPECT_EQ(sys.UpdateDriverForPlugAndPlayDevicesW(nullptr, L"", L"", 0, nullptr), FALSE);
    sys.SetupCloseInfFile(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    const DWORD search = searchFlagsKnown ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH;
    EXPECT_EQ(g_loads, (std::vector<std::pair<std::wstring, DWORD>>{{system + L"shlwapi.dll", search},
                                                                    {system + L"setupapi.dll", search},
                                                                    {system + L"cfgmgr32.dll", search},
                                                                    {system + L"newdev.dll", search}}));
    EXPECT_EQ(g_lookups, (std::vector<std::string>{"PathFileExistsW", "SetupOpenInfFileW", "SetupFindNextLine",
                                                   "CM_Get_DevNode_Status", "UpdateDriverForPlugAndPlayDevicesW",
                                                   "SetupCloseInfFile"}));
  }
}

// The system folder plus "\" and the name must fit MAX_PATH with its
// terminator, or nothing is loaded. A first use loads and looks up on the
// caller's behalf, and the call itself still finds the caller's last error.
std::wstring g_systemFolder;
DWORD g_errorSeen = 0;
UINT WINAPI LongSystemFolder(LPWSTR buffer, UINT size) {
  g_systemFolder.copy(buffer, size);
  buffer[g_systemFolder.size()] = L'\0';
  return static_cast<UINT>(g_systemFolder.size());
}
HMODULE WINAPI LoadAnyway(LPCWSTR path, HANDLE, DWORD flags) {
  g_loads.push_back({path, flags});
  SetLastError(ERROR_MOD_NOT_FOUND);  // as a search that tried elsewhere first may leave it
  return GetModuleHandleW(nullptr);
}
BOOL WINAPI SeesLastError(LPCWSTR) {
  g_errorSeen = GetLastError();
  return TRUE;
}
FARPROC WINAPI FindSeesLastError(HMODULE, LPCSTR) {
  SetLastError(ERROR_PROC_NOT_FOUND);
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SeesLastError));
}

TEST(SystemLibraryTest, TheLibraryPathFitsAndTheCallersLastErrorStays) {
  auto folder = platform::Override(&Calls::GetSystemDirectoryW, &LongSystemFolder);
  auto loads = platform::Override(&Calls::LoadLibraryExW, &LoadAnyway);
  auto lookups = platform::Override(&Calls::GetProcAddress, &FindSeesLastError);
  for (const size_t length : {size_t{247}, size_t{248}}) {  // + "\shlwapi.dll": 259 fits, 260 does not
    platform::ForgetLoadedCalls();
    g_loads.clear();
    g_errorSeen = 0;
    g_systemFolder = L"C:\\" + std::wstring(length - 3, L's');
    SetLastError(1234);
    const BOOL found = platform::Sys().PathFileExistsW(L"C:\\");
    if (length == 247) {
      ASSERT_EQ(g_loads.size(), 1u);
      EXPECT_EQ(g_loads[0].first, g_systemFolder + L"\\shlwapi.dll");
      EXPECT_TRUE(found);
      EXPECT_EQ(g_errorSeen, 1234u);
    } else {
      EXPECT_TRUE(g_loads.empty());
      EXPECT_FALSE(found);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    }
  }
  platform::ForgetLoadedCalls();  // the entry found here is this test's own
}

}  // namespace
