// The switch table and the dispatch that wmain runs.
#pragma once

namespace app {

struct DriverPaths {
  const wchar_t* networkInf;
  const wchar_t* usbInf;
  const wchar_t* modelsSection;
};

// The arguments after the switch, which only some switches read.
struct Options {
  int count;
  wchar_t* const* values;
};

struct Command {
  const wchar_t* name;  // the switch, as the user types it
  // The operation, with its row's arguments and the arguments after the switch.
  int (*run)(const DriverPaths& paths, const Options& options);
  bool resultIsExitCode;  // "/qu" reports only; its exit code stays 0
};

// The first row whose switch equals `argument` (A to Z folded), or nullptr.
const Command* FindCommand(const wchar_t* argument);

// The whole run: returns the process exit code.
int RunTool(int argc, wchar_t** argv);

}  // namespace app
