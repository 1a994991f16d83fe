// Finding a package's published copies in the system INF folder by their
// names and bytes.
#include "inf_store.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace difx {
using platform::Sys;

DWORD LastFailure() {
  const DWORD error = Sys().GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

namespace {

// How much of each file a comparison holds at a time; no file is too large
// to compare.
constexpr DWORD kChunk = 64 * 1024;

platform::unique_file OpenForReading(const std::wstring& path) {
  return platform::unique_file(Sys().CreateFileW(path.c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Reads until `buffer` is full or the file ends; `filled` is what it holds.
DWORD ReadChunk(HANDLE file, std::vector<char>& buffer, DWORD& filled) {
  filled = 0;
  while (filled < buffer.size()) {
    DWORD read = 0;
    if (!Sys().ReadFile(file, buffer.data() + filled, static_cast<DWORD>(buffer.size()) - filled, &read, nullptr)) {
      return LastFailure();
    }
    if (read == 0) break;
    filled += read;
  }
  return ERROR_SUCCESS;
}

// Whether two open files hold the same bytes, read from where each stands;
// ERROR_SUCCESS, or why one could not be read.
DWORD SameBytes(HANDLE a, HANDLE b, bool& same) {
  std::vector<char> chunkA(kChunk), chunkB(kChunk);
  same = false;
  for (;;) {
    DWORD filledA = 0, filledB = 0;
    DWORD status = ReadChunk(a, chunkA, filledA);
    if (status == ERROR_SUCCESS) status = ReadChunk(b, chunkB, filledB);
    if (status != ERROR_SUCCESS) return status;
    if (filledA != filledB || !std::equal(chunkA.begin(), chunkA.begin() + filledA, chunkB.begin())) {
      return ERROR_SUCCESS;
    }
    if (filledA < kChunk) {
      same = true;
      return ERROR_SUCCESS;
    }
  }
}

// File names compare as the file system compares them: case ignored.
bool SameName(const wchar_t* a, std::size_t aLength, const wchar_t* b, std::size_t bLength) {
  return Sys().CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) == CSTR_EQUAL;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return SameName(a.c_str(), a.size(), b.c_str(), b.size());
}

// Whether `candidate` holds the package's bytes. A file of another size is
// ruled out by its size alone, which the system gives without opening it, so
// a file that another program holds open and shares with nobody is never in
// the way unless it could be the package. A file gone meanwhile is no copy.
DWORD CompareWithPackage(const std::wstring& candidate, HANDLE package, LARGE_INTEGER packageSize, bool& same) {
  same = false;
  WIN32_FILE_ATTRIBUTE_DATA attributes = {};
  if (!Sys().GetFileAttributesExW(candidate.c_str(), GetFileExInfoStandard, &attributes)) {
    const DWORD error = LastFailure();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  if (attributes.nFileSizeHigh != static_cast<DWORD>(packageSize.HighPart) ||
      attributes.nFileSizeLow != packageSize.LowPart) {
    return ERROR_SUCCESS;
  }
  const platform::unique_file file = OpenForReading(candidate);
  if (!file) return LastFailure();
  LARGE_INTEGER start = {};
  if (!Sys().SetFilePointerEx(package, start, nullptr, FILE_BEGIN)) return LastFailure();
  return SameBytes(file.get(), package, same);
}

}  // namespace

std::wstring FullPath(const wchar_t* path) {
  const DWORD needed = Sys().GetFullPathNameW(path, 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring full(needed, L'\0');
  const DWORD length = Sys().GetFullPathNameW(path, needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return std::wstring();
  full.resize(length);
  return full;
}

Presence FilePresence(const std::wstring& path) {
  const DWORD attributes = Sys().GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? Presence::kPresent : Presence::kAbsent;
  }
  const DWORD error = Sys().GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::kAbsent : Presence::kUnknown;
}

DWORD SystemInfFolder(std::wstring& folder) {
  wchar_t windows[MAX_PATH] = {};
  const UINT length = Sys().GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0) return LastFailure();
  if (length >= MAX_PATH) return ERROR_BUFFER_OVERFLOW;
  folder.assign(windows, length);
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  folder += L"\\inf";
  return ERROR_SUCCESS;
}

std::wstring FileName(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring PrecompiledInf(const std::wstring& copy) {
  constexpr std::size_t kExtensionLength = 4;
  if (copy.size() <= kExtensionLength ||
      !SameName(copy.c_str() + copy.size() - kExtensionLength, kExtensionLength, L".inf", kExtensionLength)) {
    return std::wstring();
  }
  return copy.substr(0, copy.size() - kExtensionLength) + L".pnf";
}

bool IsPublishedName(const std::wstring& name) {
  static const wchar_t kPrefix[] = L"oem";
  static const wchar_t kExtension[] = L".inf";
  constexpr std::size_t kPrefixLength = 3, kExtensionLength = 4;
  if (name.size() <= kPrefixLength + kExtensionLength) return false;
  const std::size_t digitsEnd = name.size() - kExtensionLength;
  for (std::size_t i = kPrefixLength; i < digitsEnd; ++i) {
    if (name[i] < L'0' || name[i] > L'9') return false;
  }
  return SameName(name.c_str(), kPrefixLength, kPrefix, kPrefixLength) &&
         SameName(name.c_str() + digitsEnd, kExtensionLength, kExtension, kExtensionLength);
}

// The published copy's INF in the driver store
// (...\DriverStore\FileRepository\<package>_<hash>\<name>.inf); ERROR_SUCCESS,
// or why the system could not say.
DWORD DriverStorePath(const std::wstring& copy, std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int tries = 0; tries < 2; ++tries) {
    DWORD needed = 0;
    if (Sys().SetupGetInfDriverStoreLocationW(copy.c_str(), nullptr, nullptr, buffer.data(),
                                              static_cast<DWORD>(buffer.size()), &needed)) {
      path = buffer.data();
      return ERROR_SUCCESS;
    }
    const DWORD error = LastFailure();
    if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return error;
    buffer.assign(needed, L'\0');
  }
  return ERROR_INSUFFICIENT_BUFFER;
}

DWORD SameBytesAs(const std::wstring& candidate, const std::wstring& inf, bool& same) {
  same = false;
  const platform::unique_file wanted = OpenForReading(inf);
  if (!wanted) return LastFailure();
  LARGE_INTEGER wantedSize = {};
  if (!Sys().GetFileSizeEx(wanted.get(), &wantedSize)) return LastFailure();
  const DWORD status = CompareWithPackage(candidate, wanted.get(), wantedSize, same);
  return status;
}

DWORD FindPackageCopies(const std::wstring& inf, const std::wstring& ownName, std::vector<std::wstring>& copies,
                        DWORD& unreadable) {
  copies.clear();
  unreadable = ERROR_SUCCESS;
  std::wstring folder;
  const DWORD folderStatus = SystemInfFolder(folder);
  if (folderStatus != ERROR_SUCCESS) return folderStatus;
  const platform::unique_file wanted = OpenForReading(inf);
  if (!wanted) return LastFailure();
  LARGE_INTEGER wantedSize = {};
  if (!Sys().GetFileSizeEx(wanted.get(), &wantedSize)) return LastFailure();
  const std::wstring infName = FileName(inf);

  // Every name, not "*.inf": that pattern also matches longer extensions
  // through their short names, and a copy named by the caller counts whatever
  // its name ends in. Each candidate is read whole: the size a listing gives
  // need not be current.
  const std::wstring pattern = folder + L"\\*";
  WIN32_FIND_DATAW entry = {};
  const platform::unique_find find(Sys().FindFirstFileW(pattern.c_str(), &entry));
  if (!find) return LastFailure();
  std::vector<std::wstring> published, own;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const std::wstring name = entry.cFileName;
    if (IsPublishedName(name)) {
      published.push_back(name);
    } else if (SameName(name, infName) || (!ownName.empty() && SameName(name, ownName))) {
      own.push_back(name);
    }
  } while (Sys().FindNextFileW(find.get(), &entry));
  // The listing may stop short of its end: copies past that point are unknown.
  const DWORD end = Sys().GetLastError();
  if (end != ERROR_NO_MORE_FILES) return end != ERROR_SUCCESS ? end : ERROR_GEN_FAILURE;

  // The system's own copies first, in order, so that the answer does not
  // depend on how the folder happens to list.
  std::sort(published.begin(), published.end());
  published.insert(published.end(), own.begin(), own.end());
  for (const std::wstring& name : published) {
    std::wstring candidate = folder;
    candidate.append(L"\\").append(name);
    bool same = false;
    const DWORD status = CompareWithPackage(candidate, wanted.get(), wantedSize, same);
    if (status != ERROR_SUCCESS) {
      if (unreadable == ERROR_SUCCESS) unreadable = status;
    } else if (same) {
      copies.push_back(candidate);
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace difx
