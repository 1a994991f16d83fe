// The fake driver store: SetupCopyOEMInfW, SetupUninstallOEMInfW,
// DiUninstallDriverW, SetupGetInfDriverStoreLocationW,
// GetSystemWindowsDirectoryW, the INF folder's listing and the original-file
// records answered from real files in the test's folder, and newdev.dll's
// presence from the loader.
#include "fakes/fake_driver_store.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <utility>

#include "support/tool_runner.h"

namespace fakes {
namespace {

FakeDriverStore* g_store = nullptr;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring NameOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

// The catalog an INF names for x64 (CatalogFile.NTamd64=, else
// CatalogFile.NT=, else CatalogFile=), beside the INF; "" for none.
std::wstring CatalogOf(const std::wstring& inf, const std::string& bytes) {
  for (const std::string key : {"\nCatalogFile.NTamd64=", "\nCatalogFile.NT=", "\nCatalogFile="}) {
    const size_t at = bytes.find(key);
    if (at == std::string::npos) continue;
    const size_t end = bytes.find_first_of("\r\n", at + 1);
    const std::string name = bytes.substr(at + key.size(), end - at - key.size());
    return inf.substr(0, inf.find_last_of(L'\\') + 1) + std::wstring(name.begin(), name.end());
  }
  return std::wstring();
}

UINT WINAPI FakeWindowsDirectory(LPWSTR buffer, UINT size) {
  const std::wstring& folder = g_store->windowsFolder;
  if (size <= folder.size()) return static_cast<UINT>(folder.size() + 1);
  std::wmemcpy(buffer, folder.c_str(), folder.size() + 1);
  return static_cast<UINT>(folder.size());
}

BOOL Answer(const std::wstring& copy, PWSTR dest, DWORD size, BOOL result, DWORD error) {
  if (dest != nullptr && size > copy.size()) std::wmemcpy(dest, copy.c_str(), copy.size() + 1);
  SetLastError(error);
  return result;
}

BOOL WINAPI FakeCopyOEMInf(PCWSTR source, PCWSTR, DWORD, DWORD style, PWSTR dest, DWORD size, PDWORD, PWSTR*) {
  ++g_store->copyCalls;
  std::string inf, catalog;
  if (!testing_support::ReadBytes(source, inf)) return Fail(ERROR_FILE_NOT_FOUND);
  const std::wstring catalogPath = CatalogOf(source, inf);
  if (!catalogPath.empty() && !testing_support::ReadBytes(catalogPath, catalog)) return Fail(ERROR_FILE_NOT_FOUND);

  // Already there: a published copy with the same INF and catalog, or a file
  // of the package's own name with the same INF.
  const std::wstring folder = g_store->InfFolder();
  auto sameInf = [&](const std::wstring& name) {
    std::string bytes;
    return testing_support::ReadBytes(folder + L"\\" + name, bytes) && bytes == inf;
  };
  std::wstring existing;
  for (const FakeDriverStore::Published& copy : g_store->published) {
    if (copy.catalog == catalog && sameInf(copy.name)) existing = copy.name;
  }
  if (existing.empty() && sameInf(NameOf(source))) existing = NameOf(source);
  if (!existing.empty()) {
    const bool refuse = (style & SP_COPY_NOOVERWRITE) != 0;
    return Answer(folder + L"\\" + existing, dest, size, !refuse, refuse ? ERROR_FILE_EXISTS : ERROR_SUCCESS);
  }

  int number = 0;
  while (testing_support::Exists(folder + L"\\oem" + std::to_wstring(number) + L".inf")) ++number;
  const std::wstring name = L"oem" + std::to_wstring(number) + L".inf";
  if (!testing_support::WriteBytes(folder + L"\\" + name, inf)) return Fail(ERROR_ACCESS_DENIED);
  g_store->published.push_back({name, catalog, false, NameOf(source), catalogPath.empty() ? L"" : NameOf(catalogPath)});
  return Answer(folder + L"\\" + name, dest, size, TRUE, ERROR_SUCCESS);
}

BOOL WINAPI FakeUninstallOEMInf(PCWSTR name, DWORD flags, PVOID) {
  auto& published = g_store->published;
  const auto copy = std::find_if(published.begin(), published.end(),
                                 [&](const FakeDriverStore::Published& p) { return SameName(p.name, name); });
  if (copy == published.end()) return Fail(ERROR_NOT_AN_INSTALLED_OEM_INF);
  if (copy->inUse && (flags & SUOI_FORCEDELETE) == 0) return Fail(ERROR_INF_IN_USE_BY_DEVICES);
  if (copy->inUse) ++g_store->strandedDevices;
  const std::wstring path = g_store->InfFolder() + L"\\" + copy->name;
  // A copy another program holds open stays published.
  if (!DeleteFileW(path.c_str())) return Fail(GetLastError());
  DeleteFileW((path.substr(0, path.size() - 4) + L".pnf").c_str());
  published.erase(copy);
  return TRUE;
}

// Moves the copy's device to the null driver, which needs a restart here,
// then removes the copy as a forced uninstall would.
BOOL WINAPI FakeDiUninstallDriver(HWND, LPCWSTR infPath, DWORD flags, PBOOL needReboot) {
  if (!g_store->newDev.exports || !g_store->newDev.loads) return Fail(ERROR_PROC_NOT_FOUND);
  if (flags != 0) return Fail(ERROR_INVALID_FLAGS);  // the fake knows no others
  const std::wstring storeFolder = g_store->DriverStoreFolder() + L"\\";
  const bool storePath = std::wstring(infPath).compare(0, storeFolder.size(), storeFolder) == 0;
  const DWORD answer = storePath ? g_store->newDev.storePathAnswer : g_store->newDev.publishedPathAnswer;
  if (answer != 0) return Fail(answer);
  const std::wstring name = NameOf(infPath);
  for (FakeDriverStore::Published& copy : g_store->published) {
    if (!SameName(copy.name, name) || !copy.inUse) continue;
    copy.inUse = false;
    if (needReboot != nullptr) *needReboot = TRUE;
  }
  return FakeUninstallOEMInf(name.c_str(), SUOI_FORCEDELETE, nullptr);
}

BOOL WINAPI FakeStoreLocation(PCWSTR inf, PSP_ALTPLATFORM_INFO, PCWSTR, PWSTR buffer, DWORD size, PDWORD needed) {
  const std::wstring name = NameOf(inf);
  const auto& published = g_store->published;
  if (std::none_of(published.begin(), published.end(), [&](const auto& p) { return SameName(p.name, name); })) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  const std::wstring path = g_store->DriverStoreFolder() + L"\\" + name + L"_amd64" +
                            std::wstring(g_store->storeFolderPadding, L'0') + L"\\" + name;
  if (needed != nullptr) *needed = static_cast<DWORD>(path.size() + 1);
  if (size <= path.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::wmemcpy(buffer, path.c_str(), path.size() + 1);
  return TRUE;
}

// Each INF handle's file, so that the information about it can name the file.
decltype(&::SetupOpenInfFileW) g_openBelow = nullptr;
std::vector<std::pair<HINF, std::wstring>> g_openInfs;

HINF WINAPI FakeOpenInf(PCWSTR name, PCWSTR infClass, DWORD style, PUINT errorLine) {
  const HINF inf = g_openBelow(name, infClass, style, errorLine);
  if (inf != INVALID_HANDLE_VALUE) g_openInfs.emplace_back(inf, name);
  return inf;
}

// The INF handle's information holds the INF's path alone, which is all
// that the original-file query below reads of it.
BOOL WINAPI FakeInfInformation(LPCVOID inf, DWORD search, PSP_INF_INFORMATION info, DWORD size, PDWORD needed) {
  const auto open = std::find_if(g_openInfs.rbegin(), g_openInfs.rend(), [&](const auto& o) { return o.first == inf; });
  if (search != INFINFO_INF_SPEC_IS_HINF || open == g_openInfs.rend()) return Fail(ERROR_INVALID_HANDLE);
  const DWORD required =
      static_cast<DWORD>(offsetof(SP_INF_INFORMATION, VersionData) + (open->second.size() + 1) * sizeof(wchar_t));
  if (needed != nullptr) *needed = required;
  if (info == nullptr) return TRUE;
  if (size < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
  info->InfStyle = INF_STYLE_WIN4;
  info->InfCount = 1;
  std::memcpy(info->VersionData, open->second.c_str(), (open->second.size() + 1) * sizeof(wchar_t));
  return TRUE;
}

// A published copy's original INF and catalog; any other INF's own name and no catalog.
BOOL WINAPI FakeOriginalFile(PSP_INF_INFORMATION info, UINT, PSP_ALTPLATFORM_INFO, PSP_ORIGINAL_FILE_INFO_W original) {
  if (original->cbSize != sizeof(*original)) return Fail(ERROR_INVALID_USER_BUFFER);
  const std::wstring name = NameOf(reinterpret_cast<const wchar_t*>(info->VersionData));
  std::wstring inf = name, catalog;
  for (const FakeDriverStore::Published& copy : g_store->published) {
    if (SameName(copy.name, name)) inf = copy.original, catalog = copy.catalogName;
  }
  inf.copy(original->OriginalInfName, MAX_PATH - 1);
  original->OriginalInfName[std::min<size_t>(inf.size(), MAX_PATH - 1)] = L'\0';
  catalog.copy(original->OriginalCatalogName, MAX_PATH - 1);
  original->OriginalCatalogName[std::min<size_t>(catalog.size(), MAX_PATH - 1)] = L'\0';
  return TRUE;
}

// The loader as the store's newdev.dll makes it answer; everything else as
// the table below answers it.
decltype(&::LoadLibraryExW) g_loadBelow = nullptr;
decltype(&::GetProcAddress) g_findBelow = nullptr;

HMODULE WINAPI FakeLoadLibrary(LPCWSTR path, HANDLE file, DWORD flags) {
  if (g_store->newDev.loads || !SameName(NameOf(path), L"newdev.dll")) return g_loadBelow(path, file, flags);
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  if (reinterpret_cast<ULONG_PTR>(name) <= 0xFFFF || std::strcmp(name, "DiUninstallDriverW") != 0) {
    return g_findBelow(module, name);
  }
  if (g_store->newDev.exports) return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeDiUninstallDriver));
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

// The INF folder lists in reverse name order, so that any order in the
// library's answers is its own, not the file system's.
std::vector<std::wstring> g_listing;  // still to come, the next one last
const HANDLE kListing = reinterpret_cast<HANDLE>(0x5F1D);

BOOL WINAPI FakeFindNext(HANDLE, LPWIN32_FIND_DATAW entry) {
  if (g_listing.empty()) return Fail(ERROR_NO_MORE_FILES);
  *entry = WIN32_FIND_DATAW();
  entry->dwFileAttributes = GetFileAttributesW((g_store->InfFolder() + L"\\" + g_listing.back()).c_str());
  g_listing.back().copy(entry->cFileName, MAX_PATH - 1);
  g_listing.pop_back();
  return TRUE;
}

HANDLE WINAPI FakeFindFirst(LPCWSTR, LPWIN32_FIND_DATAW entry) {
  g_listing = testing_support::ListFolder(g_store->InfFolder());
  std::sort(g_listing.begin(), g_listing.end());
  return FakeFindNext(kListing, entry) ? kListing : INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeFindClose(HANDLE search) { return search == kListing ? TRUE : FindClose(search); }

}  // namespace

FakeDriverStore::FakeDriverStore(std::wstring folder) : windowsFolder(std::move(folder)), saved_(platform::Sys()) {
  CreateDirectoryW(InfFolder().c_str(), nullptr);
  g_store = this;
  platform::Calls& table = platform::Sys();
  table.GetSystemWindowsDirectoryW = &FakeWindowsDirectory;
  table.SetupCopyOEMInfW = &FakeCopyOEMInf;
  table.SetupUninstallOEMInfW = &FakeUninstallOEMInf;
  table.DiUninstallDriverW = &FakeDiUninstallDriver;
  table.SetupGetInfDriverStoreLocationW = &FakeStoreLocation;
  g_openBelow = table.SetupOpenInfFileW;
  table.SetupOpenInfFileW = &FakeOpenInf;
  table.SetupGetInfInformationW = &FakeInfInformation;
  table.SetupQueryInfOriginalFileInformationW = &FakeOriginalFile;
  g_loadBelow = table.LoadLibraryExW;
  g_findBelow = table.GetProcAddress;
  table.LoadLibraryExW = &FakeLoadLibrary;
  table.GetProcAddress = &FakeGetProcAddress;
  platform::ForgetLoadedCalls();  // so that the loader is asked again, and answers for this store
  table.FindFirstFileW = &FakeFindFirst;
  table.FindNextFileW = &FakeFindNext;
  table.FindClose = &FakeFindClose;
}

FakeDriverStore::~FakeDriverStore() {
  platform::Sys() = saved_;
  platform::ForgetLoadedCalls();
  g_openInfs.clear();
  g_store = nullptr;
}

}  // namespace fakes
