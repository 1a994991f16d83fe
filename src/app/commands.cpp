// Command dispatch: derive the package locations, pick the operation by its
// switch and hand back the exit code.
#include "app/commands.h"

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

int RunInstall(const DriverPaths& p, const wchar_t*) {
  return package::InstallDrviver(p.networkInf, p.usbInf, p.modelsSection);
}
int RunUninstall(const DriverPaths& p, const wchar_t*) { return package::UnloadDriver(p.networkInf, p.usbInf); }
int RunRefresh(const DriverPaths& p, const wchar_t*) { return device::UpdateDevice(p.usbInf, p.modelsSection); }
int RunStatus(const DriverPaths& p, const wchar_t*) { return package::StoreStatus(p.networkInf, p.usbInf); }
int RunInventory(const DriverPaths& p, const wchar_t*) {
  return package::StoreInventory(p.networkInf, p.usbInf, &fleet::IsOwned);
}
int RunQuery(const DriverPaths& p, const wchar_t*) {
  return device::CQoDriverComImp::DealDeviceOpt(p.usbInf, p.modelsSection);
}

// "/deploy [/adopt]": "/adopt" says that an earlier mdsdriver deployment,
// which kept no records, stored the packages. Any other option is refused,
// so that a mistyped one cannot pass for none.
int RunDeploy(const DriverPaths& p, const wchar_t* option) {
  fleet::DeployOptions options;
  options.adoptEarlier = option != nullptr && diag::EqualsFoldingAscii(option, L"/adopt");
  if (option != nullptr && !options.adoptEarlier) {
    diag::TraceLine(L"deploy: unknown option %s", option);
    return fleet::kFleetFailed;
  }
  return fleet::Deploy(p.networkInf, p.usbInf, p.modelsSection, options);
}
int RunUndeploy(const DriverPaths& p, const wchar_t*) { return fleet::Undeploy(p.networkInf, p.usbInf); }
// "/compare <exe>": read-only, for the install command.
int RunCompare(const DriverPaths&, const wchar_t* option) { return CompareFileVersion(option); }

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
        command->run({networkInf.get(), usbInf.get(), modelsSection}, argc > 2 ? argv[2] : nullptr);
    if (command->resultIsExitCode) result = operationResult;
  } else {
    diag::TraceLine(L"hello boy,cmd error!\n88!");
  }
  networkInf.chars.reset();
  usbInf.chars.reset();
  return result;
}

}  // namespace app
