// mdsdriver_msi.dll: the Windows Installer package's custom actions. It sits
// in the package's Binary table and is never installed. Each entry point runs
// the installed mdsdriver.exe, one switch at a time, and decides from its
// exit codes alone; every command line and answer goes into the
// installation log (msiexec /l*v).
//
// This is msiexec's plug-in, not part of the tool: it has no fakes, and the
// tests run it only under msiexec, so it calls Windows directly rather than
// through the tool's call table.
#include <string>

#include "diag/format.h"
#include "platform/win.h"
// After windows.h.
#include <msi.h>
#include <msiquery.h>

namespace {

// mdsdriver.exe /status: what the store holds.
constexpr DWORD kNeither = 10;
constexpr DWORD kNetworkOnly = 11;
constexpr DWORD kUsbOnly = 12;
constexpr DWORD kBoth = 13;
constexpr DWORD kStoreBusy = 22;  // the store lock was not had within /status's brief wait
// /i and /u: the store lock was not had within their wait (ERROR_TIMEOUT).
constexpr DWORD kLockTimeOut = 1460;
constexpr DWORD kNotRun = 0xFFFFFFFF;

// What the store held before the install step, kept in the install folder
// for the rollback until the installation commits.
const wchar_t kStoreBefore[] = L"store-before.txt";

// One line in the installation log: an information message, which only the
// log shows. The text goes in as a field, so msiexec reads no brackets in it.
template <typename... Args>
void Log(MSIHANDLE install, const wchar_t* format, const Args&... args) {
  wchar_t text[1024];
  diag::LineWriter line(text, sizeof(text) / sizeof(text[0]));
  diag::Format(line, format, args...);
  const MSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, L"mdsdriver: [1]");
  MsiRecordSetStringW(record, 1, line.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

// CustomActionData, which the "Set..." action of the same name fills (a
// deferred action can read nothing else).
std::wstring ActionData(MSIHANDLE install) {
  wchar_t none[1] = L"";
  DWORD size = 0;
  std::wstring data;
  if (MsiGetPropertyW(install, L"CustomActionData", none, &size) == ERROR_MORE_DATA) {
    data.resize(++size);
    if (MsiGetPropertyW(install, L"CustomActionData", &data[0], &size) != ERROR_SUCCESS) size = 0;
    data.resize(size);
  }
  return data;
}

// The install folder, with its closing backslash, from CustomActionData's
// last (or only) field.
std::wstring InstallFolder(MSIHANDLE install, const std::wstring& data) {
  std::wstring folder = data.substr(data.find_last_of(L';') + 1);
  if (folder.empty()) Log(install, L"no install folder in CustomActionData");
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
}
std::wstring InstallFolder(MSIHANDLE install) { return InstallFolder(install, ActionData(install)); }

// Another version of mdsdriver that stays installed: a product with our
// upgrade code other than this one. CustomActionData is
// "<product code>;<upgrade code>;<install folder>".
bool OtherVersionInstalled(MSIHANDLE install, const std::wstring& data) {
  const std::size_t first = data.find(L';');
  const std::size_t second = first == std::wstring::npos ? first : data.find(L';', first + 1);
  if (second == std::wstring::npos) return false;
  const std::wstring product = data.substr(0, first);
  const std::wstring upgrade = data.substr(first + 1, second - first - 1);
  wchar_t related[39];
  for (DWORD index = 0; MsiEnumRelatedProductsW(upgrade.c_str(), 0, index, related) == ERROR_SUCCESS; ++index) {
    if (product != related) {
      Log(install, L"%s, another version of mdsdriver, stays installed: the packages stay in the store", related);
      return true;
    }
  }
  return false;
}

// Runs the installed exe with one switch, without a window, and answers its
// full exit code (kNotRun when it could not be started). The tool bounds its
// own waits for the store lock, so this waits for it to end.
DWORD Run(MSIHANDLE install, const std::wstring& folder, const wchar_t* switchName) {
  const std::wstring exe = folder + L"mdsdriver.exe";
  std::wstring commandLine = L"\"" + exe + L"\" " + switchName;
  const std::wstring shown = commandLine;  // CreateProcessW may write into its copy
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, folder.c_str(),
                      &startup, &process)) {
    const DWORD error = GetLastError();
    Log(install, L"%s: not started, error %lu", shown, error);
    return kNotRun;
  }
  CloseHandle(process.hThread);
  DWORD code = kNotRun;
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &code)) {
    code = kNotRun;
  }
  CloseHandle(process.hProcess);
  Log(install, L"%s answered %lu", shown, code);
  return code;
}

bool IsStoreState(DWORD status) { return status >= kNeither && status <= kBoth; }

// Windows Installer has no answer of its own for "busy": a failing custom
// action always makes msiexec answer 1603. The log says what it was.
void ReportIfBusy(MSIHANDLE install, DWORD answer) {
  if (answer == kLockTimeOut || answer == kStoreBusy) {
    Log(install, L"another run holds the driver store (answer %lu): try again later", answer);
  }
}

bool WriteStoreBefore(const std::wstring& folder, DWORD status) {
  const HANDLE file = CreateFileW((folder + kStoreBefore).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const char digits[2] = {static_cast<char>('0' + status / 10), static_cast<char>('0' + status % 10)};
  DWORD written = 0;
  const bool wrote = WriteFile(file, digits, sizeof(digits), &written, nullptr) && written == sizeof(digits);
  return CloseHandle(file) && wrote;
}

// What WriteStoreBefore kept (kNotRun when there is no such record), and the
// record deleted.
DWORD TakeStoreBefore(const std::wstring& folder) {
  const std::wstring path = folder + kStoreBefore;
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kNotRun;
  char digits[3] = {};
  DWORD read = 0;
  const bool ok = ReadFile(file, digits, sizeof(digits), &read, nullptr) && read == 2;
  CloseHandle(file);
  DeleteFileW(path.c_str());
  const DWORD status = static_cast<DWORD>(digits[0] - '0') * 10 + static_cast<DWORD>(digits[1] - '0');
  return ok && IsStoreState(status) ? status : kNotRun;
}

// Puts the store back as it was before the install step: a package stored
// before stays, so with one of the two stored before, nothing is taken out
// (/u would take both).
void UndoInstallStep(MSIHANDLE install, const std::wstring& folder, DWORD before) {
  if (before == kNeither) {
    Log(install, L"undo: the store held neither package before: /u takes out what the installation added");
    Run(install, folder, L"/u");
    if (Run(install, folder, L"/status") != kNeither) Log(install, L"undo: a package stays in the store");
  } else if (before == kNetworkOnly || before == kUsbOnly) {
    Log(install,
        L"undo: the store held the %s package before: it stays, and so does the %s package if the installation"
        L" stored it",
        before == kNetworkOnly ? L"network" : L"USB", before == kNetworkOnly ? L"USB" : L"network");
  } else {
    Log(install, before == kBoth ? L"undo: the store held both packages before: nothing to undo"
                                 : L"undo: the installation step changed nothing: nothing to undo");
  }
}

// The tool's own log, which it writes into log\ beside itself while
// vezazez.cfg is there: its *.log files, then the folder. Windows Installer
// has no row for files it did not install but named by a pattern (Wine takes
// none), so the removal takes them itself. A folder that is a link is left
// alone: what it points to is not ours.
void RemoveToolLog(const std::wstring& folder) {
  const std::wstring logFolder = folder + L"log\\";
  const DWORD attributes = GetFileAttributesW(logFolder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((logFolder + L"*.log").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) DeleteFileW((logFolder + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(logFolder.c_str());
}

}  // namespace

// After the files are in place: /status, /i, /status. Success means that the
// store holds both packages. A failure undoes its own step at once, while the
// tool is still on the disk: Wine takes the files away before it runs the
// rollback actions. What the store held before stays on the disk until the
// installation commits, for the rollback of a later failure (UndoInstall).
extern "C" __declspec(dllexport) UINT WINAPI InstallDrivers(MSIHANDLE install) {
  const std::wstring folder = InstallFolder(install);
  if (folder.empty()) return ERROR_INSTALL_FAILURE;
  const DWORD before = Run(install, folder, L"/status");
  if (!IsStoreState(before)) {
    Log(install, L"the store's state cannot be told: nothing was changed");
    ReportIfBusy(install, before);
    return ERROR_INSTALL_FAILURE;
  }
  if (!WriteStoreBefore(folder, before)) {
    const DWORD error = GetLastError();
    Log(install, L"%s%s: not written, error %lu: nothing was changed", folder, kStoreBefore, error);
    return ERROR_INSTALL_FAILURE;
  }
  const DWORD installed = Run(install, folder, L"/i");
  const DWORD after = Run(install, folder, L"/status");
  if (after == kBoth) return ERROR_SUCCESS;
  Log(install, L"the store does not hold both packages: the installation fails");
  ReportIfBusy(install, installed);
  ReportIfBusy(install, after);
  DeleteFileW((folder + kStoreBefore).c_str());
  UndoInstallStep(install, folder, before);
  return ERROR_INSTALL_FAILURE;
}

// Rollback, when an action after InstallDrivers fails: puts the store back
// as it was. Nothing is left to undo when InstallDrivers failed itself.
extern "C" __declspec(dllexport) UINT WINAPI UndoInstall(MSIHANDLE install) {
  const std::wstring folder = InstallFolder(install);
  if (!folder.empty()) UndoInstallStep(install, folder, TakeStoreBefore(folder));
  return ERROR_SUCCESS;
}

// Commit: the installation stands, so its rollback record goes.
extern "C" __declspec(dllexport) UINT WINAPI ForgetInstall(MSIHANDLE install) {
  const std::wstring folder = InstallFolder(install);
  if (!folder.empty()) DeleteFileW((folder + kStoreBefore).c_str());
  return ERROR_SUCCESS;
}

// On removal, before the files go: /u, then /status. Success only when the
// store holds neither package; otherwise the removal fails and the files
// stay. Nothing is taken out while another version stays installed: a newer
// version's upgrade removes this one after it has put itself in place.
// Windows Installer then sets UPGRADINGPRODUCTCODE, and this action does not
// run; Wine sets no such property, so the action looks for itself.
extern "C" __declspec(dllexport) UINT WINAPI RemoveDrivers(MSIHANDLE install) {
  const std::wstring data = ActionData(install);
  const std::wstring folder = InstallFolder(install, data);
  if (folder.empty()) return ERROR_INSTALL_FAILURE;
  if (OtherVersionInstalled(install, data)) return ERROR_SUCCESS;
  const DWORD removed = Run(install, folder, L"/u");
  const DWORD after = Run(install, folder, L"/status");
  if (after == kNeither) {
    RemoveToolLog(folder);
    return ERROR_SUCCESS;
  }
  Log(install, L"the store still holds a package, or cannot tell: the removal fails");
  ReportIfBusy(install, removed);
  ReportIfBusy(install, after);
  return ERROR_INSTALL_FAILURE;
}

// Rollback of RemoveDrivers: the product stays installed, so the drivers go back.
extern "C" __declspec(dllexport) UINT WINAPI UndoRemove(MSIHANDLE install) {
  const std::wstring data = ActionData(install);
  const std::wstring folder = InstallFolder(install, data);
  if (folder.empty() || OtherVersionInstalled(install, data)) return ERROR_SUCCESS;
  Log(install, L"undo: the product stays installed: /i puts the packages back");
  Run(install, folder, L"/i");
  if (Run(install, folder, L"/status") != kBoth) Log(install, L"undo: the store does not hold both packages");
  return ERROR_SUCCESS;
}
