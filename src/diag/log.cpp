// The file log: marker check, file naming, record composition and appending.
#include "diag/log.h"

#include <memory>
#include <utility>

#include "diag/line.h"
#include "diag/narrow.h"
#include "diag/trace.h"
#include "platform/files.h"
#include "platform/handles.h"

namespace diag {
namespace {

using platform::OpenInFolder;

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
std::wstring FinalFolderPathOf(HANDLE folder) {
  std::wstring path = FinalPathOf(folder);
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// File names compare as the file system compares them: a "Log" folder that
// someone made by hand is still the log folder.
bool SameFinalPath(const std::wstring& a, const std::wstring& b) {
  return platform::Sys().CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Why a folder or file is not used, as the run's one trace line about it
// says (docs/reference.md lists them).
const wchar_t* const kUnopened = L"it cannot be opened";
const wchar_t* const kUnverified = L"what it is cannot be told";
const wchar_t* const kLink = L"it is a link";
const wchar_t* const kElsewhere = L"it lies elsewhere";

// A link is a reparse point whose tag names a surrogate for another name: a
// symbolic link, a junction, a mount point. Any other reparse point (a file
// or folder a cloud service keeps, a deduplicated file) redirects no name.
// Wine reports a unix link as a reparse point with tag 0, which is no tag.
bool IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// What the handle's own entry is: a link is refused, and so is an entry that
// is not of the kind wanted or whose tag cannot be read: it cannot be told,
// and the check never fails open.
const wchar_t* EntryRefusal(HANDLE handle, bool folder) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!platform::Sys().GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) ||
      ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    return kUnverified;
  }
  return IsLink(tag.FileAttributes, tag.ReparseTag) ? kLink : nullptr;
}

// Where a process outside can swap names under a Windows program (a unix
// process under Wine, which also opens a unix link it was asked not to
// follow), a handle's name and attributes may be told as they were a moment
// after the open; only its file ID is that of what it opened. So the exe
// folder's own entry "log", asked for by that name alone (one entry, not a
// listing: a folder of any size costs the same), must be no link and carry
// the held folder's ID. An ID the file system cannot give in 64 bits (0, or
// all ones on ReFS) says nothing either way; on Windows the open itself
// already took no link.
const wchar_t* FolderEntryRefusal(HANDLE exeFolder, HANDLE folder) {
  constexpr auto kIdBothDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(37);
  alignas(FILE_ID_BOTH_DIR_INFO) BYTE buffer[sizeof(FILE_ID_BOTH_DIR_INFO) + MAX_PATH * sizeof(wchar_t)] = {};
  wchar_t logName[] = L"log";
  UNICODE_STRING name = {};
  name.Buffer = logName;
  name.Length = name.MaximumLength = static_cast<USHORT>(3 * sizeof(wchar_t));
  IO_STATUS_BLOCK io = {};
  BY_HANDLE_FILE_INFORMATION own = {};
  if (platform::Sys().NtQueryDirectoryFile(exeFolder, nullptr, nullptr, nullptr, &io, buffer, sizeof(buffer),
                                           kIdBothDirectoryInformation, TRUE, &name, TRUE) < 0 ||
      !platform::Sys().GetFileInformationByHandle(folder, &own)) {
    return kUnverified;
  }
  const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer);
  if (IsLink(entry->FileAttributes, entry->EaSize)) return kLink;  // EaSize holds a reparse point's tag
  const ULONGLONG id = (static_cast<ULONGLONG>(own.nFileIndexHigh) << 32) | own.nFileIndexLow;
  if (id == 0 || id == ~ULONGLONG{0}) return nullptr;
  return static_cast<ULONGLONG>(entry->FileId.QuadPart) == id ? nullptr : kElsewhere;
}

// Why a final path does not pass: it cannot be had, or it is not `expected`.
const wchar_t* PlaceRefusal(const std::wstring& finalPath, const std::wstring& expected) {
  if (finalPath.empty()) return kUnverified;
  return SameFinalPath(finalPath, expected) ? nullptr : kElsewhere;
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
// can write to: a link planted at "log" or at the file's name, or put there
// while the run logs, must not make it create or write a file where someone
// else chose. So the exe's folder is opened, and "log" is opened once by that
// handle and the name alone, without following a reparse point: what opens
// is an entry of that very folder, whatever its name leads to meanwhile. It
// is checked by its handle (a folder and no link, where its final path says
// it is) and held for the rest of the run; the file is then opened relative
// to that handle, so no later change to the name "log" can lead it
// elsewhere. The exe's own folder may be reached through a junction, a subst
// drive or a share an administrator set up, so final paths are compared with
// final paths. A folder refused is tried again for the next record.
bool LogFile::HoldFolder(Refusal& refusal) {
  if (folder_) return true;
  // "C:" alone would name the drive's current folder, not its root.
  const std::wstring exeFolderName = moduleDir_.empty() || moduleDir_.back() != L':' ? moduleDir_ : moduleDir_ + L"\\";
  platform::unique_file exeFolder(
      platform::Sys().CreateFileW(exeFolderName.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!exeFolder) return refusal.Set(kUnopened, exeFolderName, platform::Sys().GetLastError());
  const std::wstring exeFolderPath = FinalFolderPathOf(exeFolder.get());
  if (exeFolderPath.empty()) return refusal.Set(kUnverified, exeFolderName, platform::Sys().GetLastError());
  // Without FILE_SHARE_DELETE nobody can rename the folder, or put something
  // else in its place, while the run holds it on Windows. Traverse access
  // makes that share mode bind: a handle with only attribute rights leaves
  // others free to take any access.
  NTSTATUS status = 0;
  platform::unique_file folder =
      OpenInFolder(exeFolder.get(), L"log", FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_DIRECTORY_FILE, status);
  if (!folder) return refusal.Set(kUnopened, logFolder_, platform::Sys().RtlNtStatusToDosError(status));
  const wchar_t* why = EntryRefusal(folder.get(), true);
  if (why == nullptr) why = PlaceRefusal(FinalFolderPathOf(folder.get()), exeFolderPath + L"\\log");
  if (why == nullptr) why = FolderEntryRefusal(exeFolder.get(), folder.get());
  if (why != nullptr) return refusal.Set(why, logFolder_, 0);
  finalFolderPath_ = exeFolderPath + L"\\log";
  folder_ = std::move(folder);
  return true;
}

// The file is used only when it is a file with one name in the held folder,
// and no link; otherwise the record is lost, as for a file that cannot be
// opened. A name that is there is only ever opened, and a name that is not is
// only ever created, exclusively: an exclusive create fails on any name that
// exists, a link included (dangling or not), and an open of what exists
// creates nothing. So neither follows a link to make a file elsewhere. A
// name that another run makes or removes in between gets one more try.
platform::unique_file LogFile::OpenInPlace(Refusal& refusal) {
  if (!HoldFolder(refusal)) return platform::unique_file();
  const std::wstring name = fileName_.substr(1);  // the name alone, without its leading backslash
  // Attribute rights too: the checks below read them.
  const ACCESS_MASK kAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  NTSTATUS status = 0;
  platform::unique_file file;
  for (const ULONG disposition : {ULONG{FILE_OPEN}, ULONG{FILE_CREATE}, ULONG{FILE_OPEN}}) {
    file = OpenInFolder(folder_.get(), name, kAccess, kShareAll, disposition, FILE_NON_DIRECTORY_FILE, status);
    if (file) break;
  }
  if (!file) {
    refusal.Set(kUnopened, logFilePath_, platform::Sys().RtlNtStatusToDosError(status));
    return file;
  }
  const wchar_t* why = EntryRefusal(file.get(), false);
  BY_HANDLE_FILE_INFORMATION info = {};
  if (why == nullptr && !platform::Sys().GetFileInformationByHandle(file.get(), &info)) why = kUnverified;
  if (why == nullptr && info.nNumberOfLinks != 1) why = kLink;
  if (why == nullptr) why = PlaceRefusal(FinalPathOf(file.get()), finalFolderPath_ + fileName_);
  if (why != nullptr) {
    refusal.Set(why, logFilePath_, 0);
    return platform::unique_file();
  }
  return file;
}

void LogFile::AppendLine(const wchar_t* line, std::size_t length) {
  Refusal refusal;
  platform::unique_file file = OpenInPlace(refusal);
  if (!file) {
    // Said once a run, on the trace: the records themselves say nothing.
    if (refusal.why != nullptr && !refusalTraced_) {
      refusalTraced_ = true;
      TraceLine(L"The log is not written: %s: %s (%lu)", refusal.path, refusal.why, refusal.code);
    }
    return;
  }
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

namespace {

void AppendRecord(const wchar_t* format, const FormatArg* args, std::size_t count, bool toDebugger) {
  if (!g_logFile) g_logFile.reset(new LogFile());
  if (!g_logFile->enabled()) return;

  const SYSTEMTIME now = LocalNow();
  const FormatArg stamp[] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
  Line line;
  ComposeLine(line, L"%04d-%02d-%02d %02d:%02d:%02d\t", stamp, 6, format, args, count);
  if (toDebugger) platform::Sys().OutputDebugStringW(line.text);
  g_logFile->AppendLine(line.text, line.length);
}

}  // namespace

void LogLineArgs(const wchar_t* format, const FormatArg* args, std::size_t count) {
  AppendRecord(format, args, count, true);
}

void AppendLogRecordArgs(const wchar_t* format, const FormatArg* args, std::size_t count) {
  AppendRecord(format, args, count, false);
}

const LogFile* CurrentLogFile() { return g_logFile.get(); }

void ResetLogFileForTesting() { g_logFile.reset(); }

}  // namespace diag
