// Runs a program the way an installer would, but as its debugger, so a test
// sees everything it says: the standard output bytes, each debug string
// exactly as sent, and the full 32-bit exit code.
#pragma once

#include <string>
#include <vector>

#include "platform/win.h"

namespace testing_support {

struct ToolRun {
  bool started = false;
  DWORD startError = 0;   // CreateProcessW's last error when it would not start, after every try
  bool finished = false;  // false: it hung and was ended after the time-out
  DWORD exitCode = 0;
  DWORD mainThreadId = 0;                  // the thread the program's lines are tagged with
  std::string output;                      // standard output, byte for byte
  std::vector<std::wstring> debugStrings;  // one entry per debug string
};

// Runs `exe` with `arguments` (already quoted as needed) in `workDir`, with
// `token` when given (else the test's own).
ToolRun RunAsDebuggee(const std::wstring& exe, const std::wstring& arguments, const std::wstring& workDir,
                      DWORD timeoutMs = 60000, HANDLE token = nullptr);

// A fresh, empty folder under the temporary folder, removed with all it holds.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Small file helpers for test set-up.
std::wstring ModuleDir();  // folder of the running test program
bool CopyInto(const std::wstring& source, const std::wstring& folder);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool ReadBytes(const std::wstring& path, std::string& bytes);
bool Exists(const std::wstring& path);
void RemoveTree(const std::wstring& path);
std::vector<std::wstring> ListFolder(const std::wstring& folder);  // names only, no "." or ".."
// A copy of an exe whose fixed file version reads `high`.`low` (two 16-bit
// fields in each): an earlier or later release of it, as far as a version
// check can tell.
bool CopyWithVersion(const std::wstring& exe, const std::wstring& copy, DWORD high, DWORD low);

}  // namespace testing_support
