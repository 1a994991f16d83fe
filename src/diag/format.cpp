// The formatter: placeholder parsing, number rendering and cut-to-fit output.
#include "diag/format.h"

namespace diag {
namespace {

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
// The C0 and C1 controls (U+0085 is NEL) and the Unicode line and paragraph
// separators: every character a reader may take for a line break.
bool IsControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

struct Placeholder {
  bool zeroPad = false;
  std::size_t width = 0;
  wchar_t conversion = 0;
};

// Renders `magnitude` in decimal, right to left, into `digits`; returns the count.
std::size_t RenderDecimal(std::uint32_t magnitude, wchar_t (&digits)[10]) {
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  return count;
}

void PutPadding(LineWriter& out, wchar_t fill, std::size_t count) {
  for (std::size_t i = 0; i < count && !out.truncated(); ++i) out.Put(fill);
}

void PutNumber(LineWriter& out, const Placeholder& placeholder, std::uint32_t bits, bool asSigned) {
  bool negative = false;
  std::uint32_t magnitude = bits;
  if (asSigned && (bits & 0x80000000u) != 0) {
    negative = true;
    magnitude = 0u - bits;  // two's complement magnitude, also for INT_MIN
  }
  wchar_t digits[10];
  const std::size_t count = RenderDecimal(magnitude, digits);
  const std::size_t length = count + (negative ? 1 : 0);
  const std::size_t padding = placeholder.width > length ? placeholder.width - length : 0;
  if (placeholder.zeroPad) {
    if (negative) out.Put(L'-');
    PutPadding(out, L'0', padding);
  } else {
    PutPadding(out, L' ', padding);
    if (negative) out.Put(L'-');
  }
  for (std::size_t i = count; i > 0; --i) out.Put(digits[i - 1]);
}

void PutString(LineWriter& out, const Placeholder& placeholder, const wchar_t* text) {
  if (text == nullptr) text = L"(null)";
  std::size_t length = 0;
  while (text[length] != L'\0') ++length;
  if (placeholder.width > length) PutPadding(out, L' ', placeholder.width - length);
  // A value comes from outside (a device can report its own description), so
  // it must not break the line it stands in or forge another: every control
  // character in it goes out as '?'. The format's own "\n" and "\t" stay.
  for (std::size_t i = 0; i < length && !out.truncated(); ++i) {
    out.Put(IsControl(text[i]) ? L'?' : text[i]);
  }
}

// Parses the placeholder that starts after a '%' at `p`. On success returns
// the position after it; on an unknown form returns nullptr.
const wchar_t* ParsePlaceholder(const wchar_t* p, Placeholder& placeholder) {
  if (*p == L'0') {
    placeholder.zeroPad = true;
    ++p;
  }
  while (*p >= L'0' && *p <= L'9') {
    if (placeholder.width < 1000) placeholder.width = placeholder.width * 10 + static_cast<std::size_t>(*p - L'0');
    ++p;
  }
  if (*p == L'l') ++p;
  switch (*p) {
    case L's':
    case L'd':
    case L'u':
      placeholder.conversion = *p;
      return p + 1;
    default:
      return nullptr;
  }
}

}  // namespace

LineWriter::LineWriter(wchar_t* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {
  if (capacity_ > 0) buffer_[0] = L'\0';
}

void LineWriter::Put(wchar_t c) {
  if (size_ + 1 >= capacity_) {
    // Never leave half a surrogate pair behind at the cut.
    if (!truncated_ && size_ > 0 && IsHighSurrogate(buffer_[size_ - 1]) && IsLowSurrogate(c)) {
      buffer_[--size_] = L'\0';
    }
    truncated_ = true;
    return;
  }
  buffer_[size_++] = c;
  buffer_[size_] = L'\0';
}

void LineWriter::Put(const wchar_t* text) {
  if (text == nullptr) return;
  for (; *text != L'\0' && !truncated_; ++text) Put(*text);
}

void LineWriter::Put(const wchar_t* text, std::size_t count) {
  for (std::size_t i = 0; i < count && !truncated_; ++i) Put(text[i]);
}

void FormatArgs(LineWriter& out, const wchar_t* format, const FormatArg* args, std::size_t count) {
  if (format == nullptr) return;
  std::size_t next = 0;
  const wchar_t* p = format;
  while (*p != L'\0' && !out.truncated()) {
    if (*p != L'%') {
      out.Put(*p++);
      continue;
    }
    if (p[1] == L'%') {
      out.Put(L'%');
      p += 2;
      continue;
    }
    Placeholder placeholder;
    const wchar_t* end = ParsePlaceholder(p + 1, placeholder);
    if (end == nullptr) {  // not ours: the '%' stands as it is
      out.Put(*p++);
      continue;
    }
    const FormatArg* arg = next < count ? &args[next] : nullptr;
    const bool wantsText = placeholder.conversion == L's';
    const bool fits = arg != nullptr && ((arg->kind() == FormatArg::Kind::kString) == wantsText);
    if (!fits) {
      out.Put(p, static_cast<std::size_t>(end - p));
    } else if (wantsText) {
      PutString(out, placeholder, arg->text());
    } else {
      PutNumber(out, placeholder, arg->bits(), placeholder.conversion == L'd');
    }
    if (arg != nullptr) ++next;
    p = end;
  }
}

}  // namespace diag
