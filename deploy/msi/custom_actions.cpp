// mdsdriver_msi.dll: the Windows Installer package's custom actions. It sits
// in the package's Binary table and is never installed. The tool does the
// work: the install step runs "mdsdriver.exe /deploy /run <id>" (with /adopt
// over an archive install of 0.2.x), its rollback "/undeploy /run <id>", the
// removal step "/undeploy". These actions run it, read its four answers (0
// done, 3010 done and a restart finishes it, 1618 busy, 1603 failed with the
// PC as it was) and turn them into what msiexec can say; every command line
// and answer goes into the installation log (msiexec /l*v). What the tool
// owns and how it records that is the tool's alone: nothing here reads it.
//
// The library carries its own copy of mdsdriver.exe and difxapi_x64.dll (as
// resources), so that a step whose installed tool is gone puts that copy back
// in the install folder, where the removal takes it with the rest.
//
// This is msiexec's plug-in, not part of the tool: it has no fakes, and the
// tests run it only under msiexec, so it calls Windows directly rather than
// through the tool's call table.
#include <cstdint>
#include <string>

#include "app/version_compare.h"
#include "diag/format.h"
#include "platform/win.h"
// After windows.h.
#include <msi.h>
#include <msiquery.h>
#include <objbase.h>

namespace {

// The tool's answers to /deploy and /undeploy.
constexpr DWORD kDone = 0;
constexpr DWORD kRestart = 3010;
constexpr DWORD kBusy = 1618;  // another run held the store lock past the tool's wait of about two minutes
constexpr DWORD kNotRun = 0xFFFFFFFF;

// msiexec already runs one installation at a time, so a step waits for the
// store longer than the commands do: this many runs of the tool, a pause
// between them, before it fails as busy.
constexpr int kBusyRuns = 5;
constexpr DWORD kBusyPauseMs = 5000;

// The resources that carry the tool (carried.rc, made by the build).
constexpr int kCarriedExe = 101;
constexpr int kCarriedLibrary = 102;

// The first release that keeps ownership records: an mdsdriver.exe below it
// in the install folder is an archive install of 0.2.x, whose copies in the
// store no record names.
const wchar_t kFirstRecordingRelease[] = L"0.3.0";

// Under HKEY_LOCAL_MACHINE, in the 64-bit view: the tool's key, and in it
// this package's state between its actions, which only the system and
// administrators may write.
const wchar_t kToolKey[] = L"SOFTWARE\\mdsdriver";
const wchar_t kState[] = L"Installer";
// The product code of an installation that a restart finishes. A deferred
// action cannot call MsiSetMode: it leaves this, and RequestRestart, after
// InstallFinalize, reads it.
const wchar_t kRestartFor[] = L"Restart";

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

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  wchar_t none[1] = L"";
  DWORD size = 0;
  std::wstring value;
  if (MsiGetPropertyW(install, name, none, &size) == ERROR_MORE_DATA) {
    value.resize(++size);
    if (MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS) size = 0;
    value.resize(size);
  }
  return value;
}

// CustomActionData, which PrepareInstall or the "Set..." action of the same
// name fills (a deferred action can read nothing else but the product code).
std::wstring ActionData(MSIHANDLE install) { return Property(install, L"CustomActionData"); }

// The install folder, with its closing backslash; empty when `from` (the
// property read) holds none.
std::wstring InstallFolder(MSIHANDLE install, std::wstring folder, const wchar_t* from = L"CustomActionData") {
  if (folder.empty()) Log(install, L"no install folder in %s", from);
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
}

// The removal's install folder: CustomActionData's last field.
std::wstring RemovalFolder(MSIHANDLE install, const std::wstring& data) {
  return InstallFolder(install, data.substr(data.find_last_of(L';') + 1));
}

// The install step and its rollback: CustomActionData is "<the tool's
// arguments>;<install folder>", as PrepareInstall set it (the arguments hold
// no ';'). The folder is empty when the data is not whole.
struct Step {
  std::wstring arguments;
  std::wstring folder;
};

Step ReadStep(MSIHANDLE install) {
  const std::wstring data = ActionData(install);
  const std::size_t split = data.find(L';');
  Step step;
  if (split == std::wstring::npos || split == 0) {
    Log(install, L"no command line in CustomActionData");
    return step;
  }
  step.arguments = data.substr(0, split);
  step.folder = InstallFolder(install, data.substr(split + 1));
  return step;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

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

// The tool's key in the 64-bit view, made if need be; null when it cannot be
// had (a user's immediate action may only read it).
HKEY OpenToolKey(REGSAM access = KEY_READ | KEY_WRITE) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kToolKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access | KEY_WOW64_64KEY,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

void WriteRestartFor(HKEY tool, const std::wstring& product) {
  RegSetKeyValueW(tool, kState, kRestartFor, REG_SZ, product.c_str(),
                  static_cast<DWORD>((product.size() + 1) * sizeof(wchar_t)));
}

// Puts the package's own copy of one binary in the folder.
bool PutBack(MSIHANDLE install, int resource, const std::wstring& path) {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&PutBack), &self);
  const HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(resource), MAKEINTRESOURCEW(10));  // RT_RCDATA
  const HGLOBAL loaded = found != nullptr ? LoadResource(self, found) : nullptr;
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  const DWORD size = found != nullptr ? SizeofResource(self, found) : 0;
  const HANDLE file = bytes != nullptr ? CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                     FILE_ATTRIBUTE_NORMAL, nullptr)
                                       : INVALID_HANDLE_VALUE;
  DWORD error = GetLastError();
  DWORD written = 0;
  bool wrote = file != INVALID_HANDLE_VALUE && WriteFile(file, bytes, size, &written, nullptr) && written == size;
  if (file != INVALID_HANDLE_VALUE) {
    if (!wrote) error = GetLastError();
    wrote = CloseHandle(file) && wrote;
  }
  if (!wrote) Log(install, L"%s: not written, error %lu", path, error);
  return wrote;
}

// The folder holds the tool, the package's own copy put back when the
// installed one is gone (the folder made again if it went too).
bool ToolInPlace(MSIHANDLE install, const std::wstring& folder) {
  const std::wstring exe = folder + L"mdsdriver.exe", library = folder + L"difxapi_x64.dll";
  if (GetFileAttributesW(exe.c_str()) != INVALID_FILE_ATTRIBUTES &&
      GetFileAttributesW(library.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  Log(install, L"the installed tool is gone from %s: the package's own copy is put back", folder);
  CreateDirectoryW(folder.c_str(), nullptr);
  return PutBack(install, kCarriedExe, exe) && PutBack(install, kCarriedLibrary, library);
}

// Runs the tool in the folder with its arguments, without a window, and
// answers its full exit code (kNotRun when it could not be started). The
// tool bounds its own waits for the store lock, so this waits for it to end.
DWORD Run(MSIHANDLE install, const std::wstring& folder, const wchar_t* arguments) {
  const std::wstring exe = folder + L"mdsdriver.exe";
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
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

// Runs the tool, again while it finds the store busy. Windows Installer has
// no answer of its own for "busy": a failing custom action makes msiexec
// answer 1603, so the log says what it was.
DWORD RunWhileBusy(MSIHANDLE install, const std::wstring& folder, const wchar_t* arguments) {
  if (!ToolInPlace(install, folder)) return kNotRun;
  for (int run = 1;; ++run) {
    const DWORD answer = Run(install, folder, arguments);
    if (answer != kBusy) return answer;
    if (run == kBusyRuns) break;
    Log(install, L"the driver store is busy (another run holds it): the step tries again");
    Sleep(kBusyPauseMs);
  }
  Log(install, L"the driver store stayed busy (another run holds it): try again later");
  return kBusy;
}

// The step's outcome from the tool's answer: done, with a restart noted for
// RequestRestart when the tool asked for one, or failed.
UINT Outcome(MSIHANDLE install, HKEY tool, DWORD answer, const wchar_t* failure) {
  if (answer == kRestart) {
    WriteRestartFor(tool, Property(install, L"ProductCode"));
    Log(install, L"a restart finishes this: msiexec asks for one when the installation ends");
  }
  if (answer == kDone || answer == kRestart) return ERROR_SUCCESS;
  Log(install, L"%s", failure);
  return ERROR_INSTALL_FAILURE;
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

// Forgets what an earlier installation left for its later actions; only
// this one's may count.
void ForgetState(HKEY tool) { RegDeleteKeyValueW(tool, kState, kRestartFor); }

// Whether the install folder holds an archive install of 0.2.x: an
// mdsdriver.exe whose file version is below the first recording release,
// read before InstallFiles replaces it. 0.2.x kept no records, so /deploy
// /adopt takes the copies in the store as this deployment's; after any
// later release, or with no exe there, an adoption would only take copies
// that the maker's installer stored. Nothing else decides: no property, and
// so no command line, has a say.
bool ArchiveInstallOf02(MSIHANDLE install, const std::wstring& folder) {
  const std::wstring exe = folder + L"mdsdriver.exe";
  wchar_t text[64] = L"";
  DWORD size = sizeof(text) / sizeof(text[0]);
  const UINT read = MsiGetFileVersionW(exe.c_str(), text, &size, nullptr, nullptr);
  std::uint64_t found = 0, first = 0;
  if (read != ERROR_SUCCESS || !app::ReadVersionText(text, found) ||
      !app::ReadVersionText(kFirstRecordingRelease, first)) {
    Log(install, L"%s: no earlier file version to read(%lu): /deploy adopts nothing", exe, read);
    return false;
  }
  if (found >= first) {
    Log(install, L"%s is version %s, not below %s: /deploy adopts nothing", exe, text, kFirstRecordingRelease);
    return false;
  }
  Log(install, L"%s is version %s, below %s: an archive install of 0.2.x, whose copies /deploy /adopt takes over", exe,
      text, kFirstRecordingRelease);
  return true;
}

// A fresh identity for the install step's run, a braced GUID: its rollback
// names it to /undeploy, which then takes out only what that run added.
bool NewRunId(MSIHANDLE install, std::wstring& run) {
  GUID guid = {};
  wchar_t text[39] = L"";
  const HRESULT made = CoCreateGuid(&guid);
  if (FAILED(made) || StringFromGUID2(guid, text, 39) != 39) {
    Log(install, L"no run identity can be made(%lu): nothing was changed", static_cast<unsigned long>(made));
    return false;
  }
  run = text;
  return true;
}

}  // namespace

// Immediate, after CostFinalize has resolved the install folder and before
// InstallFiles: the install step's command line and its rollback's, into
// the CustomActionData of each ("<arguments>;<install folder>"). Both name
// one run identity, made here; /adopt only over an archive install of 0.2.x.
extern "C" __declspec(dllexport) UINT WINAPI PrepareInstall(MSIHANDLE install) {
  const std::wstring folder = InstallFolder(install, Property(install, L"MdsFolder"), L"MdsFolder");
  std::wstring run;
  if (folder.empty() || !NewRunId(install, run)) return ERROR_INSTALL_FAILURE;
  const std::wstring deploy = ArchiveInstallOf02(install, folder) ? L"/deploy /adopt /run " : L"/deploy /run ";
  if (MsiSetPropertyW(install, L"MdsInstallDrivers", (deploy + run + L";" + folder).c_str()) != ERROR_SUCCESS ||
      MsiSetPropertyW(install, L"MdsUndoInstall", (L"/undeploy /run " + run + L";" + folder).c_str()) !=
          ERROR_SUCCESS) {
    Log(install, L"the install step's CustomActionData cannot be set: nothing was changed");
    return ERROR_INSTALL_FAILURE;
  }
  Log(install, L"the install step's run is %s", run);
  return ERROR_SUCCESS;
}

// After the files are in place: /deploy /run <id>, as PrepareInstall set it.
// The tool takes out what it added when it fails itself.
extern "C" __declspec(dllexport) UINT WINAPI InstallDrivers(MSIHANDLE install) {
  const HKEY tool = OpenToolKey();
  if (tool == nullptr) {
    Log(install, L"HKLM\\%s cannot be opened: nothing was changed", kToolKey);
    return ERROR_INSTALL_FAILURE;
  }
  ForgetState(tool);
  const Step step = ReadStep(install);
  UINT result = ERROR_INSTALL_FAILURE;
  if (!step.folder.empty()) {
    result = Outcome(install, tool, RunWhileBusy(install, step.folder, step.arguments.c_str()),
                     L"the packages are not stored: the installation fails");
  }
  RegCloseKey(tool);
  return result;
}

// Rollback of InstallDrivers, when it or a later action failed: /undeploy
// /run <id> takes out exactly what the install step's run added, and drops
// that run's records; the tool decides what that is. It runs the package's
// own copy when the installed tool is gone: under Wine the installed files
// go before the rollback runs, and that copy then goes again.
extern "C" __declspec(dllexport) UINT WINAPI UndoInstall(MSIHANDLE install) {
  const Step step = ReadStep(install);
  if (step.folder.empty()) return ERROR_SUCCESS;
  const bool installed = GetFileAttributesW((step.folder + L"mdsdriver.exe").c_str()) != INVALID_FILE_ATTRIBUTES;
  const DWORD answer = RunWhileBusy(install, step.folder, step.arguments.c_str());
  if (answer != kDone && answer != kRestart) Log(install, L"undo: what the installation added is not all taken out");
  if (!installed) {
    DeleteFileW((step.folder + L"mdsdriver.exe").c_str());
    DeleteFileW((step.folder + L"difxapi_x64.dll").c_str());
    // The ended tool's image may be let go of a moment later.
    for (int tries = 0; tries < 10 && !RemoveDirectoryW(step.folder.c_str()); ++tries) Sleep(200);
  }
  return ERROR_SUCCESS;
}

// On removal, before the files go: /undeploy, which takes out every copy a
// deployment added and leaves the rest. Nothing is taken out while another
// version stays installed: a newer version's upgrade removes this one after
// it has put itself in place. Windows Installer then sets
// UPGRADINGPRODUCTCODE, and this action does not run; Wine sets no such
// property, so the action looks for itself.
extern "C" __declspec(dllexport) UINT WINAPI RemoveDrivers(MSIHANDLE install) {
  const HKEY tool = OpenToolKey();
  if (tool == nullptr) {
    Log(install, L"HKLM\\%s cannot be opened: nothing was changed", kToolKey);
    return ERROR_INSTALL_FAILURE;
  }
  ForgetState(tool);
  const std::wstring data = ActionData(install);
  const std::wstring folder = RemovalFolder(install, data);
  UINT result = ERROR_INSTALL_FAILURE;
  if (!folder.empty() && OtherVersionInstalled(install, data)) {
    result = ERROR_SUCCESS;
  } else if (!folder.empty()) {
    result = Outcome(install, tool, RunWhileBusy(install, folder, L"/undeploy"),
                     L"the packages are not all taken out: the removal fails");
    if (result == ERROR_SUCCESS) RemoveToolLog(folder);
  }
  RegCloseKey(tool);
  return result;
}

// Rollback of RemoveDrivers: the product stays installed, so /deploy puts its
// packages back.
extern "C" __declspec(dllexport) UINT WINAPI UndoRemove(MSIHANDLE install) {
  const std::wstring data = ActionData(install);
  const std::wstring folder = RemovalFolder(install, data);
  if (folder.empty() || OtherVersionInstalled(install, data)) return ERROR_SUCCESS;
  Log(install, L"undo: the product stays installed: /deploy puts the packages back");
  const DWORD answer = RunWhileBusy(install, folder, L"/deploy");
  if (answer != kDone && answer != kRestart) Log(install, L"undo: the packages are not all back");
  return ERROR_SUCCESS;
}

// After InstallFinalize, where an action may ask for a restart: when a step
// of this installation left word that the tool asked for one, msiexec then
// answers 3010 (and, without /norestart or REBOOT=ReallySuppress, restarts).
extern "C" __declspec(dllexport) UINT WINAPI RequestRestart(MSIHANDLE install) {
  const HKEY tool = OpenToolKey(KEY_READ);
  wchar_t product[39] = L"";
  DWORD size = sizeof(product);
  if (tool != nullptr &&
      RegGetValueW(tool, kState, kRestartFor, RRF_RT_REG_SZ, nullptr, product, &size) == ERROR_SUCCESS &&
      SameText(product, Property(install, L"ProductCode"))) {
    Log(install, L"the tool asked for a restart: msiexec answers 3010");
    MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
  }
  if (tool != nullptr) RegCloseKey(tool);
  // The installation stands: nothing of this one may count for a later one.
  // Where this user may not delete it, the next step forgets it first.
  const HKEY writable = OpenToolKey();
  if (writable != nullptr) {
    ForgetState(writable);
    RegCloseKey(writable);
  }
  return ERROR_SUCCESS;
}
