// Captures the tool's reports on both channels, in the order they were sent:
// trace lines (tag stripped) and log lines (timestamp stripped). The log is
// switched on or off as if the marker file stood beside the exe, and no log
// file is written. Everything else stays real.
#pragma once

#include <string>
#include <vector>

#include "fakes/output_capture.h"

namespace fakes {

enum class Channel { kTrace, kLog };

struct Report {
  Channel channel;
  std::wstring message;  // the caller's message, without prefix and closing "\n"

  bool operator==(const Report& other) const { return channel == other.channel && message == other.message; }
};

// Prints as T"..." or L"..." in test failure messages.
void PrintTo(const Report& report, std::ostream* os);

inline Report Trace(const std::wstring& message) { return {Channel::kTrace, message}; }
inline Report Log(const std::wstring& message) { return {Channel::kLog, message}; }

// Log lines, one per message, in order.
inline std::vector<Report> Logs(const std::vector<std::wstring>& messages) {
  std::vector<Report> reports;
  for (const std::wstring& message : messages) reports.push_back(Log(message));
  return reports;
}

class ReportCapture {
 public:
  explicit ReportCapture(bool logOn = true);
  ~ReportCapture();
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  // Every debug string, classified; a line of neither shape fails the test.
  std::vector<Report> Reports() const;
  std::vector<std::wstring> Messages(Channel channel) const;
  // Standard output, without the file log's word that it is not written
  // (see Reports).
  std::string stdoutBytes() const;

 private:
  OutputCapture output_;
  platform::Calls saved_;
};

}  // namespace fakes
