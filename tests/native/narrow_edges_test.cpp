// Narrowing of every UTF-16 code unit and of surrogates at the end of the
// count, under the sanitizers: the units sit in a block of exactly their
// count, so a look past the last one stops the test.
#include <gtest/gtest.h>

#include <string>

#include "diag/narrow.h"
#include "guarded_buffer.h"

namespace {

class NarrowEdgeTest : public ::testing::Test {
 protected:
  static std::string Narrow(const std::wstring& units, diag::Newline newline = diag::Newline::kAsIs) {
    const native::ExactUnits exact(units);
    return diag::Narrow(exact.get(), exact.size(), newline);
  }

  // Decodes one UTF-8 sequence of 2 or 3 bytes; 0 when it is not well formed.
  static unsigned long DecodeUtf8(const std::string& bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() == 2 && (byte(0) & 0xE0) == 0xC0 && (byte(1) & 0xC0) == 0x80) {
      return ((byte(0) & 0x1Fu) << 6) | (byte(1) & 0x3Fu);
    }
    if (bytes.size() == 3 && (byte(0) & 0xF0) == 0xE0 && (byte(1) & 0xC0) == 0x80 && (byte(2) & 0xC0) == 0x80) {
      return ((byte(0) & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
    }
    return 0;
  }
};

const char kReplacement[] = "\xEF\xBF\xBD";

TEST_F(NarrowEdgeTest, EveryCodeUnitAlone) {
  for (unsigned long unit = 0; unit <= 0xFFFF; ++unit) {
    const std::wstring one(1, static_cast<wchar_t>(unit));
    const std::string bytes = Narrow(one);
    if (unit <= 0xFF) {
      ASSERT_EQ(bytes, std::string(1, static_cast<char>(unit))) << std::hex << unit;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      ASSERT_EQ(bytes, kReplacement) << std::hex << unit << ": a lone surrogate";
    } else {
      ASSERT_EQ(bytes.size(), unit < 0x800 ? 2u : 3u) << std::hex << unit;
      ASSERT_EQ(DecodeUtf8(bytes), unit) << std::hex << unit;
    }
  }
}

TEST_F(NarrowEdgeTest, LatinUnitsAndLineFeedsInCrLfMode) {
  std::wstring all;
  std::string expected;
  for (unsigned unit = 0; unit <= 0xFF; ++unit) {
    all += static_cast<wchar_t>(unit);
    expected += unit == '\n' ? std::string("\r\n") : std::string(1, static_cast<char>(unit));
  }
  EXPECT_EQ(Narrow(all, diag::Newline::kCrLf), expected);
  EXPECT_EQ(Narrow(std::wstring(10000, L'\n'), diag::Newline::kCrLf).size(), 20000u);
  EXPECT_EQ(Narrow(std::wstring(10000, L'\n'), diag::Newline::kAsIs), std::string(10000, '\n'));
}

TEST_F(NarrowEdgeTest, AHighSurrogateLastInTheCountDoesNotLookPastIt) {
  EXPECT_EQ(Narrow(L"a\xD83D"), std::string("a") + kReplacement);
  EXPECT_EQ(Narrow(L"\xDBFF"), kReplacement);
  // The low surrogate that follows in memory is not part of the count.
  const std::wstring three = L"a\xD83D\xDE00";
  EXPECT_EQ(diag::Narrow(three.data(), 2, diag::Newline::kAsIs), std::string("a") + kReplacement);
}

TEST_F(NarrowEdgeTest, SurrogatesInEveryOrder) {
  EXPECT_EQ(Narrow(L"\xD800\xDC00"), "\xF0\x90\x80\x80");  // U+10000, the first pair
  EXPECT_EQ(Narrow(L"\xDBFF\xDFFF"), "\xF4\x8F\xBF\xBF");  // U+10FFFF, the last pair
  EXPECT_EQ(Narrow(L"\xDE00\xD83D"), std::string(kReplacement) + kReplacement);
  EXPECT_EQ(Narrow(L"\xD83D\xD83D\xDE00"), std::string(kReplacement) + "\xF0\x9F\x98\x80");
  EXPECT_EQ(Narrow(L"\xD83D\n", diag::Newline::kCrLf), std::string(kReplacement) + "\r\n");
}

TEST_F(NarrowEdgeTest, NothingToNarrowAndAppending) {
  EXPECT_EQ(diag::Narrow(nullptr, 0, diag::Newline::kCrLf), "");
  EXPECT_EQ(Narrow(L""), "");
  std::string out = "kept|";
  const native::ExactUnits units(L"\x6587\n");
  diag::AppendNarrowed(out, units.get(), units.size(), diag::Newline::kCrLf);
  EXPECT_EQ(out, "kept|\xE6\x96\x87\r\n");
}

}  // namespace
