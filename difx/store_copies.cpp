// The system INF folder read by identity: one listing, then each published
// INF opened once, its [Version] and its original-file record read through
// the same handle.
#include "store_copies.h"

#include <algorithm>
#include <string>
#include <vector>

#include "diag/format.h"
#include "inf_store.h"
#include "platform/handles.h"

namespace difx {
namespace {

using platform::Sys;

// The longest INF field the system can give (a string field is at most
// 4096 characters).
constexpr DWORD kLongestField = 4096;

bool SameName(const std::wstring& a, const wchar_t* b) {
  return Sys().CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}
bool SameName(const std::wstring& a, const std::wstring& b) { return SameName(a, b.c_str()); }

// One string field of an INF line, asked again with the room the system names.
bool StringField(INFCONTEXT& line, DWORD field, std::wstring& text) {
  std::vector<wchar_t> buffer(MAX_PATH, L'\0');
  DWORD needed = 0;
  if (!Sys().SetupGetStringFieldW(&line, field, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
    if (Sys().GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size() || needed > kLongestField) {
      return false;
    }
    buffer.assign(needed, L'\0');
    if (!Sys().SetupGetStringFieldW(&line, field, buffer.data(), needed, nullptr)) return false;
  }
  buffer.back() = L'\0';
  text = buffer.data();
  return true;
}

bool VersionField(HINF inf, const wchar_t* key, std::wstring& text) {
  INFCONTEXT line = {};
  return Sys().SetupFindFirstLineW(inf, L"Version", key, &line) && StringField(line, 1, text);
}

// DriverVer's date (m/d/yyyy) as YYYY-MM-DD, or empty when it does not read as one.
std::wstring IsoDate(const std::wstring& date) {
  unsigned long parts[3] = {};
  std::size_t part = 0, digits = 0;
  for (const wchar_t c : date) {
    if (c == L'/') {
      if (digits == 0 || ++part > 2) return std::wstring();
      digits = 0;
    } else if (c < L'0' || c > L'9' || ++digits > 4) {
      return std::wstring();
    } else {
      parts[part] = parts[part] * 10 + static_cast<unsigned long>(c - L'0');
    }
  }
  if (part != 2 || digits != 4 || parts[0] < 1 || parts[0] > 12 || parts[1] < 1 || parts[1] > 31) {
    return std::wstring();
  }
  wchar_t text[16] = {};
  diag::LineWriter out(text, 16);
  diag::Format(out, L"%04lu-%02lu-%02lu", parts[2], parts[0], parts[1]);
  return out.c_str();
}

// What the system recorded of the INF's origin: the INF and the catalog it
// was published from.
DWORD OriginalFile(HINF inf, SP_ORIGINAL_FILE_INFO_W& original) {
  DWORD needed = 0;
  if (!Sys().SetupGetInfInformationW(inf, INFINFO_INF_SPEC_IS_HINF, nullptr, 0, &needed)) return LastFailure();
  if (needed < sizeof(SP_INF_INFORMATION)) return ERROR_INVALID_DATA;
  std::vector<DWORD> buffer((needed + sizeof(DWORD) - 1) / sizeof(DWORD), 0);  // aligned as the structure
  const auto info = reinterpret_cast<PSP_INF_INFORMATION>(buffer.data());
  if (!Sys().SetupGetInfInformationW(inf, INFINFO_INF_SPEC_IS_HINF, info, needed, nullptr)) return LastFailure();
  original = SP_ORIGINAL_FILE_INFO_W();
  original.cbSize = sizeof(original);
  if (!Sys().SetupQueryInfOriginalFileInformationW(info, 0, nullptr, &original)) return LastFailure();
  original.OriginalInfName[MAX_PATH - 1] = L'\0';
  original.OriginalCatalogName[MAX_PATH - 1] = L'\0';
  return ERROR_SUCCESS;
}

// Published from an INF of the package's name; or, where the system does
// not give the original name (Wine answers the published name itself), with
// the package's catalog.
bool PublishedFrom(const SP_ORIGINAL_FILE_INFO_W& original, const std::wstring& publishedName,
                   const PackageIdentity& package) {
  const std::wstring originalName = original.OriginalInfName;
  if (!originalName.empty() && !SameName(originalName, publishedName)) return SameName(originalName, package.infName);
  return !package.catalogName.empty() && SameName(package.catalogName, original.OriginalCatalogName);
}

// Reads one candidate and keeps it when it is a copy of one of `packages`.
void ReadCandidate(const std::wstring& folder, const std::wstring& name, const std::vector<PackageIdentity>& packages,
                   StoreContents& contents) {
  StoreCopy copy;
  copy.publishedName = name;
  copy.path = folder + L"\\" + name;
  const platform::unique_hinf inf(Sys().SetupOpenInfFileW(copy.path.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
  if (!inf) {
    const DWORD error = LastFailure();
    // Gone since the listing: another run removed it.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) contents.unreadable.push_back({name, error});
    return;
  }
  // Another class rules a file out before anything else is read of it.
  VersionField(inf.get(), L"ClassGuid", copy.classGuid);
  const auto ofClass = [&](const PackageIdentity& package) { return SameName(copy.classGuid, package.classGuid); };
  if (std::none_of(packages.begin(), packages.end(), ofClass)) return;

  SP_ORIGINAL_FILE_INFO_W original = {};
  const DWORD status = OriginalFile(inf.get(), original);
  if (status != ERROR_SUCCESS) {
    contents.unreadable.push_back({name, status});
    return;
  }
  VersionField(inf.get(), L"Provider", copy.provider);
  for (copy.package = 0; copy.package < packages.size(); ++copy.package) {
    const PackageIdentity& package = packages[copy.package];
    if (ofClass(package) && PublishedFrom(original, name, package) &&
        (package.provider.empty() || SameName(copy.provider, package.provider))) {
      break;
    }
  }
  if (copy.package == packages.size()) return;
  // A published name given back as the original one is no record of the
  // original (Wine's answer): none is given.
  if (!(IsPublishedName(name) && SameName(name, original.OriginalInfName)))
    copy.originalName = original.OriginalInfName;
  copy.catalogName = original.OriginalCatalogName;
  INFCONTEXT line = {};
  if (Sys().SetupFindFirstLineW(inf.get(), L"Version", L"DriverVer", &line)) {
    std::wstring date;
    if (StringField(line, 1, date)) copy.driverDate = IsoDate(date);
    StringField(line, 2, copy.driverVersion);
  }
  if (DriverStorePath(copy.path, copy.storePath) != ERROR_SUCCESS) copy.storePath.clear();
  contents.copies.push_back(std::move(copy));
}

// oem<N>.inf by N, then the other names by name.
bool PublishedOrder(const std::wstring& a, const std::wstring& b) {
  const bool aPublished = IsPublishedName(a), bPublished = IsPublishedName(b);
  if (aPublished != bPublished) return aPublished;
  if (!aPublished) return a < b;
  // The numbers: fewer digits is the smaller one (IsPublishedName allows no sign).
  const std::wstring aNumber = a.substr(3, a.size() - 7), bNumber = b.substr(3, b.size() - 7);
  return aNumber.size() != bNumber.size() ? aNumber.size() < bNumber.size() : aNumber < bNumber;
}

}  // namespace

DWORD ReadPackageIdentity(const std::wstring& inf, PackageIdentity& identity) {
  const platform::unique_hinf file(Sys().SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
  if (!file) return LastFailure();
  identity.infName = FileName(inf);
  VersionField(file.get(), L"ClassGuid", identity.classGuid);
  identity.provider.clear();
  VersionField(file.get(), L"Provider", identity.provider);
  for (const wchar_t* key : {L"CatalogFile.NTamd64", L"CatalogFile.NT", L"CatalogFile"}) {
    if (VersionField(file.get(), key, identity.catalogName)) break;
  }
  return ERROR_SUCCESS;
}

DWORD ReadStoreCopies(const std::vector<PackageIdentity>& packages, StoreContents& contents) {
  contents = StoreContents();
  std::wstring folder;
  const DWORD folderStatus = SystemInfFolder(folder);
  if (folderStatus != ERROR_SUCCESS) return folderStatus;

  const std::wstring pattern = folder + L"\\*";
  WIN32_FIND_DATAW entry = {};
  const platform::unique_find find(Sys().FindFirstFileW(pattern.c_str(), &entry));
  std::vector<std::wstring> candidates;
  if (!find) {
    // Nothing in the folder (the system documents "file not found" for that).
    const DWORD error = LastFailure();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
  }
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const std::wstring name = entry.cFileName;
    const auto ownName = [&](const PackageIdentity& package) { return SameName(name, package.infName); };
    if (IsPublishedName(name) || std::any_of(packages.begin(), packages.end(), ownName)) candidates.push_back(name);
  } while (Sys().FindNextFileW(find.get(), &entry));
  // A listing that stops short of its end leaves copies unknown.
  const DWORD end = Sys().GetLastError();
  if (end != ERROR_NO_MORE_FILES) return end != ERROR_SUCCESS ? end : ERROR_GEN_FAILURE;

  std::sort(candidates.begin(), candidates.end(), PublishedOrder);
  for (const std::wstring& name : candidates) ReadCandidate(folder, name, packages, contents);
  return ERROR_SUCCESS;
}

}  // namespace difx
