// mds_standin.exe stands in for mdsdriver.exe where a test needs an answer
// that the tool gives only on Windows (3010: Wine never asks for a restart)
// or only after minutes (1618: a store kept busy past the tool's wait).
// Whatever its arguments, it answers the first number in answers.txt in its
// current folder, and leaves the rest of the list for the runs after it (the
// last number stays). Without the file it answers 3010.
#include <windows.h>

#include <cstdlib>
#include <string>

int wmain() {
  const HANDLE file = CreateFileW(L"answers.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3010;
  char text[64] = {};
  DWORD size = 0;
  ReadFile(file, text, sizeof(text) - 1, &size, nullptr);
  const std::string answers(text, size);
  const std::size_t next = answers.find(' ');
  if (next != std::string::npos) {
    const std::string rest = answers.substr(next + 1);
    DWORD written = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    WriteFile(file, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr);
    SetEndOfFile(file);
  }
  CloseHandle(file);
  return std::atoi(answers.c_str());
}
