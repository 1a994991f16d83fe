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

  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

 private:
  platform::Calls saved_;
};

}  // namespace fakes
