// The file log: the marker switch, file naming, record bytes and the faults
// it rides out without a word.
#include "diag/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "fakes/output_capture.h"
#include "support/tool_runner.h"

namespace {

using platform::Calls;
using testing_support::ReadBytes;
using testing_support::TempDir;

// The exe seems to live at g_modulePath; the clock reads g_now.
std::wstring g_modulePath;
SYSTEMTIME g_now;
int g_clockReads = 0;
std::vector<std::wstring> g_markerQueries;
std::vector<std::wstring> g_foldersMade;

DWORD WINAPI FakeModuleFileName(HMODULE module, LPWSTR buffer, DWORD size) {
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(size, static_cast<DWORD>(MAX_PATH));
  const DWORD length = static_cast<DWORD>(g_modulePath.size());
  g_modulePath.copy(buffer, size);
  if (length < size) buffer[length] = L'\0';
  return length;
}

void WINAPI FakeLocalTime(LPSYSTEMTIME now) {
  ++g_clockReads;
  *now = g_now;
}

BOOL WINAPI RecordingPathFileExists(LPCWSTR path) {
  g_markerQueries.push_back(path);
  return platform::RealCalls().PathFileExistsW(path);
}

BOOL WINAPI RecordingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  g_foldersMade.push_back(path);
  return platform::RealCalls().CreateDirectoryW(path, security);
}

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME t = {};
  t.wYear = year;
  t.wMonth = month;
  t.wDay = day;
  t.wHour = hour;
  t.wMinute = minute;
  t.wSecond = second;
  return t;
}

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    diag::ResetLogFileForTesting();
    g_modulePath = dir_ / L"mdsdriver.exe";
    g_now = Time(2026, 12, 6, 7, 27, 45);
    g_clockReads = 0;
    g_markerQueries.clear();
    g_foldersMade.clear();
  }
  void TearDown() override { diag::ResetLogFileForTesting(); }

  void PlaceMarker() { ASSERT_TRUE(testing_support::WriteBytes(dir_ / L"vezazez.cfg", "")); }
  std::wstring LogPath(const std::wstring& name) const { return dir_.path() + L"\\log\\" + name; }
  std::string LogBytes(const std::wstring& name) const {
    std::string bytes;
    EXPECT_TRUE(ReadBytes(LogPath(name), bytes)) << "no log file " << testing::PrintToString(name);
    return bytes;
  }

  TempDir dir_;
  fakes::OutputCapture output_;
  platform::ScopedCall<decltype(&::GetModuleFileNameW)> module_{&Calls::GetModuleFileNameW, &FakeModuleFileName};
  platform::ScopedCall<decltype(&::GetLocalTime)> clock_{&Calls::GetLocalTime, &FakeLocalTime};
  platform::ScopedCall<decltype(&::PathFileExistsW)> marker_{&Calls::PathFileExistsW, &RecordingPathFileExists};
  platform::ScopedCall<decltype(&::CreateDirectoryW)> folders_{&Calls::CreateDirectoryW, &RecordingCreateDirectory};
};

TEST_F(LogTest, WithoutTheMarkerNothingHappensAtAll) {
  diag::LogLine(L"\nEnter InstallDrviver...");
  diag::LogLine(L"DriverPackagePreinstall netaapl FAILED(%d)", 5);
  EXPECT_EQ(g_markerQueries, std::vector<std::wstring>{dir_.path() + L"\\vezazez.cfg"}) << "looked for once";
  EXPECT_TRUE(output_.debugStrings.empty());
  EXPECT_TRUE(g_foldersMade.empty());
  EXPECT_EQ(g_clockReads, 0) << "no time is read";
  EXPECT_TRUE(testing_support::ListFolder(dir_.path()).empty());
  ASSERT_NE(diag::CurrentLogFile(), nullptr);
  EXPECT_FALSE(diag::CurrentLogFile()->enabled());
  EXPECT_EQ(diag::CurrentLogFile()->path(), L"");
}

TEST_F(LogTest, NoLogLineMeansNoLookAtTheMarker) {
  PlaceMarker();
  EXPECT_EQ(diag::CurrentLogFile(), nullptr);
  EXPECT_TRUE(g_markerQueries.empty());
  EXPECT_FALSE(testing_support::Exists(dir_ / L"log"));
}

TEST_F(LogTest, TheWorkedRecordByteForByte) {
  PlaceMarker();
  diag::LogLine(L"DriverPackagePreinstall netaapl successed !");
  const std::string record = "2026-12-06 07:27:45\tDriverPackagePreinstall netaapl successed !\n\r\n";
  EXPECT_EQ(record.size(), 66u);
  EXPECT_EQ(LogBytes(L"20261206_072745.log"), record);
  ASSERT_EQ(output_.debugStrings.size(), 1u);
  EXPECT_EQ(output_.debugStrings[0], L"2026-12-06 07:27:45\tDriverPackagePreinstall netaapl successed !\n");
  EXPECT_EQ(g_foldersMade, std::vector<std::wstring>{dir_.path() + L"\\log"});
  EXPECT_TRUE(output_.stdoutBytes.empty()) << "the log never writes to standard output";
}

TEST_F(LogTest, RecordsAppendWithTheirOwnTimestamps) {
  PlaceMarker();
  diag::LogLine(L"\nEnter UnloadDriver...");
  g_now = Time(2026, 12, 6, 7, 28, 3);
  diag::LogLine(L"netappl already exist: %ld", 183);
  g_now = Time(2026, 12, 6, 7, 28, 4);
  diag::LogLine(L"DriverPackageUninstall usbaapl err: %ld \n", -536870142);
  EXPECT_EQ(LogBytes(L"20261206_072745.log"),
            "2026-12-06 07:27:45\t\nEnter UnloadDriver...\n\r\n"
            "2026-12-06 07:28:03\tnetappl already exist: 183\n\r\n"
            "2026-12-06 07:28:04\tDriverPackageUninstall usbaapl err: -536870142 \n\n\r\n");
  EXPECT_EQ(output_.debugStrings.size(), 3u);
  EXPECT_EQ(output_.debugStrings[0], L"2026-12-06 07:27:45\t\nEnter UnloadDriver...\n");
}

TEST_F(LogTest, TheFileIsNamedAfterTheFirstLogLineNotTheProcessStart) {
  PlaceMarker();
  g_now = Time(2027, 1, 2, 3, 4, 5);  // later than any "start" the test saw
  diag::LogLine(L"first");
  g_now = Time(2027, 1, 2, 3, 4, 9);
  diag::LogLine(L"second");
  EXPECT_EQ(testing_support::ListFolder(dir_ / L"log"), std::vector<std::wstring>{L"20270102_030405.log"});
  EXPECT_EQ(diag::CurrentLogFile()->path(), dir_.path() + L"\\log\\20270102_030405.log");
}

TEST_F(LogTest, TheMarkerIsLookedAtOncePerProcess) {
  diag::LogLine(L"off");
  PlaceMarker();
  diag::LogLine(L"still off");
  EXPECT_TRUE(output_.debugStrings.empty());
  EXPECT_EQ(g_markerQueries.size(), 1u);

  diag::ResetLogFileForTesting();  // a new process
  diag::LogLine(L"on");
  ASSERT_TRUE(DeleteFileW((dir_ / L"vezazez.cfg").c_str()));
  diag::LogLine(L"still on");
  EXPECT_EQ(output_.debugStrings.size(), 2u);
  EXPECT_EQ(LogBytes(L"20261206_072745.log"), "2026-12-06 07:27:45\ton\n\r\n2026-12-06 07:27:45\tstill on\n\r\n");
}

TEST_F(LogTest, ChineseTextKeepsTheRecordWhole) {
  PlaceMarker();
  diag::LogLine(L".inf\x6587\x4EF6 %s \x672A\x627E\x5230\n", L"C:\\x\\usbaapl64.inf");
  diag::LogLine(L"\x6253\x5F00\x6587\x4EF6\x5931\x8D25\xFF1A%s", L"D:\\\x00E9t\x00E9.inf");
  diag::LogLine(L"next");
  EXPECT_EQ(LogBytes(L"20261206_072745.log"),
            "2026-12-06 07:27:45\t.inf\xE6\x96\x87\xE4\xBB\xB6 C:\\x\\usbaapl64.inf "
            "\xE6\x9C\xAA\xE6\x89\xBE\xE5\x88\xB0\n\n\r\n"
            "2026-12-06 07:27:45\t\xE6\x89\x93\xE5\xBC\x80\xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\xB1\xE8\xB4\xA5"
            "\xEF\xBC\x9A"
            "D:\\\xE9t\xE9.inf\n\r\n"
            "2026-12-06 07:27:45\tnext\n\r\n");
  EXPECT_EQ(output_.debugStrings[0],
            L"2026-12-06 07:27:45\t.inf\x6587\x4EF6 C:\\x\\usbaapl64.inf \x672A\x627E\x5230\n\n");
}

TEST_F(LogTest, AnOverlongMessageIsCutToFit) {
  PlaceMarker();
  diag::LogLine(L"%s", std::wstring(1500, L'm'));
  diag::LogLine(L"after");
  const std::string expected =
      "2026-12-06 07:27:45\t" + std::string(1002, 'm') + "\n\r\n" + "2026-12-06 07:27:45\tafter\n\r\n";
  EXPECT_EQ(LogBytes(L"20261206_072745.log"), expected);
}

TEST_F(LogTest, ArgumentsAreDataInTheLogToo) {
  PlaceMarker();
  diag::LogLine(L"%d appdev FriendlyName \t = %s", 2, L"50% %s%n%d");
  EXPECT_EQ(LogBytes(L"20261206_072745.log"), "2026-12-06 07:27:45\t2 appdev FriendlyName \t = 50% %s%n%d\n\r\n");
}

// A record lost to a refused folder or file is said once a run, on the trace.
std::string RefusalTrace(const std::wstring& what) {
  return "[app](" + std::to_string(GetCurrentThreadId()) +
         "): The log is not written: " + std::string(what.begin(), what.end()) + "\r\n";
}

TEST_F(LogTest, AFileWhereTheFolderShouldBeLosesRecordsQuietly) {
  PlaceMarker();
  ASSERT_TRUE(testing_support::WriteBytes(dir_ / L"log", "not a folder"));
  diag::LogLine(L"one");
  diag::LogLine(L"two");
  EXPECT_TRUE(diag::CurrentLogFile()->enabled());
  EXPECT_EQ(output_.debugStrings.size(), 3u) << "the debugger copies are still sent, and the one trace line";
  EXPECT_EQ(output_.stdoutBytes, RefusalTrace(dir_ / L"log: it cannot be opened (267)")) << "ERROR_DIRECTORY";
  std::string bytes;
  ASSERT_TRUE(ReadBytes(dir_ / L"log", bytes));
  EXPECT_EQ(bytes, "not a folder");
}

// NtCreateFile, recorded: the folder its handle names, the name, and how.
// With g_openStatus set, it answers that instead of opening.
struct Open {
  std::wstring folder, name;
  ACCESS_MASK access;
  ULONG disposition;
};
std::vector<Open> g_opens;
NTSTATUS g_openStatus = 0;
NTSTATUS NTAPI RecordedOpen(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES where, PIO_STATUS_BLOCK io,
                            PLARGE_INTEGER size, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                            PVOID ea, ULONG eaLength) {
  wchar_t folder[MAX_PATH] = {};
  platform::RealCalls().GetFinalPathNameByHandleW(where->RootDirectory, folder, MAX_PATH, 0);
  g_opens.push_back({folder, std::wstring(where->ObjectName->Buffer, where->ObjectName->Length / sizeof(wchar_t)),
                     access, disposition});
  if (g_openStatus != 0 && g_opens.back().name != L"log") return g_openStatus;
  return platform::RealCalls().NtCreateFile(file, access, where, io, size, attributes, share, disposition, options, ea,
                                            eaLength);
}

// A read-only log file can't be opened for writing on Windows. Wine running as
// root opens it all the same, so the refusal comes through the call table.
TEST_F(LogTest, ALogFileThatCannotBeOpenedLosesRecordsQuietly) {
  PlaceMarker();
  g_opens.clear();
  g_openStatus = static_cast<NTSTATUS>(0xC0000022L);  // STATUS_ACCESS_DENIED
  {
    auto open = platform::Override(&Calls::NtCreateFile, &RecordedOpen);
    diag::LogLine(L"lost");
    diag::LogLine(L"lost too");
  }
  g_openStatus = 0;
  EXPECT_EQ(g_opens.size(), 7u) << "the folder once, then each record tries the file afresh: open, create, open";
  EXPECT_EQ(output_.debugStrings.size(), 3u);
  EXPECT_EQ(output_.stdoutBytes, RefusalTrace(dir_ / L"log\\20261206_072745.log: it cannot be opened (5)"))
      << "said once, with STATUS_ACCESS_DENIED";
  diag::LogLine(L"kept");
  EXPECT_EQ(LogBytes(L"20261206_072745.log"), "2026-12-06 07:27:45\tkept\n\r\n");
}

// The file is opened by its name alone in the "log" folder the run holds, and
// created only exclusively; while the run lasts, nobody can rename the folder.
TEST_F(LogTest, TheFileIsOpenedInTheHeldFolderAndNeverCreatedThroughALink) {
  PlaceMarker();
  g_opens.clear();
  {
    auto open = platform::Override(&Calls::NtCreateFile, &RecordedOpen);
    diag::LogLine(L"one");
    diag::LogLine(L"two");
  }
  // The folder by its name in the exe's folder, then the first record's two
  // tries, the second's.
  const ULONG kDispositions[] = {FILE_OPEN, FILE_OPEN, FILE_CREATE, FILE_OPEN};
  ASSERT_EQ(g_opens.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(g_opens[i].disposition, kDispositions[i]);
    const std::wstring opened = g_opens[i].folder + L"\\" + g_opens[i].name;
    const std::wstring wanted = i == 0 ? dir_ / L"log" : LogPath(L"20261206_072745.log");
    EXPECT_EQ(opened.substr(opened.size() - std::min(opened.size(), wanted.size())), wanted);
    EXPECT_NE(g_opens[i].access & FILE_READ_ATTRIBUTES, 0u) << "the checks read the attributes";
  }
  EXPECT_EQ(LogBytes(L"20261206_072745.log"), "2026-12-06 07:27:45\tone\n\r\n2026-12-06 07:27:45\ttwo\n\r\n");
  EXPECT_FALSE(MoveFileW((dir_ / L"log").c_str(), (dir_ / L"moved").c_str()));
  diag::ResetLogFileForTesting();  // the process ends
  EXPECT_TRUE(MoveFileW((dir_ / L"log").c_str(), (dir_ / L"moved").c_str()));
}

// The log folder or file as its handle tells it: a tag, a kind, a second name
// or an ID that is not the one the exe's folder holds under "log", or what
// cannot be read. A link, or what cannot be told, loses the run's records
// and the run says why once, nothing is made in a folder refused, and the
// next run, told the truth, keeps its records. A reparse point that
// redirects no name (a cloud service's folder) keeps them.
enum class Unreadable { kNothing, kTag, kFolderEntry };
struct Distortion {
  const char* what;
  bool ofFolder;
  const wchar_t* why;  // the trace's reason, or null: the records are kept
  DWORD tag = 0, flippedAttributes = 0, links = 0, otherId = 0;
  Unreadable unreadable = Unreadable::kNothing;
  bool finalPathElsewhere = false;  // the folder's final path names another folder
};
const Distortion kDistortions[] = {
    {"a folder that is a junction", true, L"it is a link", IO_REPARSE_TAG_MOUNT_POINT},
    {"a folder that a cloud service keeps", true, nullptr, IO_REPARSE_TAG_CLOUD_6},
    {"a folder that is no directory", true, L"what it is cannot be told", 0, FILE_ATTRIBUTE_DIRECTORY},
    {"a folder whose tag cannot be read", true, L"what it is cannot be told", 0, 0, 0, 0, Unreadable::kTag},
    {"a folder whose entry in the exe's folder cannot be read", true, L"what it is cannot be told", 0, 0, 0, 0,
     Unreadable::kFolderEntry},
    {"a folder that the exe's folder does not hold as log", true, L"it lies elsewhere", 0, 0, 0, 1},
    {"a folder whose final path is another folder's, its ID the one the exe's folder holds", true, L"it lies elsewhere",
     0, 0, 0, 0, Unreadable::kNothing, true},
    {"a file that is a symbolic link", false, L"it is a link", IO_REPARSE_TAG_SYMLINK},
    {"a file with a second name", false, L"it is a link", 0, 0, 2},
};
const Distortion* g_distortion = nullptr;
bool Distorted(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info = {};
  return g_distortion != nullptr && platform::RealCalls().GetFileInformationByHandle(handle, &info) &&
         ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == g_distortion->ofFolder;
}
BOOL WINAPI DistortedInformation(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
  const bool distorted = Distorted(handle);
  if (!platform::RealCalls().GetFileInformationByHandle(handle, info)) return FALSE;
  if (distorted && g_distortion->links != 0) info->nNumberOfLinks = g_distortion->links;
  if (distorted) info->nFileIndexHigh += g_distortion->otherId;
  return TRUE;
}
BOOL WINAPI DistortedTag(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
  const bool distorted = Distorted(handle) && kind == FileAttributeTagInfo;
  if (distorted && g_distortion->unreadable == Unreadable::kTag) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  if (!platform::RealCalls().GetFileInformationByHandleEx(handle, kind, info, size)) return FALSE;
  auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info);
  if (distorted) tag->FileAttributes ^= g_distortion->flippedAttributes;
  if (distorted && g_distortion->tag != 0) tag->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (distorted && g_distortion->tag != 0) tag->ReparseTag = g_distortion->tag;
  return TRUE;
}
// The held folder's final path told as another folder's: "log" as "loh".
DWORD WINAPI DistortedFinalPath(HANDLE handle, LPWSTR path, DWORD size, DWORD flags) {
  const DWORD length = platform::RealCalls().GetFinalPathNameByHandleW(handle, path, size, flags);
  const bool logFolder = length > 4 && length < size && std::wcscmp(path + length - 4, L"\\log") == 0;
  if (logFolder && g_distortion != nullptr && g_distortion->finalPathElsewhere) path[length - 1] = L'h';
  return length;
}
NTSTATUS NTAPI DistortedEntry(HANDLE folder, HANDLE event, PIO_APC_ROUTINE apc, PVOID context, PIO_STATUS_BLOCK io,
                              PVOID entries, ULONG size, FILE_INFORMATION_CLASS kind, BOOLEAN single,
                              PUNICODE_STRING name, BOOLEAN restart) {
  if (g_distortion != nullptr && g_distortion->unreadable == Unreadable::kFolderEntry) {
    return static_cast<NTSTATUS>(0xC0000022L);  // STATUS_ACCESS_DENIED
  }
  return platform::RealCalls().NtQueryDirectoryFile(folder, event, apc, context, io, entries, size, kind, single, name,
                                                    restart);
}

TEST_F(LogTest, AFolderOrFileThatIsNotWhatItSeemsLosesRecordsQuietly) {
  PlaceMarker();
  auto information = platform::Override(&Calls::GetFileInformationByHandle, &DistortedInformation);
  auto tag = platform::Override(&Calls::GetFileInformationByHandleEx, &DistortedTag);
  auto entry = platform::Override(&Calls::NtQueryDirectoryFile, &DistortedEntry);
  auto finalPath = platform::Override(&Calls::GetFinalPathNameByHandleW, &DistortedFinalPath);
  for (const Distortion& distortion : kDistortions) {
    SCOPED_TRACE(distortion.what);
    diag::ResetLogFileForTesting();  // a new run
    output_.stdoutBytes.clear();
    g_distortion = &distortion;
    diag::LogLine(L"first");
    diag::LogLine(L"second");
    const std::wstring file = LogPath(L"20261206_072745.log"), what = distortion.ofFolder ? dir_ / L"log" : file;
    EXPECT_EQ(testing_support::Exists(file), !distortion.ofFolder || distortion.why == nullptr);
    EXPECT_EQ(output_.stdoutBytes,
              distortion.why != nullptr ? RefusalTrace(what + L": " + distortion.why + L" (0)") : std::string());
    g_distortion = nullptr;
    diag::ResetLogFileForTesting();  // the next run
    diag::LogLine(L"kept");
    const std::string kept =
        distortion.why != nullptr ? "" : "2026-12-06 07:27:45\tfirst\n\r\n2026-12-06 07:27:45\tsecond\n\r\n";
    EXPECT_EQ(LogBytes(L"20261206_072745.log"), kept + "2026-12-06 07:27:45\tkept\n\r\n");
    DeleteFileW(file.c_str());
  }
}

// A disk that fills up: the write takes g_writeTakes bytes of the record, then
// fails, or reports success for that part.
DWORD g_writeTakes = 0;
BOOL g_writeResult = FALSE;
BOOL WINAPI FullDiskWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  DWORD took = 0;
  if (g_writeTakes > 0) platform::RealCalls().WriteFile(file, data, std::min(size, g_writeTakes), &took, overlapped);
  if (written) *written = took;
  SetLastError(ERROR_DISK_FULL);
  return g_writeResult;
}

TEST_F(LogTest, AFullDiskLeavesNoPartOfARecord) {
  PlaceMarker();
  diag::LogLine(L"before");
  const struct {
    DWORD takes;
    BOOL result;
  } kWrites[] = {{0, FALSE}, {1, TRUE}, {25, FALSE}};
  for (const auto& write : kWrites) {
    g_writeTakes = write.takes;
    g_writeResult = write.result;
    auto full = platform::Override(&Calls::WriteFile, &FullDiskWrite);
    diag::LogLine(L"lost to a full disk");
  }
  diag::LogLine(L"after");
  EXPECT_EQ(LogBytes(L"20261206_072745.log"), "2026-12-06 07:27:45\tbefore\n\r\n2026-12-06 07:27:45\tafter\n\r\n");
}

// Every try for the lock fails at once with g_lockError: someone else keeps
// the lock byte (ERROR_LOCK_VIOLATION), or the file system has no locks.
std::vector<DWORD> g_lockFlags;
DWORD g_lockError = 0;
DWORD g_slept = 0;
BOOL WINAPI LockRefused(HANDLE, DWORD flags, DWORD, DWORD, DWORD, LPOVERLAPPED) {
  g_lockFlags.push_back(flags);
  SetLastError(g_lockError);
  return FALSE;
}
void WINAPI CountedSleep(DWORD ms) { g_slept += ms; }

TEST_F(LogTest, ARefusedLockHoldsTheRunUpOnceAndOnlyForAnotherHolder) {
  auto lock = platform::Override(&Calls::LockFileEx, &LockRefused);
  auto sleep = platform::Override(&Calls::Sleep, &CountedSleep);
  PlaceMarker();
  for (DWORD error : {DWORD{ERROR_LOCK_VIOLATION}, DWORD{ERROR_NOT_SUPPORTED}}) {
    diag::ResetLogFileForTesting();  // a new run
    g_lockFlags.clear();
    g_slept = 0;
    g_lockError = error;
    diag::LogLine(L"first");
    if (error == ERROR_LOCK_VIOLATION) {
      EXPECT_GE(g_slept, diag::kAppendLockPatienceMs);
      EXPECT_LT(g_slept, diag::kAppendLockPatienceMs + 100);
      EXPECT_GT(g_lockFlags.size(), 1u) << "tried again after a pause";
    } else {
      EXPECT_EQ(g_slept, 0u) << "nobody to wait for";
      EXPECT_EQ(g_lockFlags.size(), 1u);
    }
    for (DWORD flags : g_lockFlags) EXPECT_EQ(flags, DWORD{LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY});
    EXPECT_TRUE(diag::CurrentLogFile()->lockGivenUp());

    const size_t tries = g_lockFlags.size();
    const DWORD slept = g_slept;
    diag::LogLine(L"second");
    EXPECT_EQ(g_lockFlags.size(), tries) << "the rest of the run no longer asks";
    EXPECT_EQ(g_slept, slept);
  }
  EXPECT_EQ(LogBytes(L"20261206_072745.log"),
            "2026-12-06 07:27:45\tfirst\n\r\n2026-12-06 07:27:45\tsecond\n\r\n"
            "2026-12-06 07:27:45\tfirst\n\r\n2026-12-06 07:27:45\tsecond\n\r\n");
}

// An exe in a drive root: its folder is the bare drive.
std::vector<std::wstring> g_filesOpened;
BOOL WINAPI RootMarkerExists(LPCWSTR path) {
  g_markerQueries.push_back(path);
  return TRUE;
}
BOOL WINAPI NoFolder(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  g_foldersMade.push_back(path);
  return FALSE;
}
HANDLE WINAPI NoFile(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  g_filesOpened.push_back(path);
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

TEST_F(LogTest, AnExeInADriveRootLooksInTheRoot) {
  g_modulePath = L"Q:\\mdsdriver.exe";
  g_filesOpened.clear();
  auto marker = platform::Override(&Calls::PathFileExistsW, &RootMarkerExists);
  auto folder = platform::Override(&Calls::CreateDirectoryW, &NoFolder);
  auto file = platform::Override(&Calls::CreateFileW, &NoFile);
  diag::LogLine(L"root");
  EXPECT_EQ(diag::GetModuleDir(), L"Q:");
  EXPECT_EQ(g_markerQueries, std::vector<std::wstring>{L"Q:\\vezazez.cfg"});
  EXPECT_EQ(g_foldersMade, std::vector<std::wstring>{L"Q:\\log"});
  EXPECT_EQ(diag::CurrentLogFile()->path(), L"Q:\\log\\20261206_072745.log");
  EXPECT_EQ(g_filesOpened, std::vector<std::wstring>{L"Q:\\"}) << "the root itself, not the drive's current folder";
  EXPECT_EQ(output_.debugStrings.size(), 2u) << "the record's copy, and the trace line";
  EXPECT_EQ(output_.stdoutBytes, RefusalTrace(L"Q:\\: it cannot be opened (5)"));
}

DWORD WINAPI CutOffModuleFileName(HMODULE, LPWSTR buffer, DWORD size) {
  // What Windows does with a path longer than the buffer: cut, terminated, and
  // the buffer's size returned.
  g_modulePath.copy(buffer, size - 1);
  buffer[size - 1] = L'\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

DWORD WINAPI FailedModuleFileName(HMODULE, LPWSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return 0;
}

TEST_F(LogTest, AnExePathThatCannotBeReadWholeLeavesTheLogOff) {
  // A folder above the exe's holds a marker; the cut path's last backslash
  // points there. Nothing may be looked for or written there.
  PlaceMarker();
  g_modulePath = dir_.path() + L"\\" + std::wstring(300, L'x') + L"\\mdsdriver.exe";
  ASSERT_EQ(g_modulePath.substr(0, MAX_PATH - 1).find_last_of(L'\\'), dir_.path().size())
      << "the cut falls in the long folder name";
  {
    auto cut = platform::Override(&Calls::GetModuleFileNameW, &CutOffModuleFileName);
    diag::LogLine(L"lost");
  }
  EXPECT_FALSE(diag::CurrentLogFile()->enabled());
  EXPECT_TRUE(g_markerQueries.empty());
  EXPECT_FALSE(testing_support::Exists(dir_ / L"log"));

  diag::ResetLogFileForTesting();
  {
    auto failed = platform::Override(&Calls::GetModuleFileNameW, &FailedModuleFileName);
    diag::LogLine(L"lost too");
  }
  EXPECT_FALSE(diag::CurrentLogFile()->enabled());
  EXPECT_TRUE(g_markerQueries.empty()) << "no marker looked for in the current drive's root";
  EXPECT_TRUE(output_.debugStrings.empty());
}

TEST_F(LogTest, AModulePathWithoutBackslashIsTheFolderItself) {
  g_modulePath = L"mdsdriver.exe";
  EXPECT_EQ(diag::GetModuleDir(), L"mdsdriver.exe");
  g_modulePath = L"";
  EXPECT_EQ(diag::GetModuleDir(), L"");
}

}  // namespace
