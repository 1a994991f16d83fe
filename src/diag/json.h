// JSON text for "/inventory": strings escaped as JSON requires, and pieces
// composed with the tool's own formatter.
#pragma once

#include <string>

#include "diag/format.h"

namespace diag {

// `text` as a JSON string, quotes included, in plain ASCII: quote, backslash
// and control characters escaped, every other character outside ASCII as
// \uXXXX (a pair of them for a character beyond the Basic Multilingual
// Plane), and a surrogate without its partner, which no UTF-8 can carry, as
// \ufffd. Whatever a device or a file says, the document stays valid UTF-8.
std::wstring JsonString(const std::wstring& text);

// JSON null for empty text, else the string.
std::wstring JsonStringOrNull(const std::wstring& text);

// Appends `format` expanded with `args`; never cut, whatever their length.
void AppendFormatArgs(std::wstring& out, const wchar_t* format, const FormatArg* args, std::size_t count);

template <typename... Args>
void AppendFormat(std::wstring& out, const wchar_t* format, const Args&... args) {
  const FormatArg packed[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  AppendFormatArgs(out, format, packed, sizeof...(Args));
}

}  // namespace diag
