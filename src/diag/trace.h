// The console trace: one line to the debugger channel and to standard
// output, tagged with "[app](thread id): ". Always on; never fails.
#pragma once

#include <cstddef>

#include "diag/format.h"
#include "diag/line.h"

namespace diag {

// Composes the trace line for thread `threadId` without sending it.
void ComposeTraceLine(Line& line, unsigned long threadId, const wchar_t* format, const FormatArg* args,
                      std::size_t count);

void TraceLineArgs(const wchar_t* format, const FormatArg* args, std::size_t count);

template <typename... Args>
void TraceLine(const wchar_t* format, const Args&... args) {
  const FormatArg packed[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  TraceLineArgs(format, packed, sizeof...(Args));
}

}  // namespace diag
