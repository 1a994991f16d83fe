// Composition of one report line: a prefix (the trace's thread tag or the
// log's timestamp), the caller's message and a closing "\n", in a buffer of
// 1024 wide characters. Prefix and message together keep at most 1022
// characters, so the "\n" and the terminator always fit; a longer message is
// cut to fit.
#pragma once

#include <cstddef>

#include "diag/format.h"

namespace diag {

constexpr std::size_t kLineChars = 1024;

struct Line {
  wchar_t text[kLineChars];
  std::size_t length;  // characters before the terminator, "\n" included
};

void ComposeLine(Line& line, const wchar_t* prefixFormat, const FormatArg* prefixArgs, std::size_t prefixCount,
                 const wchar_t* format, const FormatArg* args, std::size_t count);

}  // namespace diag
