// The switch table and the dispatch that wmain runs.
#pragma once

namespace app {

struct DriverPaths {
  const wchar_t* networkInf;
  const wchar_t* usbInf;
  const wchar_t* modelsSection;
};

struct Command {
  const wchar_t* name;                   // the switch, as the user types it
  int (*run)(const DriverPaths& paths);  // the operation, with its row's arguments
  bool resultIsExitCode;                 // "/qu" reports only; its exit code stays 0
};

// The first row whose switch equals `argument` (A to Z folded), or nullptr.
const Command* FindCommand(const wchar_t* argument);

// The whole run: returns the process exit code.
int RunTool(int argc, wchar_t** argv);

}  // namespace app
