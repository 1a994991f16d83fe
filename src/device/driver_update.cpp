// "/re": copy the USB INF into the system, update the devices it names and
// flag detached ones for reinstallation.
#include "device/driver_update.h"

#include "device/hardware_id.h"
#include "diag/lock_wait.h"
#include "diag/log.h"
#include "diag/text.h"
#include "platform/handles.h"
#include "platform/store_lock.h"

namespace device {
namespace {

using platform::Sys;

// The tool's three Chinese messages, spelled as escapes so that every compiler
// reads them alike whatever its source character set. In English:
// "the .inf file %s was not found"
const wchar_t kMessageInfNotFound[] = L".inf\u6587\u4EF6 %s \u672A\u627E\u5230\n";
// "opening the file failed: %s"
const wchar_t kMessageOpenFailed[] = L"\u6253\u5F00\u6587\u4EF6\u5931\u8D25\uFF1A%s";
// "no usable device descriptor"
const wchar_t kMessageNoDescriptor[] = L"\u6CA1\u6709\u53EF\u7528\u8BBE\u5907\u63CF\u8FF0\u7B26";

struct UpdateOutcome {
  int result;
  bool verdict;  // false: the device set was not obtained, and the run ends without a verdict
};

// The device has no device node at present, so it is not attached: set the
// reinstall flag, keeping every other bit, so the system installs the driver
// afresh when the device is next plugged in. True when the flag was stored.
bool FlagForReinstallIfDetached(HDEVINFO devices, SP_DEVINFO_DATA& record) {
  // Some implementations never write these; zero them so nothing stale is left.
  ULONG status = 0;
  ULONG problem = 0;
  if (Sys().CM_Get_DevNode_Status(&status, &problem, record.DevInst, 0) != CR_NO_SUCH_DEVNODE) return false;

  DWORD configFlags = 0;
  if (!Sys().SetupDiGetDeviceRegistryPropertyW(devices, &record, SPDRP_CONFIGFLAGS, nullptr,
                                               reinterpret_cast<PBYTE>(&configFlags), sizeof(configFlags), nullptr)) {
    return false;
  }
  configFlags |= CONFIGFLAG_REINSTALL;
  return Sys().SetupDiSetDeviceRegistryPropertyW(devices, &record, SPDRP_CONFIGFLAGS,
                                                 reinterpret_cast<const BYTE*>(&configFlags),
                                                 sizeof(configFlags)) != FALSE;
}

// Every device the USB enumerator has recorded, attached or not, from index
// 0: the first whose instance ID holds `hardwareId` ends the walk, whatever
// becomes of it. True when that device was flagged for reinstallation.
bool FlagFirstMatchingDevice(HDEVINFO devices, const wchar_t* hardwareId) {
  SP_DEVINFO_DATA record = {};
  record.cbSize = sizeof(record);
  wchar_t instanceId[MAX_PATH] = {};
  for (DWORD index = 0; Sys().SetupDiEnumDeviceInfo(devices, index, &record); ++index) {
    if (!Sys().SetupDiGetDeviceInstanceIdW(devices, &record, instanceId, MAX_PATH, nullptr)) continue;
    instanceId[MAX_PATH - 1] = L'\0';
    diag::LowerAsciiInPlace(instanceId);
    if (HoldsHardwareId(instanceId, hardwareId)) return FlagForReinstallIfDetached(devices, record);
  }
  return false;
}

// Asks the driver update service to install the INF on the attached devices
// with this ID (for "/re" even where their current driver ranks better). For
// "/re" its outcome changes nothing: detached devices are caught by the flag
// instead; a restart it asks for is passed on, and so is a refusal to a
// caller that asks for it.
void UpdateAttachedDevices(const wchar_t* hardwareId, const wchar_t* fullInfPath, const UpdateOptions& options) {
  BOOL rebootRequired = FALSE;
  if (!Sys().UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, fullInfPath, options.installFlags,
                                                &rebootRequired)) {
    const DWORD error = Sys().GetLastError();
    if (options.updateFailure != nullptr && *options.updateFailure == ERROR_SUCCESS && error != ERROR_NO_MORE_ITEMS &&
        error != ERROR_NO_SUCH_DEVINST) {
      *options.updateFailure = error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_GEN_FAILURE);
    }
  }
  if (rebootRequired && options.rebootRequired != nullptr) *options.rebootRequired = TRUE;
}

// Copies the INF into the system's INF folder; false with the copy's last
// error when it fails. With `published`, an identical copy already there is
// named instead of copied again, and only a copy made now is named back.
bool CopyIntoSystem(const wchar_t* fullInfPath, DWORD& error, std::wstring* published) {
  if (published == nullptr) {
    if (Sys().SetupCopyOEMInfW(fullInfPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) return true;
    error = Sys().GetLastError();
    return false;
  }
  wchar_t copy[MAX_PATH] = {};
  published->clear();
  if (Sys().SetupCopyOEMInfW(fullInfPath, nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, copy, MAX_PATH, nullptr, nullptr)) {
    *published = copy;
    return true;
  }
  error = Sys().GetLastError();
  return error == ERROR_FILE_EXISTS;
}

UpdateOutcome CopyAndUpdate(const wchar_t* infPath, const wchar_t* modelsSection, const UpdateOptions& options) {
  wchar_t fullInfPath[MAX_PATH] = {};
  // A count of MAX_PATH or more is the room the path would need: it did not
  // fit, and the buffer holds no path to work with.
  const DWORD length = Sys().GetFullPathNameW(infPath, MAX_PATH, fullInfPath, nullptr);
  if (length == 0 || length >= MAX_PATH) {
    diag::LogLine(kMessageInfNotFound, infPath);
    return {kInfPathUnresolved, true};
  }

  // Declared first so that it is released after the INF is closed.
  platform::unique_hdevinfo devices;
  platform::unique_hinf inf(Sys().SetupOpenInfFileW(fullInfPath, nullptr, INF_STYLE_WIN4, nullptr));
  if (!inf) {
    diag::LogLine(kMessageOpenFailed, infPath);
    return {kInfNotOpened, true};
  }
  INFCONTEXT line = {};
  if (!Sys().SetupFindFirstLineW(inf.get(), modelsSection, nullptr, &line)) {
    diag::LogLine(kMessageNoDescriptor);
    return {kNoModelsLines, true};
  }

  // The copy and the update are one step for every other run of the tool:
  // the copy looks at the INF folder and then changes it, and so does the
  // update where it installs the driver. Wine's copy is not one step across
  // processes (a crowd of runs copying a new INF at once got
  // ERROR_FILE_EXISTS, or left a second copy). A holder that keeps the lock
  // past the wait cannot stop a refresh: it goes ahead without.
  const platform::StoreLock lock(platform::kStoreLockWaitMs, &diag::kLoggedLockWait);
  int result = kUpdateSucceeded;
  DWORD error = ERROR_SUCCESS;
  if (!CopyIntoSystem(fullInfPath, error, options.publishedInf)) {
    result = kUpdateFailed;
    diag::LogLine(L"\t SetupCopyOEMInf failed(%d)", error);
  }

  devices.reset(Sys().SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES));
  if (!devices) return {kUpdateFailed, false};

  ForEachHardwareId(line, [&](const wchar_t* hardwareId) {
    UpdateAttachedDevices(hardwareId, fullInfPath, options);
    if (FlagFirstMatchingDevice(devices.get(), hardwareId)) result = kUpdateSucceeded;
    return false;  // every line of the section
  });
  return {result, true};
}

}  // namespace

int UpdateDevice(const wchar_t* infPath, const wchar_t* modelsSection) {
  return UpdateDevice(infPath, modelsSection, UpdateOptions{INSTALLFLAG_FORCE, nullptr, nullptr});
}

int UpdateDevice(const wchar_t* infPath, const wchar_t* modelsSection, const UpdateOptions& options) {
  diag::LogLine(L"\nUpdateDevice...");
  const UpdateOutcome outcome = CopyAndUpdate(infPath, modelsSection, options);
  if (outcome.verdict) {
    diag::LogLine(outcome.result == kUpdateSucceeded ? L" Driver Update Successed!\n" : L" Driver Update failed!\n");
  }
  return outcome.result;
}

}  // namespace device
