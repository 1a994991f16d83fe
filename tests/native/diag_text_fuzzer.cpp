// libFuzzer target for the tool's text code. Each input picks one of four
// checks by its first byte:
//   0  formatting into a LineWriter of a random capacity,
//   1  composing a report line (prefix, message, newline),
//   2  narrowing code units to bytes,
//   3  folding A to Z.
// Every output is compared with a reference model written here from the
// rules alone, plainly and without regard to speed. Buffers are guarded by
// poisoned canary cells, so a write past a capacity is caught at once.
//
// Input encoding, so that seeds can be written by hand:
//   text       bytes up to a 0 byte (or the end); 0x01-0x7F and 0x90-0xFE
//              stand for themselves, 0x80-0x8D for the special code units
//              in kSpecialUnits, 0x8E n repeats the last unit n times, 0x8F n
//              repeats it 16 * n times, 0xFF lo hi is the unit hi:lo.
//   arguments  a count byte (mod 9), then per argument a kind byte (mod 8)
//              and its value: a text, nothing, or 1, 2, 4 or 8 bytes LE.
//   0  capacity (u16 LE), format text, arguments
//   1  prefix format text, prefix arguments, message format text, arguments
//   2  newline mode byte (bit 0: CR LF), then code units as u16 LE pairs
//   3  two texts
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "diag/format.h"
#include "diag/line.h"
#include "diag/narrow.h"
#include "diag/text.h"
#include "guarded_buffer.h"

#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::cerr << __FILE__ << ":" << __LINE__ << ": check failed: " #condition "\n"; \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace {

// ---------------------------------------------------------------------------
// Reading the input.

const wchar_t kSpecialUnits[] = {
    0xD800, 0xDBFF, 0xDC00, 0xDFFF,  // the ends of both surrogate ranges
    0xD83D, 0xDE00,                  // U+1F600 as a pair
    0xFFFF, 0xFFFE, 0xFEFF, 0xFFFD,  // non-characters, BOM, replacement
    0x0100, 0x07FF, 0x0800, 0x6587,  // UTF-8 length steps, a CJK character
};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

  bool empty() const { return left_ == 0; }

  std::uint8_t Byte() {
    if (left_ == 0) return 0;
    --left_;
    return *data_++;
  }

  std::uint64_t Bytes(std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value |= static_cast<std::uint64_t>(Byte()) << (8 * i);
    return value;
  }

  std::wstring Text() {
    std::wstring text;
    while (!empty()) {
      const std::uint8_t b = Byte();
      if (b == 0) break;
      if (b >= 0x80 && b <= 0x8D) {
        text += kSpecialUnits[b - 0x80];
      } else if (b == 0x8E || b == 0x8F) {
        const std::size_t times = Byte() * (b == 0x8F ? 16u : 1u);
        if (!text.empty()) text.append(times, text.back());
      } else if (b == 0xFF) {
        const wchar_t unit = static_cast<wchar_t>(Bytes(2));
        if (unit != 0) text += unit;
      } else {
        text += static_cast<wchar_t>(b);
      }
    }
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::size_t left_;
};

// ---------------------------------------------------------------------------
// Arguments, held both as the formatter gets them and as the model sees them.

struct ModelArg {
  bool isText = false;
  bool isNull = false;
  std::wstring text;
  std::uint64_t rawBits = 0;  // the value, sign-extended to 64 bits
};

class Arguments {
 public:
  void Read(Input& input) {
    const std::size_t count = input.Byte() % 9;
    for (std::size_t i = 0; i < count; ++i) Add(input);
  }

  const diag::FormatArg* packed() const { return packed_.empty() ? nullptr : packed_.data(); }
  std::size_t count() const { return packed_.size(); }
  const std::vector<ModelArg>& model() const { return model_; }

 private:
  void Add(Input& input) {
    ModelArg arg;
    switch (input.Byte() % 8) {
      case 0: {  // a C string in a block of exactly its size
        arg.isText = true;
        arg.text = input.Text();
        texts_.emplace_back(new native::ExactText(arg.text));
        packed_.emplace_back(static_cast<const wchar_t*>(texts_.back()->get()));
        break;
      }
      case 1: {  // a std::wstring
        arg.isText = true;
        arg.text = input.Text();
        strings_.emplace_back(new std::wstring(arg.text));
        packed_.emplace_back(*strings_.back());
        break;
      }
      case 2:
        arg.isText = true;
        arg.isNull = true;
        packed_.emplace_back(static_cast<const wchar_t*>(nullptr));
        break;
      case 3: {
        const auto value = static_cast<std::int32_t>(input.Bytes(4));
        arg.rawBits = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        packed_.emplace_back(value);
        break;
      }
      case 4: {
        const auto value = static_cast<std::uint32_t>(input.Bytes(4));
        arg.rawBits = value;
        packed_.emplace_back(value);
        break;
      }
      case 5: {
        const auto value = static_cast<std::int64_t>(input.Bytes(8));
        arg.rawBits = static_cast<std::uint64_t>(value);
        packed_.emplace_back(value);
        break;
      }
      case 6: {
        const auto value = static_cast<std::uint16_t>(input.Bytes(2));
        arg.rawBits = value;
        packed_.emplace_back(value);
        break;
      }
      default: {
        const auto value = static_cast<std::int8_t>(input.Byte());
        arg.rawBits = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        packed_.emplace_back(value);
        break;
      }
    }
    model_.push_back(arg);
  }

  std::vector<std::unique_ptr<native::ExactText>> texts_;
  std::vector<std::unique_ptr<std::wstring>> strings_;
  std::vector<diag::FormatArg> packed_;
  std::vector<ModelArg> model_;
};

// ---------------------------------------------------------------------------
// The reference model of the formatter.

bool IsHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// What a number placeholder prints: the 32-bit pattern of the value, read as
// signed for %d and %ld and as unsigned for %u and %lu.
std::wstring ModelNumber(std::uint64_t rawBits, wchar_t conversion) {
  const std::uint32_t pattern = static_cast<std::uint32_t>(rawBits & 0xFFFFFFFFu);
  if (conversion == L'u') return std::to_wstring(pattern);
  const std::int64_t value =
      pattern >= 0x80000000u ? static_cast<std::int64_t>(pattern) - 0x100000000LL : static_cast<std::int64_t>(pattern);
  return std::to_wstring(value);
}

// The whole expansion, with no capacity. A placeholder is '%', an optional
// '0', decimal width digits (taken while the width so far is below 1000, so
// an absurd width is capped rather than overflowed), an optional 'l', then
// 's', 'd' or 'u'. "%%" is one '%'. Anything else after '%' leaves the '%'
// as written. Each placeholder takes the next argument; one that is missing
// or of the wrong kind (text for a number, a number for text) is copied as
// written, and a wrong one is still used up.
std::wstring ModelExpand(const std::wstring& format, const std::vector<ModelArg>& args) {
  std::wstring out;
  std::size_t nextArg = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] != L'%') {
      out += format[i++];
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == L'%') {
      out += L'%';
      i += 2;
      continue;
    }
    std::size_t j = i + 1;
    bool zeroPad = false;
    std::size_t width = 0;
    if (j < format.size() && format[j] == L'0') {
      zeroPad = true;
      ++j;
    }
    while (j < format.size() && IsDigit(format[j])) {
      if (width < 1000) width = width * 10 + static_cast<std::size_t>(format[j] - L'0');
      ++j;
    }
    if (j < format.size() && format[j] == L'l') ++j;
    if (j >= format.size() || (format[j] != L's' && format[j] != L'd' && format[j] != L'u')) {
      out += L'%';
      ++i;
      continue;
    }
    const wchar_t conversion = format[j];
    const std::wstring asWritten = format.substr(i, j + 1 - i);
    i = j + 1;

    const ModelArg* arg = nextArg < args.size() ? &args[nextArg++] : nullptr;
    if (arg == nullptr || arg->isText != (conversion == L's')) {
      out += asWritten;
      continue;
    }
    if (conversion == L's') {
      std::wstring text = arg->isNull ? L"(null)" : arg->text;
      for (wchar_t& c : text) {
        // A value never carries a control character or a line separator out.
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029) c = L'?';
      }
      if (width > text.size()) out += std::wstring(width - text.size(), L' ');
      out += text;
      continue;
    }
    const std::wstring number = ModelNumber(arg->rawBits, conversion);
    const std::size_t padding = width > number.size() ? width - number.size() : 0;
    if (zeroPad && number[0] == L'-') {
      out += L'-' + std::wstring(padding, L'0') + number.substr(1);
    } else {
      out += std::wstring(padding, zeroPad ? L'0' : L' ') + number;
    }
  }
  return out;
}

struct ModelCut {
  std::wstring text;
  bool truncated = false;
};

// Cut to a line of `capacity` cells, terminator included: at most
// capacity - 1 characters, and a high surrogate whose low surrogate falls
// behind the cut goes with it.
ModelCut ModelFit(const std::wstring& whole, std::size_t capacity) {
  ModelCut cut;
  if (capacity == 0) {
    cut.truncated = !whole.empty();
    return cut;
  }
  const std::size_t room = capacity - 1;
  if (whole.size() <= room) {
    cut.text = whole;
    return cut;
  }
  std::size_t keep = room;
  if (keep > 0 && IsHigh(whole[keep - 1]) && IsLow(whole[keep])) --keep;
  cut.text = whole.substr(0, keep);
  cut.truncated = true;
  return cut;
}

// ---------------------------------------------------------------------------
// The reference model of narrowing: decode to code points, then encode.

std::string ModelNarrow(const std::wstring& units, bool crLf) {
  std::vector<std::uint32_t> codePoints;  // with '\n' kept as it is
  for (std::size_t i = 0; i < units.size(); ++i) {
    const std::uint32_t unit = static_cast<std::uint32_t>(units[i]);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      codePoints.push_back(0x10000 + (unit - 0xD800) * 0x400 + (static_cast<std::uint32_t>(units[i + 1]) - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit < 0xE000) {
      codePoints.push_back(0xFFFD);
    } else {
      codePoints.push_back(unit);
    }
  }
  std::string bytes;
  for (std::uint32_t codePoint : codePoints) {
    if (codePoint == '\n' && crLf) {
      bytes += "\r\n";
      continue;
    }
    if (codePoint < 0x100) {  // Latin: the byte of the same value
      bytes += static_cast<char>(codePoint);
      continue;
    }
    const int length = codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
    const unsigned lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    char sequence[4];
    std::uint32_t rest = codePoint;
    for (int k = length - 1; k > 0; --k) {
      sequence[k] = static_cast<char>(0x80 | (rest & 0x3F));
      rest >>= 6;
    }
    sequence[0] = static_cast<char>(lead[length] | rest);
    bytes.append(sequence, static_cast<std::size_t>(length));
  }
  return bytes;
}

// ---------------------------------------------------------------------------
// The four checks.

void CheckFormat(Input& input) {
  const std::uint16_t wanted = static_cast<std::uint16_t>(input.Bytes(2));
  // Mostly small lines, where every cell is an edge; now and then a big one.
  const std::size_t capacity = (wanted & 0x8000) != 0 ? (wanted & 0x3FFF) : wanted % 48;
  const std::wstring format = input.Text();
  Arguments args;
  args.Read(input);

  native::GuardedBuffer buffer(capacity);
  const native::ExactText exactFormat(format);
  diag::LineWriter out(buffer.data(), capacity);
  diag::FormatArgs(out, exactFormat.get(), args.packed(), args.count());
  FUZZ_CHECK(buffer.GuardIntact());

  const ModelCut expected = ModelFit(ModelExpand(format, args.model()), capacity);
  FUZZ_CHECK(out.truncated() == expected.truncated);
  FUZZ_CHECK(out.size() == expected.text.size());
  if (capacity == 0) {
    FUZZ_CHECK(buffer.Untouched(capacity));
    return;
  }
  FUZZ_CHECK(out.size() < capacity);
  FUZZ_CHECK(buffer.data()[out.size()] == L'\0');
  FUZZ_CHECK(std::wstring(buffer.data(), out.size()) == expected.text);
  FUZZ_CHECK(out.c_str() == buffer.data());
}

void CheckComposeLine(Input& input) {
  const std::wstring prefix = input.Text();
  Arguments prefixArgs;
  prefixArgs.Read(input);
  const std::wstring message = input.Text();
  Arguments args;
  args.Read(input);

  const native::ExactText exactPrefix(prefix);
  const native::ExactText exactMessage(message);
  std::unique_ptr<diag::Line> line(new diag::Line);
  diag::ComposeLine(*line, exactPrefix.get(), prefixArgs.packed(), prefixArgs.count(), exactMessage.get(),
                    args.packed(), args.count());

  // At most 1023 characters and the terminator, ending with the newline.
  FUZZ_CHECK(line->length >= 1 && line->length <= diag::kLineChars - 1);
  FUZZ_CHECK(line->text[line->length - 1] == L'\n');
  FUZZ_CHECK(line->text[line->length] == L'\0');

  const std::wstring whole = ModelExpand(prefix, prefixArgs.model()) + ModelExpand(message, args.model());
  const std::wstring expected = ModelFit(whole, diag::kLineChars - 1).text + L"\n";
  FUZZ_CHECK(std::wstring(line->text, line->length) == expected);
  for (std::size_t i = line->length; i < diag::kLineChars; ++i) FUZZ_CHECK(line->text[i] == L'\0');
}

void CheckNarrow(Input& input) {
  const bool crLf = (input.Byte() & 1) != 0;
  std::wstring units;
  while (!input.empty()) units += static_cast<wchar_t>(input.Bytes(2));

  const native::ExactUnits exact(units);
  const diag::Newline newline = crLf ? diag::Newline::kCrLf : diag::Newline::kAsIs;
  const std::string bytes = diag::Narrow(exact.get(), exact.size(), newline);
  FUZZ_CHECK(bytes == ModelNarrow(units, crLf));

  // The same facts counted directly: a line feed stays one line feed (CR LF
  // in text mode), and a line of Latin units is one byte per unit.
  std::size_t lineFeeds = 0;
  bool latinOnly = true;
  for (wchar_t unit : units) {
    lineFeeds += unit == L'\n' ? 1 : 0;
    latinOnly = latinOnly && static_cast<std::uint32_t>(unit) <= 0xFF;
  }
  std::size_t lineFeedBytes = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\n') continue;
    ++lineFeedBytes;
    if (crLf) FUZZ_CHECK(i > 0 && bytes[i - 1] == '\r');
  }
  FUZZ_CHECK(lineFeedBytes == lineFeeds);
  if (latinOnly) FUZZ_CHECK(bytes.size() == units.size() + (crLf ? lineFeeds : 0));

  std::string appended = "kept";
  diag::AppendNarrowed(appended, exact.get(), exact.size(), newline);
  FUZZ_CHECK(appended == "kept" + bytes);
}

std::wstring ModelLower(const std::wstring& text) {
  const std::wstring upper = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const std::wstring lower = L"abcdefghijklmnopqrstuvwxyz";
  std::wstring out;
  for (wchar_t c : text) {
    const std::size_t letter = upper.find(c);
    out += letter == std::wstring::npos ? c : lower[letter];
  }
  return out;
}

void CheckFolding(Input& input) {
  const std::wstring a = input.Text();
  const std::wstring b = input.Text();
  const native::ExactText exactA(a);
  const native::ExactText exactB(b);
  const bool equal = ModelLower(a) == ModelLower(b);
  FUZZ_CHECK(diag::EqualsFoldingAscii(exactA.get(), exactB.get()) == equal);
  FUZZ_CHECK(diag::EqualsFoldingAscii(exactB.get(), exactA.get()) == equal);
  diag::LowerAsciiInPlace(exactA.get());
  FUZZ_CHECK(std::wstring(exactA.get()) == ModelLower(a));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  switch (input.Byte() % 4) {
    case 0:
      CheckFormat(input);
      break;
    case 1:
      CheckComposeLine(input);
      break;
    case 2:
      CheckNarrow(input);
      break;
    default:
      CheckFolding(input);
      break;
  }
  return 0;
}
