// The file log: marker check, file naming, record composition and appending.
#include "diag/log.h"

#include <memory>

#include "diag/line.h"
#include "diag/narrow.h"
#include "platform/handles.h"

namespace diag {
namespace {

// Made by the first LogLine; released when the process exits. The first-call
// check is a plain flag: the tool logs from its one thread.
std::unique_ptr<LogFile> g_logFile;

SYSTEMTIME LocalNow() {
  SYSTEMTIME now = {};
  platform::Sys().GetLocalTime(&now);
  return now;
}

// The exe's full path; false when it cannot be had whole (the call failed,
// or the path did not fit and was cut off).
bool ReadModulePath(std::wstring& path) {
  wchar_t modulePath[MAX_PATH] = {};
  const DWORD length = platform::Sys().GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  modulePath[MAX_PATH - 1] = L'\0';
  path = modulePath;
  return length > 0 && length < MAX_PATH;
}

std::wstring FolderOf(std::wstring path) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash != std::wstring::npos) path.erase(slash);
  return path;
}

// Tries for the append lock without ever blocking, backing off from 1 ms to
// 64 ms between tries, for about a second in all. Another writer holds the
// lock for one write, so it is free again long before that; a lock still
// held then is kept by someone who is not appending. The pauses asked for add
// up to the bound; a system that rounds them up to its timer tick waits a
// little longer, about 1.3 s on Windows.
bool TakeAppendLock(HANDLE file, OVERLAPPED& region) {
  const DWORD kFlags = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
  DWORD pause = 1;
  for (DWORD waited = 0;; waited += pause, pause = pause < 64 ? pause * 2 : pause) {
    if (platform::Sys().LockFileEx(file, kFlags, 0, 1, 0, &region)) return true;
    // Only another holder is worth waiting for: a file system without locks
    // would refuse every try alike.
    if (platform::Sys().GetLastError() != ERROR_LOCK_VIOLATION || waited >= kAppendLockPatienceMs) return false;
    platform::Sys().Sleep(pause);
  }
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Where the file or folder behind `handle` really lies, with every link,
// junction and drive substitution on the way resolved; empty when that
// cannot be had.
std::wstring FinalPathOf(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int tries = 0; tries < 2; ++tries) {
    const DWORD length = platform::Sys().GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) break;
    if (length < path.size()) return path.substr(0, length);
    path.assign(length, L'\0');  // the room it needs, terminator included
  }
  return std::wstring();
}

// The final path of a folder, without a trailing backslash (a drive's root
// has one).
std::wstring FinalFolderPath(const std::wstring& folder) {
  // "C:" alone would name the drive's current folder, not its root.
  const std::wstring name = !folder.empty() && folder.back() == L':' ? folder + L"\\" : folder;
  platform::unique_file handle(platform::Sys().CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return std::wstring();
  std::wstring path = FinalPathOf(handle.get());
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// File names compare as the file system compares them: a "Log" folder that
// someone made by hand is still the log folder.
bool SameFinalPath(const std::wstring& a, const std::wstring& b) {
  return platform::Sys().CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool IsRealFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

}  // namespace

std::wstring GetModuleDir() {
  std::wstring path;
  ReadModulePath(path);
  return FolderOf(path);
}

LogFile::LogFile() {
  std::wstring modulePath;
  const bool whole = ReadModulePath(modulePath);
  moduleDir_ = FolderOf(modulePath);
  // Without the exe's own folder there is nowhere to look for the marker:
  // a cut-off path's last backslash may belong to a folder above the exe's.
  if (!whole) return;
  const std::wstring marker = moduleDir_ + L"\\vezazez.cfg";
  if (!platform::Sys().PathFileExistsW(marker.c_str())) return;
  enabled_ = true;

  logFolder_ = moduleDir_ + L"\\log";
  platform::Sys().CreateDirectoryW(logFolder_.c_str(), nullptr);  // usually there already

  const SYSTEMTIME now = LocalNow();
  wchar_t name[512] = {};
  LineWriter writer(name, 512);
  Format(writer, L"\\%04d%02d%02d_%02d%02d%02d.log", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
         now.wSecond);
  fileName_ = name;
  logFilePath_ = logFolder_ + fileName_;
}

// The run is elevated, and the folder beside the exe may be one that anyone
// can write to: a link planted at "log" or at the file's name must not make it
// write where someone else chose. So the file is used only when it is a real
// file with one name, directly inside a real "log" folder beside the exe;
// otherwise the record is lost, as for a file that cannot be opened. The
// exe's own folder may be reached through a junction, a subst drive or a
// share an administrator set up, so final paths are compared with final paths.
platform::unique_file LogFile::OpenInPlace() {
  if (!IsRealFolder(platform::Sys().GetFileAttributesW(logFolder_.c_str()))) return platform::unique_file();
  if (finalFilePath_.empty()) {
    const std::wstring moduleFolder = FinalFolderPath(moduleDir_);
    if (moduleFolder.empty()) return platform::unique_file();
    finalFilePath_ = moduleFolder + L"\\log" + fileName_;
  }
  platform::unique_file file(
      platform::Sys().CreateFileW(logFilePath_.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return file;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!platform::Sys().GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1 ||
      !SameFinalPath(FinalPathOf(file.get()), finalFilePath_)) {
    return platform::unique_file();
  }
  return file;
}

void LogFile::AppendLine(const wchar_t* line, std::size_t length) {
  platform::unique_file file = OpenInPlace();
  if (!file) return;
  std::string record = Narrow(line, length, Newline::kAsIs);
  record += "\r\n";

  // Two runs may share this file. A lock on one byte far past any real end
  // serialises their "seek to the end, write" pairs, so no record lands on
  // top of another, while readers of the file are never blocked. A lock that
  // another process keeps must not hold the run up: after a bounded wait the
  // record goes out without it, and so does every later one of this run.
  OVERLAPPED lockRegion = {};
  lockRegion.OffsetHigh = 0x7FFFFFFF;
  bool locked = false;
  if (!lockGivenUp_) {
    locked = TakeAppendLock(file.get(), lockRegion);
    lockGivenUp_ = !locked;
  }
  LARGE_INTEGER noMove = {};
  LARGE_INTEGER end = {};
  if (platform::Sys().SetFilePointerEx(file.get(), noMove, &end, FILE_END)) {
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(record.size());
    if (!platform::Sys().WriteFile(file.get(), record.data(), size, &written, nullptr) || written != size) {
      // A record is whole or absent: what went out of it (a disk that filled
      // up) is cut off again, so the next record does not start inside it.
      if (platform::Sys().SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN)) {
        platform::Sys().SetEndOfFile(file.get());
      }
    }
  }
  if (locked) platform::Sys().UnlockFileEx(file.get(), 0, 1, 0, &lockRegion);
}

void LogLineArgs(const wchar_t* format, const FormatArg* args, std::size_t count) {
  if (!g_logFile) g_logFile.reset(new LogFile());
  if (!g_logFile->enabled()) return;

  const SYSTEMTIME now = LocalNow();
  const FormatArg stamp[] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
  Line line;
  ComposeLine(line, L"%04d-%02d-%02d %02d:%02d:%02d\t", stamp, 6, format, args, count);
  platform::Sys().OutputDebugStringW(line.text);
  g_logFile->AppendLine(line.text, line.length);
}

const LogFile* CurrentLogFile() { return g_logFile.get(); }

void ResetLogFileForTesting() { g_logFile.reset(); }

}  // namespace diag
