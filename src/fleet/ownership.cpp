// The ownership records, through the registry calls of the call table.
#include "fleet/ownership.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "diag/format.h"
#include "platform/handles.h"

namespace fleet {
namespace {

using platform::Sys;

const wchar_t* const kValues[] = {L"Package",       L"OriginalName", L"CatalogName", L"ClassGuid",
                                  L"DriverVersion", L"Hash",         L"Adopted"};

std::wstring* Field(OwnedCopy& copy, std::size_t value) {
  std::wstring* const fields[] = {&copy.package,   &copy.originalName,  &copy.catalogName,
                                  &copy.classGuid, &copy.driverVersion, &copy.hash};
  return value < 6 ? fields[value] : nullptr;
}

// A REG_SZ value, or empty.
std::wstring ReadText(HKEY key, const wchar_t* name) {
  wchar_t text[MAX_PATH] = {};
  DWORD type = 0, size = sizeof(text) - sizeof(wchar_t);
  if (Sys().RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::wstring();
  }
  return text;
}

DWORD OpenKey(const std::wstring& path, REGSAM access, platform::unique_hkey& key) {
  HKEY opened = nullptr;
  const LSTATUS status = Sys().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | KEY_WOW64_64KEY, &opened);
  if (status == ERROR_SUCCESS) key.reset(opened);
  return static_cast<DWORD>(status);
}

}  // namespace

const wchar_t kOwnershipKey[] = L"SOFTWARE\\mdsdriver\\Copies";

DWORD ReadOwnedCopies(std::vector<OwnedCopy>& copies) {
  copies.clear();
  platform::unique_hkey root;
  const DWORD opened = OpenKey(kOwnershipKey, KEY_READ, root);
  if (opened == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (opened != ERROR_SUCCESS) return opened;
  for (DWORD index = 0;; ++index) {
    wchar_t name[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    const LSTATUS status = Sys().RegEnumKeyExW(root.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    platform::unique_hkey record;
    const DWORD recordOpened = OpenKey(std::wstring(kOwnershipKey) + L"\\" + name, KEY_QUERY_VALUE, record);
    if (recordOpened != ERROR_SUCCESS) return recordOpened;
    OwnedCopy copy;
    copy.publishedName = name;
    for (std::size_t value = 0; value < 6; ++value) *Field(copy, value) = ReadText(record.get(), kValues[value]);
    copy.adopted = ReadText(record.get(), kValues[6]) == L"1";
    copies.push_back(copy);
  }
}

DWORD RecordOwnedCopy(const OwnedCopy& copy) {
  HKEY created = nullptr;
  const std::wstring path = std::wstring(kOwnershipKey) + L"\\" + copy.publishedName;
  LSTATUS status = Sys().RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &created, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  const platform::unique_hkey key(created);
  OwnedCopy values = copy;
  for (std::size_t value = 0; value < 7 && status == ERROR_SUCCESS; ++value) {
    const std::wstring text = value < 6 ? *Field(values, value) : std::wstring(copy.adopted ? L"1" : L"0");
    status = Sys().RegSetValueExW(key.get(), kValues[value], 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  return static_cast<DWORD>(status);
}

DWORD DropOwnedCopy(const std::wstring& publishedName) {
  const std::wstring path = std::wstring(kOwnershipKey) + L"\\" + publishedName;
  const LSTATUS status = Sys().RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(status);
}

bool IsOwned(const difx::StoreCopy& copy, const wchar_t* package) {
  std::vector<OwnedCopy> owned;
  if (ReadOwnedCopies(owned) != ERROR_SUCCESS) return false;
  const auto same = [](const std::wstring& a, const std::wstring& b) {
    return Sys().CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
  };
  for (const OwnedCopy& record : owned) {
    if (same(record.publishedName, copy.publishedName) && same(record.package, package) &&
        record.hash == FileHash(copy.path)) {
      return true;
    }
  }
  return false;
}

bool OwnershipKeyExists() {
  platform::unique_hkey key;
  return OpenKey(kOwnershipKey, KEY_QUERY_VALUE, key) != ERROR_FILE_NOT_FOUND;
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
  std::wstring result = out.c_str();
  for (int shift = 60; shift >= 0; shift -= 4) result += L"0123456789abcdef"[(hash >> shift) & 0xF];
  return result;
}

}  // namespace fleet
