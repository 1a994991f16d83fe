// Two processes whose first log lines fall in the same second share one log
// file; every record of both must come out whole and in order. A lock that
// another process keeps on the log never holds a run up for long.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/format.h"
#include "support/tool_runner.h"

namespace {

using testing_support::TempDir;

struct Process {
  PROCESS_INFORMATION info = {};
  bool started = false;
};

Process Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& workDir) {
  Process process;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  process.started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, workDir.c_str(),
                                   &startup, &process.info) != FALSE;
  return process;
}

DWORD Finish(Process& process) {
  DWORD code = 0xFFFFFFFF;
  if (!process.started) return code;
  if (WaitForSingleObject(process.info.hProcess, 120000) != WAIT_OBJECT_0) TerminateProcess(process.info.hProcess, 1);
  GetExitCodeProcess(process.info.hProcess, &code);
  CloseHandle(process.info.hThread);
  CloseHandle(process.info.hProcess);
  return code;
}

TEST(SharedLogFileTest, TwoProcessesInTheSameSecondKeepEveryRecordWhole) {
  TempDir folder;
  ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\log_writer.exe", folder.path()));
  ASSERT_TRUE(testing_support::WriteBytes(folder / L"vezazez.cfg", ""));
  ASSERT_TRUE(CreateDirectoryW((folder / L"Log").c_str(), nullptr));  // made by hand, in another case
  const int kRecords = 1500;
  const std::wstring exe = folder / L"log_writer.exe";
  const std::wstring count = std::to_wstring(kRecords);

  Process first = Start(exe, L"alpha " + count + L" 20261206072745", folder.path());
  Process second = Start(exe, L"beta " + count + L" 20261206072745", folder.path());
  ASSERT_TRUE(first.started && second.started);
  EXPECT_EQ(Finish(first), 0u);
  EXPECT_EQ(Finish(second), 0u);

  EXPECT_EQ(testing_support::ListFolder(folder / L"log"), std::vector<std::wstring>{L"20261206_072745.log"});
  std::string bytes;
  ASSERT_TRUE(testing_support::ReadBytes(folder / L"log\\20261206_072745.log", bytes));

  // Records end in LF CR LF; split on that and check each one whole.
  std::map<std::string, int> lastSeen = {{"alpha", 0}, {"beta", 0}};
  size_t start = 0;
  int records = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\n\r\n", start);
    ASSERT_NE(end, std::string::npos) << "a record without its ending at byte " << start;
    const std::string record = bytes.substr(start, end - start);
    start = end + 3;
    ++records;
    const std::string stamp = "2026-12-06 07:27:45\t";
    ASSERT_EQ(record.compare(0, stamp.size(), stamp), 0) << record;
    std::istringstream fields(record.substr(stamp.size()));
    std::string tag, word, of;
    int index = 0, total = 0;
    fields >> tag >> word >> index >> of >> total;
    ASSERT_TRUE(lastSeen.count(tag)) << "a mangled record: " << record;
    ASSERT_EQ(record.substr(stamp.size()),
              tag + " record " + std::to_string(index) + " of " + std::to_string(kRecords));
    EXPECT_EQ(index, lastSeen[tag] + 1) << "records of one process stay in order";
    lastSeen[tag] = index;
  }
  EXPECT_EQ(records, 2 * kRecords);
  EXPECT_EQ(lastSeen["alpha"], kRecords);
  EXPECT_EQ(lastSeen["beta"], kRecords);
}

// The log file name a run gets for its first line `seconds` from now.
std::wstring LogNameIn(int seconds) {
  SYSTEMTIME time = {};
  GetLocalTime(&time);
  ULARGE_INTEGER ticks = {};
  SystemTimeToFileTime(&time, reinterpret_cast<FILETIME*>(&ticks));
  ticks.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000ull;
  FileTimeToSystemTime(reinterpret_cast<FILETIME*>(&ticks), &time);
  wchar_t name[32] = {};
  diag::LineWriter writer(name, 32);
  diag::Format(writer, L"%04d%02d%02d_%02d%02d%02d.log", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
               time.wSecond);
  return name;
}

// true: the whole file is locked; false: only the byte the tool locks itself.
class LockedLogTest : public testing::TestWithParam<bool> {};

TEST_P(LockedLogTest, ARunDoesNotWaitForALockSomeoneElseKeeps) {
  TempDir folder;
  ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\mdsdriver.exe", folder.path()));
  ASSERT_TRUE(testing_support::WriteBytes(folder / L"vezazez.cfg", ""));
  ASSERT_TRUE(CreateDirectoryW((folder / L"log").c_str(), nullptr));

  // Every name the run can give its log for the next half minute, held
  // locked until the handles close.
  std::vector<HANDLE> held;
  for (int second = -1; second <= 30; ++second) {
    held.push_back(CreateFileW((folder / (L"log\\" + LogNameIn(second))).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    OVERLAPPED region = {};
    region.OffsetHigh = GetParam() ? 0 : 0x7FFFFFFF;
    ASSERT_TRUE(LockFileEx(held.back(), LOCKFILE_EXCLUSIVE_LOCK, 0, GetParam() ? 0xFFFFFFFF : 1,
                           GetParam() ? 0x7FFFFFFF : 0, &region));
  }

  const testing_support::ToolRun run =
      testing_support::RunAsDebuggee(folder / L"mdsdriver.exe", L"/qu", folder.path(), 20000);
  EXPECT_TRUE(run.finished) << "still waiting for the lock after 20 s";
  EXPECT_EQ(run.exitCode, 0u);
  // With only the lock byte taken, the records still go out whole.
  std::string all;
  for (const std::wstring& name : testing_support::ListFolder(folder / L"log")) {
    std::string bytes;
    if (testing_support::ReadBytes(folder / (L"log\\" + name), bytes)) all += bytes;
  }
  EXPECT_TRUE(GetParam() || all.find("\tLeave CQoDriverComImp::DealDeviceOpt(query)...\n\r\n") != std::string::npos);
  for (HANDLE file : held) CloseHandle(file);
}

INSTANTIATE_TEST_SUITE_P(Locks, LockedLogTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "WholeFile" : "LockByte");
                         });

// Runs a unix program on two Windows paths, under Wine only. Wine makes no
// links itself (its CreateSymbolicLinkW does nothing, and its DeleteFileW
// deletes a link's target), so unix links stand in for junctions and file
// links: Wine reports a linked folder as a reparse point and gives a linked
// file's target as its final path.
bool RunUnix(std::vector<std::string> argv, const std::vector<std::wstring>& paths) {
  typedef char*(__cdecl * UnixFileName)(const wchar_t*);
  typedef LONG(__cdecl * Spawn)(char* const*, int);
  const auto unixFileName = reinterpret_cast<UnixFileName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  const auto spawn = reinterpret_cast<Spawn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
  if (unixFileName == nullptr || spawn == nullptr) return false;
  for (const std::wstring& windowsPath : paths) {
    char* path = unixFileName(windowsPath.c_str());
    if (path == nullptr) return false;
    argv.push_back(path);
    HeapFree(GetProcessHeap(), 0, path);
  }
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(&argument[0]);
  pointers.push_back(nullptr);
  return spawn(pointers.data(), 1) == 0;
}
bool Link(const std::wstring& target, const std::wstring& link) { return RunUnix({"/bin/ln", "-s"}, {target, link}); }
bool Unlink(const std::wstring& link) { return RunUnix({"/bin/rm", "-f"}, {link}); }

// The run is elevated, and anyone may be able to write to the exe's folder:
// a link at "log", or at any name the run may give its file, must not lead a
// record anywhere else. A link an administrator put on the way to the exe's
// folder must not stop the log.
TEST(LinkedLogTest, NoRecordGoesThroughALinkAtTheLogOrItsFile) {
  TempDir folder, elsewhere, above;
  const std::wstring log = folder / L"log", victim = elsewhere / L"victim.ini";
  if (!Link(elsewhere.path(), log)) GTEST_SKIP() << "makes its links with Wine's unix side";
  ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\mdsdriver.exe", folder.path()));
  ASSERT_TRUE(testing_support::WriteBytes(folder / L"vezazez.cfg", ""));
  ASSERT_TRUE(testing_support::WriteBytes(victim, "[kept]\r\n"));
  // `why`: the one trace line of a run whose log is refused says so.
  auto query = [](const std::wstring& exeFolder, const char* why) {
    const testing_support::ToolRun run =
        testing_support::RunAsDebuggee(exeFolder + L"\\mdsdriver.exe", L"/qu", exeFolder);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.debugStrings.size(), why != nullptr ? 3u : 2u) << "the log is on: its entry and leave lines";
    EXPECT_EQ(run.output.find(why != nullptr ? why : "The log is not written") != std::string::npos, why != nullptr)
        << run.output;
  };

  query(folder.path(), "\\log: it ");  // a link, or (Wine's final path) elsewhere
  EXPECT_EQ(testing_support::ListFolder(elsewhere.path()), std::vector<std::wstring>{L"victim.ini"});
  ASSERT_TRUE(Unlink(log));
  ASSERT_TRUE(CreateDirectoryW(log.c_str(), nullptr));
  for (const bool hard : {false, true}) {
    for (int second = -1; second <= 30; ++second) {
      const std::wstring name = log + L"\\" + LogNameIn(second);
      ASSERT_TRUE(hard ? CreateHardLinkW(name.c_str(), victim.c_str(), nullptr) != FALSE : Link(victim, name));
    }
    query(folder.path(), ".log: it ");
    std::string bytes;
    ASSERT_TRUE(testing_support::ReadBytes(victim, bytes));
    EXPECT_EQ(bytes, "[kept]\r\n") << (hard ? "through a hard link" : "through a symbolic link");
    for (const std::wstring& name : testing_support::ListFolder(log)) ASSERT_TRUE(Unlink(log + L"\\" + name));
  }

  ASSERT_TRUE(Link(folder.path(), above / L"tool"));
  query(above / L"tool", nullptr);
  ASSERT_TRUE(Unlink(above / L"tool"));
  const std::vector<std::wstring> files = testing_support::ListFolder(log);
  ASSERT_EQ(files.size(), 1u) << "the log is written where the exe really lies";
  std::string bytes;
  ASSERT_TRUE(testing_support::ReadBytes(log + L"\\" + files[0], bytes));
  EXPECT_NE(bytes.find("\tLeave CQoDriverComImp::DealDeviceOpt(query)...\n\r\n"), std::string::npos);
}

// Swaps two names atomically, over and over, until a stop file appears (or two
// minutes pass), an even number of times, and prints how often; fails if it
// swapped under 100 times.
const char kSwapper[] = R"(
import ctypes, os, sys, time
first, second, stop = sys.argv[1:]
exchange = ctypes.CDLL(None, use_errno=True).renameat2
swaps, end = 0, time.time() + 120
while not os.path.exists(stop) and time.time() < end or swaps % 2:
    if exchange(-100, first.encode(), -100, second.encode(), 2):  # RENAME_EXCHANGE
        sys.exit(os.strerror(ctypes.get_errno()))
    swaps += 1
print(swaps, "swaps", file=sys.stderr)
sys.exit(swaps < 100)
)";

// A race: a unix process swaps "log" with a link to another folder while runs
// log, and dangling links stand at every other name the runs may give their
// logs. Nothing may be made through a link.
TEST(LinkedLogTest, NoRaceLeadsARecordOutOfTheLogFolder) {
  TempDir folder, elsewhere;
  const std::wstring log = folder / L"log", swap = folder / L"swap";
  if (!Link(elsewhere.path(), swap)) GTEST_SKIP() << "makes its links with Wine's unix side";
  ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\mdsdriver.exe", folder.path()));
  ASSERT_TRUE(testing_support::WriteBytes(folder / L"vezazez.cfg", ""));
  ASSERT_TRUE(CreateDirectoryW(log.c_str(), nullptr));
  for (int second = -1; second <= 60; second += 2) {
    ASSERT_TRUE(Link(elsewhere / (L"planted" + std::to_wstring(second)), log + L"\\" + LogNameIn(second)));
  }
  bool swapped = false;
  std::thread swapper([&] { swapped = RunUnix({"/usr/bin/python3", "-c", kSwapper}, {log, swap, folder / L"stop"}); });
  for (int run = 0; run < 20; ++run) {
    EXPECT_EQ(testing_support::RunAsDebuggee(folder / L"mdsdriver.exe", L"/qu", folder.path()).exitCode, 0u);
    Sleep(250);  // the runs' names fall on names with links and names without
  }
  testing_support::WriteBytes(folder / L"stop", "");
  swapper.join();
  EXPECT_TRUE(swapped) << "the swapping went on throughout";
  EXPECT_TRUE(testing_support::ListFolder(elsewhere.path()).empty())
      << "made through a link: " << testing::PrintToString(testing_support::ListFolder(elsewhere.path()));
  for (const std::wstring& name : testing_support::ListFolder(log)) ASSERT_TRUE(Unlink(log + L"\\" + name));
  ASSERT_TRUE(Unlink(swap));
}

}  // namespace
