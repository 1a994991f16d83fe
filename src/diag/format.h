// The tool's own small, type-safe formatter. It knows only the placeholders
// the tool's messages use: %s (a wide string), %d and %ld (signed 32-bit),
// %u and %lu (unsigned 32-bit), an optional zero flag and width (%04d), and %%.
// Argument values are data: never read as formats, and copied as they stand
// except that a control character (U+0000 to U+001F, U+007F to U+009F) or a
// line or paragraph separator (U+2028, U+2029) in a %s value is written as
// '?', so a value can neither break its line nor forge one.
// Output goes into a fixed-capacity line and is cut to fit, never overrun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace diag {

// One argument, captured with its kind so that a placeholder can check it.
class FormatArg {
 public:
  enum class Kind { kString, kSigned, kUnsigned };

  FormatArg(const wchar_t* text) : text_(text), kind_(Kind::kString) {}
  FormatArg(const std::wstring& text) : text_(text.c_str()), kind_(Kind::kString) {}
  template <typename T, typename std::enable_if<std::is_integral<T>::value, int>::type = 0>
  FormatArg(T value)
      : kind_(std::is_signed<T>::value ? Kind::kSigned : Kind::kUnsigned), bits_(static_cast<std::uint32_t>(value)) {}

  Kind kind() const { return kind_; }
  const wchar_t* text() const { return text_; }
  // The value's low 32 bits, as the Windows 32-bit integer types carry it.
  std::uint32_t bits() const { return bits_; }

 private:
  // The pointer first: 16 bytes, not 24, for each argument of each line.
  const wchar_t* text_ = nullptr;
  Kind kind_;
  std::uint32_t bits_ = 0;
};

// A fixed-capacity, always null-terminated wide line. `capacity` counts the
// terminator, so at most capacity - 1 characters are kept. What does not fit
// is dropped (and a surrogate pair is never split), and the writer remembers
// that it cut something.
class LineWriter {
 public:
  LineWriter(wchar_t* buffer, std::size_t capacity);

  void Put(wchar_t c);
  void Put(const wchar_t* text);
  void Put(const wchar_t* text, std::size_t count);

  std::size_t size() const { return size_; }
  bool truncated() const { return truncated_; }
  const wchar_t* c_str() const { return buffer_; }

 private:
  wchar_t* buffer_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  bool truncated_ = false;
};

// Expands `format` with `args` into `out`. A placeholder whose argument is
// missing or of the wrong kind, or that the formatter does not know, is
// copied as it stands; surplus arguments are ignored.
void FormatArgs(LineWriter& out, const wchar_t* format, const FormatArg* args, std::size_t count);

template <typename... Args>
void Format(LineWriter& out, const wchar_t* format, const Args&... args) {
  const FormatArg packed[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  FormatArgs(out, format, packed, sizeof...(Args));
}

}  // namespace diag
