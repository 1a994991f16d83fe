// The debuggee runner and file helpers used by the end-to-end tests.
#include "support/tool_runner.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace testing_support {
namespace {

std::wstring ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  const SIZE_T length = info.nDebugStringLength;
  if (length == 0) return std::wstring();
  if (info.fUnicode) {
    std::wstring text(length, L'\0');
    SIZE_T read = 0;
    ReadProcessMemory(process, info.lpDebugStringData, &text[0], length * sizeof(wchar_t), &read);
    text.resize(read / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
  }
  std::string bytes(length, '\0');
  SIZE_T read = 0;
  ReadProcessMemory(process, info.lpDebugStringData, &bytes[0], length, &read);
  bytes.resize(read);
  while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
  if (bytes.empty()) return std::wstring();
  const int wide = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], wide);
  return text;
}

HANDLE OpenInheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ToolRun RunAsDebuggee(const std::wstring& exe, const std::wstring& arguments, const std::wstring& workDir,
                      DWORD timeoutMs, HANDLE token) {
  ToolRun run;
  TempDir scratch;
  const std::wstring outPath = scratch / L"stdout.bin";
  // A child inherits every inheritable handle open at its creation: runs
  // started from several threads take turns here, so none inherits (and
  // holds open) another's standard output.
  static std::mutex inheritableHandles;
  std::unique_lock<std::mutex> creating(inheritableHandles);
  HANDLE out = OpenInheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE nul = OpenInheritable(L"NUL", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = out;
  startup.hStdError = nul;
  PROCESS_INFORMATION process = {};
  std::wstring commandLine = L"\"" + exe + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;

  // Now and then Wine refuses a start: while a fresh prefix settles, or under
  // load, when the new process dies before it is set up (ERROR_INTERNAL_ERROR,
  // in a crowd of twelve). None of the program's code ran then, so it is
  // tried again, with growing pauses, for about 13 s; a file that is not
  // there is not tried again.
  for (DWORD pause = 100;; pause *= 2) {
    // A null token is the caller's own, as for CreateProcessW.
    run.started = CreateProcessAsUserW(token, exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                       DEBUG_ONLY_THIS_PROCESS, nullptr, workDir.c_str(), &startup, &process) != FALSE;
    if (run.started) break;
    run.startError = GetLastError();
    std::fprintf(stderr, "CreateProcessW(%ls) failed with %lu\n", exe.c_str(), run.startError);
    if (run.startError == ERROR_FILE_NOT_FOUND || run.startError == ERROR_PATH_NOT_FOUND || pause > 6400) break;
    Sleep(pause);
  }
  CloseHandle(out);
  CloseHandle(nul);
  creating.unlock();
  if (!run.started) return run;

  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    DEBUG_EVENT event = {};
    if (now >= deadline || !WaitForDebugEvent(&event, static_cast<DWORD>(deadline - now))) {
      TerminateProcess(process.hProcess, 0xDEAD);
      DebugActiveProcessStop(process.dwProcessId);
      break;
    }
    // A start that Wine refused may still report its process's end here:
    // only the started process's events are the run's.
    const bool ours = event.dwProcessId == process.dwProcessId;
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (ours) run.mainThreadId = event.dwThreadId;
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT:
        if (ours) run.debugStrings.push_back(ReadDebugString(process.hProcess, event.u.DebugString));
        break;
      case EXCEPTION_DEBUG_EVENT:
        // The loader's first breakpoint is ours to swallow; anything else is
        // the program's own business, as it would be without a debugger.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      default:
        break;
    }
    if (ours && event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      run.finished = true;
      run.exitCode = event.u.ExitProcess.dwExitCode;
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
      break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  ReadBytes(outPath, run.output);
  return run;
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  wchar_t base[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, base);
  for (;;) {
    path_ = std::wstring(base) + L"mds-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::wstring ModuleDir() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  const size_t slash = dir.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash);
}

bool CopyInto(const std::wstring& source, const std::wstring& folder) {
  const size_t slash = source.find_last_of(L'\\');
  const std::wstring name = slash == std::wstring::npos ? source : source.substr(slash + 1);
  return CopyFileW(source.c_str(), (folder + L"\\" + name).c_str(), FALSE) != FALSE;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool ReadBytes(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
  CloseHandle(file);
  return true;
}

// The numbers follow the version block's signature (its last occurrence:
// the code that checks it holds it too).
bool CopyWithVersion(const std::wstring& exe, const std::wstring& copy, DWORD high, DWORD low) {
  std::string bytes;
  const size_t at = ReadBytes(exe, bytes) ? bytes.rfind("\xBD\x04\xEF\xFE") : std::string::npos;
  if (at == std::string::npos) return false;
  std::memcpy(&bytes[at + 8], &high, 4);
  std::memcpy(&bytes[at + 12], &low, 4);
  return WriteBytes(copy, bytes);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> ListFolder(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  for (const std::wstring& name : ListFolder(path)) RemoveTree(path + L"\\" + name);
  RemoveDirectoryW(path.c_str());
}

}  // namespace testing_support
