// Two processes whose first log lines fall in the same second share one log
// file; every record of both must come out whole and in order.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/tool_runner.h"

namespace {

using testing_support::TempDir;

struct Process {
  PROCESS_INFORMATION info = {};
  bool started = false;
};

Process Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& workDir) {
  Process process;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  process.started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, workDir.c_str(),
                                   &startup, &process.info) != FALSE;
  return process;
}

DWORD Finish(Process& process) {
  DWORD code = 0xFFFFFFFF;
  if (!process.started) return code;
  if (WaitForSingleObject(process.info.hProcess, 120000) != WAIT_OBJECT_0) TerminateProcess(process.info.hProcess, 1);
  GetExitCodeProcess(process.info.hProcess, &code);
  CloseHandle(process.info.hThread);
  CloseHandle(process.info.hProcess);
  return code;
}

TEST(SharedLogFileTest, TwoProcessesInTheSameSecondKeepEveryRecordWhole) {
  TempDir folder;
  ASSERT_TRUE(testing_support::CopyInto(testing_support::ModuleDir() + L"\\log_writer.exe", folder.path()));
  ASSERT_TRUE(testing_support::WriteBytes(folder / L"vezazez.cfg", ""));
  const int kRecords = 1500;
  const std::wstring exe = folder / L"log_writer.exe";
  const std::wstring count = std::to_wstring(kRecords);

  Process first = Start(exe, L"alpha " + count + L" 20261206072745", folder.path());
  Process second = Start(exe, L"beta " + count + L" 20261206072745", folder.path());
  ASSERT_TRUE(first.started && second.started);
  EXPECT_EQ(Finish(first), 0u);
  EXPECT_EQ(Finish(second), 0u);

  EXPECT_EQ(testing_support::ListFolder(folder / L"log"), std::vector<std::wstring>{L"20261206_072745.log"});
  std::string bytes;
  ASSERT_TRUE(testing_support::ReadBytes(folder / L"log\\20261206_072745.log", bytes));

  // Records end in LF CR LF; split on that and check each one whole.
  std::map<std::string, int> lastSeen = {{"alpha", 0}, {"beta", 0}};
  size_t start = 0;
  int records = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\n\r\n", start);
    ASSERT_NE(end, std::string::npos) << "a record without its ending at byte " << start;
    const std::string record = bytes.substr(start, end - start);
    start = end + 3;
    ++records;
    const std::string stamp = "2026-12-06 07:27:45\t";
    ASSERT_EQ(record.compare(0, stamp.size(), stamp), 0) << record;
    std::istringstream fields(record.substr(stamp.size()));
    std::string tag, word, of;
    int index = 0, total = 0;
    fields >> tag >> word >> index >> of >> total;
    ASSERT_TRUE(lastSeen.count(tag)) << "a mangled record: " << record;
    ASSERT_EQ(record.substr(stamp.size()),
              tag + " record " + std::to_string(index) + " of " + std::to_string(kRecords));
    EXPECT_EQ(index, lastSeen[tag] + 1) << "records of one process stay in order";
    lastSeen[tag] = index;
  }
  EXPECT_EQ(records, 2 * kRecords);
  EXPECT_EQ(lastSeen["alpha"], kRecords);
  EXPECT_EQ(lastSeen["beta"], kRecords);
}

}  // namespace
