// Command dispatch: switch matching, package locations and the whole run.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "app/commands.h"
#include "app/driver_paths.h"
#include "fakes/output_capture.h"
#include "hardening/stack_guard.h"

// NOLINTNEXTLINE(bugprone-reserved-identifier): the stack protector's own name
extern "C" std::uintptr_t __stack_chk_guard;

namespace {

// Each process has a guard of its own, and a string copy that runs over it
// stops at its first byte, a zero.
TEST(StackGuardTest, IsSeededAtStartUpWithAZeroLowByte) {
  EXPECT_NE(__stack_chk_guard, hardening::kUnseededStackGuard);
  EXPECT_EQ(__stack_chk_guard & 0xFF, 0u);
}

using platform::Calls;

TEST(SwitchTest, FoldsOnlyAToZ) {
  for (const wchar_t* arg : {L"/i", L"/I"}) EXPECT_STREQ(app::FindCommand(arg)->name, L"/i");
  for (const wchar_t* arg : {L"/u", L"/U"}) EXPECT_STREQ(app::FindCommand(arg)->name, L"/u");
  for (const wchar_t* arg : {L"/re", L"/RE", L"/Re", L"/rE"}) EXPECT_STREQ(app::FindCommand(arg)->name, L"/re");
  for (const wchar_t* arg : {L"/qu", L"/QU", L"/Qu"}) EXPECT_STREQ(app::FindCommand(arg)->name, L"/qu");
}

TEST(SwitchTest, EverythingElseIsUnrecognised) {
  for (const wchar_t* arg : {L"-i", L"i", L"/install", L"/i ", L" /i", L"", L"/", L"/r", L"/q", L"/quu", L"\\i",
                             L"/\x0130",     // capital I with dot: not folded
                             L"/\xFF29"}) {  // fullwidth I: not folded
    EXPECT_EQ(app::FindCommand(arg), nullptr) << "argument: " << testing::PrintToString(std::wstring(arg));
  }
}

TEST(SwitchTest, OnlyTheQueryKeepsItsResultOutOfTheExitCode) {
  EXPECT_TRUE(app::FindCommand(L"/i")->resultIsExitCode);
  EXPECT_TRUE(app::FindCommand(L"/u")->resultIsExitCode);
  EXPECT_TRUE(app::FindCommand(L"/re")->resultIsExitCode);
  EXPECT_FALSE(app::FindCommand(L"/qu")->resultIsExitCode);
}

// A system directory injected through the call table.
const wchar_t* g_systemDir = L"";
int g_systemDirCalls = 0;
UINT WINAPI FakeSystemDirectory(LPWSTR buffer, UINT size) {
  ++g_systemDirCalls;
  EXPECT_EQ(size, static_cast<UINT>(MAX_PATH));
  for (UINT i = 0; i < size; ++i) EXPECT_EQ(buffer[i], L'\0') << "zero-filled before the call";
  const size_t length = std::wcslen(g_systemDir);
  std::wmemcpy(buffer, g_systemDir, length);
  return static_cast<UINT>(length);
}

struct DerivedPaths {
  app::PathBuffer network;
  app::PathBuffer usb;
  const wchar_t* section = nullptr;
};

DerivedPaths Derive(const wchar_t* systemDir) {
  g_systemDir = systemDir;
  auto fake = platform::Override(&Calls::GetSystemDirectoryW, &FakeSystemDirectory);
  DerivedPaths paths;
  app::GetDriverPaths(paths.network, paths.usb, paths.section);
  return paths;
}

const std::wstring kNetSuffix = L"Program Files\\Common Files\\Apple\\Mobile Device Support\\NetDrivers\\netaapl64.inf";
const std::wstring kUsbSuffix = L"Program Files\\Common Files\\Apple\\Mobile Device Support\\Drivers\\usbaapl64.inf";

void ExpectPaths(const DerivedPaths& paths, const std::wstring& prefix) {
  EXPECT_EQ(std::wstring(paths.network.get()), prefix + kNetSuffix);
  EXPECT_EQ(std::wstring(paths.usb.get()), prefix + kUsbSuffix);
  EXPECT_EQ(paths.network.capacity, prefix.size() + kNetSuffix.size() + 1) << "exactly its length plus one";
  EXPECT_EQ(paths.usb.capacity, prefix.size() + kUsbSuffix.size() + 1);
  EXPECT_EQ(paths.section, app::kModelsSection) << "the program's constant, not a copy";
  EXPECT_STREQ(paths.section, L"Apple.NTamd64");
}

TEST(DriverPathsTest, SuffixLengths) {
  EXPECT_EQ(kNetSuffix.size(), 79u);
  EXPECT_EQ(kUsbSuffix.size(), 76u);
  EXPECT_EQ(std::wstring(app::kNetworkInfSuffix), kNetSuffix);
  EXPECT_EQ(std::wstring(app::kUsbInfSuffix), kUsbSuffix);
}

TEST(DriverPathsTest, PrefixTakenByPosition) {
  ExpectPaths(Derive(L"C:\\Windows\\system32"), L"C:\\");
  ExpectPaths(Derive(L"D:\\WINDOWS\\System32"), L"D:\\");
  ExpectPaths(Derive(L""), L"");
  ExpectPaths(Derive(L"C:"), L"C:");
  ExpectPaths(Derive(L"\\\\?\\X:\\Windows"), L"\\\\?");  // by position, whatever it looks like
  EXPECT_EQ(Derive(L"C:\\Windows\\system32").network.capacity, 83u);
  EXPECT_EQ(Derive(L"C:\\Windows\\system32").usb.capacity, 80u);
}

UINT WINAPI UnterminatedSystemDirectory(LPWSTR buffer, UINT size) {
  for (UINT i = 0; i < size; ++i) buffer[i] = L'E';
  return size;
}

TEST(DriverPathsTest, AFullBufferWithoutTerminatorIsReadOnlyUpToThePrefix) {
  auto fake = platform::Override(&Calls::GetSystemDirectoryW, &UnterminatedSystemDirectory);
  DerivedPaths paths;
  app::GetDriverPaths(paths.network, paths.usb, paths.section);
  EXPECT_EQ(std::wstring(paths.usb.get()), L"EEE" + kUsbSuffix);
}

int RunWith(std::initializer_list<const wchar_t*> args) {
  std::wstring storage[8];
  wchar_t* argv[8] = {};
  int argc = 0;
  for (const wchar_t* arg : args) {
    storage[argc] = arg;
    argv[argc] = &storage[argc][0];
    ++argc;
  }
  return app::RunTool(argc, argv);
}

DWORD WINAPI FixedThreadId() { return 77; }

TEST(RunToolTest, NoSwitchDoesNothingAtAll) {
  fakes::OutputCapture capture;
  g_systemDirCalls = 0;
  auto dir = platform::Override(&Calls::GetSystemDirectoryW, &FakeSystemDirectory);
  EXPECT_EQ(RunWith({L"mdsdriver.exe"}), 0);
  EXPECT_EQ(RunWith({}), 0);
  EXPECT_EQ(g_systemDirCalls, 0) << "the system directory is not read";
  EXPECT_TRUE(capture.debugStrings.empty());
  EXPECT_TRUE(capture.stdoutBytes.empty());
}

TEST(RunToolTest, UnrecognisedSwitchComplainsAndStillDerivesThePaths) {
  fakes::OutputCapture capture;
  g_systemDir = L"C:\\windows\\system32";
  g_systemDirCalls = 0;
  auto dir = platform::Override(&Calls::GetSystemDirectoryW, &FakeSystemDirectory);
  auto tid = platform::Override(&Calls::GetCurrentThreadId, &FixedThreadId);
  EXPECT_EQ(RunWith({L"mdsdriver.exe", L"-i", L"/i"}), 0);
  EXPECT_EQ(g_systemDirCalls, 1);
  EXPECT_EQ(capture.stdoutBytes, "[app](77): hello boy,cmd error!\r\n88!\r\n");
  ASSERT_EQ(capture.debugStrings.size(), 1u);
  EXPECT_EQ(capture.debugStrings[0], L"[app](77): hello boy,cmd error!\n88!\n");
}

}  // namespace
