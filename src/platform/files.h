// Files opened by their name in a folder the caller holds open, so that
// nobody can swap the folder for a link between its check and the open.
#pragma once

#include <string>

#include "platform/handles.h"

namespace platform {

// Opens `name` in the folder `root` names, by the name alone, without
// following a reparse point at that name; null when that fails (a status,
// not a last error, says why: `status`).
unique_file OpenInFolder(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                         ULONG options, NTSTATUS& status);

}  // namespace platform
