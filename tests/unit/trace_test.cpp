// The console trace: line layout and what each channel receives.
#include "diag/trace.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/output_capture.h"

namespace {

using platform::Calls;

std::wstring TraceText(unsigned long threadId, const wchar_t* format, const std::wstring& argument) {
  diag::Line line;
  const diag::FormatArg args[] = {diag::FormatArg(argument)};
  diag::ComposeTraceLine(line, threadId, format, args, 1);
  return std::wstring(line.text, line.length);
}

TEST(TraceLayoutTest, WorkedLine) {
  diag::Line line;
  const diag::FormatArg args[] = {diag::FormatArg(0), diag::FormatArg(L"USB Composite Device")};
  diag::ComposeTraceLine(line, 948, L"%d appdev DeviceDesc \t = %s", args, 2);
  const std::wstring text(line.text, line.length);
  EXPECT_EQ(text, L"[app](948): 0 appdev DeviceDesc \t = USB Composite Device\n");
  EXPECT_EQ(text.size(), 57u);  // 56 characters before the line feed
}

TEST(TraceLayoutTest, ThreadIdsUpToTenDigits) {
  EXPECT_EQ(TraceText(0, L"%s", L"m"), L"[app](0): m\n");
  EXPECT_EQ(TraceText(4294967295ul, L"%s", L"m"), L"[app](4294967295): m\n");
}

TEST(TraceLayoutTest, BoundaryShiftsWithThePrefix) {
  // A 19-character prefix leaves 1003 characters for the message.
  const std::wstring fits(1003, L'm');
  EXPECT_EQ(TraceText(4294967295ul, L"%s", fits), L"[app](4294967295): " + fits + L"\n");
  const std::wstring cut = TraceText(4294967295ul, L"%s", fits + L"XYZ");
  EXPECT_EQ(cut, L"[app](4294967295): " + fits + L"\n");
  // A 10-character prefix ("[app](7): ") leaves 1012.
  const std::wstring fitsShort(1012, L'm');
  EXPECT_EQ(TraceText(7, L"%s", fitsShort + L"Q"), L"[app](7): " + fitsShort + L"\n");
}

TEST(TraceLayoutTest, PercentInArgumentsAndEmbeddedNewline) {
  EXPECT_EQ(TraceText(1, L"= %s", L"50%d %s %%"), L"[app](1): = 50%d %s %%\n");
  EXPECT_EQ(TraceText(1, L"hello boy,cmd error!\n88!%s", L""), L"[app](1): hello boy,cmd error!\n88!\n");
}

DWORD WINAPI FixedThreadId() { return 4242; }

TEST(TraceLineTest, SendsTheSameLineToBothChannels) {
  // A standard output that takes only a few bytes per write still gets the line once, whole.
  for (const DWORD maxWrite : {0ul, 5ul}) {
    fakes::OutputCapture capture;
    capture.stdoutMaxWrite = maxWrite;
    auto tid = platform::Override(&Calls::GetCurrentThreadId, &FixedThreadId);
    diag::TraceLine(L"%d appdev Mfg \t\t = %s", 3, L"Caf\xE9 100% \x4E2D");
    ASSERT_EQ(capture.debugStrings.size(), 1u);
    EXPECT_EQ(capture.debugStrings[0], L"[app](4242): 3 appdev Mfg \t\t = Caf\xE9 100% \x4E2D\n");
    EXPECT_EQ(capture.stdoutBytes, "[app](4242): 3 appdev Mfg \t\t = Caf\xE9 100% \xE4\xB8\xAD\r\n");
    EXPECT_EQ(capture.stdoutWrites, maxWrite == 0 ? 1 : 10) << "one write per line, unless it is taken in parts";
  }
}

TEST(TraceLineTest, EmptyMessage) {
  fakes::OutputCapture capture;
  auto tid = platform::Override(&Calls::GetCurrentThreadId, &FixedThreadId);
  diag::TraceLine(L"");
  EXPECT_EQ(capture.stdoutBytes, "[app](4242): \r\n");
}

HANDLE WINAPI NoStdout(DWORD) { return nullptr; }

TEST(TraceLineTest, NoStandardOutputStillReachesTheDebugger) {
  fakes::OutputCapture capture;
  auto out = platform::Override(&Calls::GetStdHandle, &NoStdout);
  diag::TraceLine(L"still here");
  EXPECT_EQ(capture.debugStrings.size(), 1u);
  EXPECT_EQ(capture.stdoutBytes, "");
}

}  // namespace
