// The fleet's journal: before a run changes the driver store, it writes what
// it is about to do under HKLM\SOFTWARE\mdsdriver\Journal, and settles the
// entry once the change and its record are done. A run that was killed
// (a console's time limit, a power cut) leaves its entry, and the next fleet
// run settles it before anything else, by what the store shows: a copy the
// killed run published is owned, and a removal it began is finished or
// dropped. This module alone knows the journal's layout.
#pragma once

#include <string>
#include <vector>

#include "fleet/ownership.h"
#include "platform/win.h"

namespace fleet {

struct Intent {
  enum class Kind { kPublish, kRemove };
  Kind kind = Kind::kPublish;
  std::wstring package;  // "network" or "usb"
  std::wstring run;
  // kPublish: the package's INF, a hash of its bytes, and the INF folder's
  // file names before the publish: a copy the publish made has a name not
  // among them and the INF's bytes.
  std::wstring source, hash;
  std::vector<std::wstring> before;
  // kRemove: the copy.
  std::wstring publishedName;
  FileStamp stamp;
};

// Its entry's name: one publish per package and one removal per copy can be
// under way at once.
std::wstring EntryName(const Intent& intent);

// ERROR_SUCCESS, or why the entry could not be written (the change must then
// not be made).
DWORD WriteIntent(const Intent& intent);
// ERROR_SUCCESS also when it was not there.
DWORD SettleIntent(const Intent& intent);
DWORD ReadIntents(std::vector<Intent>& intents);

// The names of the system INF folder's INF files; ERROR_SUCCESS or why the
// folder could not be listed.
DWORD ListInfFolder(std::vector<std::wstring>& names);

}  // namespace fleet
