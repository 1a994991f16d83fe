// Where "/i" and "/u" look for difxapi_x64.dll.
#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_difx.h"
#include "package/difx_library.h"

namespace {

class DifxLibraryPathTest : public testing::Test {
 protected:
  std::wstring PathFor(const std::wstring& modulePath) {
    difx_.SetModulePath(modulePath);
    return package::DifxLibraryPath();
  }

  fakes::FakeDifx difx_;
};

TEST_F(DifxLibraryPathTest, FolderKeepsItsTrailingBackslash) {
  EXPECT_EQ(PathFor(L"C:\\Program Files\\Tools\\mdsdriver.exe"), L"C:\\Program Files\\Tools\\difxapi_x64.dll");
  EXPECT_EQ(PathFor(L"C:\\mdsdriver.exe"), L"C:\\difxapi_x64.dll");
  EXPECT_EQ(PathFor(L"\\\\server\\share\\mdsdriver.exe"), L"\\\\server\\share\\difxapi_x64.dll");
}

TEST_F(DifxLibraryPathTest, OnlyTheLastBackslashCounts) {
  EXPECT_EQ(PathFor(L"C:\\a.b\\c\\d"), L"C:\\a.b\\c\\difxapi_x64.dll");
  EXPECT_EQ(PathFor(L"C:\\tools\\"), L"C:\\tools\\difxapi_x64.dll");
  EXPECT_EQ(PathFor(L"C:/tools/mdsdriver.exe"), L"difxapi_x64.dll") << "a slash is no separator here";
}

TEST_F(DifxLibraryPathTest, NoBackslashGivesTheBareName) {
  EXPECT_EQ(PathFor(L"mdsdriver.exe"), L"difxapi_x64.dll");
  EXPECT_EQ(PathFor(L""), L"difxapi_x64.dll") << "the module path could not be read";
}

// 259 characters and the terminator fill the buffer exactly: still whole.
TEST_F(DifxLibraryPathTest, LongestWholeModulePathStillNamesItsFolder) {
  const std::wstring folder = L"C:\\" + std::wstring(240, L'f') + L"\\";
  const std::wstring modulePath = folder + std::wstring(259 - folder.size(), L'e');
  ASSERT_EQ(modulePath.size(), 259u);
  EXPECT_EQ(PathFor(modulePath), folder + L"difxapi_x64.dll");
}

// A cut-off module path ends inside the exe's own name or a folder above
// it: its last backslash would name a folder that is not the exe's.
TEST_F(DifxLibraryPathTest, CutOffModulePathGivesTheBareName) {
  const std::wstring above = L"C:\\" + std::wstring(200, L'a') + L"\\";
  EXPECT_EQ(PathFor(above + std::wstring(80, L'b') + L"\\mdsdriver.exe"), L"difxapi_x64.dll");
  EXPECT_EQ(PathFor(above + std::wstring(56, L'e')), L"difxapi_x64.dll") << "260 characters do not fit either";
}

}  // namespace
