// The report capture: marker faked, log folder never made (so no log file); debug strings parsed.
#include "fakes/report_capture.h"

#include <gtest/gtest.h>

#include <ostream>

#include "diag/log.h"

namespace fakes {
namespace {

bool g_logOn = false;

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

BOOL WINAPI FakePathFileExists(LPCWSTR path) {
  if (path && EndsWith(path, L"\\vezazez.cfg")) return g_logOn ? TRUE : FALSE;
  return platform::RealCalls().PathFileExistsW(path);
}

BOOL WINAPI FakeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  if (path && EndsWith(path, L"\\log")) return TRUE;
  return platform::RealCalls().CreateDirectoryW(path, security);
}

bool IsDigits(const std::wstring& text, size_t from, size_t count) {
  for (size_t i = from; i < from + count; ++i) {
    if (i >= text.size() || text[i] < L'0' || text[i] > L'9') return false;
  }
  return true;
}

// "YYYY-MM-DD HH:MM:SS\t"
bool HasTimestamp(const std::wstring& line) {
  return line.size() >= 20 && IsDigits(line, 0, 4) && line[4] == L'-' && IsDigits(line, 5, 2) && line[7] == L'-' &&
         IsDigits(line, 8, 2) && line[10] == L' ' && IsDigits(line, 11, 2) && line[13] == L':' &&
         IsDigits(line, 14, 2) && line[16] == L':' && IsDigits(line, 17, 2) && line[19] == L'\t';
}

}  // namespace

void PrintTo(const Report& report, std::ostream* os) {
  *os << (report.channel == Channel::kTrace ? "T" : "L") << testing::PrintToString(report.message);
}

ReportCapture::ReportCapture(bool logOn) : saved_(platform::Sys()) {
  g_logOn = logOn;
  diag::ResetLogFileForTesting();
  platform::Sys().PathFileExistsW = FakePathFileExists;
  platform::Sys().CreateDirectoryW = FakeCreateDirectory;
}

ReportCapture::~ReportCapture() {
  // Fakes nest in scope order, so the table as it stood before this one
  // undoes exactly what it installed.
  platform::Sys() = saved_;
  diag::ResetLogFileForTesting();
}

std::vector<Report> ReportCapture::Reports() const {
  std::vector<Report> reports;
  for (const std::wstring& line : output_.debugStrings) {
    EXPECT_TRUE(!line.empty() && line.back() == L'\n') << "every line ends in \\n";
    const std::wstring body = line.empty() ? line : line.substr(0, line.size() - 1);
    const size_t tagEnd = body.find(L"): ");
    if (body.compare(0, 6, L"[app](") == 0 && tagEnd != std::wstring::npos) {
      // The file log's own word that it is not written: the capture keeps
      // the log off the disk, and reports only what the tool said.
      if (body.compare(tagEnd + 3, 24, L"The log is not written: ") == 0) continue;
      reports.push_back(Trace(body.substr(tagEnd + 3)));
    } else if (HasTimestamp(body)) {
      reports.push_back(Log(body.substr(20)));
    } else {
      ADD_FAILURE() << "a debug string of neither shape: " << testing::PrintToString(line);
    }
  }
  return reports;
}

std::string ReportCapture::stdoutBytes() const {
  std::string bytes = output_.stdoutBytes;
  const size_t at = bytes.find("): The log is not written: ");
  if (at == std::string::npos) return bytes;
  const size_t start = bytes.rfind("[app](", at), end = bytes.find("\r\n", at);
  return bytes.erase(start, end == std::string::npos ? std::string::npos : end + 2 - start);
}

std::vector<std::wstring> ReportCapture::Messages(Channel channel) const {
  std::vector<std::wstring> messages;
  for (const Report& report : Reports()) {
    if (report.channel == channel) messages.push_back(report.message);
  }
  return messages;
}

}  // namespace fakes
