// The console trace: one line to the debugger channel and to standard
// output, tagged with "[app](thread id): ". Always on; never fails.
#pragma once

#include <cstddef>
#include <string>

#include "diag/format.h"
#include "diag/line.h"

namespace diag {

// Composes the trace line for thread `threadId` without sending it.
void ComposeTraceLine(Line& line, unsigned long threadId, const wchar_t* format, const FormatArg* args,
                      std::size_t count);

// Whether trace lines also go to standard output (they always go to the
// debugger channel). On until a switch whose standard output is a document
// of its own ("/inventory") turns it off.
void SetTraceToStandardOutput(bool on);

// Whether trace lines also go, as records, to the file log when it is on.
// Off until a switch whose outcome fleets collect from that log ("/deploy",
// "/undeploy") turns it on, so that the log says what the trace says.
void SetTraceToLog(bool on);

// Writes `bytes` to standard output as they stand.
void WriteStandardOutput(const std::string& bytes);

void TraceLineArgs(const wchar_t* format, const FormatArg* args, std::size_t count);

template <typename... Args>
void TraceLine(const wchar_t* format, const Args&... args) {
  const FormatArg packed[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  TraceLineArgs(format, packed, sizeof...(Args));
}

}  // namespace diag
