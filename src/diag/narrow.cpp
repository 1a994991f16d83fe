// Wide-to-byte narrowing for standard output and the log file.
#include "diag/narrow.h"

namespace diag {
namespace {

void AppendUtf8(std::string& out, unsigned long codePoint) {
  if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

const unsigned long kReplacementCharacter = 0xFFFD;

}  // namespace

void AppendNarrowed(std::string& out, const wchar_t* text, std::size_t count, Newline newline) {
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned long unit = static_cast<unsigned long>(text[i]);
    if (unit == L'\n' && newline == Newline::kCrLf) {
      out += "\r\n";
    } else if (unit <= 0xFF) {
      out += static_cast<char>(unit);
    } else if (unit >= 0xD800 && unit <= 0xDBFF) {
      const unsigned long low = i + 1 < count ? static_cast<unsigned long>(text[i + 1]) : 0;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
      } else {
        AppendUtf8(out, kReplacementCharacter);  // a high surrogate alone
      }
    } else if ((unit >= 0xDC00 && unit <= 0xDFFF) || unit > 0x10FFFF) {
      // A low surrogate alone, or (only where wchar_t is 32 bits wide) no Unicode character.
      AppendUtf8(out, kReplacementCharacter);
    } else {
      AppendUtf8(out, unit);
    }
  }
}

std::string Narrow(const wchar_t* text, std::size_t count, Newline newline) {
  std::string out;
  out.reserve(count + 8);
  AppendNarrowed(out, text, count, newline);
  return out;
}

}  // namespace diag
