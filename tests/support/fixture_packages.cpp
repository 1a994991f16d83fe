// Fixture package placement and system INF folder inspection.
#include "support/fixture_packages.h"

#include <thread>

#include "platform/store_lock.h"
#include "platform/win.h"
#include "support/tool_runner.h"

namespace testing_support {
namespace {

std::wstring SystemDir() {
  wchar_t dir[MAX_PATH] = {};
  GetSystemDirectoryW(dir, MAX_PATH);
  return dir;
}

bool EndsWithInf(const std::wstring& name) {
  return name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".inf") == 0;
}

bool CopyTree(const std::wstring& from, const std::wstring& to) {
  CreateDirectoryW(to.c_str(), nullptr);
  bool ok = true;
  for (const std::wstring& name : ListFolder(from)) {
    const std::wstring source = from + L"\\" + name;
    const std::wstring target = to + L"\\" + name;
    if (GetFileAttributesW(source.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
      ok = CopyTree(source, target) && ok;
    } else {
      ok = CopyFileW(source.c_str(), target.c_str(), FALSE) && ok;
    }
  }
  return ok;
}

}  // namespace

std::wstring FixtureDir() { return ModuleDir() + L"\\fixtures"; }

std::wstring PackageRoot() {
  return SystemDir().substr(0, 3) + L"Program Files\\Common Files\\Apple\\Mobile Device Support";
}

std::wstring UsbInfPath() { return PackageRoot() + L"\\Drivers\\usbaapl64.inf"; }

std::wstring NetworkInfPath() { return PackageRoot() + L"\\NetDrivers\\netaapl64.inf"; }

std::wstring SystemInfDir() {
  const std::wstring system = SystemDir();
  return system.substr(0, system.find_last_of(L'\\')) + L"\\inf";
}

bool PlacePackages(const std::wstring& sourceRoot) {
  RemovePackages();
  std::wstring path = SystemDir().substr(0, 3);
  for (const wchar_t* part : {L"Program Files", L"Common Files", L"Apple"}) {
    path += part;
    CreateDirectoryW(path.c_str(), nullptr);
    path += L"\\";
  }
  return CopyTree(sourceRoot, PackageRoot());
}

void RemovePackages() {
  RemoveTree(PackageRoot());
  // The "Apple" folder PlacePackages made; kept when anything else is in it.
  const std::wstring root = PackageRoot();
  RemoveDirectoryW(root.substr(0, root.find_last_of(L'\\')).c_str());
}

std::vector<std::wstring> SystemInfNames() {
  std::vector<std::wstring> infs;
  for (const std::wstring& name : ListFolder(SystemInfDir())) {
    if (EndsWithInf(name)) infs.push_back(name);
  }
  return infs;
}

void RemoveSystemCopiesOfSamples() {
  const std::wstring packages = FixtureDir() + L"\\packages";
  RemoveSystemCopiesOf(packages + L"\\Drivers\\usbaapl64.inf");
  RemoveSystemCopiesOf(packages + L"\\NetDrivers\\netaapl64.inf");
}

std::vector<std::wstring> SystemCopiesOfBytes(const std::string& wanted) {
  std::vector<std::wstring> copies;
  for (const std::wstring& name : SystemInfNames()) {
    const std::wstring path = SystemInfDir() + L"\\" + name;
    std::string bytes;
    if (ReadBytes(path, bytes) && bytes == wanted) copies.push_back(path);
  }
  return copies;
}

std::vector<std::wstring> SystemCopiesOf(const std::wstring& infPath) {
  std::string wanted;
  return ReadBytes(infPath, wanted) ? SystemCopiesOfBytes(wanted) : std::vector<std::wstring>();
}

int CountSystemCopiesOf(const std::wstring& infPath) { return static_cast<int>(SystemCopiesOf(infPath).size()); }

int CountSystemCopiesOfBytes(const std::string& wanted) { return static_cast<int>(SystemCopiesOfBytes(wanted).size()); }

void RemoveSystemCopiesOf(const std::wstring& infPath) {
  for (const std::wstring& path : SystemCopiesOf(infPath)) {
    DeleteFileW(path.c_str());
    DeleteFileW((path.substr(0, path.size() - 4) + L".pnf").c_str());
  }
}

HANDLE MakeStoreMutex(bool byAdministrators) {
  alignas(TOKEN_USER) BYTE owner[256];
  DWORD size = sizeof(owner);
  if (byAdministrators) {
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, owner, &size)) return nullptr;
  } else {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    const BOOL read = GetTokenInformation(token, TokenUser, owner, sizeof(owner), &size);
    CloseHandle(token);
    if (!read) return nullptr;
  }
  SECURITY_DESCRIPTOR descriptor = {};
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&descriptor, byAdministrators ? owner : reinterpret_cast<TOKEN_USER*>(owner)->User.Sid,
                             FALSE);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
  return CreateMutexW(&attributes, FALSE, platform::kStoreLockName);
}

bool StoreLockIsFree() {
  bool free = false;
  std::thread other([&] {
    const HANDLE mutex = CreateMutexExW(nullptr, platform::kStoreLockName, 0, SYNCHRONIZE);
    if (mutex == nullptr) return;
    const DWORD wait = WaitForSingleObject(mutex, 0);
    free = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (free) ReleaseMutex(mutex);
    CloseHandle(mutex);
  });
  other.join();
  return free;
}

}  // namespace testing_support
