// mdsdriver_msi.dll: the Windows Installer package's custom actions. It sits
// in the package's Binary table and is never installed. The tool does the
// work: the install step runs "mdsdriver.exe /deploy", the removal step
// "/undeploy". These actions run it, read its four answers (0 done, 3010
// done and a restart finishes it, 1618 busy, 1603 failed with the PC as it
// was) and turn them into what msiexec can say; every command line and
// answer goes into the installation log (msiexec /l*v).
//
// The library carries its own copy of mdsdriver.exe and difxapi_x64.dll (as
// resources), so that a step whose installed tool is gone puts that copy back
// in the install folder, where the removal takes it with the rest.
//
// This is msiexec's plug-in, not part of the tool: it has no fakes, and the
// tests run it only under msiexec, so it calls Windows directly rather than
// through the tool's call table.
#include <string>
#include <vector>

#include "diag/format.h"
#include "platform/win.h"
// After windows.h.
#include <msi.h>
#include <msiquery.h>

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

// Under HKEY_LOCAL_MACHINE, in the 64-bit view: the tool's key; its ownership
// records, one subkey per copy a deployment added; and this package's state
// between its actions, which only the system and administrators may write.
const wchar_t kToolKey[] = L"SOFTWARE\\mdsdriver";
const wchar_t kCopies[] = L"Copies";
const wchar_t kState[] = L"Installer";
// A copy of the records as they were before the install step's /deploy, for
// its rollback.
const wchar_t kBefore[] = L"Installer\\Before";
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

// CustomActionData, which the "Set..." action of the same name fills (a
// deferred action can read nothing else but the product code).
std::wstring ActionData(MSIHANDLE install) { return Property(install, L"CustomActionData"); }

// The install folder, with its closing backslash, from CustomActionData's
// last (or only) field.
std::wstring InstallFolder(MSIHANDLE install, const std::wstring& data) {
  std::wstring folder = data.substr(data.find_last_of(L';') + 1);
  if (folder.empty()) Log(install, L"no install folder in CustomActionData");
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
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

// The names of the ownership records (the copies the deployments own);
// false when they cannot be read.
bool OwnedCopies(HKEY tool, std::vector<std::wstring>& names) {
  names.clear();
  HKEY copies = nullptr;
  const LSTATUS opened = RegOpenKeyExW(tool, kCopies, 0, KEY_READ, &copies);
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  LSTATUS status = ERROR_SUCCESS;
  for (DWORD index = 0; status == ERROR_SUCCESS; ++index) {
    wchar_t name[MAX_PATH];
    DWORD length = MAX_PATH;
    status = RegEnumKeyExW(copies, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) names.emplace_back(name, length);
  }
  RegCloseKey(copies);
  return status == ERROR_NO_MORE_ITEMS;
}

// A record's value (empty when it has none): under `parent`, one of the
// tool's subkeys, the record's key by the copy's published name.
std::wstring RecordValue(HKEY tool, const wchar_t* parent, const std::wstring& name, const wchar_t* value) {
  wchar_t text[MAX_PATH] = L"";
  DWORD size = sizeof(text);
  if (RegGetValueW(tool, (std::wstring(parent) + L"\\" + name).c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS) {
    return std::wstring();
  }
  return text;
}

// Keeps the records as they are now under kBefore; false when they cannot be.
bool KeepRecords(HKEY tool) {
  HKEY before = nullptr, copies = nullptr;
  bool kept = RegCreateKeyExW(tool, kBefore, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &before,
                              nullptr) == ERROR_SUCCESS;
  const LSTATUS opened = kept ? RegOpenKeyExW(tool, kCopies, 0, KEY_READ, &copies) : ERROR_SUCCESS;
  kept = kept && (opened == ERROR_FILE_NOT_FOUND ||
                  (opened == ERROR_SUCCESS && RegCopyTreeW(copies, nullptr, before) == ERROR_SUCCESS));
  if (copies != nullptr) RegCloseKey(copies);
  if (before != nullptr) RegCloseKey(before);
  return kept;
}

// Whether the install step's /deploy took the copy over rather than added it.
bool Adopted(HKEY tool, const std::wstring& name) { return RecordValue(tool, kCopies, name, L"Adopted") == L"1"; }

// Copies the record `name` from one of the tool's subkeys to another,
// replacing what is there; true when it is there.
bool CopyRecord(HKEY tool, const wchar_t* from, const wchar_t* to, const std::wstring& name) {
  HKEY source = nullptr, target = nullptr;
  const std::wstring fromPath = std::wstring(from) + L"\\" + name, toPath = std::wstring(to) + L"\\" + name;
  bool copied = RegOpenKeyExW(tool, fromPath.c_str(), 0, KEY_READ, &source) == ERROR_SUCCESS;
  copied = copied && RegCreateKeyExW(tool, toPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                     &target, nullptr) == ERROR_SUCCESS;
  copied = copied && RegCopyTreeW(source, nullptr, target) == ERROR_SUCCESS;
  if (source != nullptr) RegCloseKey(source);
  if (target != nullptr) RegCloseKey(target);
  return copied;
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

// Undoes one /deploy, from the ownership records before it (kBefore) and
// now. A record the same as before, by its copy's name and hash, is no
// doing of this /deploy.
void UndoDeploy(MSIHANDLE install, HKEY tool, const std::wstring& folder, const std::vector<std::wstring>& now) {
  std::vector<std::wstring> added, kept;
  for (const std::wstring& name : now) {
    const std::wstring hash = RecordValue(tool, kBefore, name, L"Hash");
    if (!hash.empty() && hash == RecordValue(tool, kCopies, name, L"Hash")) {
      kept.push_back(name);
    } else if (Adopted(tool, name)) {
      RegDeleteKeyW(tool, (std::wstring(kCopies) + L"\\" + name).c_str());
      Log(install, L"undo: %s was in the store before: it stays, owned by no deployment", name);
    } else {
      added.push_back(name);
    }
  }
  if (added.empty()) {
    Log(install, L"undo: the installation added no copy: nothing to take out");
    return;
  }
  // /undeploy sees only the records of what was added; the others wait in
  // kBefore meanwhile.
  for (const std::wstring& name : kept) RegDeleteKeyW(tool, (std::wstring(kCopies) + L"\\" + name).c_str());
  // Under Wine the installed files are gone before the rollback runs: the
  // copy put back for it goes again.
  const bool installed = GetFileAttributesW((folder + L"mdsdriver.exe").c_str()) != INVALID_FILE_ATTRIBUTES;
  Log(install, L"undo: /undeploy takes out what the installation added: %u copies", added.size());
  RunWhileBusy(install, folder, L"/undeploy");
  if (!installed) {
    DeleteFileW((folder + L"mdsdriver.exe").c_str());
    DeleteFileW((folder + L"difxapi_x64.dll").c_str());
    // The ended tool's image may be let go of a moment later.
    for (int tries = 0; tries < 10 && !RemoveDirectoryW(folder.c_str()); ++tries) Sleep(200);
  }
  for (const std::wstring& name : kept) {
    if (!CopyRecord(tool, kBefore, kCopies, name)) Log(install, L"undo: the record of %s is lost", name);
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

// Forgets what an earlier installation left for its later actions; only
// this one's may count.
void ForgetState(HKEY tool) {
  RegDeleteTreeW(tool, kBefore);
  RegDeleteKeyValueW(tool, kState, kRestartFor);
}

}  // namespace

// After the files are in place: /deploy, with /adopt on an upgrade (the
// earlier version's copies become this one's: 0.2.x kept no records). The
// tool takes out what it added when it fails itself. For the rollback of a
// later failure, the ownership records as they were before go into the
// package's state first: nothing is run without them. CustomActionData is
// "<older versions found>;<install folder>".
extern "C" __declspec(dllexport) UINT WINAPI InstallDrivers(MSIHANDLE install) {
  const HKEY tool = OpenToolKey();
  if (tool == nullptr) {
    Log(install, L"HKLM\\%s cannot be opened: nothing was changed", kToolKey);
    return ERROR_INSTALL_FAILURE;
  }
  ForgetState(tool);
  const std::wstring data = ActionData(install);
  const std::wstring folder = InstallFolder(install, data);
  UINT result = ERROR_INSTALL_FAILURE;
  if (!folder.empty() && !KeepRecords(tool)) {
    Log(install, L"the ownership records cannot be kept for the rollback: nothing was changed");
  } else if (!folder.empty()) {
    const bool upgrade = !data.empty() && data[0] != L';' && data.find(L';') != std::wstring::npos;
    result = Outcome(install, tool, RunWhileBusy(install, folder, upgrade ? L"/deploy /adopt" : L"/deploy"),
                     L"the packages are not stored: the installation fails");
  }
  RegCloseKey(tool);
  return result;
}

// Rollback of InstallDrivers, when it or a later action failed: undoes
// exactly what its /deploy added. Copies it took over go back to being no
// deployment's; copies it added are taken out by /undeploy, while the records
// that were there before are set aside, then put back.
extern "C" __declspec(dllexport) UINT WINAPI UndoInstall(MSIHANDLE install) {
  const std::wstring folder = InstallFolder(install, ActionData(install));
  const HKEY tool = OpenToolKey();
  HKEY before = nullptr;
  std::vector<std::wstring> now;
  if (folder.empty() || tool == nullptr || RegOpenKeyExW(tool, kBefore, 0, KEY_READ, &before) != ERROR_SUCCESS) {
    Log(install, L"undo: the installation step changed nothing: nothing to undo");
  } else if (!OwnedCopies(tool, now)) {
    Log(install, L"undo: the ownership records cannot be read: the copies stay");
  } else {
    UndoDeploy(install, tool, folder, now);
  }
  if (before != nullptr) RegCloseKey(before);
  if (tool != nullptr) {
    RegDeleteTreeW(tool, kBefore);
    RegCloseKey(tool);
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
  const std::wstring folder = InstallFolder(install, data);
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
  const std::wstring folder = InstallFolder(install, data);
  if (folder.empty() || OtherVersionInstalled(install, data)) return ERROR_SUCCESS;
  Log(install, L"undo: the product stays installed: /deploy puts the packages back");
  const DWORD answer = RunWhileBusy(install, folder, L"/deploy");
  if (answer != kDone && answer != kRestart) Log(install, L"undo: the packages are not all back");
  return ERROR_SUCCESS;
}

// After InstallFinalize, where an action may ask for a restart: when a step
// of this installation left word that the tool asked for one, msiexec then
// answers 3010 (and, without /norestart or REBOOT=ReallySuppress, restarts).
// It also drops the install step's record for its rollback, which a
// finished installation no longer needs.
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
