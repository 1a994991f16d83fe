// The formatter, line composition and narrowing.
#include "diag/format.h"

#include <gtest/gtest.h>

#include <string>

#include "diag/line.h"
#include "diag/narrow.h"

namespace {

template <typename... Args>
std::wstring Fmt(std::size_t capacity, const wchar_t* format, const Args&... args) {
  std::wstring buffer(capacity, L'#');
  diag::LineWriter out(&buffer[0], capacity);
  diag::Format(out, format, args...);
  EXPECT_EQ(buffer[out.size()], L'\0') << "the line is always terminated";
  return std::wstring(buffer.c_str());
}

template <typename... Args>
std::wstring Fmt(const wchar_t* format, const Args&... args) {
  return Fmt(256, format, args...);
}

TEST(FormatTest, Placeholders) {
  EXPECT_EQ(Fmt(L"plain text"), L"plain text");
  EXPECT_EQ(Fmt(L"[%s](%lu): ", L"app", 948ul), L"[app](948): ");
  EXPECT_EQ(Fmt(L"%d|%ld|%lu|%u", -5, 183L, 4294967295ul, 7u), L"-5|183|4294967295|7");
  EXPECT_EQ(Fmt(L"100%%"), L"100%");
  EXPECT_EQ(Fmt(L"%d", 0), L"0");
}

TEST(FormatTest, Extremes) {
  EXPECT_EQ(Fmt(L"%d", -2147483647 - 1), L"-2147483648");
  EXPECT_EQ(Fmt(L"%d", 2147483647), L"2147483647");
  // An unsigned status with the high bit set, printed as %d, shows its 32-bit pattern signed.
  EXPECT_EQ(Fmt(L"%d", 0xE0000302u), L"-536870142");
  EXPECT_EQ(Fmt(L"%lu", 0xE0000302u), L"3758097154");
  EXPECT_EQ(Fmt(L"%lu", -1), L"4294967295");
}

TEST(FormatTest, ZeroPaddedWidths) {
  EXPECT_EQ(Fmt(L"%04d-%02d-%02d %02d:%02d:%02d", 2026, 12, 6, 7, 27, 5), L"2026-12-06 07:27:05");
  EXPECT_EQ(Fmt(L"%04d", 7), L"0007");
  EXPECT_EQ(Fmt(L"%04d", 123456), L"123456");
  EXPECT_EQ(Fmt(L"%04d", -7), L"-007");
  EXPECT_EQ(Fmt(L"%4d|%3s", 7, L"a"), L"   7|  a");
}

TEST(FormatTest, ArgumentValuesAreData) {
  EXPECT_EQ(Fmt(L"= %s", L"100% %s %d %n"), L"= 100% %s %d %n");
  EXPECT_EQ(Fmt(L"%s%s", L"%", L"%%"), L"%%%");
  const std::wstring owned = L"USB\\VID_05AC&PID_12A8\\%s";
  EXPECT_EQ(Fmt(L"<%s>", owned), L"<USB\\VID_05AC&PID_12A8\\%s>");
}

TEST(FormatTest, ControlCharactersInValuesCannotForgeALine) {
  // A device's own description, made to look like a line break and a trace line.
  EXPECT_EQ(Fmt(L"%d appdev DeviceDesc \t = %s\n", 1, L"Evil\r\n[app](1): 9\tX"),
            L"1 appdev DeviceDesc \t = Evil??[app](1): 9?X\n");
  // Every C0 and C1 control, and the Unicode line and paragraph separators,
  // between their neighbours that stay.
  std::wstring every;
  for (wchar_t c = 1; c < 0x20; ++c) every += c;
  every += L"\x7F ~";
  for (wchar_t c = 0x80; c < 0xA0; ++c) every += c;
  every += L"\x00A0\x00E9\x2027\x2028\x2029\x202A\x6587";
  EXPECT_EQ(Fmt(L"%s", every),
            std::wstring(31, L'?') + L"? ~" + std::wstring(32, L'?') + L"\x00A0\x00E9\x2027??\x202A\x6587");
  EXPECT_EQ(Fmt(L"[%3s]", L"\n"), L"[  ?]") << "the width counts the value as given";
}

TEST(FormatTest, MismatchedOrUnknownPlaceholdersStandAsWritten) {
  EXPECT_EQ(Fmt(L"a %s b"), L"a %s b");       // missing argument
  EXPECT_EQ(Fmt(L"%d", L"text"), L"%d");      // string for a number
  EXPECT_EQ(Fmt(L"%s|%d", 5, 6), L"%s|6");    // number for a string
  EXPECT_EQ(Fmt(L"%x %n %", 1), L"%x %n %");  // not ours
  EXPECT_EQ(Fmt(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
  EXPECT_EQ(Fmt(L"%d", 1, 2, 3), L"1");  // surplus ignored
}

TEST(FormatTest, CutToFitNeverOverruns) {
  EXPECT_EQ(Fmt(6, L"%s", L"abcdefgh"), L"abcde");
  EXPECT_EQ(Fmt(4, L"%d", 123456), L"123");
  EXPECT_EQ(Fmt(1, L"abc"), L"");
  std::wstring buffer(8, L'#');
  diag::LineWriter out(&buffer[0], 5);
  diag::Format(out, L"%s", L"0123456789");
  EXPECT_TRUE(out.truncated());
  EXPECT_EQ(out.size(), 4u);
  EXPECT_EQ(buffer.substr(4), std::wstring(L"\0###", 4)) << "nothing written past the capacity";
}

TEST(FormatTest, CutNeverSplitsASurrogatePair) {
  // U+1F600 as a surrogate pair: a line with room for "ab" plus one unit drops the pair whole.
  EXPECT_EQ(Fmt(4, L"ab%s", L"\xD83D\xDE00"), L"ab");
  EXPECT_EQ(Fmt(5, L"ab%s", L"\xD83D\xDE00"), L"ab\xD83D\xDE00");
}

std::wstring Compose(const wchar_t* prefix, const std::wstring& message) {
  diag::Line line;
  const diag::FormatArg args[] = {diag::FormatArg(message)};
  diag::ComposeLine(line, prefix, nullptr, 0, L"%s", args, 1);
  EXPECT_EQ(line.text[line.length], L'\0');
  return std::wstring(line.text, line.length);
}

TEST(LineTest, PrefixMessageAndNewline) {
  EXPECT_EQ(Compose(L"P: ", L"hello"), L"P: hello\n");
  EXPECT_EQ(Compose(L"P: ", L""), L"P: \n");
  EXPECT_EQ(Compose(L"", L"a\tb"), L"a?b\n") << "a value's control characters never reach the line";
}

TEST(LineTest, TheBoundaryAt1022Characters) {
  // Prefix and message of exactly 1022 characters are written whole.
  const std::wstring exact(1022 - 3, L'x');
  EXPECT_EQ(Compose(L"P: ", exact), L"P: " + exact + L"\n");
  // One more is cut to 1022, and the newline still ends the line.
  const std::wstring over = exact + L"yz";
  const std::wstring line = Compose(L"P: ", over);
  ASSERT_EQ(line.size(), 1023u);
  EXPECT_EQ(line, L"P: " + exact + L"\n");
}

TEST(NarrowTest, LatinCodeUnitsAreOneByteEach) {
  EXPECT_EQ(diag::Narrow(L"a\tb\xE9\xFF\x01", 6, diag::Newline::kAsIs), std::string("a\tb\xE9\xFF\x01"));
  const std::wstring withNul(L"a\0b", 3);
  EXPECT_EQ(diag::Narrow(withNul.data(), 3, diag::Newline::kAsIs), std::string("a\0b", 3));
}

TEST(NarrowTest, NewlineTranslation) {
  EXPECT_EQ(diag::Narrow(L"a\nb\n", 4, diag::Newline::kCrLf), "a\r\nb\r\n");
  EXPECT_EQ(diag::Narrow(L"a\nb\n", 4, diag::Newline::kAsIs), "a\nb\n");
  EXPECT_EQ(diag::Narrow(L"\r\n", 2, diag::Newline::kCrLf), "\r\r\n");
}

TEST(NarrowTest, AboveLatinBecomesUtf8AndTheLineGoesOn) {
  // ".inf文件 x 未找到\n": the characters after the Chinese text and the line end survive.
  const std::wstring text = L"\x6587\x4EF6 x \x672A\n";
  EXPECT_EQ(diag::Narrow(text.data(), text.size(), diag::Newline::kCrLf),
            "\xE6\x96\x87\xE4\xBB\xB6 x \xE6\x9C\xAA\r\n");
  EXPECT_EQ(diag::Narrow(L"\x100", 1, diag::Newline::kAsIs), "\xC4\x80");
  EXPECT_EQ(diag::Narrow(L"\x7FF\x800", 2, diag::Newline::kAsIs), "\xDF\xBF\xE0\xA0\x80");
}

TEST(NarrowTest, SurrogatePairsAndLoneSurrogates) {
  EXPECT_EQ(diag::Narrow(L"\xD83D\xDE00!", 3, diag::Newline::kAsIs), "\xF0\x9F\x98\x80!");
  EXPECT_EQ(diag::Narrow(L"\xD83Dz", 2, diag::Newline::kAsIs), "\xEF\xBF\xBDz");
  EXPECT_EQ(diag::Narrow(L"\xDE00z", 2, diag::Newline::kAsIs), "\xEF\xBF\xBDz");
  EXPECT_EQ(diag::Narrow(L"a\xD83D", 2, diag::Newline::kAsIs), "a\xEF\xBF\xBD");
}

}  // namespace
