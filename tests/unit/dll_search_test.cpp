// The start-up restriction of the library search, with and without
// SetDefaultDllDirectories on the system.
#include "app/dll_search.h"

#include <gtest/gtest.h>

#include <string>
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

}  // namespace
