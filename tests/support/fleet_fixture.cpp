// The fleet fixture: the packages' copies, the in-process library's exports,
// and the %ProgramData% and folder-security fakes.
#include "support/fleet_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

#include "driver_store.h"
#include "support/fixture_packages.h"

namespace testing_support {
namespace {

template <typename Function>
FARPROC AsFarProc(Function function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// Our library's exports that the fleet looks up, answered by its code linked
// into the test program, so that its calls reach the test's fakes too.
const struct {
  const char* name;
  FARPROC function;
} kInProcessExports[] = {
    {"DriverPackagePreinstallW", AsFarProc(&difx::Preinstall)},
    {"DriverPackageUninstallW", AsFarProc(&difx::Uninstall)},
    {"MdsPreinstallW", AsFarProc(&difx::PreinstallNamed)},
    {"MdsRemovePublishedInfW", AsFarProc(&difx::RemovePublishedInf)},
};

decltype(&::GetProcAddress) g_findBelow = nullptr;
FARPROC WINAPI InProcessLibrary(HMODULE module, LPCSTR name) {
  for (const auto& entry : kInProcessExports) {
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::strcmp(name, entry.name) == 0) return entry.function;
  }
  return g_findBelow(module, name);
}

platform::ScopedCall<decltype(&::GetProcAddress)> LibraryInProcess() {
  g_findBelow = platform::Sys().GetProcAddress;
  return platform::Override(&platform::Calls::GetProcAddress, &InProcessLibrary);
}

// %ProgramData% and the security of what the tool opens in it, as set.
const FakeProgramData* g_programData = nullptr;
DWORD WINAPI ProgramData(LPCWSTR, LPWSTR buffer, DWORD size) {
  const std::wstring& folder = g_programData->folder;
  folder.copy(buffer, size);
  buffer[folder.size()] = L'\0';
  return static_cast<DWORD>(folder.size());
}
DWORD WINAPI FolderSecurity(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL* dacl, PACL*,
                            PSECURITY_DESCRIPTOR* descriptor) {
  ConvertStringSecurityDescriptorToSecurityDescriptorW(g_programData->security.c_str(), SDDL_REVISION_1, descriptor,
                                                       nullptr);
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
  if (dacl != nullptr) GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
  return ERROR_SUCCESS;
}

// Copies the fixture package `name` (its INF and catalog) into `folder`;
// answers the INF's copy.
std::wstring CopyPackage(const TempDir& folder, const std::wstring& name) {
  const std::wstring packages = FixtureDir() + L"\\packages\\";
  for (const wchar_t* extension : {L"inf", L"cat"}) {
    const std::wstring file = name + extension;
    EXPECT_TRUE(CopyFileW((packages + file).c_str(), (folder / file.substr(file.find(L'\\') + 1)).c_str(), 0));
  }
  return folder / (name.substr(name.find(L'\\') + 1) + L"inf");
}

std::wstring MadeFolder(const std::wstring& path) {
  CreateDirectoryW(path.c_str(), nullptr);
  return path;
}

}  // namespace

const wchar_t kAdministrators[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";
const char kEarlierInstall[] = "08.12.2026 14:03:27,51 install 0 installed \r\n";

void DropRecords() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mdsdriver"); }

FakeProgramData::FakeProgramData()
    : place_(&platform::Calls::GetEnvironmentVariableW, &ProgramData),
      security_(&platform::Calls::GetSecurityInfo, &FolderSecurity) {
  g_programData = this;
}

FakeProgramData::~FakeProgramData() { g_programData = nullptr; }

bool FakeProgramData::RecordEarlier(const char* lines) const {
  CreateDirectoryW((folder + L"\\mdsdriver").c_str(), nullptr);
  return WriteBytes(folder + L"\\mdsdriver\\deploy.log", lines);
}

FleetFixture::FleetFixture()
    : net(CopyPackage(folder, L"NetDrivers\\netaapl64.")),
      usb(CopyPackage(folder, L"Drivers\\usbaapl64.")),
      store(MadeFolder(folder / L"windows")),
      library_(LibraryInProcess()) {
  DropRecords();
  programData.folder = folder.path();
}

std::vector<std::wstring> FleetFixture::Infs() const {
  std::vector<std::wstring> infs;
  for (const std::wstring& name : ListFolder(store.InfFolder())) {
    if (name.size() > 4 && name.compare(name.size() - 4, 4, L".inf") == 0) infs.push_back(name);
  }
  return infs;
}

}  // namespace testing_support
