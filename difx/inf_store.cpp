// Finding a package's copy in the system INF folder by its bytes.
#include "inf_store.h"

#include <string>

namespace difx {
namespace {

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// INF files are small; anything beyond this is not one of ours to compare.
constexpr DWORD kLargestInf = 64 * 1024 * 1024;

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kLargestInf) return false;
  bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() && !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
    return false;
  }
  return read == bytes.size();
}

bool EqualIgnoringCase(const wchar_t* a, int aLength, const wchar_t* b, int bLength) {
  return CompareStringOrdinal(a, aLength, b, bLength, TRUE) == CSTR_EQUAL;
}

// "*.inf" also matches longer extensions through their short names; only a
// name that really ends in ".inf" counts.
bool HasInfExtension(const wchar_t* name) {
  const std::wstring text(name);
  return text.size() > 4 && EqualIgnoringCase(text.c_str() + text.size() - 4, 4, L".inf", 4);
}

}  // namespace

std::wstring FullPath(const wchar_t* path) {
  const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path, needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return std::wstring();
  full.resize(length);
  return full;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring SystemInfFolder() {
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  std::wstring folder(windows, length);
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder + L"\\inf";
}

bool IsDirectlyInside(const std::wstring& path, const std::wstring& folder) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos || folder.empty()) return false;
  return EqualIgnoringCase(path.c_str(), static_cast<int>(slash), folder.c_str(), static_cast<int>(folder.size()));
}

std::vector<std::wstring> FindStoreCopies(const std::wstring& inf, std::size_t most) {
  std::vector<std::wstring> copies;
  std::string wanted;
  const std::wstring folder = SystemInfFolder();
  if (folder.empty() || !ReadWholeFile(inf, wanted)) return copies;

  WIN32_FIND_DATAW entry = {};
  FindHandle find(FindFirstFileW((folder + L"\\*.inf").c_str(), &entry));
  if (find.get() == INVALID_HANDLE_VALUE) return copies;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !HasInfExtension(entry.cFileName)) continue;
    if (entry.nFileSizeHigh != 0 || entry.nFileSizeLow != wanted.size()) continue;
    const std::wstring candidate = folder + L"\\" + entry.cFileName;
    std::string bytes;
    if (ReadWholeFile(candidate, bytes) && bytes == wanted) copies.push_back(candidate);
  } while (copies.size() < most && FindNextFileW(find.get(), &entry));
  return copies;
}

std::wstring FindStoreCopy(const std::wstring& inf) {
  const std::vector<std::wstring> copies = FindStoreCopies(inf, 1);
  return copies.empty() ? std::wstring() : copies.front();
}

}  // namespace difx
