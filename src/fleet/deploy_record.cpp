// The record folder: made with an explicit DACL, checked on every run (its
// owner, every right to change it, that it is no link), and the record
// opened by its name in the held folder. The earlier commands' record is
// believed only under the same checks.
#include "fleet/deploy_record.h"

#include <string>

#include "diag/trace.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/store_lock.h"

namespace fleet {
namespace {

using platform::Sys;

// SYSTEM and the administrators full control, users read, for the folder and
// all it holds; no rights inherited from %ProgramData%, which lets users add
// folders and files of their own.
constexpr wchar_t kFolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

// Rights that change the folder or what it holds.
constexpr ACCESS_MASK kChangeRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL | MAXIMUM_ALLOWED;

// Why the folder (or the file) is refused, or null: it is a link, a file
// has other names, or its owner or anyone granted a right to change it is
// someone this run may not trust. The same rights change a file's data.
const wchar_t* Refusal(HANDLE held, bool folder) {
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!Sys().GetFileInformationByHandle(held, &information)) return L"what it is cannot be told";
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    return folder ? L"it is a link, or no folder" : L"it is a link, or no file";
  }
  if (!folder && information.nNumberOfLinks != 1) return L"it has other names";
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (Sys().GetSecurityInfo(held, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &raw) != ERROR_SUCCESS) {
    return L"its security cannot be read";
  }
  const platform::unique_local descriptor(raw);
  if (owner == nullptr || !platform::IsTrustedSid(owner)) return L"someone else owns it";
  if (dacl == nullptr) return L"anyone may change it";
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* raw_ace = nullptr;
    if (!Sys().GetAce(dacl, index, &raw_ace)) return L"its security cannot be read";
    const auto* header = static_cast<const ACE_HEADER*>(raw_ace);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return L"its security cannot be told";
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(raw_ace);
    PSID grantee = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kChangeRights) != 0 && !platform::IsTrustedSid(grantee)) return L"others may change it";
  }
  return nullptr;
}

// %ProgramData%\mdsdriver, or empty when %ProgramData% is not set.
std::wstring FolderPath() {
  wchar_t programData[MAX_PATH] = {};
  const DWORD length = Sys().GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(programData, length) + L"\\" + kDeployFolderName;
}

// The record folder, made if missing, held open and checked.
platform::unique_file HoldFolder(std::wstring& folder, const wchar_t*& refusal) {
  folder = FolderPath();
  if (folder.empty()) {
    refusal = L"%ProgramData% is not set";
    return platform::unique_file();
  }
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (Sys().ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1, &raw, nullptr)) {
    const platform::unique_local descriptor(raw);
    SECURITY_ATTRIBUTES security = {sizeof(security), raw, FALSE};
    Sys().CreateDirectoryW(folder.c_str(), &security);  // one that is there already is checked as it is
  }
  platform::unique_file held(Sys().CreateFileW(folder.c_str(), READ_CONTROL | FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!held) {
    refusal = L"it cannot be opened";
    return held;
  }
  refusal = Refusal(held.get(), true);
  if (refusal != nullptr) held.reset();
  return held;
}

}  // namespace

const wchar_t kDeployFolderName[] = L"mdsdriver";
const wchar_t kDeployRecordName[] = L"deploy.log";

bool AppendDeployRecord(const std::wstring& line) {
  std::wstring folderPath;
  const wchar_t* refusal = nullptr;
  const platform::unique_file folder = HoldFolder(folderPath, refusal);
  NTSTATUS status = 0;
  const platform::unique_file record =
      folder ? platform::OpenInFolder(folder.get(), kDeployRecordName, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ,
                                      FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE, status)
             : platform::unique_file();
  if (folder && !record) refusal = L"the record cannot be opened";
  std::string bytes;
  for (const wchar_t c : line) bytes += c < 0x80 ? static_cast<char>(c) : '?';
  bytes += "\r\n";
  DWORD written = 0;
  if (record && (!Sys().WriteFile(record.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                 written != bytes.size())) {
    refusal = L"the record cannot be written";
  }
  if (refusal == nullptr) return true;
  diag::TraceLine(L"The deployment record is not written: %s\\%s: %s", folderPath, kDeployRecordName, refusal);
  return false;
}

bool EarlierInstallRecorded() {
  const std::wstring path = FolderPath() + L"\\" + kDeployRecordName;
  // Shared for reading only: nobody appends while it is read.
  const platform::unique_file file(Sys().CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                                     nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return false;
  const wchar_t* refusal = Refusal(file.get(), false);
  std::string text;
  char chunk[4096];
  DWORD read = 0;
  while (refusal == nullptr && Sys().ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read != 0) {
    text.append(chunk, read);
    if (text.size() > kEarlierRecordLimit) refusal = L"it is too long";
  }
  if (refusal != nullptr) {
    diag::TraceLine(L"deploy: the earlier commands' record is not believed: %s: %s", path, refusal);
    return false;
  }
  // One line per run; the outcome that came last counts.
  bool installed = false;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.find(" uninstall 0 uninstalled") != std::string::npos) installed = false;
    if (line.find(" install 0 installed") != std::string::npos) installed = true;
    start = end + 1;
  }
  return installed;
}

}  // namespace fleet
