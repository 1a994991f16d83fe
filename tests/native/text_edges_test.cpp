// Case folding of A to Z only, checked over every code unit and on texts
// held in blocks of exactly their size, under the sanitizers.
#include <gtest/gtest.h>

#include <string>

#include "diag/text.h"
#include "guarded_buffer.h"

namespace {

class FoldingTest : public ::testing::Test {
 protected:
  static bool Equal(const std::wstring& a, const std::wstring& b) {
    const native::ExactText exactA(a);
    const native::ExactText exactB(b);
    return diag::EqualsFoldingAscii(exactA.get(), exactB.get());
  }
};

TEST_F(FoldingTest, OnlyAToZFoldForEveryCodeUnit) {
  const std::wstring upper = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const std::wstring lower = L"abcdefghijklmnopqrstuvwxyz";
  for (unsigned long unit = 0; unit <= 0xFFFF; ++unit) {
    const wchar_t c = static_cast<wchar_t>(unit);
    const std::size_t letter = upper.find(c);
    const wchar_t expected = letter == std::wstring::npos ? c : lower[letter];
    ASSERT_EQ(diag::LowerAscii(c), expected) << std::hex << unit;
  }
}

TEST_F(FoldingTest, LowerInPlaceStopsAtTheTerminator) {
  const native::ExactText mixed(L"MiXeD@[`{\xC0\x130\xFF21Z");
  diag::LowerAsciiInPlace(mixed.get());
  EXPECT_EQ(std::wstring(mixed.get()), L"mixed@[`{\xC0\x130\xFF21z");
  const native::ExactText empty(L"");
  diag::LowerAsciiInPlace(empty.get());
  EXPECT_EQ(empty.get()[0], L'\0');
}

TEST_F(FoldingTest, EqualityNeedsTheSameLength) {
  EXPECT_TRUE(Equal(L"/RE", L"/re"));
  EXPECT_TRUE(Equal(L"", L""));
  EXPECT_FALSE(Equal(L"/re", L"/r"));
  EXPECT_FALSE(Equal(L"/r", L"/re"));
  EXPECT_FALSE(Equal(L"", L"/i"));
  EXPECT_FALSE(Equal(L"/i", L""));
}

TEST_F(FoldingTest, NeighboursOfTheLettersStayApart) {
  // One bit apart, like the letters, but not letters.
  EXPECT_FALSE(Equal(L"[", L"{"));
  EXPECT_FALSE(Equal(L"@", L"`"));
  EXPECT_FALSE(Equal(L"\xC0", L"\xE0"));      // A with grave, both cases
  EXPECT_FALSE(Equal(L"\xFF21", L"\xFF41"));  // fullwidth A and a
  EXPECT_FALSE(Equal(L"\x130", L"i"));        // dotted capital I
}

}  // namespace
