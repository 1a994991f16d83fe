// The file log: time-stamped lines to the debugger channel and to a file in
// the "log" folder beside the exe, but only when the marker file
// "vezazez.cfg" stands beside the exe at the first log line of the process.
#pragma once

#include <cstddef>
#include <string>

#include "diag/format.h"
#include "platform/handles.h"

namespace diag {

// The folder of the running exe without its trailing backslash ("C:" for an
// exe in a drive root); a module path without a backslash comes back whole.
std::wstring GetModuleDir();

// The one log object of the process, made by the first LogLine call.
class LogFile {
 public:
  // Looks for the marker, and with it there makes the folder and names the
  // file. An exe path that cannot be read whole leaves the log off.
  LogFile();

  bool enabled() const { return enabled_; }
  const std::wstring& path() const { return logFilePath_; }
  const std::wstring& moduleDir() const { return moduleDir_; }

  // Appends one record: the line's bytes, then "\r\n", in one write to a file
  // opened for appending and closed again. Failures are ignored: a record
  // that cannot be written is lost, and the run goes on. A record is whole
  // or absent: a short write is cut off again. A file that is not a real file
  // directly in the real "log" folder beside the exe (a link at "log" or at
  // the file's name, or a second name for the file) is not written at all,
  // and nothing is ever created through a link. The first record of a run
  // that is lost so says why on the trace (standard output and the debugger
  // channel); later ones say nothing.
  void AppendLine(const wchar_t* line, std::size_t length);

  // True once the append lock was refused for good (kept by someone else past
  // the wait, or a file system without locks): the rest of the run appends
  // without it, so a run waits for the lock at most once.
  bool lockGivenUp() const { return lockGivenUp_; }

 private:
  // Why the folder or the file was not used: what, the reason, and the
  // system's error code (0 where a check refused it).
  struct Refusal {
    const wchar_t* why = nullptr;
    std::wstring path;
    unsigned long code = 0;
    bool Set(const wchar_t* reason, const std::wstring& what, unsigned long systemCode) {
      why = reason;
      path = what;
      code = systemCode;
      return false;
    }
  };
  bool HoldFolder(Refusal& refusal);
  platform::unique_file OpenInPlace(Refusal& refusal);

  std::wstring logFilePath_;
  std::wstring moduleDir_;
  std::wstring logFolder_;
  std::wstring fileName_;         // with its leading backslash
  std::wstring finalFolderPath_;  // where the folder really lies; found when it is first held
  platform::unique_file folder_;  // the "log" folder, held for the rest of the run once it passed its checks
  bool enabled_ = false;
  bool lockGivenUp_ = false;
  bool refusalTraced_ = false;  // the run's one trace line about a refused folder or file is out
};

// How long, in all, an append waits for the lock before it goes on without.
constexpr unsigned long kAppendLockPatienceMs = 1000;

void LogLineArgs(const wchar_t* format, const FormatArg* args, std::size_t count);

template <typename... Args>
void LogLine(const wchar_t* format, const Args&... args) {
  const FormatArg packed[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  LogLineArgs(format, packed, sizeof...(Args));
}

// Appends one record to the file log only, as LogLine does but without the
// debugger channel: for a trace line that the trace sent there already.
void AppendLogRecordArgs(const wchar_t* format, const FormatArg* args, std::size_t count);

// For tests: the log object made so far, or nullptr before the first LogLine.
const LogFile* CurrentLogFile();

// For tests: forgets the log object, so the next LogLine makes a new one.
void ResetLogFileForTesting();

}  // namespace diag
