// A test program that writes log records through the tool's own LogLine, with
// its clock pinned, so that several processes can be made to share one log
// file:  log_writer <tag> <count> <YYYYMMDDhhmmss>
#include <cwchar>
#include <cwctype>

#include "diag/log.h"
#include "platform/calls.h"

namespace {

SYSTEMTIME g_pinned = {};

void WINAPI PinnedLocalTime(LPSYSTEMTIME now) { *now = g_pinned; }

WORD Digits(const wchar_t* text, int from, int count) {
  WORD value = 0;
  for (int i = from; i < from + count; ++i) value = static_cast<WORD>(value * 10 + (text[i] - L'0'));
  return value;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 || std::wcslen(argv[3]) != 14) return 2;
  for (int i = 0; i < 14; ++i) {
    if (!std::iswdigit(argv[3][i])) return 2;
  }
  g_pinned.wYear = Digits(argv[3], 0, 4);
  g_pinned.wMonth = Digits(argv[3], 4, 2);
  g_pinned.wDay = Digits(argv[3], 6, 2);
  g_pinned.wHour = Digits(argv[3], 8, 2);
  g_pinned.wMinute = Digits(argv[3], 10, 2);
  g_pinned.wSecond = Digits(argv[3], 12, 2);
  platform::Sys().GetLocalTime = PinnedLocalTime;

  const int count = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
  for (int i = 1; i <= count; ++i) diag::LogLine(L"%s record %d of %d", argv[1], i, count);
  return 0;
}
