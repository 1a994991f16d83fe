// The formatter and LineWriter at their edges, under AddressSanitizer and
// UndefinedBehaviorSanitizer: every buffer is exactly as large as it claims,
// so a write past the capacity or a read past a terminator stops the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>

#include "diag/format.h"
#include "guarded_buffer.h"

namespace {

struct Written {
  std::wstring text;
  std::size_t size = 0;
  bool truncated = false;
};

class FormatEdgeTest : public ::testing::Test {
 protected:
  // Formats into a guarded buffer of exactly `capacity` cells. The format
  // sits in a block of exactly its length, so it too is read no further.
  template <typename... Args>
  Written Write(std::size_t capacity, const std::wstring& format, const Args&... args) {
    native::GuardedBuffer buffer(capacity);
    native::ExactText exactFormat(format);
    diag::LineWriter out(buffer.data(), capacity);
    diag::Format(out, exactFormat.get(), args...);
    EXPECT_TRUE(buffer.GuardIntact()) << "written past a capacity of " << capacity;
    Written written;
    written.size = out.size();
    written.truncated = out.truncated();
    if (capacity == 0) {
      EXPECT_EQ(out.size(), 0u);
      return written;
    }
    EXPECT_LT(out.size(), capacity);
    EXPECT_EQ(buffer.data()[out.size()], L'\0') << "the line is always terminated";
    written.text.assign(buffer.data(), out.size());
    EXPECT_EQ(written.text.find(L'\0'), std::wstring::npos);
    return written;
  }

  // Checks that every smaller capacity keeps a prefix of the whole line: the
  // right one, cut at the right place, never past the buffer.
  template <typename... Args>
  void ExpectEveryCutIsAPrefix(const std::wstring& format, const std::wstring& whole, const Args&... args) {
    for (std::size_t capacity = 1; capacity <= whole.size() + 2; ++capacity) {
      const Written written = Write(capacity, format, args...);
      const std::size_t kept = std::min(capacity - 1, whole.size());
      EXPECT_EQ(written.text, whole.substr(0, kept)) << "capacity " << capacity;
      EXPECT_EQ(written.truncated, capacity <= whole.size()) << "capacity " << capacity;
    }
  }
};

TEST_F(FormatEdgeTest, CapacityZeroTouchesNothing) {
  native::GuardedBuffer buffer(0);
  diag::LineWriter out(buffer.data(), 0);
  diag::Format(out, L"%s|%05d", L"text", -3);
  out.Put(L'x');
  out.Put(L"more");
  EXPECT_TRUE(out.truncated());
  EXPECT_EQ(out.size(), 0u);
  EXPECT_TRUE(buffer.GuardIntact());

  const Written empty = Write(0, L"");
  EXPECT_FALSE(empty.truncated) << "nothing was cut from an empty line";
}

TEST_F(FormatEdgeTest, CapacityOneKeepsOnlyTheTerminator) {
  for (const Written& written : {Write(1, L"a"), Write(1, L"%d", 7), Write(1, L"%5d", 7), Write(1, L"%s", L"x"),
                                 Write(1, L"%%"), Write(1, L"%x")}) {
    EXPECT_EQ(written.text, L"");
    EXPECT_TRUE(written.truncated);
  }
  const Written nothing = Write(1, L"%s", L"");
  EXPECT_EQ(nothing.text, L"");
  EXPECT_FALSE(nothing.truncated);
}

TEST_F(FormatEdgeTest, CapacityTwoKeepsOneCharacter) {
  EXPECT_EQ(Write(2, L"ab").text, L"a");
  EXPECT_EQ(Write(2, L"%d", -7).text, L"-");
  EXPECT_EQ(Write(2, L"%05d", 3).text, L"0");
  EXPECT_EQ(Write(2, L"%5s", L"x").text, L" ");
  EXPECT_EQ(Write(2, L"%lu", L"text").text, L"%") << "a mismatched placeholder is copied, and cut like any text";
  const Written exact = Write(2, L"%d", 9);
  EXPECT_EQ(exact.text, L"9");
  EXPECT_FALSE(exact.truncated);
}

TEST_F(FormatEdgeTest, AnExactFitIsWholeAndOneMoreIsCut) {
  std::wstring text;
  for (std::size_t length = 1; length <= 40; ++length) {
    text += static_cast<wchar_t>(L'a' + length % 26);
    const Written fits = Write(length + 1, L"%s", text.c_str());
    EXPECT_EQ(fits.text, text);
    EXPECT_FALSE(fits.truncated);
    const Written cut = Write(length, L"%s", text.c_str());
    EXPECT_EQ(cut.text, text.substr(0, length - 1));
    EXPECT_TRUE(cut.truncated);
  }
}

TEST_F(FormatEdgeTest, CutsInsidePlaceholdersKeepAPrefix) {
  // Prefix, padding, a sign, a mismatched placeholder copied as written,
  // unknown forms and an escaped percent: the cut may fall inside any of them.
  const std::wstring format = L"[%s](%lu): %08d|%-3d|%x|%ld%%|%5s|%u|%s";
  const std::wstring whole = L"[app](4294967295): -0000042|%-3d|%x|183%|  abc|%u|(null)";
  EXPECT_EQ(
      Write(256, format, L"app", 4294967295u, -42, 183L, L"abc", L"no number", static_cast<const wchar_t*>(nullptr))
          .text,
      whole);
  ExpectEveryCutIsAPrefix(format, whole, L"app", 4294967295u, -42, 183L, L"abc", L"no number",
                          static_cast<const wchar_t*>(nullptr));
}

TEST_F(FormatEdgeTest, UnfinishedPlaceholdersAtTheEndAreNotReadPast) {
  EXPECT_EQ(Write(32, L"%", 1).text, L"%");
  EXPECT_EQ(Write(32, L"ab%", 1).text, L"ab%");
  EXPECT_EQ(Write(32, L"%l", 1).text, L"%l");
  EXPECT_EQ(Write(32, L"%0", 1).text, L"%0");
  EXPECT_EQ(Write(32, L"%05", 1).text, L"%05");
  EXPECT_EQ(Write(32, L"%123", 1).text, L"%123");
  EXPECT_EQ(Write(32, L"%%%", 1).text, L"%%");
  EXPECT_EQ(Write(32, L"%ll", 1).text, L"%ll");
}

TEST_F(FormatEdgeTest, StringArgumentsAreReadUpToTheirTerminatorOnly) {
  const native::ExactText empty(L"");
  const native::ExactText one(L"z");
  const native::ExactText many(std::wstring(100, L'm'));
  EXPECT_EQ(Write(8, L"<%s>", empty.get()).text, L"<>");
  EXPECT_EQ(Write(8, L"%5s", empty.get()).text, L"     ");
  EXPECT_EQ(Write(8, L"%3s|", one.get()).text, L"  z|");
  const Written cut = Write(8, L"%s", many.get());
  EXPECT_EQ(cut.text, std::wstring(7, L'm'));
  EXPECT_EQ(Write(128, L"%s", many.get()).text, std::wstring(100, L'm'));
  EXPECT_EQ(Write(16, L"%8s", static_cast<const wchar_t*>(nullptr)).text, L"  (null)");
}

class SurrogateCutTest : public FormatEdgeTest {};

TEST_F(SurrogateCutTest, APairIsKeptWholeOrDroppedWhole) {
  const std::wstring pair = L"\xD83D\xDE00";  // U+1F600
  const std::wstring expected[] = {L"", L"a", L"ab", L"ab", L"ab" + pair, L"ab" + pair + L"c", L"ab" + pair + L"c"};
  for (std::size_t capacity = 1; capacity <= 7; ++capacity) {
    const std::wstring& want = expected[capacity - 1];
    // The pair from the format itself, from one argument, and split over two.
    EXPECT_EQ(Write(capacity, L"ab" + pair + L"c").text, want) << "capacity " << capacity;
    EXPECT_EQ(Write(capacity, L"ab%sc", pair.c_str()).text, want) << "capacity " << capacity;
    EXPECT_EQ(Write(capacity, L"a%s%s%s", L"b\xD83D", L"\xDE00", L"c").text, want) << "capacity " << capacity;
  }
}

TEST_F(SurrogateCutTest, PairsInARow) {
  const std::wstring two = L"\xD83D\xDE00\xD83D\xDE01";
  EXPECT_EQ(Write(2, two).text, L"");
  EXPECT_EQ(Write(3, two).text, two.substr(0, 2));
  EXPECT_EQ(Write(4, two).text, two.substr(0, 2));
  EXPECT_EQ(Write(5, two).text, two);
  const Written dropped = Write(2, L"\xD83D\xDE00");
  EXPECT_EQ(dropped.size, 0u);
  EXPECT_TRUE(dropped.truncated);
}

TEST_F(SurrogateCutTest, AHighSurrogateWithoutItsLowOneIsLeftAlone) {
  // Nothing after it was cut: it stands as the input had it.
  const Written fits = Write(3, L"a\xD83D");
  EXPECT_EQ(fits.text, L"a\xD83D");
  EXPECT_FALSE(fits.truncated);
  // What was cut is not its low surrogate.
  EXPECT_EQ(Write(3, L"a\xD83Dx").text, L"a\xD83D");
  // Only the one right before the cut belongs to the dropped pair.
  EXPECT_EQ(Write(3, L"\xD83D\xD83D\xDE00").text, L"\xD83D");
  // A lone low surrogate at the cut drops nothing.
  EXPECT_EQ(Write(3, L"ab\xDE00").text, L"ab");
}

class NumberEdgeTest : public FormatEdgeTest {};

TEST_F(NumberEdgeTest, WidthsLargerThanTheLineAreCutNotOverrun) {
  EXPECT_EQ(Write(16, L"%1000d", 5).text, std::wstring(15, L' '));
  EXPECT_EQ(Write(16, L"%01000d", -5).text, L"-" + std::wstring(14, L'0'));
  EXPECT_EQ(Write(16, L"%1000s", L"x").text, std::wstring(15, L' '));
  EXPECT_EQ(Write(16, L"%1000lu|%1000lu", 1u, 2u).text, std::wstring(15, L' '));
}

TEST_F(NumberEdgeTest, HugeWidthsStayBoundedAndNeverWrap) {
  // Wider than any line, yet bounded: no overflow of the width, no wrap to a
  // small number, no endless padding.
  for (const wchar_t* format : {L"%99999999999999999999d", L"%4294967296d", L"%018446744073709551617d"}) {
    const Written written = Write(12000, format, 7);
    EXPECT_FALSE(written.truncated) << format;
    EXPECT_GT(written.size, 1023u) << format;
    ASSERT_FALSE(written.text.empty());
    EXPECT_EQ(written.text.back(), L'7') << format;
  }
}

TEST_F(NumberEdgeTest, ExtremesAtEveryWidthAndCut) {
  const int intMin = INT_MIN;
  EXPECT_EQ(Write(32, L"%d", intMin).text, L"-2147483648");
  EXPECT_EQ(Write(32, L"%u", intMin).text, L"2147483648");
  ExpectEveryCutIsAPrefix(L"%012d|%12d|%1d", L"-02147483648| -2147483648|-2147483648", intMin, intMin, intMin);
  ExpectEveryCutIsAPrefix(L"%d %u %ld %lu", L"2147483647 4294967295 -1 0", INT_MAX, UINT_MAX, -1L, 0u);
  ExpectEveryCutIsAPrefix(L"%011d|%011u", L"-0000000001|04294967295", -1, -1);
}

TEST_F(NumberEdgeTest, IntegersOfOtherWidthsUseTheirLow32Bits) {
  // long is 64 bits here and 32 on Windows: what is printed is the same.
  const std::int64_t beyond32 = (std::int64_t{1} << 32) + 5;
  EXPECT_EQ(Write(32, L"%ld", beyond32).text, L"5");
  EXPECT_EQ(Write(32, L"%ld", INT64_MIN).text, L"0");
  EXPECT_EQ(Write(32, L"%lu", std::int64_t{-1}).text, L"4294967295");
  EXPECT_EQ(Write(32, L"%d", std::uint64_t{0xFFFFFFFF80000000ull}).text, L"-2147483648");
  EXPECT_EQ(Write(32, L"%d|%u", static_cast<std::int16_t>(-2), static_cast<std::uint8_t>(255)).text, L"-2|255");
  EXPECT_EQ(Write(32, L"%u", static_cast<std::int8_t>(-1)).text, L"4294967295");
}

}  // namespace
