// The switch table and the dispatch that wmain runs.
#pragma once

namespace app {

struct DriverPaths {
  const wchar_t* networkInf;
  const wchar_t* usbInf;
  const wchar_t* modelsSection;
};

struct Command {
  const wchar_t* name;  // the switch, as the user types it
  // The operation, with its row's arguments and the argument after the
  // switch (null when there is none), which only the fleet switches read.
  int (*run)(const DriverPaths& paths, const wchar_t* option);
  bool resultIsExitCode;  // "/qu" reports only; its exit code stays 0
};

// The first row whose switch equals `argument` (A to Z folded), or nullptr.
const Command* FindCommand(const wchar_t* argument);

// The whole run: returns the process exit code.
int RunTool(int argc, wchar_t** argv);

}  // namespace app
