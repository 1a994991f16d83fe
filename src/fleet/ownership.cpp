// The ownership records and the deployment marker, through the registry
// calls of the call table, always in the 64-bit view.
#include "fleet/ownership.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "diag/format.h"
#include "platform/handles.h"

namespace fleet {
namespace {

using platform::Sys;

const wchar_t kToolKey[] = L"SOFTWARE\\mdsdriver";
const wchar_t kMarkerValue[] = L"Deployed";

// A record's values, in the order they are written; a record an earlier
// release wrote has the first seven.
const wchar_t* const kValues[] = {L"Package", L"OriginalName", L"CatalogName", L"ClassGuid", L"DriverVersion",
                                  L"Hash",    L"Adopted",      L"FileId",      L"Created",   L"Run"};
constexpr std::size_t kValueCount = sizeof(kValues) / sizeof(kValues[0]);

void Fields(OwnedCopy& copy, std::wstring* (&fields)[kValueCount], std::wstring& adopted) {
  std::wstring* const all[] = {&copy.package,       &copy.originalName, &copy.catalogName, &copy.classGuid,
                               &copy.driverVersion, &copy.hash,         &adopted,          &copy.stamp.id,
                               &copy.stamp.created, &copy.run};
  for (std::size_t i = 0; i < kValueCount; ++i) fields[i] = all[i];
}

std::wstring Hex(std::uint64_t value, int digits) {
  std::wstring text;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text += L"0123456789abcdef"[(value >> shift) & 0xF];
  return text;
}

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A record an earlier release wrote is trusted for a copy no younger than
// the record, give or take the file system's clock.
constexpr std::uint64_t kClockSlack = 2ULL * 10000000ULL;  // 2 s in 100 ns

}  // namespace

const wchar_t kOwnershipKey[] = L"SOFTWARE\\mdsdriver\\Copies";

DWORD OpenMachineKey(const std::wstring& path, REGSAM access, HKEY& key) {
  return static_cast<DWORD>(Sys().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | KEY_WOW64_64KEY, &key));
}

std::wstring ReadText(HKEY key, const wchar_t* name) {
  std::vector<wchar_t> text(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD type = 0, size = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    const LSTATUS status =
        Sys().RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    if (status == ERROR_MORE_DATA && attempt == 0 && size < 1024 * 1024) {
      text.assign(size / sizeof(wchar_t) + 2, L'\0');
      continue;
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) return std::wstring();
    text[size / sizeof(wchar_t)] = L'\0';
    return text.data();
  }
  return std::wstring();
}

DWORD WriteTexts(HKEY key, const wchar_t* const* names, const std::wstring* texts, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const LSTATUS status =
        Sys().RegSetValueExW(key, names[i], 0, REG_SZ, reinterpret_cast<const BYTE*>(texts[i].c_str()),
                             static_cast<DWORD>((texts[i].size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  }
  return ERROR_SUCCESS;
}

DWORD DeleteMachineKey(const std::wstring& path) {
  const LSTATUS status = Sys().RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(status);
}

DWORD StampOf(const std::wstring& path, FileStamp& stamp) {
  const platform::unique_file file(Sys().CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    const DWORD error = Sys().GetLastError();
    return error == ERROR_PATH_NOT_FOUND ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND)
           : error != ERROR_SUCCESS      ? error
                                         : static_cast<DWORD>(ERROR_GEN_FAILURE);
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!Sys().GetFileInformationByHandle(file.get(), &info)) {
    const DWORD error = Sys().GetLastError();
    return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_GEN_FAILURE);
  }
  stamp.id = Hex(info.dwVolumeSerialNumber, 8) + L"-" +
             Hex((static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 16);
  stamp.created = Hex(Ticks(info.ftCreationTime), 16);
  return ERROR_SUCCESS;
}

DWORD MachineSubkeyName(HKEY key, DWORD index, std::wstring& name) {
  wchar_t text[MAX_PATH] = {};
  DWORD length = MAX_PATH;
  const LSTATUS status = Sys().RegEnumKeyExW(key, index, text, &length, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) name = text;
  return static_cast<DWORD>(status);
}

DWORD ReadOwnedCopies(std::vector<OwnedCopy>& copies) {
  copies.clear();
  return ForEachMachineSubkey(kOwnershipKey, [&](const std::wstring& name, HKEY record) {
    OwnedCopy copy;
    copy.publishedName = name;
    std::wstring* fields[kValueCount];
    std::wstring adopted;
    Fields(copy, fields, adopted);
    for (std::size_t value = 0; value < kValueCount; ++value) *fields[value] = ReadText(record, kValues[value]);
    copy.adopted = adopted == L"1";
    const LSTATUS queried = Sys().RegQueryInfoKeyW(record, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr, nullptr, nullptr, &copy.written);
    if (queried == ERROR_SUCCESS) copies.push_back(copy);
    return static_cast<DWORD>(queried);
  });
}

DWORD RecordOwnedCopy(const OwnedCopy& copy) {
  HKEY created = nullptr;
  const std::wstring path = std::wstring(kOwnershipKey) + L"\\" + copy.publishedName;
  const LSTATUS status = Sys().RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                               KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &created, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  const platform::unique_hkey key(created);
  OwnedCopy values = copy;
  std::wstring* fields[kValueCount];
  std::wstring adopted = copy.adopted ? L"1" : L"0";
  Fields(values, fields, adopted);
  std::wstring texts[kValueCount];
  for (std::size_t value = 0; value < kValueCount; ++value) texts[value] = *fields[value];
  return WriteTexts(key.get(), kValues, texts, kValueCount);
}

DWORD DropOwnedCopy(const std::wstring& publishedName) {
  return DeleteMachineKey(std::wstring(kOwnershipKey) + L"\\" + publishedName);
}

Holds CheckRecord(const OwnedCopy& record, const std::wstring& path, DWORD& why, OwnedCopy* upgraded) {
  FileStamp now;
  why = StampOf(path, now);
  if (why == ERROR_FILE_NOT_FOUND) return Holds::kGone;
  if (why != ERROR_SUCCESS) return Holds::kUnknown;
  if (!record.stamp.id.empty()) return now == record.stamp ? Holds::kRecorded : Holds::kOther;
  // An earlier release's record names a copy by name and bytes alone: the
  // bytes must be the recorded ones, and the file no younger than the record
  // (a copy published again under the freed name is).
  const std::wstring hash = FileHash(path);
  if (hash.empty()) {
    why = ERROR_READ_FAULT;
    return Holds::kUnknown;
  }
  if (hash != record.hash) return Holds::kOther;
  std::uint64_t created = 0;
  for (const wchar_t c : now.created)
    created = created * 16 + static_cast<std::uint64_t>(c <= L'9' ? c - L'0' : c - L'a' + 10);
  if (created > Ticks(record.written) + kClockSlack) return Holds::kOther;
  if (upgraded != nullptr) {
    *upgraded = record;
    upgraded->stamp = now;
  }
  return Holds::kRecorded;
}

bool IsOwned(const difx::StoreCopy& copy, const wchar_t* package) {
  std::vector<OwnedCopy> owned;
  if (ReadOwnedCopies(owned) != ERROR_SUCCESS) return false;
  for (const OwnedCopy& record : owned) {
    DWORD why = ERROR_SUCCESS;
    if (Sys().CompareStringOrdinal(record.publishedName.c_str(), -1, copy.publishedName.c_str(), -1, TRUE) ==
            CSTR_EQUAL &&
        Sys().CompareStringOrdinal(record.package.c_str(), -1, package, -1, TRUE) == CSTR_EQUAL &&
        CheckRecord(record, copy.path, why) == Holds::kRecorded) {
      return true;
    }
  }
  return false;
}

DWORD MarkDeployed(const wchar_t* version) {
  HKEY created = nullptr;
  const LSTATUS status = Sys().RegCreateKeyExW(HKEY_LOCAL_MACHINE, kToolKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                               KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &created, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  const platform::unique_hkey key(created);
  const wchar_t* const names[] = {kMarkerValue};
  const std::wstring texts[] = {version};
  return WriteTexts(key.get(), names, texts, 1);
}

bool DeployedBefore() {
  HKEY opened = nullptr;
  const DWORD status = OpenMachineKey(kToolKey, KEY_QUERY_VALUE, opened);
  if (status == ERROR_FILE_NOT_FOUND) return false;
  if (status != ERROR_SUCCESS) return true;
  const platform::unique_hkey key(opened);
  DWORD type = 0;
  const LSTATUS queried = Sys().RegQueryValueExW(key.get(), kMarkerValue, nullptr, &type, nullptr, nullptr);
  return queried != ERROR_FILE_NOT_FOUND;
}

bool OwnershipKeyExists() {
  HKEY opened = nullptr;
  const DWORD status = OpenMachineKey(kOwnershipKey, KEY_QUERY_VALUE, opened);
  if (status == ERROR_SUCCESS) Sys().RegCloseKey(opened);
  return status != ERROR_FILE_NOT_FOUND;
}

std::wstring FileHash(const std::wstring& path) {
  const platform::unique_file file(Sys().CreateFileW(path.c_str(), GENERIC_READ,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::wstring();
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  std::uint64_t size = 0;
  std::vector<unsigned char> chunk(std::size_t{64} * 1024);
  for (;;) {
    DWORD read = 0;
    if (!Sys().ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
      return std::wstring();
    }
    if (read == 0) break;
    size += read;
    for (DWORD i = 0; i < read; ++i) hash = (hash ^ chunk[i]) * 0x100000001b3ULL;
  }
  wchar_t text[32] = {};
  diag::LineWriter out(text, 32);
  diag::Format(out, L"%lu:", static_cast<unsigned long>(size));  // an INF is far below 4 GiB
  return out.c_str() + Hex(hash, 16);
}

}  // namespace fleet
