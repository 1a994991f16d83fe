// mds_planted_library.dll: a stand-in for a system library planted beside
// mdsdriver.exe or in its current folder, copied under the library's name.
// When it is loaded it leaves "<its own path>.loaded" behind, so a test can
// tell that it ran. It exports the names the tool calls, each answering a
// failure, so that a process that did bind to it runs on.
#include <windows.h>

#define MDS_PLANTED_EXPORT(name) \
  extern "C" __declspec(dllexport) BOOL WINAPI name() { return FALSE; }

MDS_PLANTED_EXPORT(SetupOpenInfFileW)
MDS_PLANTED_EXPORT(SetupFindFirstLineW)
MDS_PLANTED_EXPORT(SetupFindNextLine)
MDS_PLANTED_EXPORT(SetupGetStringFieldW)
MDS_PLANTED_EXPORT(SetupCloseInfFile)
MDS_PLANTED_EXPORT(SetupCopyOEMInfW)
MDS_PLANTED_EXPORT(SetupDiGetClassDevsW)
MDS_PLANTED_EXPORT(SetupDiGetClassDevsExW)
MDS_PLANTED_EXPORT(SetupDiEnumDeviceInfo)
MDS_PLANTED_EXPORT(SetupDiGetDeviceInstanceIdW)
MDS_PLANTED_EXPORT(SetupDiGetDeviceRegistryPropertyW)
MDS_PLANTED_EXPORT(SetupDiSetDeviceRegistryPropertyW)
MDS_PLANTED_EXPORT(SetupDiDestroyDeviceInfoList)
MDS_PLANTED_EXPORT(UpdateDriverForPlugAndPlayDevicesW)
MDS_PLANTED_EXPORT(PathFileExistsW)

// CONFIGRET: CR_FAILURE.
extern "C" __declspec(dllexport) DWORD WINAPI CM_Get_DevNode_Status() { return 0x13; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 8] = {};
  const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  lstrcatW(path, L".loaded");
  const HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  return TRUE;
}
