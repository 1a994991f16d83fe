// Command dispatch: derive the package locations, pick the operation by its
// switch and hand back the exit code.
#include "app/commands.h"

#include <cstddef>
#include <string>

#include "app/driver_paths.h"
#include "app/version_compare.h"
#include "device/device_query.h"
#include "device/driver_update.h"
#include "diag/text.h"
#include "diag/trace.h"
#include "fleet/fleet_policy.h"
#include "fleet/ownership.h"
#include "package/package_store.h"
#include "package/store_status.h"

namespace app {
namespace {

int RunInstall(const DriverPaths& p, const Options&) {
  return package::InstallDrviver(p.networkInf, p.usbInf, p.modelsSection);
}
int RunUninstall(const DriverPaths& p, const Options&) { return package::UnloadDriver(p.networkInf, p.usbInf); }
int RunRefresh(const DriverPaths& p, const Options&) { return device::UpdateDevice(p.usbInf, p.modelsSection); }
int RunStatus(const DriverPaths& p, const Options&) {
  return package::StoreStatus(p.networkInf, p.usbInf, &fleet::IsOwned);
}
int RunInventory(const DriverPaths& p, const Options&) {
  return package::StoreInventory(p.networkInf, p.usbInf, &fleet::IsOwned);
}
int RunQuery(const DriverPaths& p, const Options&) {
  return device::CQoDriverComImp::DealDeviceOpt(p.usbInf, p.modelsSection);
}

// A run identity names one deployment's run, so that a caller can undo
// exactly that run: 1 to 64 of A-Z, a-z, 0-9, '{', '}' and '-' (a GUID fits).
bool IsRunId(const wchar_t* text) {
  std::size_t length = 0;
  for (; text[length] != L'\0'; ++length) {
    const wchar_t c = text[length];
    const bool allowed = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
                         c == L'{' || c == L'}' || c == L'-';
    if (!allowed || length == 64) return false;
  }
  return length != 0;
}

// The fleet switches' options: "/adopt" (where `adopt` may be set) and
// "/run <id>". Anything else, twice the same, or a "/run" without a valid
// identity is refused with the usage line: a fleet must never read a typo as
// done.
bool ReadFleetOptions(const wchar_t* name, const Options& options, bool* adopt, std::wstring& runId) {
  for (int i = 0; i < options.count; ++i) {
    const wchar_t* option = options.values[i];
    if (adopt != nullptr && !*adopt && diag::EqualsFoldingAscii(option, L"/adopt")) {
      *adopt = true;
    } else if (runId.empty() && diag::EqualsFoldingAscii(option, L"/run") && i + 1 < options.count &&
               IsRunId(options.values[i + 1])) {
      runId = options.values[++i];
    } else {
      diag::TraceLine(L"%s: unknown option %s; usage: mdsdriver.exe %s", name, option,
                      adopt != nullptr ? L"/deploy [/adopt] [/run <id>]" : L"/undeploy [/run <id>]");
      return false;
    }
  }
  return true;
}

// "/deploy [/adopt] [/run <id>]": "/adopt" says that an earlier mdsdriver
// release, which kept no records, stored the packages; "/run" names the run.
int RunDeploy(const DriverPaths& p, const Options& options) {
  fleet::DeployOptions deploy;
  if (!ReadFleetOptions(L"deploy", options, &deploy.adoptEarlier, deploy.runId)) return fleet::kFleetFailed;
  return fleet::Deploy(p.networkInf, p.usbInf, p.modelsSection, deploy);
}
// "/undeploy [/run <id>]": with "/run", only that run's copies go.
int RunUndeploy(const DriverPaths& p, const Options& options) {
  fleet::UndeployOptions undeploy;
  if (!ReadFleetOptions(L"undeploy", options, nullptr, undeploy.runId)) return fleet::kFleetFailed;
  return fleet::Undeploy(p.networkInf, p.usbInf, undeploy);
}
// "/compare <exe> [<version>]": read-only, for the install command. A third
// argument is refused: the caller meant something that this does not do.
int RunCompare(const DriverPaths&, const Options& options) {
  if (options.count > 2) {
    diag::TraceLine(L"compare: unknown option %s; usage: mdsdriver.exe /compare <exe> [<version>]", options.values[2]);
    return kOtherIsUnknown;
  }
  return CompareFileVersion(options.count > 0 ? options.values[0] : nullptr,
                            options.count > 1 ? options.values[1] : nullptr);
}

// Compared in this order; the first equal switch wins.
const Command kCommands[] = {
    {L"/i", RunInstall, true},     {L"/u", RunUninstall, true},       {L"/re", RunRefresh, true},
    {L"/qu", RunQuery, false},     {L"/status", RunStatus, true},     {L"/inventory", RunInventory, true},
    {L"/deploy", RunDeploy, true}, {L"/undeploy", RunUndeploy, true}, {L"/compare", RunCompare, true},
};

}  // namespace

const Command* FindCommand(const wchar_t* argument) {
  for (const Command& command : kCommands) {
    if (diag::EqualsFoldingAscii(argument, command.name)) return &command;
  }
  return nullptr;
}

int RunTool(int argc, wchar_t** argv) {
  if (argc < 2) return 0;

  PathBuffer networkInf;
  PathBuffer usbInf;
  const wchar_t* modelsSection = nullptr;
  GetDriverPaths(networkInf, usbInf, modelsSection);

  int result = 0;
  if (const Command* command = FindCommand(argv[1])) {
    const int operationResult =
        command->run({networkInf.get(), usbInf.get(), modelsSection}, Options{argc - 2, argv + 2});
    if (command->resultIsExitCode) result = operationResult;
  } else {
    diag::TraceLine(L"hello boy,cmd error!\n88!");
  }
  networkInf.chars.reset();
  usbInf.chars.reset();
  return result;
}

}  // namespace app
