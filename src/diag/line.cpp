// Report line composition shared by the trace and the log.
#include "diag/line.h"

namespace diag {

void ComposeLine(Line& line, const wchar_t* prefixFormat, const FormatArg* prefixArgs, std::size_t prefixCount,
                 const wchar_t* format, const FormatArg* args, std::size_t count) {
  for (wchar_t& c : line.text) c = L'\0';
  // One character short of the buffer, so the closing "\n" always has room.
  LineWriter writer(line.text, kLineChars - 1);
  FormatArgs(writer, prefixFormat, prefixArgs, prefixCount);
  FormatArgs(writer, format, args, count);
  std::size_t length = writer.size();
  line.text[length++] = L'\n';
  line.text[length] = L'\0';
  line.length = length;
}

}  // namespace diag
