// The console trace: compose, then the debugger channel, then standard output.
#include "diag/trace.h"

#include <string>

#include "diag/log.h"
#include "diag/narrow.h"
#include "platform/calls.h"

namespace diag {
namespace {

bool g_toStandardOutput = true;
bool g_toLog = false;
// A line that the log traces about itself (a refused file) goes no further.
thread_local bool t_inLog = false;

}  // namespace

void SetTraceToStandardOutput(bool on) { g_toStandardOutput = on; }
void SetTraceToLog(bool on) { g_toLog = on; }

// Writes all of `bytes` at once. Each trace line leaves the process at once,
// so nothing traced is lost if the process is ended from outside.
void WriteStandardOutput(const std::string& bytes) {
  HANDLE out = platform::Sys().GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(left);
    if (!platform::Sys().WriteFile(out, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
}

void ComposeTraceLine(Line& line, unsigned long threadId, const wchar_t* format, const FormatArg* args,
                      std::size_t count) {
  const FormatArg prefixArgs[] = {FormatArg(L"app"), FormatArg(threadId)};
  ComposeLine(line, L"[%s](%lu): ", prefixArgs, 2, format, args, count);
}

void TraceLineArgs(const wchar_t* format, const FormatArg* args, std::size_t count) {
  Line line;
  ComposeTraceLine(line, platform::Sys().GetCurrentThreadId(), format, args, count);
  platform::Sys().OutputDebugStringW(line.text);
  if (g_toStandardOutput) WriteStandardOutput(Narrow(line.text, line.length, Newline::kCrLf));
  if (g_toLog && !t_inLog) {
    struct Entered {  // left again even when the append throws
      Entered() { t_inLog = true; }
      ~Entered() { t_inLog = false; }
    } entered;
    AppendLogRecordArgs(format, args, count);
  }
}

}  // namespace diag
