// The JSON escaper and the unbounded form of the formatter.
#include "diag/json.h"

#include <cwchar>
#include <vector>

namespace diag {
namespace {

constexpr wchar_t kHex[] = L"0123456789abcdef";

void PutUnit(std::wstring& out, unsigned unit) {
  out += L"\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

bool IsHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::wstring JsonString(const std::wstring& text) {
  std::wstring out = L"\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c == L'"' || c == L'\\') {
      out += L'\\';
      out += c;
    } else if (c >= 0x20 && c < 0x7F) {
      out += c;
    } else if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
      PutUnit(out, c);
      PutUnit(out, text[++i]);
    } else {
      PutUnit(out, IsHigh(c) || IsLow(c) ? 0xFFFDu : static_cast<unsigned>(c));
    }
  }
  out += L'"';
  return out;
}

std::wstring JsonStringOrNull(const std::wstring& text) { return text.empty() ? L"null" : JsonString(text); }

void AppendFormatArgs(std::wstring& out, const wchar_t* format, const FormatArg* args, std::size_t count) {
  // Room for the format and every string argument whole: nothing is cut.
  std::size_t room = std::wcslen(format) + 1;
  for (std::size_t i = 0; i < count; ++i) {
    room += args[i].kind() == FormatArg::Kind::kString && args[i].text() != nullptr ? std::wcslen(args[i].text()) : 64;
  }
  std::vector<wchar_t> buffer(room, L'\0');
  LineWriter writer(buffer.data(), buffer.size());
  FormatArgs(writer, format, args, count);
  out.append(writer.c_str(), writer.size());
}

}  // namespace diag
