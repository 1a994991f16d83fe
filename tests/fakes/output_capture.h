// Captures what the tool sends to the debugger channel and standard output,
// through the call table, for one scope. Everything else stays real.
#pragma once

#include <string>
#include <vector>

#include "platform/calls.h"

namespace fakes {

struct OutputCapture {
  std::vector<std::wstring> debugStrings;
  std::string stdoutBytes;
  int stdoutWrites = 0;
  DWORD stdoutMaxWrite = 0;  // when not 0, a write takes at most this many bytes

  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

 private:
  platform::Calls saved_;
};

}  // namespace fakes
