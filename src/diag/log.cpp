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

  logFilePath_ = moduleDir_ + L"\\log";
  platform::Sys().CreateDirectoryW(logFilePath_.c_str(), nullptr);  // usually there already

  const SYSTEMTIME now = LocalNow();
  wchar_t name[512] = {};
  LineWriter writer(name, 512);
  Format(writer, L"\\%04d%02d%02d_%02d%02d%02d.log", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
         now.wSecond);
  logFilePath_ += name;
}

void LogFile::AppendLine(const wchar_t* line, std::size_t length) {
  platform::unique_file file(platform::Sys().CreateFileW(logFilePath_.c_str(), GENERIC_WRITE,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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
