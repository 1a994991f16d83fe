// Line composition at the 1022-character limit, under the sanitizers: the
// line sits in a heap block of its own size, so nothing may spill past it.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "diag/line.h"
#include "guarded_buffer.h"

namespace {

class ComposeLineEdgeTest : public ::testing::Test {
 protected:
  // Composes a literal prefix and a message passed through "%s".
  std::wstring Compose(const std::wstring& prefix, const std::wstring& message) {
    const native::ExactText exactPrefix(prefix);
    const native::ExactText exactMessage(message);
    const diag::FormatArg args[] = {diag::FormatArg(exactMessage.get())};
    return Check(exactPrefix.get(), nullptr, 0, L"%s", args, 1);
  }

  // Composes the prefix as an argument of "%s" and the message as the format.
  std::wstring ComposeReversed(const std::wstring& prefix, const std::wstring& message) {
    const native::ExactText exactPrefix(prefix);
    const native::ExactText exactMessage(message);
    const diag::FormatArg prefixArgs[] = {diag::FormatArg(exactPrefix.get())};
    return Check(L"%s", prefixArgs, 1, exactMessage.get(), nullptr, 0);
  }

  std::wstring Check(const wchar_t* prefixFormat, const diag::FormatArg* prefixArgs, std::size_t prefixCount,
                     const wchar_t* format, const diag::FormatArg* args, std::size_t count) {
    line_.reset(new diag::Line);
    for (wchar_t& c : line_->text) c = L'?';
    diag::ComposeLine(*line_, prefixFormat, prefixArgs, prefixCount, format, args, count);
    const diag::Line& line = *line_;
    EXPECT_GE(line.length, 1u);
    EXPECT_LE(line.length, diag::kLineChars - 1);
    if (line.length < 1 || line.length > diag::kLineChars - 1) return std::wstring();
    EXPECT_EQ(line.text[line.length - 1], L'\n') << "the line always ends with its newline";
    for (std::size_t i = line.length; i < diag::kLineChars; ++i) {
      EXPECT_EQ(line.text[i], L'\0') << "at " << i << ": the buffer is zero-filled behind the line";
      if (line.text[i] != L'\0') break;
    }
    return std::wstring(line.text, line.length);
  }

  std::unique_ptr<diag::Line> line_;
};

TEST_F(ComposeLineEdgeTest, EveryPrefixLengthAroundTheLimit) {
  for (std::size_t prefixLength = 1010; prefixLength <= 1034; ++prefixLength) {
    const std::wstring prefix(prefixLength, L'p');
    const std::size_t room = prefixLength < 1022 ? 1022 - prefixLength : 0;
    for (std::size_t messageLength :
         {std::size_t{0}, std::size_t{1}, room > 0 ? room - 1 : 0, room, room + 1, std::size_t{3000}}) {
      const std::wstring message(messageLength, L'm');
      const std::wstring whole = prefix + message;
      const std::wstring expected = whole.substr(0, 1022) + L"\n";
      EXPECT_EQ(Compose(prefix, message), expected) << prefixLength << " + " << messageLength;
      EXPECT_EQ(ComposeReversed(prefix, message), expected) << prefixLength << " + " << messageLength;
    }
  }
}

TEST_F(ComposeLineEdgeTest, APrefixLongerThanTheLineLeavesNoRoomForTheMessage) {
  const std::wstring prefix(1500, L'p');
  EXPECT_EQ(Compose(prefix, L"message"), std::wstring(1022, L'p') + L"\n");
}

TEST_F(ComposeLineEdgeTest, ASurrogatePairOnTheLastPlace) {
  const std::wstring pair = L"\xD83D\xDE00";
  // The pair would take places 1021 and 1022: it goes whole.
  EXPECT_EQ(Compose(std::wstring(1000, L'p'), std::wstring(21, L'm') + pair),
            std::wstring(1000, L'p') + std::wstring(21, L'm') + L"\n");
  // The pair takes places 1020 and 1021: it stays.
  EXPECT_EQ(Compose(std::wstring(1000, L'p'), std::wstring(20, L'm') + pair + L"x"),
            std::wstring(1000, L'p') + std::wstring(20, L'm') + pair + L"\n");
  // The pair is split between prefix and message at the limit.
  EXPECT_EQ(Compose(std::wstring(1021, L'p') + L"\xD83D", L"\xDE00 rest"), std::wstring(1021, L'p') + L"\n");
}

TEST_F(ComposeLineEdgeTest, ANumberCutAtTheLimit) {
  const std::wstring prefix(1015, L'p');
  const native::ExactText exactPrefix(prefix);
  const diag::FormatArg args[] = {diag::FormatArg(-2147483647 - 1)};
  EXPECT_EQ(Check(exactPrefix.get(), nullptr, 0, L"%d", args, 1), prefix + L"-214748\n");
}

TEST_F(ComposeLineEdgeTest, MissingFormatsGiveTheNewlineAlone) {
  EXPECT_EQ(Check(nullptr, nullptr, 0, nullptr, nullptr, 0), L"\n");
  const diag::FormatArg args[] = {diag::FormatArg(L"x")};
  EXPECT_EQ(Check(nullptr, nullptr, 0, L"[%s]", args, 1), L"[x]\n");
}

}  // namespace
